% The call as users meet it: accepted forms, and every refusal with its text.
usage = velmora_usage ();
X = [0 1 2; 0 1 2];  Mu = [0 1; 0 1];  S = ones (2, 2);  Pi = [0.5 0.5];

% Counts of inputs and outputs.
expect_error (usage, X, Mu, S);
expect_error (usage, X, Mu, S, Pi, Pi);
try
  Velmora (X, Mu, S, Pi);
  error ("a call without an output was accepted");
catch err
  assert (err.message, usage);
end
try
  [P, Q] = Velmora (X, Mu, S, Pi);
  error ("a call with two outputs was accepted");
catch err
  assert (err.message, usage);
end

% Classes, each input in turn.
for c = {@single, @int32, @logical}
  conv = c{1};
  expect_error (usage, conv (X), Mu, S, Pi);
  expect_error (usage, X, Mu, S, conv (Pi));
end
expect_error (usage, X, Mu, {S}, Pi);
expect_error (usage, X, Mu, S, "ab");

% Sparse and complex doubles have no dense real layout.
ours = "Velmora: X, Mu, Sigma and Pi must be real, full (not sparse) double arrays.";
expect_error (ours, sparse (X), Mu, S, Pi);
expect_error (ours, X, Mu, S, Pi + 1i);

% Shapes.
bad = "Velmora: Invalid dimensions";
expect_error (bad, X, Mu, S, [0.5 0.5; 0.5 0.5]);   % Pi two rows
expect_error (bad, X, Mu, S, [0.2 0.3 0.5]);        % Pi wrong length
expect_error (bad, X, ones (3, 2), S, Pi);          % Mu rows
expect_error (bad, X, Mu, ones (3, 2), Pi);         % diagonal Sigma rows
expect_error (bad, X, Mu, ones (3, 4), Pi);         % full Sigma rows
expect_error (bad, X, Mu, ones (2, 3), Pi);         % full Sigma: one block
expect_error (bad, X, Mu, ones (2, 6), Pi);         % full Sigma: three blocks
expect_error (bad, X, Mu, ones (0, 5), Pi);         % full Sigma, no rows

% Accepted forms: priors as a column, one cluster with a 1 x 1 prior.
P = Velmora (X, Mu, S, Pi');
assert (size (P), [1 3]);
P1 = Velmora (X, Mu(:, 1), S(:, 1), 1);
assert (P1, plain_octave_gmm (X, Mu(:, 1), S(:, 1), 1), -1e-12);

% Full mode: dim x dim*K and dim x dim x K give identical P; extra columns
% past the last whole block are never read.
F = [2 0.5 1 0.2; 0.5 1 0.2 3];
P2 = Velmora (X, Mu, F, Pi);
P3 = Velmora (X, Mu, reshape (F, 2, 2, 2), Pi);
assert (isequal (P2, P3));
P4 = Velmora (X, Mu, [F NaN(2, 1)], Pi);
assert (isequal (P2, P4));

% The module unloads itself after every call; calls go on working.
for i = 1:3
  assert (isequal (Velmora (X, Mu, F, Pi), P2));
end
disp ("call forms: all checks passed");
