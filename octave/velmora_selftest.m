function ok = velmora_selftest ()
  % VELMORA_SELFTEST  Checks this installation of Velmora (Octave).
  %
  %   velmora_selftest         runs the built-in tests of this file and says
  %                            how many passed
  %   ok = velmora_selftest () true when every one passed
  %
  %   The same tests run with "test velmora_selftest" and, for the installed
  %   package, "pkg test velmora". They hold Velmora and VelmoraLog on the
  %   path to the same densities written in plain Octave (within 1e-12),
  %   check that malformed calls raise errors with their identifiers, hold
  %   VelmoraFit's EM iterations (and velmora_fitgmdist's) to the same
  %   iterations written in plain Octave (within 1e-10), and,
  %   where Octave's parallel package is installed, that VelmoraLogParallel
  %   on two workers gives the bits of one VelmoraLog call.
  %
  %   See also Velmora, VelmoraLog, VelmoraLogParallel.
  [passed, total] = test ("velmora_selftest", "quiet", stdout);
  printf ("velmora_selftest: %d of %d tests passed (%s)\n", passed, total, ...
          fileparts (which ("VelmoraLog")));
  if (nargout > 0)
    ok = total > 0 && passed == total;
  end
end

%!function [logP, R] = plain_log_gmm (X, Mu, Sigma, Pi)
%!  % One cluster at a time in the log domain: centred, whitened by the
%!  % Cholesky factor, then log-sum-exp over the clusters.
%!  [dim, n] = size (X);
%!  K = columns (Mu);
%!  Sigma = reshape (Sigma, dim, []);
%!  V = zeros (K, n);
%!  for k = 1:K
%!    if (columns (Sigma) == K)
%!      L = diag (sqrt (Sigma(:, k)));
%!    else
%!      L = chol (Sigma(:, (k-1)*dim+1 : k*dim), "lower");
%!    end
%!    Y = L \ (X - Mu(:, k));
%!    V(k, :) = log (Pi(k)) - sum (log (diag (L))) - dim / 2 * log (2*pi) - sum (Y .^ 2, 1) / 2;
%!  end
%!  top = max (V, [], 1);
%!  logP = top + log (sum (exp (V - top), 1));
%!  R = exp (V - logP);
%!endfunction

%!function [X, Mu, Sdiag, Sfull, Pi] = mixture (n)
%!  % n points in 5 dimensions, 100 away from the origin; 3 clusters.
%!  randn ("state", 19);  rand ("state", 19);
%!  dim = 5;  K = 3;
%!  X = 100 + 2 * randn (dim, n);
%!  Mu = 100 + randn (dim, K);
%!  Sdiag = 0.5 + rand (dim, K);
%!  Sfull = zeros (dim, dim, K);
%!  for k = 1:K
%!    A = randn (dim);
%!    Sfull(:, :, k) = A * A' + dim * eye (dim);
%!  end
%!  Pi = [0.2 0.5 0.3];
%!endfunction

%% VelmoraLog
%!test
%! [X, Mu, Sdiag, Sfull, Pi] = mixture (500);
%! for S = {Sdiag, Sfull, reshape(Sfull, rows (X), [])}
%!   [logP, R] = VelmoraLog (X, Mu, S{1}, Pi);
%!   [wantP, wantR] = plain_log_gmm (X, Mu, S{1}, Pi);
%!   assert (size (logP), [1 columns(X)]);
%!   assert (size (R), [columns(Mu) columns(X)]);
%!   assert (max (abs (logP - wantP) ./ abs (wantP)) < 1e-12);
%!   assert (max (abs (R(:) - wantR(:))) < 1e-12);
%! end
%!test
%! % Dim 800: every density underflows to 0, its logarithm does not.
%! randn ("state", 800);
%! X = randn (800, 20);  Mu = zeros (800, 2);  Mu(:, 2) = 0.5;
%! logP = VelmoraLog (X, Mu, ones (800, 2), [0.5 0.5]);
%! want = plain_log_gmm (X, Mu, ones (800, 2), [0.5 0.5]);
%! assert (all (logP < -1000));
%! assert (max (abs (logP - want) ./ abs (want)) < 1e-12);
%!error id=Velmora:usage VelmoraLog (ones (2, 4), zeros (2, 1), ones (2, 1))
%!error id=Velmora:dimensions VelmoraLog (ones (2, 4), zeros (3, 1), ones (2, 1), 1)
%!error id=Velmora:covariance VelmoraLog (ones (2, 4), zeros (2, 2), [1 1; 1 -1], [0.5 0.5])
%!error id=Velmora:priors VelmoraLog (ones (2, 4), zeros (2, 2), ones (2, 2), [0.5 NaN])
%!test
%! [X, Mu, ~, Sfull, Pi] = mixture (10);
%! Sfull(:, :, 3) = -Sfull(:, :, 3);
%! try
%!   VelmoraLog (X, Mu, Sfull, Pi);
%!   error ("an indefinite covariance was accepted");
%! catch err
%!   assert (err.identifier, "Velmora:covariance");
%!   assert (! isempty (strfind (err.message, "cluster 3")), err.message);
%! end

