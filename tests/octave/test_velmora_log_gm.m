% VelmoraLog and VelmoraLogParallel with a gmdistribution of the statistics
% package, or a struct with its fields: one point per row of X, logP N x 1
% and R N x K as pdf and posterior give them, in every covariance form.
pkg load statistics
pkg load parallel
rand ("seed", 7);  randn ("seed", 7);
d = 3;  K = 3;  % d == K: the forms must come from the model, not from a count of columns
mu = randn (K, d) * 3;  p = rand (1, K) + 0.2;  p /= sum (p);
full = random_covariances (d, K, 0.5);
diagonal = reshape (0.5 + rand (d, K), 1, d, K);
forms = {full, diagonal, full(:, :, 1), diagonal(:, :, 1)};
names = {"full", "diagonal", "shared full", "shared diagonal"};
X = mu(randi (K, 500, 1), :) + randn (500, d);
for f = 1:numel (forms)
  gm = gmdistribution (mu, forms{f}, p);
  [logP, R] = VelmoraLog (X, gm);
  assert (size (logP), [500 1]);
  assert (size (R), [500 K]);
  want = log (pdf (gm, X));
  err = max (abs (logP - want) ./ max (1, abs (want)));
  assert (err < 1e-12, "%s: logP off by %g", names{f}, err);
  assert (max (abs (R(:) - reshape (posterior (gm, X), [], 1))) < 1e-12, "%s: R", names{f});
  s = struct ("mu", mu, "Sigma", forms{f}, "ComponentProportion", gm.ComponentProportion);
  assert (isequal (VelmoraLog (X, s), logP), "%s: a struct differs from the object", names{f});
  [plogP, pR] = VelmoraLogParallel (X, gm, 2);
  assert (isequal (plogP, logP) && isequal (pR, R), "%s: two workers differ", names{f});
end
% The rows of X are the columns of the plain call, bit for bit.
gm = gmdistribution (mu, full, p);
[logP, R] = VelmoraLog (X, gm);
[clogP, cR] = VelmoraLog (X.', mu.', full, gm.ComponentProportion);
assert (isequal (logP, clogP.') && isequal (R, cR.'));

% VelmoraFit starts from a model and gives one back.
[m1, i1] = VelmoraFit (X.', K, "Start", gm, "MaxIter", 3, "TolFun", 0);
[m2, i2] = VelmoraFit (X.', K, "Start", struct ("Mu", mu.', "Sigma", full, "Pi", gm.ComponentProportion), ...
                       "MaxIter", 3, "TolFun", 0);
