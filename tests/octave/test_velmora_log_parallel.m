% VelmoraLogParallel on local workers: the same bits as one VelmoraLog call
% whatever the number of workers, and every failure of a worker reaching the
% caller as an error.
pkg load parallel
rand ("seed", 5);  randn ("seed", 5);
n = 5003;  % a multiple of nothing the kernels tile by
for dim = [17 64]
  K = 5;
  X = randn (dim, n) + 100;  Mu = randn (dim, K) + 100;  Pi = rand (1, K) + 0.1;
  for S = {0.5 + rand(dim, K), random_covariances(dim, K, 0.5)}
    [logP, R] = VelmoraLog (X, Mu, S{1}, Pi);
    for workers = 1:3
      [plogP, pR] = VelmoraLogParallel (X, Mu, S{1}, Pi, workers);
      assert (isequal (plogP, logP) && isequal (pR, R), ...
              "dim %d, %d workers: differs from one call", dim, workers);
    end
    % Two calls on column ranges, too.
    assert (isequal ([VelmoraLog(X(:, 1:1234), Mu, S{1}, Pi), ...
                      VelmoraLog(X(:, 1235:end), Mu, S{1}, Pi)], logP));
  end
end
X = X(1:3, :);  Mu = Mu(1:3, :);  Sdiag = 0.5 + rand (3, K);
% N-D X, fewer columns than workers, and none at all.
assert (isequal (VelmoraLogParallel (reshape (X(:, 1:5000), 3, 50, 100), Mu, Sdiag, Pi, 2), ...
                 VelmoraLog (X(:, 1:5000), Mu, Sdiag, Pi)));
assert (isequal (VelmoraLogParallel (X(:, 1:2), Mu, Sdiag, Pi, 3), VelmoraLog (X(:, 1:2), Mu, Sdiag, Pi)));
[e, eR] = VelmoraLogParallel (zeros (3, 0), Mu, Sdiag, Pi, 2);
assert (size (e), [1 0]);
assert (size (eR), [K 0]);

refused = @(varargin) expect_refusal (@VelmoraLogParallel, varargin{:});
% A worker's error, with the identifier and message VelmoraLog raises.
bad = [Sdiag(:, 1:end-1), -Sdiag(:, end)];
try
  VelmoraLog (X, Mu, bad, Pi);
catch direct
end
refused ("Velmora:covariance", direct.message, X, Mu, bad, Pi, 2);
refused ("Velmora:usage", "workers must be a positive whole number", X, Mu, Sdiag, Pi, 0);
refused ("Velmora:dimensions", "(X is 3 x 5003)", X, ones (2, K), ones (2, K), Pi, 2);
% A mixture without clusters, refused before any worker starts, in
% VelmoraLog's words.
try
  VelmoraLog (X, zeros (3, 0), zeros (3, 0), zeros (1, 0));
catch direct
end
refused ("Velmora:dimensions", strrep (direct.message, "VelmoraLog: ", ""), ...
         X, zeros (3, 0), zeros (3, 0), zeros (1, 0), 2);
