% VelmoraLog in a real host: results against plain Octave, the forms of the
% call, and every refusal with its identifier.
rand ("seed", 3);  randn ("seed", 3);
worst = 0;
for dim = [1 3 17]
  for K = [1 4]
    X = randn (dim, 200) + 1000;  Mu = randn (dim, K) + 1000;  Pi = rand (1, K) + 0.1;
    Sdiag = 0.5 + rand (dim, K);
    Sfull = random_covariances (dim, K, 0.5);
    for S = {Sdiag, Sfull, reshape(Sfull, dim, [])}
      [logP, R] = VelmoraLog (X, Mu, S{1}, Pi);
      [wantP, wantR] = plain_octave_log_gmm (X, Mu, S{1}, Pi);
      err = max (abs (logP - wantP) ./ max (1, abs (wantP)));
      worst = max (worst, err);
      assert (err < 1e-11, "dim %d, K %d: log-density off by %g", dim, K, err);
      assert (max (abs (R(:) - wantR(:))) < 1e-11);
      assert (max (abs (sum (R, 1) - 1)) < 1e-13);
    end
  end
end
printf ("log-densities: largest relative error %g\n", worst);

% Agrees with Velmora where P does not underflow; finite where it does.
X = randn (2, 50);  Mu = [0 1; 0 1];  S = [1 2; 1 2];  Pi = [0.3 0.7];
evalc ("P = Velmora (X, Mu, S, Pi);");
assert (VelmoraLog (X, Mu, S, Pi), log (P), 1e-12 * max (abs (log (P))));
X8 = randn (800, 20);  M8 = zeros (800, 2);  M8(:, 2) = 0.5;
evalc ("P = Velmora (X8, M8, ones (800, 2), [0.5 0.5]);");
assert (all (P == 0));
logP = VelmoraLog (X8, M8, ones (800, 2), [0.5 0.5]);
assert (all (isfinite (logP)) && all (logP < -1000));
assert (logP, plain_octave_log_gmm (X8, M8, ones (800, 2), [0.5 0.5]), 1e-12 * 1200);

% Call forms: no output sets ans, single X, priors as a column; silence.
X = randn (2, 30);
assert (evalc ("VelmoraLog (X, Mu, S, Pi);"), "");
assert (size (ans), [1 30]);
assert (VelmoraLog (single (X), Mu, S, Pi(:)), VelmoraLog (double (single (X)), Mu, S, Pi), 0);
assert (evalc ("L = VelmoraLog (X, Mu, S, Pi);"), "");

% Refusals: identifier and message.
refused = @(varargin) expect_refusal (@VelmoraLog, varargin{:});
refused ("Velmora:usage", "VelmoraLog: 4 inputs are needed", X, Mu, S);
refused ("Velmora:type", "X must be a double or single array; it is int32", int32 (X), Mu, S, Pi);
refused ("Velmora:type", "Sigma must be full; it is sparse", X, Mu, sparse (S), Pi);
refused ("Velmora:type", "Pi must be real; it is complex", X, Mu, S, Pi + 1i);
refused ("Velmora:dimensions", "Mu must have 2 rows", X, ones (3, 2), S, Pi);
refused ("Velmora:dimensions", "Sigma must be 2 x 2 (diagonal covariances), or 2 x 2 x 2 or 2 x 4 (full", ...
         X, Mu, ones (2, 3), Pi);
refused ("Velmora:dimensions", "Sigma must be 1 x 2 (diagonal covariances), or 1 x 1 x 2 (full covariances) for", ...
         X(1, :), Mu(1, :), ones (1, 3), Pi);  % at dim 1, 1 x 2 is diagonal: not offered as full
% X's trailing dimensions count as points, as in Velmora; Mu's are refused.
assert (VelmoraLog (reshape (X, 2, 5, []), Mu, S, Pi), VelmoraLog (X, Mu, S, Pi));
refused ("Velmora:dimensions", "Mu must be 2 x 2, one centre per column; it is 2 x 1 x 2.", ...
         X, reshape (Mu, 2, 1, 2), S, Pi);
refused ("Velmora:dimensions", ["VelmoraLog: Mu must have at least one column, one per cluster: ", ...
                                "a mixture needs a cluster; it is 2 x 0."], ...
         X, zeros (2, 0), zeros (2, 0), zeros (1, 0));
refused ("Velmora:covariance", "variance 1 of cluster 2, is -1", X, Mu, [1 -1; 1 1], Pi);
refused ("Velmora:covariance", "cluster 1 is not positive definite", X, Mu, ones (2, 2, 2), Pi);
refused ("Velmora:priors", "Pi(2) is NaN", X, Mu, S, [0.5 NaN]);
refused ("Velmora:priors", "Every prior is 0", X, Mu, S, [0 0]);
refused ("Velmora:means", "Mu(1,2), the centre of cluster 2, is NaN", X, [0 NaN; 0 1], S, Pi);
refused ("Velmora:covariance", "cluster 2 is not symmetric", X, Mu, cat (3, eye (2), [1 0.5; 0.4 1]), Pi);
refused ("Velmora:covariance", "Sigma(1,2,1) in the covariance of cluster 1 is Inf", X, Mu, ...
         cat (3, [1 Inf; 0 1], eye (2)), Pi);

% Points with NaN or infinite coordinates, the same in both modes.
Xn = randn (2, 6);  Xn(1, 2) = NaN;  Xn(2, 3) = Inf;  Xn(:, 4) = [-Inf; NaN];  Xn(:, 5) = [Inf; -Inf];
Sf = cat (3, diag (S(:, 1)), diag (S(:, 2)));
for Sm = {S, Sf}
  [l, r] = VelmoraLog (Xn, Mu, Sm{1}, Pi);
  assert (isnan (l([2 4])) && all (l([3 5]) == -Inf) && all (isfinite (l([1 6]))));
  assert (all (all (isnan (r(:, 2:5)))) && all (isfinite (r(:, [1 6]))(:)));
  assert (l([1 6]), VelmoraLog (Xn(:, [1 6]), Mu, Sm{1}, Pi), 0);
end
try
  [a, b, c] = VelmoraLog (X, Mu, S, Pi);
  error ("three outputs were accepted");
catch err
  assert (err.identifier, "Velmora:usage");
end