assert (isequal (m1, m2) && isequal (i1.History, i2.History), "a gmdistribution start differs");
g1 = velmora_gmdistribution (m1);
assert (VelmoraLog (X, g1), log (pdf (g1, X)), 1e-12 * max (abs (log (pdf (g1, X)))));
% gmdistribution renormalises the proportions: a rounding apart, no more.
assert (VelmoraLog (X, g1), VelmoraLog (X.', m1.Mu, m1.Sigma, m1.Pi).', 1e-13);
gd = gmdistribution (mu, diagonal, p);  % a diagonal start for a full fit
md = VelmoraFit (X.', K, "Start", gd, "MaxIter", 2, "TolFun", 0);
assert (size (md.Sigma), [d d K]);
md = VelmoraFit (X.', K, "Start", gd, "MaxIter", 2, "TolFun", 0, "CovarianceType", "diagonal");
gdd = velmora_gmdistribution (md);
assert (gdd.CovarianceType, "diagonal");
assert (VelmoraLog (X, gdd), VelmoraLog (X.', md.Mu, md.Sigma, md.Pi).', 1e-13);
% Priors near the largest double, whose sum overflows, are proportions too.
gh = velmora_gmdistribution (struct ("Mu", md.Mu, "Sigma", md.Sigma, "Pi", 1e308 * ones (1, K)));
assert (gh.ComponentProportion, ones (1, K) / K, eps);

refused = @(varargin) expect_refusal (@VelmoraLog, varargin{:});
refused ("Velmora:dimensions", "X must be N x 3, one point per row", X.', gm);
refused ("Velmora:usage", "ComponentProportion is missing", X, struct ("mu", mu, "Sigma", full));
refused ("Velmora:usage", "Sigma and ComponentProportion are missing.", X, struct ("mu", mu));
refused ("Velmora:usage", "mu, Sigma and ComponentProportion are missing.", X, struct ("m", mu));
refused ("Velmora:dimensions", "The model's Sigma must be 3 x 3 x 3", X, ...
         struct ("mu", mu, "Sigma", ones (2, 2), "ComponentProportion", p));
% A centre or a variance at fault is named by the model's own indices
% (mu is K x d; a diagonal Sigma 1 x d x K), not by those of the d x K
% arrays the plain call takes.
s = struct ("mu", mu, "Sigma", diagonal, "ComponentProportion", p);
bad_mu = mu;  bad_mu(3, 1) = NaN;
bad_var = diagonal;  bad_var(1, 2, 3) = -1;
for c = {{"Velmora:means", "The model's mu(3,1), the centre of cluster 3, is NaN", setfield(s, "mu", bad_mu)}, ...
         {"Velmora:covariance", "The model's Sigma(1,2,3), variance 2 of cluster 3, is -1", ...
          setfield(s, "Sigma", bad_var)}, ...
         {"Velmora:covariance", "The model's Sigma(1,2), variance 2 of every cluster, is 0", ...
          setfield(s, "Sigma", [1 0 1])}, ...
         {"Velmora:priors", "The model's ComponentProportion(2) is -1", ...  % the priors first
          setfield(setfield(s, "mu", bad_mu), "ComponentProportion", [1 -1 1])}, ...
         {"Velmora:dimensions", "The model's ComponentProportion must hold one prior per cluster, as 1 x 3 or 3 x 1 (the model's mu has 3 rows); it is 4 x 1.", ...
          setfield(s, "ComponentProportion", [p 0.1].')}}
  refused (c{1}{1}, c{1}{2}, X, c{1}{3});
end
% A field of the wrong type is named as such, before its shape is read
% (a sparse shared Sigma failed inside repmat, a cell mu was "K x d");
% VelmoraLogParallel refuses it in the caller, in the same words.
s = struct ("mu", mu, "Sigma", full(:, :, 1), "ComponentProportion", p);
for c = {{"Sigma", sparse(eye (d)), "The model's Sigma must be full; it is sparse."}, ...
         {"mu", num2cell(mu), "The model's mu must be a double or single array; it is cell."}, ...
         {"Sigma", "abc", "The model's Sigma must be a double or single array; it is char."}, ...
         {"ComponentProportion", p + 1i, "The model's ComponentProportion must be real; it is complex."}}
  bad = setfield (s, c{1}{1}, c{1}{2});
  refused ("Velmora:type", c{1}{3}, X, bad);
  expect_refusal (@VelmoraLogParallel, "Velmora:type", c{1}{3}, X, bad, 2);
end
% A gmdistribution's mu laid out as VelmoraFit's Mu (d x K) is named as such.
refused ("Velmora:dimensions", ["The model's mu must be K x d, one centre per row (2 x 3 for ", ...
                                "its Sigma, 3 x 3 x 2, and its ComponentProportion, 1 x 2); ", ...
                                "it is 3 x 2: pass mu.'."], ...
         X, struct ("mu", mu(1:2, :).', "Sigma", full(:, :, 1:2), "ComponentProportion", [0.4 0.6]));

% velmora_gmdistribution names the field at fault and the shape it needs.
refused = @(varargin) expect_refusal (@velmora_gmdistribution, varargin{:});
refused ("Velmora:usage", ["The model must have the fields Mu (dim x K), Sigma (dim x K or ", ...
                           "dim x dim x K) and Pi (1 x K) of a VelmoraFit model; Sigma and Pi ", ...
                           "are missing."], struct ("Mu", 1));
refused ("Velmora:usage", "The model has the fields of a gmdistribution (mu, Sigma, ComponentProportion)", ...
         struct ("mu", mu, "Sigma", full, "ComponentProportion", p));
refused ("Velmora:usage", "one struct with fields Mu (dim x K), Sigma (dim x K or dim x dim x K) and Pi (1 x K); it is a 3 x 3 double.", mu);
refused ("Velmora:dimensions", ["The model's Sigma must be 3 x 2 (diagonal) or 3 x 3 x 2 (full), ", ...
                                "for its Mu, 3 x 2; it is 3 x 3."], ...
         struct ("Mu", mu(1:2, :).', "Sigma", eye (3), "Pi", [0.5 0.5]));
refused ("Velmora:dimensions", "The model's Pi must hold one prior per cluster, 1 x 2 (its Mu is 3 x 2); it is 1 x 3.", ...
         struct ("Mu", mu(1:2, :).', "Sigma", ones (3, 2), "Pi", p));
% A model VelmoraLog would refuse, refused with its identifier, and an info
% that is not VelmoraFit's named, where gmdistribution took them silently
% (priors of 0 became NaN proportions) or refused them without one.
m = struct ("Mu", mu(1:2, :).', "Sigma", ones (3, 2), "Pi", [0.5 0.5]);
bad_info = struct ("LogLikelihood", 1, "AIC", 1, "BIC", 1, "Converged", true, "Iterations", 1);
for c = {{"Velmora:priors", "Every prior of the model is 0", setfield(m, "Pi", [0 0])}, ...
         {"Velmora:priors", "The model's Pi(1) is -1", setfield(m, "Pi", [-1 2])}, ...
         {"Velmora:means", "The model's Mu(1,2), the centre of cluster 2, is NaN", ...
          setfield(m, "Mu", [mu(1, :); NaN mu(2, 2:end)].')}, ...
         {"Velmora:covariance", "The model's Sigma(3,2), a variance of cluster 2, is -1", ...
          setfield(m, "Sigma", [1 1; 1 1; 1 -1])}, ...
         {"Velmora:covariance", "The model's Sigma(1,2,1), in the covariance of cluster 1, is Inf", ...
          setfield(m, "Sigma", cat(3, [1 Inf 0; 0 1 0; 0 0 1], eye(3)))}, ...
         {"Velmora:type", "The model's Mu must be a double or single array; it is int8.", ...
          setfield(m, "Mu", int8(m.Mu))}, ...
         {"Velmora:type", "The model's Pi must be a double or single array; it is logical.", ...
          setfield(m, "Pi", [true true])}, ...
         {"Velmora:covariance", "The model's covariance of cluster 2 is not positive definite", ...
          setfield(m, "Sigma", cat(3, eye(3), [1 2 0; 2 1 0; 0 0 1]))}, ...
         {"Velmora:covariance", "The model's covariance of cluster 1 is not symmetric: Sigma(2,1,1)", ...
          setfield(m, "Sigma", cat(3, [1 0.5 0; 0.1 1 0; 0 0 1], eye(3)))}, ...
         {"Velmora:usage", "velmora_gmdistribution takes a VelmoraFit model"}, ...
         {"Velmora:usage", "second input must be VelmoraFit's info, one struct; it is a 1 x 1 double.", m, 3}, ...
         {"Velmora:usage", "RegularizationValue, SharedCovariance are missing.", m, bad_info}}
  refused (c{1}{:});
end
printf ("VelmoraLog with gmdistribution: pdf and posterior within 1e-12 in every form\n");