refused ("Velmora:usage", "ComponentProportion is missing", X.', struct ("mu", Mu.', "Sigma", Sdiag), 2);
refused ("Velmora:usage", "and workers); 1 was given.", X);
refused ("Velmora:usage", "it is char [1 1]", X, Mu, Sdiag, Pi, '2');
refused ("Velmora:usage", "it is int8 0.", X, Mu, Sdiag, Pi, int8 (0));
% A count of any numeric class is a count (block sizes from a double: in
% int8, 300 columns' bounds would saturate).
assert (isequal (VelmoraLogParallel (X(:, 1:300), Mu, Sdiag, Pi, int8 (3)), VelmoraLog (X(:, 1:300), Mu, Sdiag, Pi)));
refused ("Velmora:usage", "it is double [1 1]", X, Mu, Sdiag, Pi, 2 + 1i);
% Each local worker is a process: a count past 4096 is refused before any
% fork (two columns, so that a missing cap forks only two).
refused ("Velmora:usage", "from 1 to 4096, or cluster connections; it is double 4097.", X(:, 1:2), Mu, Sdiag, Pi, 4097);
% Inputs of the wrong type, refused with VelmoraLog's identifier and words,
% not named by their size.
for args = {{{X}, Mu, Sdiag, Pi}, {X, struct("a", Mu), Sdiag, Pi}}
  try
    VelmoraLog (args{1}{:});
  catch direct
  end
  refused (direct.identifier, strrep (direct.message, "VelmoraLog: ", ""), args{1}{:}, 2);
end
try
  [a, b, c] = VelmoraLogParallel (X, Mu, Sdiag, Pi, 2);
  error ("3 outputs were given");
catch err
  assert (err.identifier, "Velmora:usage");
  assert (strncmp (err.message, "At most 2 outputs are given, logP and R; 3 were asked for.", 58), err.message);
end
% The local workers outlive a call: VELMORA_DEVICE must still choose the
% engine at each one, set, changed, invalid or unset.
Sfull = random_covariances (3, K, 0.5);
unwind_protect
  for engine = {"host", "cpu-device", "nonsense", "cpu-device", ""}
    setenv ("VELMORA_DEVICE", engine{1});
    if (isempty (engine{1}))
      unsetenv ("VELMORA_DEVICE");
    end
    try
      want = VelmoraLog (X, Mu, Sfull, Pi);
    catch direct
      refused (direct.identifier, strrep (direct.message, "VelmoraLog: ", ""), X, Mu, Sfull, Pi, 2);
      continue;
    end
    assert (isequal (VelmoraLogParallel (X, Mu, Sfull, Pi, 2), want), ...
            "VELMORA_DEVICE=%s: the workers ran another engine", engine{1});
  end
unwind_protect_cleanup
  unsetenv ("VELMORA_DEVICE");
end_unwind_protect
% So must VELMORA_TENSOR_CORES choose full mode's kernels, off and on in
% turn, on data where the two give different bits.
randn ("seed", 7);
cores_before = getenv ("VELMORA_TENSOR_CORES");
Xt = 1e6 + randn (40, 2000);  Mt = 1e6 * ones (40, 1);  A = randn (40);  St = A * A.' + 40 * eye (40);
unwind_protect
  setenv ("VELMORA_DEVICE", "cpu-device");
  bits = {};
  for cores = {"", "off", "", "off"}
    setenv ("VELMORA_TENSOR_CORES", cores{1});
    bits{end + 1} = VelmoraLog (Xt, Mt, St, 1);
    assert (isequal (VelmoraLogParallel (Xt, Mt, St, 1, 2), bits{end}), ...
            "VELMORA_TENSOR_CORES='%s': the workers ran other kernels", cores{1});
  end
  assert (~isequal (bits{1}, bits{2}), "the kernels agree here: the check above cannot fail");
unwind_protect_cleanup
  unsetenv ("VELMORA_DEVICE");
  setenv ("VELMORA_TENSOR_CORES", cores_before);
end_unwind_protect
% A worker whose VelmoraLog fails with an error that carries no identifier.
stub = tempname ();
old_path = getenv ("PATH");
old_visible = getenv ("CUDA_VISIBLE_DEVICES");
mkdir (stub);
unwind_protect
  fid = fopen (fullfile (stub, "VelmoraLog.m"), "w");
  fprintf (fid, "function varargout = VelmoraLog (varargin)\n  error ('out of memory or dimension too large for Octave''s index type');\nend\n");
  fclose (fid);
  addpath (stub);
  refused ("Velmora:worker", "out of memory", X, Mu, Sdiag, Pi, 2);
  rmpath (stub);
  % A worker that dies: the package's own error, named as a worker's (a
  % folder of its own: a file rewritten within the second may be taken
  % for the one already read).
  mkdir (fullfile (stub, "dies"));
  fid = fopen (fullfile (stub, "dies", "VelmoraLog.m"), "w");
  fprintf (fid, "function varargout = VelmoraLog (varargin)\n  kill (getpid (), 9);\nend\n");
  fclose (fid);
  addpath (fullfile (stub, "dies"));
  refused ("Velmora:worker", "A worker stopped before it returned its block: ", X, Mu, Sdiag, Pi, 2);
  rmpath (fullfile (stub, "dies"));
  % The GPUs in turn: a machine whose nvidia-smi lists two, and a
  % VelmoraLog that gives each point the GPU its worker was bound to. Four
  % local workers, then the blocks a server's workers get by their numbers.
  mkdir (fullfile (stub, "gpus"));
  fid = fopen (fullfile (stub, "gpus", "nvidia-smi"), "w");
  fprintf (fid, "#!/bin/sh\necho 'GPU 0: Fake (UUID: GPU-a)'\necho 'GPU 1: Fake (UUID: GPU-b)'\n");
  fclose (fid);
  system (sprintf ("chmod +x %s", fullfile (stub, "gpus", "nvidia-smi")));
  fid = fopen (fullfile (stub, "gpus", "VelmoraLog.m"), "w");
  fprintf (fid, ["function logP = VelmoraLog (X, varargin)\n", ...
                 "  logP = repmat (str2double (getenv ('CUDA_VISIBLE_DEVICES')), 1, columns (X));\n", ...
                 "end\n"]);
  fclose (fid);
  addpath (fullfile (stub, "gpus"));
  old_path = getenv ("PATH");
  setenv ("PATH", [fullfile(stub, "gpus"), ":", old_path]);
  unsetenv ("CUDA_VISIBLE_DEVICES");
  bound = VelmoraLogParallel (ones (1, 8), 0, 1, 1, 4);
  setenv ("PATH", old_path);
  assert (bound, [0 0 1 1 0 0 1 1]);
  for b = 1:4
    setenv ("PATH", [fullfile(stub, "gpus"), ":", old_path]);
    unsetenv ("CUDA_VISIBLE_DEVICES");
    out = velmora_log_block (ones (1, 2), {0, 1, 1}, false, b, []);
    setenv ("PATH", old_path);
    assert (isequal (out.logP, [1 1] * mod (b - 1, 2)), "block %d took GPU %g", b, out.logP(1));
  end
unwind_protect_cleanup
  setenv ("PATH", old_path);
  if (isempty (old_visible))
    unsetenv ("CUDA_VISIBLE_DEVICES");
  else
    setenv ("CUDA_VISIBLE_DEVICES", old_visible);
  end
  rmpath (fullfile (stub, "gpus"));
  rmpath (fullfile (stub, "dies"));
  rmpath (stub);
  confirm_recursive_rmdir (false, "local");
  rmdir (stub, "s");
end_unwind_protect
printf ("VelmoraLogParallel: 1-3 workers agree with one call bit for bit\n");
