function fitgmdist_compare (mex_dir, N, dim, K, iterations)
  % VelmoraFit against the statistics package's fitgmdist from the same
  % start, full covariances, the same iterations (TolFun 0): the time of
  % each and the largest differences of their parameters.
  %   octave-cli --eval "addpath('bench'); fitgmdist_compare('build/octave/cpu')"
  if (nargin < 2)
    N = 1e5;  dim = 8;  K = 8;  iterations = 15;
  end
  addpath (mex_dir);
  warning ("off", "all");
  pkg load statistics
  rand ("seed", 17);  randn ("seed", 17);
  C = 6 * randn (dim, K);
  X = C(:, mod (0:N-1, K) + 1) + randn (dim, N);
  M0 = C + randn (dim, K);
  S0 = repmat (eye (dim), [1 1 K]);
  P0 = ones (1, K) / K;
  reg = 1e-6;

  VelmoraFit (X(:, 1:1000), K, "MaxIter", 1);  % loads the module
  tic;
  [model, info] = VelmoraFit (X, K, "Start", struct ("Mu", M0, "Sigma", S0, "Pi", P0),
                              "MaxIter", iterations, "TolFun", 0, "RegularizationValue", reg);
  t_velmora = toc;
  tic;
  g = fitgmdist (X', K, "Start", struct ("mu", M0', "Sigma", S0, "ComponentProportion", P0),
                 "RegularizationValue", reg,
                 "Options", struct ("MaxIter", iterations, "TolFun", 0, "Display", "off"));
  t_octave = toc;
  printf ("N=%d, dim %d, K %d, full, %d iterations from the same start\n", N, dim, K, iterations);
  printf ("VelmoraFit: %.3f s (%.4f s per iteration), X %s\n", t_velmora, t_velmora / iterations,
          {"streamed", "resident"}{info.Resident + 1});
  printf ("fitgmdist:  %.3f s (%.4f s per iteration)\n", t_octave, t_octave / iterations);
  printf ("VelmoraFit / fitgmdist time: %.2f\n", t_velmora / t_octave);
  printf ("largest relative differences: Mu %.2g, Sigma %.2g, Pi %.2g\n",
          max (abs (model.Mu(:) - g.mu'(:))) / max (abs (g.mu(:))),
          max (abs (model.Sigma(:) - g.Sigma(:))) / max (abs (g.Sigma(:))),
          max (abs (model.Pi(:) - g.ComponentProportion(:))));
end
