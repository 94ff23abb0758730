% VelmoraLogParallel on two local workers: the same bits as one VelmoraLog
% call, and a worker's error reaching the caller as VelmoraLog raises it.
pkg load parallel
rand ("seed", 5);  randn ("seed", 5);
n = 5000;  % more than one panel of 2048 columns per worker: both are used
X = randn (3, n);  Mu = randn (3, 4);  Pi = rand (1, 4);
Sdiag = 0.5 + rand (3, 4);
Sfull = random_covariances (3, 4, 0.5);
for S = {Sdiag, Sfull}
  [logP, R] = VelmoraLog (X, Mu, S{1}, Pi);
  [plogP, pR] = VelmoraLogParallel (X, Mu, S{1}, Pi, 2);
  assert (isequal (plogP, logP) && isequal (pR, R), "two workers differ from one call");
  assert (isequal (VelmoraLogParallel (X, Mu, S{1}, Pi, 2), logP));
end
% N-D X, and data smaller than a panel (one block).
assert (isequal (VelmoraLogParallel (reshape (X, 3, 50, 100), Mu, Sdiag, Pi, 2), ...
                 VelmoraLog (X, Mu, Sdiag, Pi)));
assert (isequal (VelmoraLogParallel (X(:, 1:10), Mu, Sdiag, Pi, 2), ...
                 VelmoraLog (X(:, 1:10), Mu, Sdiag, Pi)));

% An error on a worker, with the identifier and message VelmoraLog raises.
try
  VelmoraLog (X, Mu, [Sdiag(:, 1:3), -Sdiag(:, 4)], Pi);
catch direct
end
try
  VelmoraLogParallel (X, Mu, [Sdiag(:, 1:3), -Sdiag(:, 4)], Pi, 2);
  error ("a worker's error was lost");
catch err
  assert (err.identifier, "Velmora:covariance");
  assert (err.message, direct.message);
end
try
  VelmoraLogParallel (X, Mu, Sdiag, Pi, 0);
  error ("zero workers were accepted");
catch err
  assert (err.identifier, "Velmora:usage");
end
printf ("VelmoraLogParallel: two workers agree with one call bit for bit\n");
