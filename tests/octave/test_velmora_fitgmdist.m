% velmora_fitgmdist, fitgmdist's call with one point per row: VelmoraFit's
% numbers on X.', rows with NaN left out (labels and weights following the
% rows kept), fitgmdist's relative TolFun, the gmdistribution it returns and
% the struct where there is none, its refusals, and fitgmdist's own demos.
warning ("off", "Octave:shadowed-function");
rand ("seed", 23);  randn ("seed", 23);
d = 3;  K = 3;  N = 900;
C = [0 6 0; 0 0 6; 0 3 -3] + 50;
X = zeros (N, d);                                   % one point per row
for j = 1:N
  X(j, :) = C(:, mod (j - 1, K) + 1).' + randn (1, d) * [1 0.3 0; 0 1 0.2; 0 0 0.7];
end
mu0 = C.' + 0.7;                                    % K x d, as fitgmdist takes it
start = struct ("mu", mu0, "Sigma", repmat (eye (d), [1 1 K]), "ComponentProportion", [0.5 0.3 0.2]);
vstart = struct ("Mu", mu0.', "Sigma", repmat (eye (d), [1 1 K]), "Pi", [0.5 0.3 0.2]);
fit_options = struct ("MaxIter", 5, "TolFun", 0);

% Without the statistics package's gmdistribution: a struct with its fields.
have_statistics = ! isempty (pkg ("list", "statistics"));
if (have_statistics)
  pkg unload statistics
end
assert (! exist ("gmdistribution"));
[s, info] = velmora_fitgmdist (X, K, "Start", start, "Options", fit_options);
[m, vinfo] = VelmoraFit (X.', K, "Start", vstart, "MaxIter", 5, "TolFun", 0, "RegularizationValue", 0);
assert (isstruct (s));
assert (isequal (s.mu, m.Mu.') && isequal (s.Sigma, m.Sigma) && isequal (s.ComponentProportion, m.Pi));
assert ([s.NumComponents, s.NumVariables, s.NumIterations], [K, d, 5]);
assert (s.NegativeLogLikelihood, -vinfo.LogLikelihood);
assert ([s.AIC, s.BIC, s.RegularizationValue], [vinfo.AIC, vinfo.BIC, 0]);
assert (! s.Converged && ! s.SharedCovariance && strcmp (s.CovarianceType, "full"));
assert (isequal (info.History, vinfo.History) && info.RowsLeftOut == 0);
assert (VelmoraLog (X, s), VelmoraLog (X.', m.Mu, m.Sigma, m.Pi).');
if (! have_statistics)
  printf ("statistics package not installed: gmdistribution cases skipped\n");
  return;
end
pkg load statistics

% The same numbers as VelmoraFit on X.', in every covariance form, with
% the fit's figures set on the gmdistribution.
forms = {{}, {"CovarianceType", "diagonal"}, {"SharedCovariance", true}, ...
         {"CovType", "diagonal", "SharedCov", true}};
vforms = {{}, {"CovarianceType", "diagonal"}, {"SharedCovariance", true}, ...
          {"CovarianceType", "diagonal", "SharedCovariance", true}};
for f = 1:numel (forms)
  vs = vstart;
  gs = start;
  if (any (strcmp (forms{f}, "diagonal")))
    vs.Sigma = ones (d, K);
    gs.Sigma = ones (1, d, K);
  end
  gm = velmora_fitgmdist (X, K, "Start", gs, "Options", fit_options, "Regularize", 1e-3, forms{f}{:});
  % At TolFun 0 the fit ends where the log-likelihood stops rising: with
  % diagonal covariances (regularised, so not always rising) at iteration 4.
  [m, vinfo] = VelmoraFit (X.', K, "Start", vs, "MaxIter", gm.NumIterations, "TolFun", 0, ...
                           "RegularizationValue", 1e-3, vforms{f}{:});
  assert (isa (gm, "gmdistribution"));
  assert (isequal (gm.mu, m.Mu.'));
  want = velmora_gmdistribution (m, vinfo);
  assert (isequal (gm.Sigma, want.Sigma), "form %d", f);
  assert (gm.SharedCovariance, any (strcmp (vforms{f}, "SharedCovariance")));
  assert (gm.ComponentProportion, m.Pi, 1e-15);
  assert ([gm.NegativeLogLikelihood, gm.AIC, gm.BIC], [-vinfo.LogLikelihood, vinfo.AIC, vinfo.BIC]);
  fell = any (diff (vinfo.History) <= 0);  % diagonal: at iteration 4; shared diagonal: 5
  assert ([gm.NumIterations, gm.Converged, gm.RegularizationValue], [5 - (f == 2), fell, 1e-3]);
end

% Rows with a NaN are left out; labels and weights follow the rows kept.
Xn = X;  Xn([4 77 500], [2 1 3]) = NaN;
Xn(77, 2) = -Inf;  % goes with its row's NaN
kept = true (N, 1);  kept([4 77 500]) = false;
labels = mod ((0:N-1).', K) + 1;
[gm, info] = velmora_fitgmdist (Xn, K, "Start", labels, "Options", fit_options);
m = VelmoraFit (X(kept, :).', K, "Start", labels(kept).', "MaxIter", gm.NumIterations, "TolFun", 0, ...
                "RegularizationValue", 0);
assert (isequal (gm.mu, m.Mu.') && isequal (gm.Sigma, m.Sigma));
assert (info.RowsLeftOut, 3);

% TolFun as fitgmdist reads it: the first iteration whose rise is at most
% TolFun x max(1, |log-likelihood|) (the full history comes from TolFun
% 0), with the model of that iteration's M-step, bit for bit. On these
% data (fitgmdist's 1-D demo, shrunk) EM converges slowly and the
% log-likelihood ends near 0; shrunk further (/ 600, / 6000) it is
% positive and grows, far past that of one Gaussian for all (a per-point
% rule scaled from that went past the stop). At TolFun 0 the fit ends
% where the log-likelihood stops rising.
randn ("seed", 4);
Xf = [30 + 10 * randn(1, 10), 60 + 10 * randn(1, 10)]' / 60;
sf = struct ("mu", [38; 18] / 60, "Sigma", 10 / 3600 * ones (1, 1, 2), "ComponentProportion", [0.5 0.5]);
for shrink = [1 10 100]
  Xs = Xf / shrink;
  ss = struct ("mu", sf.mu / shrink, "Sigma", sf.Sigma / shrink ^ 2, "ComponentProportion", [0.5 0.5]);
  vs = struct ("Mu", ss.mu.', "Sigma", ss.Sigma, "Pi", [0.5 0.5]);
  [~, long] = VelmoraFit (Xs.', 2, "Start", vs, "MaxIter", 1000, "TolFun", 0, "RegularizationValue", 0);
  H = long.History;
  for tol = [1e-3 1e-6 1e-9 0]
    stop = find (diff (H) <= tol * max (1, abs (H(2:end))), 1) + 1;
    assert (! isempty (stop), "TolFun %g: the reference run never meets the rule", tol);
    want = VelmoraFit (Xs.', 2, "Start", vs, "MaxIter", stop, "TolFun", 0, "RegularizationValue", 0);
    out = evalc (["[gm, info] = velmora_fitgmdist (Xs, 2, 'Start', ss, 'Options', ", ...
                  "struct ('TolFun', tol, 'MaxIter', 1000, 'Display', 'final'));"]);
    printf ("X / %d, TolFun %g: stops at iteration %d of the reference, velmora_fitgmdist at %d\n", ...
            60 * shrink, tol, stop, gm.NumIterations);
    assert (gm.NumIterations, stop);
    assert (gm.Converged);
    assert (isequal (gm.mu, want.Mu.') && isequal (gm.Sigma, want.Sigma), ...
            "X / %d, TolFun %g: not the model of iteration %d", 60 * shrink, tol, stop);
    assert (info.History, H(1:stop), 1e-13 * abs (H(1)));
  end
end
% Three clusters: the rule first holds at iteration 73, at the E-step
% after the one where a per-point rule would have stopped (whose model is
% one M-step behind). A start of parameters is one start whatever
% 'Replicates' says, as in fitgmdist.
randn ("seed", 1);
Xa = [randn(300, 2); randn(300, 2) * 0.6 + [2 1]; randn(200, 2) * 0.8 - 1.5];
sa = struct ("mu", Xa([297 89 105], :), "Sigma", repmat (cov (Xa), [1 1 3]), ...
             "ComponentProportion", [1 1 1] / 3);
va = struct ("Mu", sa.mu.', "Sigma", sa.Sigma, "Pi", sa.ComponentProportion);
[~, long] = VelmoraFit (Xa.', 3, "Start", va, "MaxIter", 300, "TolFun", 0, "RegularizationValue", 0);
stop = find (diff (long.History) <= 1e-6 * max (1, abs (long.History(2:end))), 1) + 1;
want = VelmoraFit (Xa.', 3, "Start", va, "MaxIter", stop, "TolFun", 0, "RegularizationValue", 0);
gm = velmora_fitgmdist (Xa, 3, "Start", sa);
assert (gm.NumIterations, stop);
assert (isequal (gm.mu, want.Mu.') && isequal (gm.Sigma, want.Sigma));
[gr, info] = velmora_fitgmdist (Xa, 3, "Start", sa, "Replicates", 3);
assert (isequal (gr.mu, gm.mu) && info.Replicates == 1);
[~, long] = VelmoraFit (Xf.', 2, "Start", struct ("Mu", sf.mu.', "Sigma", sf.Sigma, "Pi", [0.5 0.5]), ...
                        "MaxIter", 3, "TolFun", 0, "RegularizationValue", 0);
H = long.History;
[gm, info] = velmora_fitgmdist (Xf, 2, "Start", sf, "Options", struct ("TolFun", 1e-300, "MaxIter", 3));
assert (! gm.Converged && gm.NumIterations == 3 && isequal (info.History, H(1:3)));

% MaxIter reached: a warning unless Display is 'off'.
lastwarn ("");
velmora_fitgmdist (Xf, 2, "Start", sf, "Options", struct ("MaxIter", 2));
assert (lastwarn (), "");
for display = {"final", "notify", "iter"}
  evalc ("velmora_fitgmdist (Xf, 2, 'Start', sf, 'Options', struct ('MaxIter', 2, 'Display', display{1}));");
  [msg, id] = lastwarn ();
  assert (id, "Velmora:notConverged");
  assert (msg, ["velmora_fitgmdist: the fit stopped at MaxIter (2 iterations) before the ", ...
                "log-likelihood's rise fell to TolFun (1e-06) times its size. Raise MaxIter ", ...
                "(in 'Options') to let it converge."]);
  lastwarn ("");
end
warning ("off", "Velmora:notConverged");
velmora_fitgmdist (Xf, 2, "Start", sf, "Options", struct ("MaxIter", 2, "Display", "notify"));
assert (lastwarn (), "");
warning ("on", "Velmora:notConverged");
% Few rows, many columns is fitgmdist's layout here: no Velmora:layout.
velmora_fitgmdist (X(1:3, :), 1, "Options", struct ("MaxIter", 1), "Regularize", 1);
assert (lastwarn (), "");

% 'plus' and 'randSample' draw their seed from rand.
for how = {"plus", "randSample"}
  rand ("seed", 5);  a = velmora_fitgmdist (X, K, "Start", how{1}, "Replicates", 2);
  rand ("seed", 5);  b = velmora_fitgmdist (X, K, "Start", how{1}, "Replicates", 2);
  assert (isequal (a.mu, b.mu) && isequal (a.Sigma, b.Sigma));
end

% Refusals, named as the caller wrote the call.
refused = @(varargin) expect_refusal (@velmora_fitgmdist, varargin{:});
refused ("Velmora:usage", "'Start' 'cluster' is not supported here", X, K, "Start", "cluster");
refused ("Velmora:dimensions", "X must hold at least one point, one per row, of at least one coordinate; it is 0 x 3.", zeros (0, 3), 1);
% Sparse weights and logical data are taken as their full doubles.
gs = velmora_fitgmdist (X, K, "Start", start, "Options", fit_options, "Weights", sparse (ones (N, 1)));
g1 = velmora_fitgmdist (X, K, "Start", start, "Options", fit_options, "Weights", ones (N, 1));
assert (isequal (gs.mu, g1.mu) && isequal (gs.Sigma, g1.Sigma));
B = X > 50;
gl = velmora_fitgmdist (B, 2, "Options", fit_options, "RegularizationValue", 1e-3);
assert (islogical (B));
assert (size (gl.mu), [2, d]);
refused ("Velmora:usage", "MaxIter, TolFun and Display go in 'Options'", X, K, "MaxIter", 5);
refused ("Velmora:usage", "'Replicates' must be a positive whole number; it is 2.5.", X, K, ...
         "Replicates", 2.5);
refused ("Velmora:dimensions", "'Start' labels must be one per row of X, 900 x 1; it is 1 x 899", ...
         X, K, "Start", labels(1:end-1).');
refused ("Velmora:dimensions", ["In 'Start': The model's mu must be K x d, one centre per row ", ...
                                "(2 x 3 for its Sigma, 3 x 3 x 2, and its ComponentProportion, ", ...
                                "1 x 2); it is 3 x 2: pass mu.'."], ...
         X, 2, "Start", struct ("mu", mu0(1:2, :).', "Sigma", repmat (eye (3), [1 1 2]), ...
                                "ComponentProportion", [0.5 0.5]));
% Centres for another K, named in this call's layout (it was VelmoraFit's
% "'Start'.Mu must be 3 x 3 ...; it is 3 x 2", transposed).
refused ("Velmora:dimensions", ["In 'Start': mu must be K x d, 3 x 3 for 3 clusters and X with ", ...
                                "3 columns; it is 2 x 3."], ...
         X, K, "Start", struct ("mu", mu0(1:2, :), "Sigma", eye (3)));
refused ("Velmora:dimensions", "with 'CovarianceType' 'diagonal', Sigma must be diagonal, 1 x 3 x 3", ...
         X, K, "Start", start, "CovarianceType", "diagonal");
refused ("Velmora:usage", "'Options'.Display must be 'off', 'final', 'iter' or 'notify'; it is 'on'", ...
         X, K, "Options", struct ("Display", "on"));
% Values the comparisons let through are named as 'Options' fields, not
% as VelmoraFit's options.
refused ("Velmora:usage", "'Options'.MaxIter must be a positive whole number; it is Inf", ...
         X, K, "Options", struct ("MaxIter", Inf));
refused ("Velmora:usage", "'Options'.MaxIter must be a positive whole number; it is 5+1i", ...
         X, K, "Options", struct ("MaxIter", 5 + 1i));
refused ("Velmora:usage", "'Options'.TolFun must be a finite number, 0 or more; it is 0.001+1i", ...
         X, K, "Options", struct ("TolFun", 1e-3 + 1i));
try
  [a, b, c] = velmora_fitgmdist (X, K);
  error ("3 outputs were given");
catch err
  assert (err.identifier, "Velmora:usage");
  assert (strncmp (err.message, "At most 2 outputs are given, gm and info; 3 were asked for.", 59), err.message);
end
refused ("Velmora:usage", "'ProbabilityTolerance' must be a number from 0 to 1e-6; it is 0.001", ...
         X, K, "ProbabilityTolerance", 1e-3);
refused ("Velmora:dimensions", "'Weights' must hold one weight per row of X, 900 x 1; it is 899 x 1", ...
         X, K, "Weights", ones (N - 1, 1));
refused ("Velmora:dimensions", "'Weights' must hold one weight per row of X, 900 x 1; it is 1 x 899", ...
         X, K, "Weights", ones (1, N - 1));
refused ("Velmora:usage", "'Weights'(2) is -1: weights must be finite and 0 or more.", ...
         X, K, "Weights", [1; -1; ones(N - 2, 1)]);
Xi = X;  Xi(12, 3) = Inf;
refused ("Velmora:data", "X(12,3) is Inf", Xi, K);
refused ("Velmora:usage", "K must be at most the number of points, 2 (the rows of X without a NaN)", ...
         [1 2; NaN 1; 3 4], 3);

% fitgmdist's own demos, and what they use of the result.
C1 = randn (100, 2) + 2;  C2 = randn (100, 2) - 2;
GMModel = velmora_fitgmdist ([C1; C2], 2);
[heights, bins] = hist3 ([C1; C2]);
[xx, yy] = meshgrid (bins{1}, bins{2});
p = reshape (GMModel.pdf ([xx(:), yy(:)]), size (heights));
assert (all (p(:) >= 0) && any (p(:) > 0));
assert (sort (GMModel.mu(:, 1)).', [-2 2], 0.4);
idx = cluster (GMModel, [C1; C2]);
assert (mean (idx(1:100) == mode (idx(1:100))) > 0.9 && mean (idx(101:200) != mode (idx(1:100))) > 0.9);
assert (posterior (GMModel, [C1; C2]), nthargout (2, @VelmoraLog, [C1; C2], GMModel), 1e-12);
Angle_Theta = [30 + 10 * randn(1, 10), 60 + 10 * randn(1, 10)]';
start1 = struct ("mu", [38.0; 18.0], "Sigma", 10 * ones (1, 1, 2), "ComponentProportion", [0.5 0.5]);
g = velmora_fitgmdist (Angle_Theta, 2, "Start", start1, "RegularizationValue", 0.0001);
peer = fitgmdist (Angle_Theta, 2, "Start", start1, "RegularizationValue", 0.0001);
printf ("fitgmdist's 1-D demo: %d iterations, fitgmdist %d; mu %s against %s\n", ...
        g.NumIterations, peer.NumIterations, mat2str (g.mu', 6), mat2str (peer.mu', 6));
assert (g.NumIterations, peer.NumIterations);
assert (g.mu, peer.mu, 1e-6 * max (abs (peer.mu)));

% ---------------------------------------------------------------------------
% Weights and ProbabilityTolerance are VelmoraFit's options, passed on.
% Whole weights count a row that many times, TolFun's stop included (and
% fitgmdist's TolFun is relative, so a thousandth of them stops there too);
% they follow the rows kept.
w = mod ((0:N-1).', 3) + 1;
for opts = {fit_options, struct("MaxIter", 100, "TolFun", 1e-6)}
  gr = velmora_fitgmdist (X(repelem ((1:N).', w), :), K, "Start", start, "Options", opts{1});
  for part = [1 1e-3]
    gw = velmora_fitgmdist (X, K, "Start", start, "Options", opts{1}, "Weights", part * w);
    assert (gw.NumIterations, gr.NumIterations);
    assert (gw.mu, gr.mu, 1e-12 * max (abs (gr.mu(:))));
    assert (gw.Sigma, gr.Sigma, 1e-12 * max (abs (gr.Sigma(:))));
    assert (gw.ComponentProportion, gr.ComponentProportion, 1e-12);
    assert (gw.NegativeLogLikelihood, part * gr.NegativeLogLikelihood,
            1e-12 * gr.NegativeLogLikelihood);
  end
end
wn = w;  wn([4 77 500]) = [50 60 70];
gn = velmora_fitgmdist (Xn, K, "Start", start, "Options", fit_options, "Weights", wn);
gk = velmora_fitgmdist (X(kept, :), K, "Start", start, "Options", fit_options, "Weights", w(kept));
assert (isequal (gn.mu, gk.mu) && isequal (gn.Sigma, gk.Sigma));
% Passed on as given.
gp = velmora_fitgmdist (X, K, "Start", start, "Options", fit_options, "ProbabilityTolerance", 1e-7);
mp = VelmoraFit (X.', K, "Start", vstart, "MaxIter", 5, "TolFun", 0, "RegularizationValue", 0, ...
                 "ProbabilityTolerance", 1e-7);
assert (isequal (gp.mu, mp.Mu.') && isequal (gp.Sigma, mp.Sigma));
