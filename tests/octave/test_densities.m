% P against the plain Octave reference, in both modes, over dimensions and
% cluster counts.
rand ("seed", 1);  randn ("seed", 1);
worst = 0;
for dim = [1 2 3 17 64]
  for K = [1 2 7]
    X = randn (dim, 300);
    Mu = 0.5 * randn (dim, K);
    Pi = rand (1, K) + 0.1;
    Sdiag = 0.5 + rand (dim, K);
    Sfull = reshape (random_covariances (dim, K, 0.5), dim, dim * K);
    for S = {Sdiag, Sfull}
      P = Velmora (X, Mu, S{1}, Pi);
      R = plain_octave_gmm (X, Mu, S{1}, Pi);
      err = max (abs (P - R) ./ abs (R));
      worst = max (worst, err);
      if (! (err <= 1e-12))
        error ("dim %d, K %d, %d columns of Sigma: relative error %g", dim, K, columns (S{1}), err);
      end
    end
  end
end
printf ("densities: largest relative error %g\n", worst);

% No dimensions: a zero-dimensional Gaussian has density 1 everywhere, so
% every point gets the sum of the priors.
evalc ("P = Velmora (zeros (0, 3), zeros (0, 2), zeros (0, 2), [0.25 0.5]);");
assert (P, [0.75 0.75 0.75]);
