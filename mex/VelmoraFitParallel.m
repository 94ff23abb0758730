function [model, info, varargout] = VelmoraFitParallel (data, K, workers, varargin)
  % [model, info] = VelmoraFitParallel (X, K, workers, Name, Value, ...)
  % [model, info] = VelmoraFitParallel (files, K, workers, Name, Value, ...)
  %
  % VelmoraFit's fit of K clusters, with its blocks of the data held by
  % workers that keep them across the fit's passes: each pass, the caller
  % sends the mixture, every worker returns its block's sums, and the caller
  % combines them and takes the M-step. The model, History and
  % LogLikelihood are the same bits as VelmoraFit on all the data on the
  % host engine, whatever the number of workers and however the shards split
  % the points.
  %
  % data: X, dim x N (columns sent once, each block to its worker), or a
  % cell array of shard files (see velmora_write_shard), in order, each read
  % by the worker that owns it on its own machine: the data do not pass
  % through the caller, but for the points of a shard before its worker's
  % first whole leaf of 512 points, which go to the block before. The
  % points are the shards' columns one after another.
  %
  % workers: the connections of Octave's parallel package (pconnect; the
  % local machine's connection is left out), one worker per server, or a
  % cell array of them (a network reaches a machine once: one pconnect per
  % worker gives a machine several); or a number of workers in this Octave
  % session, one after another (for tests and for a machine without a
  % cluster: no faster than VelmoraFit).
  %
  % The servers need the package on their path: reval ('pkg load velmora',
  % c) once after pconnect. In MATLAB (untested: no MATLAB here), workers
  % may be a pool (parpool), whose workers keep their sessions between
  % spmd blocks; 'Timeout' does not apply there.
  %
  % Options: VelmoraFit's (its Weights 1 x N and its labels Start 1 x N, or
  % a cell array of them, one per shard), and
  %   'Owners'   with files: a numeric vector, the worker of each shard,
  %              1 .. numel (workers), in order (default: the shards shared
  %              out in order, as evenly as their count allows)
  %   'Timeout'  seconds a worker may take to answer (default 3600; Inf:
  %              no limit; a fraction is waited up to the whole second
  %              after it); a send to a worker that stopped reading can
  %              still block, since the parallel package's sends have no
  %              timeout
  %   'Stream'   with files: points a worker reads from its shards at a
  %              time, every pass, instead of holding its block (default 0:
  %              only a worker whose block would take more than half of
  %              the memory it can get streams, 32 MB at a time)
  %
  % Errors: Velmora:worker names the worker and its host where it dies,
  % fails outside Velmora or stays silent past Timeout (its connections are
  % closed then, the servers stay up); Velmora:shard and Velmora:data name
  % a bad shard's file and element; the fit's own as VelmoraFit's. Display
  % 'iter' gives each iteration's seconds and its slowest worker.
  % info is VelmoraFit's; its Resident is false where a worker streamed its
  % block (read its shards every pass, or on a GPU streamed them from host
  % memory).
  %
  % Ctrl-C: VelmoraFit's Velmora:interrupted with workers in this session,
  % once the iterations have begun (before, while the inputs are checked
  % and the blocks opened, Octave's own interrupt). While the caller waits
  % for servers (most of a cluster fit's time), it is Octave's own
  % interrupt, which try does not catch, or it breaks the wait on a
  % connection, which then reads as a lost worker (Velmora:worker), as
  % where it reaches a worker too.
  % Every session opened is closed either way.
  %
  % On the network, each pass: the mixture to every worker, K (dim^2 + dim
  % + 1) doubles, and back from each its tree nodes, at most 2 log2 (n /
  % 512) + 1 records of K (1 + dim + dim (dim + 1) / 2) + 1 doubles.
  %
  % See also VelmoraFit, velmora_write_shard, VelmoraLogParallel.
  if (nargin < 3)
    verb = 'were';
    if (nargin == 1)
      verb = 'was';
    end
    error ('Velmora:usage', ['At least 3 inputs are needed, the data, K and the workers; ', ...
                             '%d %s given.'], nargin, verb);
  end
  if (nargout > 2)
    error ('Velmora:usage', ['At most 2 outputs are given, model and info; %d were asked for. ', ...
                             'Call it as [model, info] = VelmoraFitParallel(data, K, workers, ', ...
                             'Name, Value, ...).'], nargout);
  end
  if (exist ('convertStringsToChars'))  % MATLAB: "text" as 'text', a string array as a cell
    [data, varargin{:}] = convertStringsToChars (data, varargin{:});
  end
  [options, timeout, owners, weights, labels, stream, named] = own_options (varargin);
  shards = iscell (data) || ischar (data);
  if (shards)
    data = file_names (data);
  else
    % Silently ignored, they would leave the caller believing the blocks
    % were placed or streamed as asked.
    % (Not a loop over intersect's result: MATLAB runs a loop over an
    % empty column once.)
    misplaced = {'Owners', 'Stream'};
    misplaced = misplaced(ismember ({'owners', 'stream'}, named));
    if (~isempty (misplaced))
      error ('Velmora:usage', ['''%s'' applies to a list of shard files only; with X in ', ...
                               'memory, its columns are shared out in order and each worker ', ...
                               'holds its block.'], misplaced{1});
    end
    % VelmoraFit's refusals of X, K and the options first, before any
    % worker is asked for anything.
    labels = join_labels (labels, {});
    [options, labels] = with_labels (options, labels);
    block_call ('check', data, K, options{:});
    data = reshape (data, size (data, 1), []);
  end
  pool = open_pool (workers, timeout);
  leaf = 512;
  % Every session opened is closed however this call ends (an error, an
  % interrupt): a handle object the cleanup reads when it runs.
  opened_sessions = containers.Map ('KeyType', 'double', 'ValueType', 'any');
  cleanup = onCleanup (@() close_sessions (pool, opened_sessions));
  if (shards)
    [blocks, parts, dim, n, sizes] = plan_shards (pool, data, owners, leaf);
    labels = join_labels (labels, sizes);
    [options, labels] = with_labels (options, labels);
    block_call ('check', [dim, n], 'size', K, options{:});
  else
    [blocks, parts, dim, n] = plan_matrix (data, numel (pool.names), leaf);
  end
  % What the blocks need of the options (the fit has refused bad values).
  mode = option_value (options, 'covariancetype', 'full');
  tolerance = option_value (options, 'probabilitytolerance', 0);
  start = option_value (options, 'start', 'plus');
  seeding = ischar (start) && strcmpi (start, 'plus');
  % Every block opened at once: the workers read their shards (or take
  % their columns) side by side.
  requests = cell (1, numel (parts));
  for b = 1:numel (parts)
    if (~shards)
      parts{b}.X = double (data(:, blocks(1, b) + 1:blocks(1, b) + blocks(2, b)));
    end
    requests{b} = struct ('op', 'open', 'args', ...
                          {{block_of(parts{b}, blocks(:, b), dim, double (K), mode, tolerance, ...
                                     seeding, slice (weights, n), slice (labels, n), ...
                                     slot_of (pool, parts{b}.worker), stream)}});
    parts{b}.X = [];
  end
  owner = cellfun (@(p) p.worker, parts);
  [opened, ~, failure] = velmora_fit_requests (pool, owner, requests);
  clear requests
  for b = 1:numel (parts)
    if (numel (opened{b}) >= 2)
      opened_sessions(b) = [owner(b), opened{b}(1)];
    end
  end
  if (~isempty (failure))
    error (failure);
  end
  sessions = cellfun (@(o) o(1), opened);
  units = cellfun (@(o) o(2), opened);
  if (any (units ~= units(1)))
    error ('Velmora:worker', ['The workers run different engines (%s): give them all GPUs, or ', ...
                              'VELMORA_DEVICE=host on every one.'], ...
           strjoin (arrayfun (@(b) sprintf ('%s: units of %d', pool.names{owner(b)}, units(b)), ...
                             1:numel (units), 'UniformOutput', false), ', '));
  end
  exchange = @(op, w, varargin) velmora_fit_exchange (pool, sessions, owner, op, w, varargin{:});
  % (A worker of an older version answers without it: taken as holding.)
  resident = all (cellfun (@(o) numel (o) < 3 || o(3) ~= 0, opened));
  [model, info, warnings] = block_call ('fit', exchange, [dim, n, units(1), resident], blocks, K, ...
                                        options{:});
  % Under this function's name, as VelmoraFit's own warnings carry its.
  for i = 1:size (warnings, 2)
    warning (warnings{1, i}, 'VelmoraFitParallel: %s', warnings{2, i});
  end
end

% velmora_fit_block's errors under this function's name, not the module's.
function varargout = block_call (varargin)
  try
    [varargout{1:nargout}] = velmora_fit_block (varargin{:});
  catch err
    error (struct ('identifier', err.identifier, 'message', ...
                   regexprep (err.message, '^velmora_fit_block: ', ''), 'stack', err.stack));
  end
end

% Labels one row per shard, each as long as its shard, joined into one row.
function labels = join_labels (labels, sizes)
  if (~iscell (labels))
    return;
  end
  rows = cellfun (@(l) reshape (l, 1, []), labels, 'UniformOutput', false);
  if (~isempty (sizes))
    if (numel (rows) ~= size (sizes, 2))
      error ('Velmora:usage', '''Start'' must give labels for each of the %d shards; it gives %d.', ...
             size (sizes, 2), numel (rows));
    end
    for s = 1:numel (rows)
      if (numel (rows{s}) ~= sizes(2, s))
        error ('Velmora:usage', ['''Start'' labels of shard %d must be one per point, 1 x %d; ', ...
                                 'they are %d.'], s, sizes(2, s), numel (rows{s}));
      end
    end
  end
  labels = [rows{:}];
end

function [options, labels] = with_labels (options, labels)
  if (~isempty (labels) && ~any (strcmpi (options(1:2:end), 'start')))
    options = [options, {'Start', labels}];
  end
end

% Where a worker was lost, the connections are closed already, and with
% them the sessions.
function close_sessions (pool, opened)
  if (all (cellfun (@is_open, pool.networks)))
    for at = values (opened)
      try
        ask (pool, at{1}(1), 'close', {at{1}(2)});
      catch
      end
    end
  end
end

% Whether every server of a network is still connected (the entry of this
% machine, which is in every network, is never 'open').
function open = is_open (network)
  try
    info = network_get_info (network);
    open = all ([info(~[info.local_machine]).open]);
  catch
    open = false;
  end
end

function value = ask (pool, w, op, args)
  value = velmora_fit_requests (pool, w, {struct('op', op, 'args', {args})});
  value = value{1};
end

% The shard files as a row of names: a name, rows of names (char), or a
% cell array of names; anything else in the list is refused here, where it
% would reach the workers as a file without a name.
function files = file_names (data)
  if (ischar (data))
    files = cellstr (data);
    return;
  end
  files = reshape (data, 1, []);
  for f = 1:numel (files)
    name = files{f};
    if (~(ischar (name) && isrow (name)))
      error ('Velmora:usage', ['The shard files must be file names, as text; file %d of the ', ...
                               'list is a %s %s.'], f, size_text (name), class (name));
    end
  end
end

function text = size_text (a)
  text = strjoin (arrayfun (@num2str, size (a), 'UniformOutput', false), ' x ');
end

% VelmoraFitParallel's own options out of the list, and what the blocks
% need of VelmoraFit's (weights, labels); named: the own options given,
% in lower case.
function [options, timeout, owners, weights, labels, stream, named] = own_options (args)
  timeout = 3600;
  stream = 0;
  owners = [];
  weights = [];
  labels = [];
  options = {};
  named = {};
  if (mod (numel (args), 2) ~= 0)
    options = args;  % the fit's to refuse, as VelmoraFit does
    return;
  end
  for i = 1:2:numel (args)
    name = args{i};
    value = args{i + 1};
    if (~ischar (name))
      options = [options, {name, value}];  % the fit's to refuse, as VelmoraFit does
      continue;
    end
    named{end + 1} = lower (name);
    switch (lower (name))
      case 'timeout'
        if (~(isnumeric (value) && isreal (value) && isscalar (value) && value > 0))
          error ('Velmora:usage', '''Timeout'' must be a positive number of seconds.');
        end
        timeout = double (value);
      case 'owners'
        owners = value;
      case 'stream'
        if (~(isnumeric (value) && isscalar (value) && value >= 0 && value == fix (value)))
          error ('Velmora:usage', '''Stream'' must be a whole number of points, 0 or more.');
        end
        stream = double (value);
      case 'weights'
        weights = value;
        options = [options, {name, value}];
      case 'start'
        if (iscell (value))
          labels = value;  % one row per shard: joined once the shards are known
        else
          if (isnumeric (value))
            labels = value;
          end
          options = [options, {name, value}];
        end
      otherwise
        options = [options, {name, value}];
    end
  end
end

function value = option_value (options, key, default)
  value = default;
  for i = 1:2:numel (options)
    if (strcmpi (options{i}, key))
      value = options{i + 1};
    end
  end
end

% The points of a block from a 1 x N row of the caller's (empty, or a row
% of another length that VelmoraFit will refuse: not sent).
function part = slice (values, n)
  part = @(a, b) [];
  if (numel (values) == n)
    part = @(a, b) double (reshape (values(a + 1:b), 1, []));
  end
end

function pool = open_pool (workers, timeout)
  pool.timeout = timeout;
  pool.conns = {};
  pool.names = {};
  pool.networks = {};
  pool.matlab = [];
  if (isa (workers, 'parallel.Pool'))
    % MATLAB (untested): a worker per worker of the pool, sessions kept in
    % its processes between spmd blocks.
    pool.matlab = workers;
    pool.names = arrayfun (@(r) sprintf ('worker %d (MATLAB pool)', r), 1:workers.NumWorkers, ...
                           'UniformOutput', false);
    return;
  end
  if (isa (workers, 'pconnections'))
    workers = {workers};
  end
  if (iscell (workers) && ~isempty (workers) && all (cellfun (@(w) isa (w, 'pconnections'), workers)))
    % One worker per server of each network: a network reaches a machine
    % once, so several networks give a machine several workers.
    pool.networks = workers;
    for net = 1:numel (workers)
      info = network_get_info (workers{net});
      for r = find (~[info.local_machine])
        pool.conns{end + 1} = workers{net}(r);
        pool.names{end + 1} = sprintf ('worker %d (%s)', numel (pool.conns), info(r).peername);
      end
    end
    if (isempty (pool.conns))
      error ('Velmora:usage', 'workers holds no server: pconnect one first.');
    end
  elseif (isnumeric (workers) && isscalar (workers) && isreal (workers) && workers >= 1 ...
          && workers == fix (workers) && workers <= 4096)
    pool.names = arrayfun (@(r) sprintf ('worker %d (this session)', r), 1:workers, ...
                           'UniformOutput', false);
  else
    given = mat2str (size (workers));
    if (isnumeric (workers) && isreal (workers) && isscalar (workers))
      given = num2str (workers);  % a count out of range, named
    end
    error ('Velmora:usage', ['workers must be a whole number from 1 to 4096, cluster ', ...
                             'connections or a cell array of them; it is %s %s.'], ...
           class (workers), given);
  end
end

% In-memory X: blocks of whole leaves, as even as they allow.
% The columns go into the open requests one block at a time.
function [blocks, parts, dim, n] = plan_matrix (X, W, leaf)
  [dim, n] = size (X);
  edges = min (n, [round((0:W - 1) * n / W / leaf) * leaf, n]);
  blocks = zeros (2, 0);
  parts = {};
  for w = 1:W
    if (edges(w + 1) > edges(w))
      blocks(:, end + 1) = [edges(w); edges(w + 1) - edges(w)];
      parts{end + 1} = struct ('worker', w, 'X', [], 'files', {{}}, 'skip', 0, 'count', 0, ...
                               'extra', zeros (dim, 0));
    end
  end
end

% Shards: each worker's run of them, moved to leaf boundaries: the points
% before a worker's first whole leaf are read by their owner and sent on to
% the block they belong to.
function [blocks, parts, dim, n, sizes] = plan_shards (pool, files, owners, leaf)
  W = numel (pool.names);
  F = numel (files);
  if (F == 0)
    error ('Velmora:usage', 'The list of shard files is empty.');
  end
  if (isempty (owners))
    owners = floor ((0:F - 1) * W / F) + 1;
  end
  % A matrix is refused, not read column by column: its shape says nothing
  % of which worker owns which shard.
  vector = isnumeric (owners) && isreal (owners) && isvector (owners);
  if (vector)
    owners = double (owners(:).');
  end
  if (~vector || numel (owners) ~= F || any (owners < 1 | owners > W | owners ~= fix (owners)) ...
      || any (diff (owners) < 0))
    error ('Velmora:usage', ['''Owners'' must give each of the %d shards its worker, 1 to %d, ', ...
                             'in order (a worker owns a run of shards).'], F, W);
  end
  sizes = zeros (2, F);
  holders = unique (owners);
  got = velmora_fit_requests (pool, holders, arrayfun (@(w) struct ('op', 'sizes', 'args', ...
                                                                    {{files(owners == w)}}), ...
                                                      holders, 'UniformOutput', false));
  for i = 1:numel (holders)
    sizes(:, owners == holders(i)) = got{i};
  end
  dim = sizes(1, 1);
  bad = find (sizes(1, :) ~= dim, 1);
  if (~isempty (bad))
    error ('Velmora:shard', 'Shard %s holds points of %d coordinates; shard %s has %d.', ...
           files{bad}, sizes(1, bad), files{1}, dim);
  end
  counts = accumarray (owners(:), sizes(2, :).', [W, 1]).';
  g = [0, cumsum(counts)];  % each worker's first point
  n = g(end);
  a = [0, min(n, ceil(g(2:W) / leaf) * leaf), n];  % each block's first point
  blocks = zeros (2, 0);
  parts = {};
  for w = 1:W
    if (a(w + 1) <= a(w))
      continue;
    end
    own = [a(w), min(a(w + 1), g(w + 1))];
    extra = zeros (dim, 0);
    for v = w + 1:W
      from = max (own(2), g(v));
      to = min (a(w + 1), g(v + 1));
      if (to > from)
        extra = [extra, ask(pool, v, 'read', {files(owners == v), dim, from - g(v), to - from})];
      end
    end
    blocks(:, end + 1) = [a(w); a(w + 1) - a(w)];
    parts{end + 1} = struct ('worker', w, 'X', zeros (dim, 0), 'files', {files(owners == w)}, ...
                             'skip', own(1) - g(w), 'count', max (0, own(2) - own(1)), ...
                             'extra', extra);
  end
end

% A worker's place among the workers on its machine: which of the
% machine's GPUs it takes.
function slot = slot_of (pool, w)
  host = regexprep (pool.names{w}, '^worker \d+ ', '');
  slot = sum (strcmp (regexprep (pool.names(1:w - 1), '^worker \d+ ', ''), host));
end

function block = block_of (p, range, dim, K, mode, tolerance, seeding, weights, labels, slot, ...
                           stream)
  first = range(1);
  last = range(1) + range(2);
  block = struct ('Dim', dim, 'K', K, 'Mode', lower (mode), 'First', first, 'X', p.X, ...
                  'Files', {p.files}, 'Skip', p.skip, 'Count', p.count, 'Extra', p.extra, ...
                  'Weights', weights (first, last), 'Labels', labels (first, last) - 1, ...
                  'Tolerance', double (tolerance), 'Seeding', double (seeding), 'Slot', slot, ...
                  'Stream', stream);
end
