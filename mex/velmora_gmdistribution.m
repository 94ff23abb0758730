function gm = velmora_gmdistribution (model)
  % VELMORA_GMDISTRIBUTION  A VelmoraFit model as a gmdistribution.
  %
  %   gm = velmora_gmdistribution (model)
  %
  %   model  a struct with Mu (dim x K), Sigma (dim x K diagonal, or
  %          dim x dim x K full) and Pi (1 x K), as VelmoraFit returns it
  %   gm     gmdistribution (mu K x dim, its diagonal covariances as
  %          1 x dim x K), for pdf, posterior, cluster and random; needs
  %          MATLAB's Statistics Toolbox, or in Octave "pkg load statistics"
  %
  %   A model whose covariances are all the same (SharedCovariance) is
  %   given as a shared one.
  %
  %   Example:
  %     [model, info] = VelmoraFit (X, 3);
  %     gm = velmora_gmdistribution (model);
  %     idx = cluster (gm, X.');
  %
  %   See also VelmoraFit, VelmoraLog.
  [d, K] = size (model.Mu);
  S = model.Sigma;
  diagonal = ismatrix (S) && size (S, 2) == K;  % dim x dim x K is full, also at K = 1
  if (diagonal)
    S = reshape (S, 1, d, K);
  end
  shared = K > 1 && all (reshape (S == S(:, :, 1), [], 1));
  if (shared)
    S = S(:, :, 1);
  end
  gm = gmdistribution (model.Mu.', S, model.Pi);
end
