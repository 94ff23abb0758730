function cluster_velmora_fit (server_folder)
  % The client side of cluster_check.sh for VelmoraFitParallel: three
  % workers, each a session of the server on 127.0.0.1, reading shards
  % from local disk. The same bits as one VelmoraFit on 3 and 2 workers; a
  % bad shard named; a worker killed mid-fit and one that stops answering
  % mid-fit raise Velmora:worker naming it, as does a server without the package,
  % and the server takes new connections after each.
  pkg load parallel
  shards = fullfile (server_folder, 'shards');
  mkdir (shards);
  randn ('seed', 31);  rand ('seed', 31);
  X = [50 + randn(4, 6000), -50 + 2 * randn(4, 5000), randn(4, 3000)];
  X = X(:, randperm (size (X, 2)));
  edges = [0 3000 3100 9000 size(X, 2)];
  files = arrayfun (@(s) fullfile (shards, sprintf ('part%d.bin', s)), 1:4, 'UniformOutput', false);
  for s = 1:4
    velmora_write_shard (files{s}, X(:, edges(s) + 1:edges(s + 1)));
  end
  bad = X(:, 1:100);
  bad(3, 77) = Inf;
  files{5} = fullfile (shards, 'bad.bin');
  % Written by hand: velmora_write_shard refuses an Inf.
  f = fopen (files{5}, 'w', 'ieee-le');
  fwrite (f, 'VELMORA1', 'char');  fwrite (f, size (bad), 'uint64');  fwrite (f, bad, 'double');
  fclose (f);
  system (['chmod -R a+rX ', shards]);
  [want, want_info] = VelmoraFit (X, 3, 'MaxIter', 25, 'Weights', 1 + mod (1:size (X, 2), 3));

  c = connect (server_folder);
  [got, info] = VelmoraFitParallel (files(1:4), 3, c, 'MaxIter', 25, ...
                                    'Weights', 1 + mod (1:size (X, 2), 3));
  assert (isequal (got, want) && isequal (info.History, want_info.History), ...
          'three workers differ from one fit');
  got = VelmoraFitParallel (X, 3, c(1:2), 'MaxIter', 25, 'Weights', 1 + mod (1:size (X, 2), 3));
  assert (isequal (got, want), 'two workers differ from one fit');
  % A fraction of a second, and no limit, are waits too (the package's
  % select takes whole seconds, and refuses Inf).
  for timeout = [0.5, Inf]
    got = VelmoraFitParallel (X, 3, c(1:2), 'MaxIter', 25, 'Weights', 1 + mod (1:size (X, 2), 3), ...
                              'Timeout', timeout);
    assert (isequal (got, want), 'the fit with Timeout %g differs', timeout);
  end
  % Every fit closed the sessions it opened on the servers.
  for w = 1:3
    assert (~block_locked (c{w}(2)), 'worker %d still holds a session after the fits', w);
  end
  try
    VelmoraFitParallel (files([1 5]), 3, c);
    error ('the bad shard was not named');
  catch err
    assert (err.identifier, 'Velmora:data');
    assert (~isempty (strfind (err.message, 'bad.bin: its element (3,77) is Inf')), err.message);
  end

  % Killed mid-fit: the last worker kills itself a second into the fit.
  Y = randn (8, 200000);
  pid = worker_pid (c{3}(2));
  reval (sprintf ('system (''(sleep 1; kill -9 %d) >/dev/null 2>&1 &'');', pid), c{3}(2));
  fails_naming (@() VelmoraFitParallel (Y, 4, c, 'MaxIter', 1e6, 'TolFun', 0), ...
                'worker 3 (127.0.0.1) was lost');
  % Silent: the first worker stops answering after its 20th request, in the
  % EM iterations (before them: the open, k-means++'s passes, the variance).
  % (Not SIGSTOP: a stopped worker is sent SIGHUP and ends as soon as its
  % process group is orphaned, as the servers' exits from the case above
  % may do at any time, and then it is lost for another reason.)
  c = connect (server_folder);
  pid = worker_pid (c{1}(2));
  reval (sprintf ('addpath (''%s'');', stalling_serve (server_folder, 20)), c{1}(2));
  fails_naming (@() VelmoraFitParallel (Y, 4, c, 'MaxIter', 1e6, 'TolFun', 0, 'Timeout', 3), ...
                'worker 1 (127.0.0.1) was lost: it said nothing for 3 s');
  system (sprintf ('kill -9 %d', pid));
  % A server without the package: named, not a hang.
  bare = pconnect ({'127.0.0.1'}, struct ('use_tls', false));
  fails_naming (@() VelmoraFitParallel (X, 3, bare, 'Timeout', 20), 'worker 1 (127.0.0.1)');
  % The server is still there for the next fit.
  c = connect (server_folder);
  got = VelmoraFitParallel (files(1:4), 3, c, 'MaxIter', 25, 'Weights', 1 + mod (1:size (X, 2), 3));
  assert (isequal (got, want), 'the fit after the failures differs');
  close_all (c);
  printf ('VelmoraFitParallel on 127.0.0.1: the same bits on 2 and 3 workers; lost workers named\n');
end

% Three workers on the one server: a network of the package reaches a
% machine once, so one network each.
function c = connect (server_folder)
  c = cell (1, 3);
  for w = 1:3
    c{w} = pconnect ({'127.0.0.1'}, struct ('use_tls', false));
    reval (sprintf ('addpath (''%s'');', server_folder), c{w}(2));
  end
end

function close_all (c)
  for w = 1:numel (c)
    sclose (c{w});
  end
end

% A folder whose velmora_fit_serve answers its first `answered` requests and
% then sleeps for a minute (ended sooner by kill): put before the real one
% on a worker's path.
function folder = stalling_serve (server_folder, answered)
  folder = fullfile (server_folder, 'stalling');
  mkdir (folder);
  text = fileread (fullfile (server_folder, 'velmora_fit_serve.m'));
  text = regexprep (text, 'function reply = velmora_fit_serve', ...
                    'function reply = answering_serve', 'once');
  write_text (fullfile (folder, 'answering_serve.m'), text);
  write_text (fullfile (folder, 'velmora_fit_serve.m'), sprintf ([ ...
    'function reply = velmora_fit_serve (varargin)\n', ...
    '  persistent requests\n', ...
    '  requests = sum ([requests, 1]);\n', ...
    '  if (requests > %d)\n', ...
    '    pause (60);\n', ...
    '  end\n', ...
    '  reply = answering_serve (varargin{:});\n', ...
    'end\n'], answered));
  system (['chmod -R a+rX ', folder]);
end

function write_text (name, text)
  f = fopen (name, 'w');
  fputs (f, text);
  fclose (f);
end

% Whether velmora_fit_block holds a session on the worker (it stays
% locked while one is open).
function locked = block_locked (connection)
  reval ('psend (mislocked (''velmora_fit_block''), sockets(1));', connection);
  locked = precv (connection);
end

function pid = worker_pid (connection)
  reval ('psend (getpid (), sockets(1));', connection);
  pid = precv (connection);
end

function fails_naming (call, text)
  try
    call ();
    error ('no error: %s', text);
  catch err
    assert (err.identifier, 'Velmora:worker');
    assert (~isempty (strfind (err.message, text)), err.message);
  end
end
