% VelmoraFit in a real host: a model VelmoraLog takes, the history, seeded
% repeats, single and N-D data, Display, refusals with their identifiers,
% and the statistics package's fitgmdist from the same start.
rand ("seed", 11);  randn ("seed", 11);
dim = 3;  K = 3;  N = 1200;
C = [0 6 0; 0 0 6; 0 3 -3] + 100;
X = zeros (dim, N);
for j = 1:N
  k = mod (j - 1, K) + 1;
  X(:, j) = C(:, k) + [1 0 0; 0.4 1 0; -0.3 0.2 0.8] * randn (dim, 1);
end

% A fit, its model through VelmoraLog, its history.
for type = {"full", "diagonal"}
  [model, info] = VelmoraFit (X, K, "CovarianceType", type{1}, "Seed", 5);
  assert (size (model.Mu), [dim K]);
  assert (size (model.Sigma), {[dim K], [dim dim K]}{1 + strcmp (type{1}, "full")});
  assert (abs (sum (model.Pi) - 1) < 1e-15);
  assert (info.Converged && info.Iterations == numel (info.History));
  logP = VelmoraLog (X, model.Mu, model.Sigma, model.Pi);
  assert (abs (sum (logP) - info.LogLikelihood) < 1e-12 * abs (info.LogLikelihood));
  assert (all (diff (info.History) >= -1e-12 * abs (info.History(1:end-1))));
  % Every true centre found.
  for k = 1:K
    assert (min (sqrt (sum ((model.Mu - C(:, k)) .^ 2, 1))) < 0.3);
  end
  printf ("%s: %d iterations, log-likelihood %.10g\n", type{1}, info.Iterations, info.LogLikelihood);
end

% The same seed gives the same bits; single and N-D data as their doubles.
[a, ia] = VelmoraFit (X, K, "Seed", 9, "Replicates", 2, "Start", "randSample");
[b, ib] = VelmoraFit (X, K, "Seed", 9, "Replicates", 2, "Start", "randSample");
assert (isequal (a, b) && isequal (ia.History, ib.History));
Xs = single (X);
assert (isequal (VelmoraFit (Xs, K, "MaxIter", 3), VelmoraFit (double (Xs), K, "MaxIter", 3)));
assert (isequal (VelmoraFit (reshape (X, dim, 40, 30), K, "MaxIter", 3), VelmoraFit (X, K, "MaxIter", 3)));

% Labels and a struct start; exactly MaxIter iterations with TolFun 0.
labels = mod (0:N-1, K) + 1;
[m, info] = VelmoraFit (X, K, "Start", labels, "MaxIter", 4, "TolFun", 0);
assert (info.Iterations == 4 && ! info.Converged && strcmp (info.Start, "labels"));
[m2, info2] = VelmoraFit (X, K, "Start", m, "MaxIter", 2, "TolFun", 0);
assert (numel (info2.History) == 2 && strcmp (info2.Start, "parameters"));
assert (abs (info2.History(1) - info.LogLikelihood) < 1e-12 * abs (info.LogLikelihood));

% Display.
out = evalc ("VelmoraFit (X, K, 'Display', 'iter', 'MaxIter', 3, 'TolFun', 0);");
assert (! isempty (strfind (out, "iteration       log-likelihood")), out);
assert (! isempty (strfind (out, "Replicate 1: 3 iterations")), out);
assert (evalc ("VelmoraFit (X, K, 'MaxIter', 2);"), "");

