function fuzz_velmora (calls, seed, name)
  % Random calls of the real MEX (Velmora, or VelmoraLog when `name` says
  % so), valid and hostile alike. Every call must return its result or
  % raise one of the module's errors; anything else (or a dead Octave)
  % fails the run.
  if (nargin < 1), calls = 10000; end
  if (nargin < 2), seed = 20261207; end
  if (nargin < 3), name = "Velmora"; end
  rand ("seed", seed);  randn ("seed", seed);
  if (strcmp (name, "Velmora"))
    usage = velmora_usage ();
    allowed = {usage, "Velmora: Invalid dimensions", "Velmora: Problem with constant memory!", ...
               "Velmora: X, Mu, Sigma and Pi must be real, full (not sparse) double arrays.", ...
               "Velmora: Every dimension must be below 2^31 (2147483648)."};
  else
    allowed = strcat ("Velmora:", {"usage", "type", "dimensions", "means", "covariance", "priors", "memory"});
  end
  outcomes = zeros (1, numel (allowed) + 1);
  % First, so that a failing run can be replayed.
  printf ("fuzz_velmora (%d, %d, \"%s\")\n", calls, seed, name);
  for i = 1:calls
    [args, nout] = random_call ();
    try
      if (nout == 0)
        evalc ([name " (args{:});"]);
        out = {};
      else
        out = cell (1, nout);
        evalc (["[out{:}] = " name " (args{:});"]);
      end
      if (strcmp (name, "Velmora"))
        check_result (out, args, i);
      else
        check_log_result (out, args, i);
      end
      outcomes(end) += 1;
    catch err
      if (strcmp (name, "Velmora"))
        k = find (strcmp (err.message, allowed), 1);
      else
        k = find (strcmp (err.identifier, allowed), 1);
      end
      if (isempty (k))
        error ("fuzz call %d: unexpected error [%s] [%s]", i, err.identifier, err.message);
      end
      outcomes(k) += 1;
    end
  end
  printf ("fuzzed %d calls of %s: %d returned; refused: %s\n", calls, name, outcomes(end), ...
          sprintf ("%d ", outcomes(1:end-1)));
end

function points = columns_of (X)
  % The points are the columns of X with its trailing dimensions unrolled.
  sz = size (X);
  points = prod (sz(2:end));
end

function check_log_result (out, args, i)
  if (numel (out) > 2 || numel (args) != 4)
    error ("fuzz call %d: returned with %d outputs for %d inputs", i, numel (out), numel (args));
  end
  n = columns_of (args{1});
  K = columns_of (args{2});
  if (numel (out) >= 1 && ! (isa (out{1}, "double") && isequal (size (out{1}), [1 n])))
    error ("fuzz call %d: logP is %s %s, expected 1 x %d", i, class (out{1}), ...
           mat2str (size (out{1})), n);
  end
  if (numel (out) == 2 && ! (isa (out{2}, "double") && isequal (size (out{2}), [K n])))
    error ("fuzz call %d: R is %s, expected %d x %d", i, mat2str (size (out{2})), K, n);
  end
end

function check_result (out, args, i)
  if (numel (out) != 1 || numel (args) != 4)
    error ("fuzz call %d: returned with %d outputs for %d inputs", i, numel (out), numel (args));
  end
  P = out{1};
  points = columns_of (args{1});
  if (! isa (P, "double") || ! isreal (P) || rows (P) != 1 || columns (P) != points)
    error ("fuzz call %d: P is %s %s, expected a 1 x %d double row", i, class (P), ...
           mat2str (size (P)), points);
  end
end

function [args, nout] = random_call ()
  nout = pick ([1 1 1 1 1 1 0 2 2 3]);
  if (rand () < 0.6)
    args = near_valid_call ();
  else
    args = arrayfun (@(k) random_value (), 1:pick ([4 4 4 0 1 2 3 5 6]), "UniformOutput", false);
  end
end

function args = near_valid_call ()
  % A well-formed call, then perhaps one thing broken or made hostile.
  dim = pick ([1 1 2 3 4 8]);  K = pick ([1 1 2 3 5]);  n = pick ([0 1 2 5 17 40]);
  X = randn (dim, n);  Mu = randn (dim, K);  Pi = rand (1, K) * pick ([1 2 0.1]);
  switch (pick (1:4))
    case 1, Sigma = rand (dim, K) + 0.1;
    case 2, Sigma = reshape (random_covariances (dim, K, 0.1), dim, dim * K);
    case 3, Sigma = random_covariances (dim, K, 0.1);
    case 4, Sigma = randn (dim, dim * K);            % not positive definite
  end
  args = {X, Mu, Sigma, Pi};
  if (rand () < 0.5)
    k = pick (1:4);
    switch (pick (1:9))
      case 1, args{k} = poke (args{k}, NaN);
      case 2, args{k} = poke (args{k}, Inf * pick ([1 -1]));
      case 3, args{k} = -abs (args{k});
      case 4, args{k} = zeros (size (args{k}));
      case 5, args{k} = reshape (args{k}, fliplr (size (args{k})));
      case 6, args{k} = random_value ();
      case 7, args{k} = [reshape(args{k}, rows (args{k}), []), ones(rows (args{k}), 1)];
      case 8, args{4} = args{4}(:);                    % priors as a column
      case 9, args{k} = reshape (args{k}, [size(args{k}) 1 1]);
    end
  end
end

function a = poke (a, value)
  if (numel (a) > 0)
    a(randi (numel (a))) = value;
  end
end

function v = random_value ()
  sz = random_size ();
  switch (pick (1:12))
    case {1, 2, 3}, v = randn (sz);
    case 4, v = single (randn (sz));
    case 5, v = int32 (randi (10, sz));
    case 6, v = rand (sz) > 0.5;
    case 7, v = repmat ("a", sz(1:2));
    case 8, v = num2cell (zeros (min (sz(1:2), 3)));
    case 9, v = struct ("a", 1);
    case 10, v = sparse (randn (sz(1:2)));
    case 11, v = complex (randn (sz), 1);
    case 12, v = zeros (2147483647, 0);  % the largest dimension Octave allows, empty
  end
end

function sz = random_size ()
  switch (pick (1:5))
    case 1, sz = [0 pick([0 1 3])];
    case 2, sz = [1 pick([1 2 7])];
    case 3, sz = [pick([1 2 3]) pick([1 2 3 6])];
    case 4, sz = [2 2 pick([1 2 3])];
    case 5, sz = [2 1 2 2];
  end
end

function x = pick (values)
  x = values(randi (numel (values)));
end
