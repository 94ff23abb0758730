function [logP, R, varargout] = VelmoraLogParallel (X, varargin)
  % VELMORALOGPARALLEL  VelmoraLog over column blocks, on parallel workers.
  %
  %   logP = VelmoraLogParallel(X, Mu, Sigma, Pi, workers)
  %   [logP, R] = VelmoraLogParallel(X, Mu, Sigma, Pi, workers)
  %   [logP, R] = VelmoraLogParallel(X, gm, workers)
  %
  %   The same results as VelmoraLog(X, Mu, Sigma, Pi) (or VelmoraLog(X, gm),
  %   with one point per row of X and logP, R as gmdistribution's pdf and
  %   posterior give them), bit for bit: the
  %   columns of X are split into one block per worker (fewer when X has
  %   fewer columns than there are workers), each evaluated by VelmoraLog on
  %   a worker, and the results joined. A point's result does not depend on
  %   the block it falls in. An error raised on a worker reaches the caller
  %   with its identifier and message; a worker that fails with an error
  %   that has no identifier, dies (Ctrl-C reaches the local workers too)
  %   or returns less than its whole block, raises Velmora:worker with the
  %   worker's message.
  %
  %   workers  a number of local workers, at most 4096: Octave runs them with
  %            parcellfun of the parallel package (pkg load parallel); MATLAB
  %            with parfor, on the open pool (or the one parfor opens;
  %            serially where there is none);
  %            or, in Octave, the connections of a cluster (see below).
  %
  %   Local workers run the engine that VELMORA_DEVICE names in this session
  %   at this call, and the kernels VELMORA_TENSOR_CORES chooses (they are
  %   given their values, or that they are unset, each
  %   time: Octave keeps its forked workers between calls, with the
  %   environment of the call that forked them). A cluster's servers choose
  %   by their own environment, as VelmoraFitParallel's do.
  %
  %   One device per worker: each worker binds to one GPU through
  %   CUDA_VISIBLE_DEVICES before its first device call, round-robin over the
  %   GPUs that nvidia-smi lists (or that CUDA_VISIBLE_DEVICES names), so
  %   that with fewer GPUs than workers, workers share them. Without a GPU
  %   the workers use the module on the path (the CPU device's build).
  %   Octave's local workers are forks of the session: a session that has
  %   already used the GPU cannot pass it on to them (CUDA does not survive
  %   a fork), so give a fresh session the GPU work, or use a cluster.
  %
  %   Across machines, in Octave: run a server on each machine, which
  %   evaluates its share with its own GPUs, and pass the connections:
  %     (on each server)  octave --eval 'pkg load parallel; pserver'
  %     (on the client)   pkg load parallel
  %                       c = pconnect({'host1', 'host2'});
  %                       reval("addpath('/path/to/build/octave/cuda')", c(2:end));
  %                       logP = VelmoraLogParallel(X, Mu, Sigma, Pi, c);
  %                       sclose(c);
  %   Data travel to the servers over the network: the network, not the
  %   GPUs, then bounds what a cluster gains.
  %   In MATLAB: open a pool with one worker per GPU (parpool), or a
  %   cluster's pool with MATLAB Parallel Server, and pass its size.
  %
  %   See also VelmoraLog.
  call = ['Call it as logP = VelmoraLogParallel(X, Mu, Sigma, Pi, workers) or [logP, R] = ', ...
          'VelmoraLogParallel(X, Mu, Sigma, Pi, workers), or with a gmdistribution gm and one ', ...
          'point per row of X: [logP, R] = VelmoraLogParallel(X, gm, workers).'];
  model = nargin == 3 && (isstruct (varargin{1}) || isa (varargin{1}, 'gmdistribution'));
  if (nargin ~= 5 && ~model)
    verb = 'were';
    if (nargin == 1)
      verb = 'was';
    end
    error ('Velmora:usage', ['5 inputs are needed, X, Mu, Sigma, Pi and workers ', ...
                             '(or 3, X, a gmdistribution and workers); %d %s given.'], nargin, verb);
  end
  if (nargout > 2)
    error ('Velmora:usage', 'At most 2 outputs are given, logP and R; %d were asked for. %s', ...
           nargout, call);
  end
  workers = varargin{end};
  mixture = varargin(1:end - 1);
  size_text = strjoin (arrayfun (@num2str, size (X), 'UniformOutput', false), ' x ');
  % The types first, as VelmoraLog checks them: a cell or a struct would
  % otherwise reach the shape checks below and be named by its size.
  velmora_check_type (X, 'X');
  if (model)
    % The model is read here, once. Workers get plain arrays and blocks of
    % points as columns, which give the bits of points as rows.
    [Mu, Sigma, Pi] = velmora_model (mixture{1});
    if (ndims (X) ~= 2 || size (X, 2) ~= size (Mu, 1))
      error ('Velmora:dimensions', ...
             'X must be N x %d, one point per row, for a model whose mu is %d x %d; it is %s.', ...
             size (Mu, 1), size (Mu, 2), size (Mu, 1), size_text);
    end
    mixture = {Mu, Sigma, Pi};
    X = X.';
  else
    cellfun (@velmora_check_type, mixture, {'Mu', 'Sigma', 'Pi'});
    if (size (mixture{1}, 2) == 0)
      % Checked here, as VelmoraLog checks it, before any worker starts.
      error ('Velmora:dimensions', ['Mu must have at least one column, one per cluster: ', ...
                                    'a mixture needs a cluster; it is %s.'], ...
             strjoin (arrayfun (@num2str, size (mixture{1}), 'UniformOutput', false), ' x '));
    elseif (size (mixture{1}, 1) ~= size (X, 1))
      % Checked here too, so that the message speaks of X, not of a block.
      error ('Velmora:dimensions', 'Mu must have %d rows, one per row of X (X is %s); it is %s.', ...
             size (X, 1), size_text, ...
             strjoin (arrayfun (@num2str, size (mixture{1}), 'UniformOutput', false), ' x '));
    end
  end
  K = size (mixture{1}, 2);
  want_R = nargout > 1;
  sz = size (X);
  n = prod (sz(2:end));
  X = reshape (X, sz(1), n);
  cluster = isa (workers, 'pconnections');
  if (cluster)
    info = network_get_info (workers);
    slots = sum ([info(~[info.local_machine]).nproc]);
  else
    % Each local worker is a process of its own: a count past what any
    % machine runs is a mistake, not a request for that many forks.
    % Any numeric class, as VelmoraFitParallel takes: int8 (4) is a count.
    if (~(isnumeric (workers) && isreal (workers) && isscalar (workers) ...
          && isfinite (workers) && workers >= 1 && workers == fix (workers) && workers <= 4096))
      given = mat2str (size (workers));
      if (isnumeric (workers) && isreal (workers) && isscalar (workers))
        given = num2str (workers);  % a count out of range, named
      end
      error ('Velmora:usage', ['workers must be a positive whole number from 1 to 4096, or ', ...
                               'cluster connections; it is %s %s.'], class (workers), given);
    end
    slots = double (workers);  % block sizes are worked out from it
  end
  if (n == 0)
    % Nothing to spread: the arguments are still checked, here.
    [logP, R] = VelmoraLog (X, mixture{:});
    if (model)
      logP = logP.';
      R = R.';
    end
    return;
  end

  % One block per worker; where a block starts does not change any bits.
  blocks = max (1, min (slots, n));
  first = floor ((0:blocks - 1) * n / blocks) + 1;
  last = [first(2:end) - 1, n];
  parts = arrayfun (@(a, b) X(:, a:b), first, last, 'UniformOutput', false);
  devices = velmora_gpus ();
  assigned = devices(mod (0:numel (parts) - 1, numel (devices)) + 1);
  % This call's engine and kernels, for the local workers: '' stands for
  % unset, which VelmoraLog reads as it reads an empty value.
  engine = {getenv('VELMORA_DEVICE'), getenv('VELMORA_TENSOR_CORES')};

  if (cluster || exist ('OCTAVE_VERSION', 'builtin'))
    if (~cluster && ~exist ('parcellfun'))
      pkg load parallel
    end
    % A worker's own errors come back as data (velmora_log_block); what the
    % package raises itself, without an identifier, is a worker that died
    % or lost its connection (a crash, Ctrl-C, a server gone).
    try
      if (cluster)
        % [], not {}: the parallel package cannot send a handle whose text
        % holds an empty cell.
        % Each block's number: its worker binds to a GPU of its own
        % machine by it (a server's blocks are a run of numbers).
        out = netcellfun (workers, @(part, b) velmora_log_block (part, mixture, want_R, b, []), ...
                          parts, num2cell (1:numel (parts)), 'UniformOutput', false);
      else
        out = parcellfun (slots, ...
                          @(part, device) velmora_log_block (part, mixture, want_R, device, engine), ...
                          parts, assigned, 'UniformOutput', false, 'VerboseLevel', 0);
      end
    catch err
      if (~isempty (err.identifier))
        rethrow (err);
      end
      % The parallel package keeps a server's own error in that server's
      % log and says only "command error" here: most often the module is
      % not on the server's path.
      where = '';
      if (cluster)
        where = [' (a server''s own error is in its log there; is Velmora on its path? ', ...
                 'reval ("pkg load velmora", c) after pconnect)'];
      end
      error ('Velmora:worker', 'A worker stopped before it returned its block: %s%s', ...
             err.message, where);
    end
  else
    out = cell (size (parts));
    parfor b = 1:numel (parts)
      out{b} = velmora_log_block (parts{b}, mixture, want_R, assigned{b}, engine);
    end
  end

  % Every block must come back whole, or the call fails: a short result
  % would pass for a whole one.
  for b = 1:blocks
    width = last(b) - first(b) + 1;
    o = [];
    if (b <= numel (out) && isstruct (out{b}))
      o = out{b};
    end
    if (isempty (o))
      error ('Velmora:worker', 'the worker of block %d of %d returned nothing.', b, blocks);
    elseif (~isempty (o.identifier))
      error (struct ('message', o.message, 'identifier', o.identifier));
    end
    if (numel (o.logP) ~= width || (want_R && numel (o.R) ~= K * width))
      error ('Velmora:worker', 'The worker of block %d of %d returned %d of its %d points.', ...
             b, blocks, numel (o.logP), width);
    end
  end
  % The blocks joined: the workers had room for their parts, this
  % process may not have it for the whole (refused as VelmoraLog refuses it).
  % (A gmdistribution's R, one point per row, is one more copy.)
  try
    out = [out{:}];
    logP = [out.logP];
    if (want_R)
      R = [out.R];
    end
    if (model)
      logP = logP.';
      if (want_R)
        R = R.';
      end
    end
  catch err
    if (~velmora_out_of_memory (err))
      rethrow (err);
    end
    what = 'logP';
    if (want_R)
      what = 'logP and R';
    end
    error ('Velmora:memory', ['The workers'' results would take %s GB (%s for %d points), ', ...
                              'more than this process can get.'], ...
           sprintf ('%.3g', 8 * n * (1 + want_R * K) / 1e9), what, n);
  end
end