% Refusals: identifier and message.
refused = @(varargin) expect_refusal (@VelmoraFit, varargin{:});
refused ("Velmora:usage", "VelmoraFit: At least 2 inputs are needed", X);
refused ("Velmora:usage", "K must be at most the number of points", X(:, 1:2), 3);
refused ("Velmora:usage", "Unknown option 'Tolerance'", X, K, "Tolerance", 1);
refused ("Velmora:usage", "'MaxIter' must be a positive whole number; it is 1.5", X, K, "MaxIter", 1.5);
refused ("Velmora:usage", "'CovarianceType' must be 'full' or 'diagonal'; it is 'diag'", X, K, "CovarianceType", "diag");
refused ("Velmora:usage", "'Start' labels give cluster 2 no point", X, K, "Start", ones (1, N));
refused ("Velmora:type", "X must be a double or single array; it is int32", int32 (X), K);
refused ("Velmora:dimensions", "'Start'.Mu must be 3 x 3", X, K, "Start", struct ("Mu", 1, "Sigma", 1, "Pi", 1));
refused ("Velmora:priors", "'Start'.Pi(2) is 0", X, K, "Start", struct ("Mu", C, "Sigma", eye (3), "Pi", [1 0 1]));
refused ("Velmora:covariance", "In 'Start': The covariance of cluster 1", X, K, "Start", struct ("Mu", C, "Sigma", zeros (3), "Pi", [1 1 1]));
% A gmdistribution's start is named as the start, in the model's own terms.
refused ("Velmora:priors", "In 'Start': The model's ComponentProportion(2) is -1", X, K, "Start", ...
         struct ("mu", C.', "Sigma", eye (3), "ComponentProportion", [1 -1 1]));
% At dim 1 a full fit's Sigma, 1 x 1 x K, is also K variances: a diagonal
% fit takes it as its start.
x1 = [randn(1, 200), randn(1, 200) + 8];
m1 = VelmoraFit (x1, 2, "MaxIter", 3);
assert (size (m1.Sigma), [1 1 2]);
m2 = VelmoraFit (x1, 2, "CovarianceType", "diagonal", "Start", m1, "MaxIter", 1);
assert (size (m2.Sigma), [1 2]);
Xn = X;  Xn(2, 17) = NaN;
refused ("Velmora:data", "X(2,17) is NaN", Xn, K);
% A cluster on a lone far point, without regularisation.
Xf = [X, [500; 500; 500]];
refused ("Velmora:fit", "The covariance of cluster 4 stopped being positive definite at iteration 1",
         Xf, 4, "RegularizationValue", 0,
         "Start", struct ("Mu", [C, [500; 500; 500]], "Sigma", eye (3), "Pi", [1 1 1 1]));

% A start far from tight data: the mean moves 1e8 spreads in one
% iteration, and the covariance is still the data's own (two passes, in
% plain Octave), not what is left after cancellation; in 2-D, no spurious
% failure.
randn ("state", 17);
Xfar = 1e5 + 1e-3 * randn (2, 1000);
for d = 1:2
  x = Xfar(1:d, :);
  [m, info] = VelmoraFit (x, 1, "Start", struct ("Mu", zeros (d, 1), "Sigma", eye (d), "Pi", 1),
                          "MaxIter", 1, "TolFun", 0);
  c = x - mean (x, 2);
  want = (c * c') / columns (x) + 1e-6 * eye (d);
  assert (max (abs (m.Sigma(:) - want(:))) < 1e-11 * max (abs (want(:))));
  assert (info.ExtraPasses, 1);
end

% Warnings: no more points than dimensions (the look of data laid out as
% fitgmdist takes them), and MaxIter reached unless Display is 'off'.
lastwarn ("");
VelmoraFit (X(:, 1:4), 1, "MaxIter", 1);
assert (lastwarn (), "");
VelmoraFit (X(:, 1:3), 1, "MaxIter", 1);
[msg, id] = lastwarn ();
assert (id, "Velmora:layout");
assert (msg, ["VelmoraFit: X has 3 rows and 3 columns: 3 points in 3 dimensions, no more points ", ...
              "than dimensions. VelmoraFit takes one point per column; for one point per row, as ", ...
              "fitgmdist takes them, call velmora_fitgmdist(X, K, ...) or VelmoraFit(X.', K, ...)."]);
for quiet = {{"MaxIter", 2}, {"MaxIter", 2, "TolFun", 0, "Display", "final"}}
  lastwarn ("");
  evalc ("VelmoraFit (X, K, quiet{1}{:});");
  assert (lastwarn (), "");
end
for display = {"final", "iter"}
  lastwarn ("");
  evalc ("[~, info] = VelmoraFit (X, K, 'MaxIter', 2, 'Display', display{1});");
  [msg, id] = lastwarn ();
  assert (id, "Velmora:notConverged");
  assert (msg, sprintf (["VelmoraFit: The fit stopped at MaxIter (2 iterations) before converging: ", ...
                         "in its last iteration the log-likelihood per point rose by %.6g, not ", ...
                         "less than TolFun (1e-06). Raise 'MaxIter' (or 'TolFun') to let it converge."], ...
                        diff (info.History) / N));
end
warning ("off", "Velmora:notConverged");
lastwarn ("");
evalc ("VelmoraFit (X, K, 'MaxIter', 2, 'Display', 'final');");
assert (lastwarn (), "");
warning ("on", "Velmora:notConverged");

% Octave's fitgmdist (statistics package) from the same start: the same
% iterations give the same parameters; its NegativeLogLikelihood is that of
% the last E-step, our History(end).
warning ("off", "all");
if (isempty (pkg ("list", "statistics")))
  printf ("fitgmdist: the statistics package is not installed, comparison skipped\n");
else
  pkg load statistics
  S0 = repmat (eye (dim), [1 1 K]);
  P0 = [0.5 0.3 0.2];
  M0 = C + 0.8;
  for iterations = [1 6]
    g = fitgmdist (X', K, "Start", struct ("mu", M0', "Sigma", S0, "ComponentProportion", P0),
                   "RegularizationValue", 1e-4,
                   "Options", struct ("MaxIter", iterations, "TolFun", 0, "Display", "off"));
    [m, info] = VelmoraFit (X, K, "Start", struct ("Mu", M0, "Sigma", S0, "Pi", P0),
                            "MaxIter", iterations, "TolFun", 0, "RegularizationValue", 1e-4);
    mu_err = max (abs (m.Mu(:) - g.mu'(:))) / max (abs (g.mu(:)));
    sigma_err = max (abs (m.Sigma(:) - g.Sigma(:))) / max (abs (g.Sigma(:)));
    pi_err = max (abs (m.Pi(:) - g.ComponentProportion(:)));
    nll_err = abs (info.History(end) + g.NegativeLogLikelihood) / g.NegativeLogLikelihood;
    printf ("fitgmdist, %d iterations: relative differences mu %.2g, Sigma %.2g, Pi %.2g, log-likelihood %.2g\n",
            iterations, mu_err, sigma_err, pi_err, nll_err);
    assert (mu_err < 1e-10 && sigma_err < 1e-10 && pi_err < 1e-10 && nll_err < 1e-10);
  end
end
