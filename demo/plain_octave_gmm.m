function P = plain_octave_gmm (X, Mu, Sigma, Pi)
  % The mixture density written in plain Octave, one cluster at a time: the
  % reference the demo and the tests hold Velmora to.
  [dim, n] = size (X);
  K = columns (Mu);
  Sigma = reshape (Sigma, dim, []);
  diagonal = columns (Sigma) == K;
  P = zeros (1, n);
  for k = 1:K
    if (diagonal)
      S = diag (Sigma(:, k));
    else
      S = Sigma(:, (k-1)*dim+1 : k*dim);
    end
    D = X - Mu(:, k);
    q = sum (D .* (S \ D), 1);
    P += Pi(k) * exp (-0.5 * q) / sqrt ((2*pi)^dim * det (S));
  end
end