%% VelmoraFit, and velmora_fitgmdist with points as rows
%!function [Mu, Sigma, Pi, ll] = plain_em_step (X, Mu, Sigma, Pi, reg)
%!  % One EM iteration in two passes over X: the posteriors under the
%!  % parameters given, then the weights and means, then the covariances
%!  % about the new means (never E[x^2] - E[x]^2).
%!  [logP, R] = plain_log_gmm (X, Mu, Sigma, Pi);
%!  ll = sum (logP);
%!  [dim, n] = size (X);
%!  Nk = sum (R, 2).';
%!  Mu = (X * R.') ./ Nk;
%!  for k = 1:columns (Mu)
%!    D = X - Mu(:, k);
%!    if (ismatrix (Sigma) && columns (Sigma) == columns (Mu))
%!      Sigma(:, k) = (D .^ 2) * R(k, :).' / Nk(k) + reg;
%!    else
%!      Sigma(:, :, k) = (D .* R(k, :)) * D.' / Nk(k) + reg * eye (dim);
%!    end
%!  end
%!  Pi = Nk / n;
%!endfunction
%!test
%! [X, Mu, Sdiag, Sfull, Pi] = mixture (600);
%! types = {"diagonal", "full"};
%! S0 = {Sdiag, Sfull};
%! for f = 1:2
%!   [model, info] = VelmoraFit (X, 3, "Start", struct ("Mu", Mu, "Sigma", S0{f}, "Pi", Pi), ...
%!                               "CovarianceType", types{f}, "MaxIter", 4, "TolFun", 0, ...
%!                               "RegularizationValue", 1e-3);
%!   M = Mu;  S = S0{f};  P = Pi;  ll = zeros (1, 4);
%!   for t = 1:4
%!     [M, S, P, ll(t)] = plain_em_step (X, M, S, P, 1e-3);
%!   end
%!   assert (model.Mu, M, 1e-10);
%!   assert (model.Sigma, S, 1e-10);
%!   assert (model.Pi, P, 1e-12);
%!   assert (info.History, ll, 1e-12 * abs (ll(1)));
%!   gm = velmora_fitgmdist (X.', 3, "CovarianceType", types{f}, "RegularizationValue", 1e-3, ...
%!                           "Start", struct ("mu", Mu.', "Sigma", velmora_gmdistribution ( ...
%!                             struct ("Mu", Mu, "Sigma", S0{f}, "Pi", Pi)).Sigma, ...
%!                             "ComponentProportion", Pi), ...
%!                           "Options", struct ("MaxIter", 4, "TolFun", 0));
%!   assert (gm.mu, M.', 1e-10);
%!   assert (gm.NegativeLogLikelihood, -info.LogLikelihood);
%! end
%!error id=Velmora:usage VelmoraFit (ones (2, 10), 11)

%% Velmora
%!test
%! [X, Mu, Sdiag, Sfull, Pi] = mixture (500);
%! for S = {Sdiag, Sfull}
%!   evalc ("P = Velmora (X, Mu, S{1}, Pi);");
%!   want = exp (plain_log_gmm (X, Mu, S{1}, Pi));
%!   assert (max (abs (P - want) ./ want) < 1e-12);
%! end
%!error <Velmora: Invalid dimensions> evalc ("P = Velmora (ones (2, 4), zeros (3, 1), ones (2, 1), 1);")
%!error <Velmora: Use \[P\] = Velmora\(X,Mu,Sigma,Pi\)> evalc ("Velmora (ones (2, 4), zeros (2, 1), ones (2, 1), 1);")

%% VelmoraLogParallel, where the parallel package is installed
%!testif ; ! isempty (pkg ("list", "parallel"))
%! [X, Mu, Sdiag, Sfull, Pi] = mixture (5000);   % a block for each worker
%! [logP, R] = VelmoraLog (X, Mu, Sfull, Pi);
%! [plogP, pR] = VelmoraLogParallel (X, Mu, Sfull, Pi, 2);
%! assert (isequal (plogP, logP) && isequal (pR, R), "two workers differ from one call");
%! try
%!   VelmoraLogParallel (X, Mu, -Sdiag, Pi, 2);
%!   error ("a worker's error was lost");
%! catch err
%!   assert (err.identifier, "Velmora:covariance");
%! end
%!error id=Velmora:usage VelmoraLogParallel (ones (2, 4), zeros (2, 1), ones (2, 1), 1, 0)

%% Models given as gmdistribution objects (or structs with their fields):
%% points as rows, logP and R as pdf and posterior give them.
%!test
%! mu = [0 0 0; 4 4 4];  S = cat (3, [2 0.5 0; 0.5 1 0; 0 0 1], eye (3));  p = [0.3 0.7];
%! s = struct ("mu", mu, "Sigma", S, "ComponentProportion", p);
%! X = [randn(100, 3); randn(100, 3) + 4];
%! [logP, R] = VelmoraLog (X, s);
%! [want, wantR] = plain_log_gmm (X.', mu.', S, p);
%! assert (size (logP), [200 1]);
%! assert (logP, want.', 1e-12 * max (abs (want)));
%! assert (R, wantR.', 1e-12);
%!testif ; ! isempty (pkg ("list", "statistics"))
%! pkg load statistics
%! gm = gmdistribution ([0 0; 3 3], reshape ([1 2; 2 1], 1, 2, 2), [0.4 0.6]);  % diagonal
%! X = randn (50, 2) * 2;
%! [logP, R] = VelmoraLog (X, gm);
%! assert (logP, log (pdf (gm, X)), 1e-12 * max (abs (logP)));
%! assert (R, posterior (gm, X), 1e-12);
%!error id=Velmora:dimensions VelmoraLog (ones (4, 2), struct ("mu", zeros (1, 3), "Sigma", eye (3), "ComponentProportion", 1))
