function test_velmora_fit_parallel ()
  % VelmoraFitParallel with workers in this session: the same bits as one
  % VelmoraFit for every worker count and every split of the shards
  % (uneven, with shards smaller than a leaf and workers left without a
  % block), through every start, weights and both covariance forms; bad
  % shards named by file and element.
  randn ('seed', 21);  rand ('seed', 21);
  % Tight clusters far from the origin: sums that cancel if split wrongly.
  X = [1e4 + 0.01 * randn(3, 5000), -2e4 + 0.02 * randn(3, 4100), 3e4 + randn(3, 2000)];
  X = X(:, randperm (size (X, 2)));
  n = size (X, 2);
  w = floor (4 * rand (1, n));
  labels = mod (0:n - 1, 3) + 1;
  folder = tempname ();
  mkdir (folder);
  cleanup = onCleanup (@() remove_folder (folder));

  calls = {{'MaxIter', 12, 'TolFun', 0}, ...
           {'Start', 'randSample', 'CovarianceType', 'diagonal', 'Seed', 4}, ...
           {'Weights', w, 'Seed', 5, 'MaxIter', 30}, ...
           {'Start', labels, 'SharedCovariance', true, 'MaxIter', 8}, ...
           {'Weights', w, 'Start', 'randSample', 'ProbabilityTolerance', 1e-8}};
  for c = 1:numel (calls)
    [want, want_info] = VelmoraFit (X, 3, calls{c}{:});
    for W = [1 2 3 4]
      [got, info] = VelmoraFitParallel (X, 3, W, calls{c}{:});
      same (want, want_info, got, info, sprintf ('call %d on %d workers', c, W));
    end
  end

  % Shards of uneven sizes: smaller than a leaf, a leaf and one, many leaves.
  edges = [0 1000 4001 4051 7000 n];
  files = cell (1, numel (edges) - 1);
  for s = 1:numel (files)
    files{s} = fullfile (folder, sprintf ('shard%d.bin', s));
    velmora_write_shard (files{s}, X(:, edges(s) + 1:edges(s + 1)));
  end
  per_shard = arrayfun (@(s) labels(edges(s) + 1:edges(s + 1)), 1:numel (files), ...
                        'UniformOutput', false);
  [want, want_info] = VelmoraFit (X, 3, 'Weights', w, 'MaxIter', 15);
  [want_l, want_l_info] = VelmoraFit (X, 3, 'Start', labels, 'MaxIter', 6);
  for owners = {[], [1 1 1 1 1], [1 2 2 2 3], [1 1 2 3 3], [1 2 3 4 4]}
    W = max ([owners{1}, 3]);
    % Blocks held whole, and read again each pass a leaf or two at a time.
    for stream = [0 512 1024]
      what = sprintf ('shards owned by %s, streamed %d', mat2str (owners{1}), stream);
      [got, info] = VelmoraFitParallel (files, 3, W, 'Weights', w, 'MaxIter', 15, ...
                                        'Owners', owners{1}, 'Stream', stream);
      same (want, want_info, got, info, what);
      assert (isequal (info.Resident, stream == 0), '%s: Resident is %d', what, info.Resident);
      [got, info] = VelmoraFitParallel (files, 3, W, 'Start', per_shard, 'MaxIter', 6, ...
                                        'Owners', owners{1}, 'Stream', stream);
      same (want_l, want_l_info, got, info, ['labels per shard, ', what]);
    end
  end
  % Owners as a column, or of another numeric class, give the same shards.
  for owners = {[1; 2; 2; 2; 3], int32([1 2 2 2 3])}
    [got, info] = VelmoraFitParallel (files, 3, 3, 'Weights', w, 'MaxIter', 15, 'Owners', owners{1});
    same (want, want_info, got, info, sprintf ('owners %s %s', class (owners{1}), mat2str (owners{1})));
  end
  [want_r, want_r_info] = VelmoraFit (X, 3, 'Start', 'randSample', 'CovarianceType', ...
                                      'diagonal', 'Seed', 8, 'MaxIter', 9);
  [got, info] = VelmoraFitParallel (files, 3, 2, 'Start', 'randSample', 'CovarianceType', ...
                                    'diagonal', 'Seed', 8, 'MaxIter', 9, 'Stream', 1536);
  same (want_r, want_r_info, got, info, 'randSample, streamed in three leaves');

  % Workers on the device engine (here the CPU device, as a GPU would run
  % it): the same bits as VelmoraFit on that engine.
  setenv ('VELMORA_DEVICE', 'cpu-device');
  restore = onCleanup (@() setenv ('VELMORA_DEVICE', ''));
  [want, want_info] = VelmoraFit (X(:, 1:3000), 3, 'MaxIter', 5, 'Weights', w(1:3000));
  for W = [2 3]
    [got, info] = VelmoraFitParallel (X(:, 1:3000), 3, W, 'MaxIter', 5, 'Weights', w(1:3000));
    same (want, want_info, got, info, sprintf ('the device engine on %d workers', W));
  end
  clear restore

  % Display 'iter': each iteration's seconds and its slowest worker.
  text = evalc ('VelmoraFitParallel (X, 3, 2, ''MaxIter'', 2, ''Display'', ''iter'');');
  assert (numel (regexp (text, 'slowest worker \d \(this session\)')) == 2, text);

  % Bad shards: named with their file and element; nothing left open.
  bad = X(:, 1:3000);
  bad(2, 2500) = NaN;
  % Written by hand: velmora_write_shard refuses a NaN.
  f = fopen (fullfile (folder, 'bad.bin'), 'w', 'ieee-le');
  fwrite (f, 'VELMORA1', 'char');  fwrite (f, size (bad), 'uint64');  fwrite (f, bad, 'double');
  fclose (f);
  f = fopen (fullfile (folder, 'short.bin'), 'w');
  fwrite (f, 'VELMORA1', 'char');  fwrite (f, [3 10], 'uint64');  fwrite (f, 1:5, 'double');
  fclose (f);
  % More values than the header counts: columns appended without it, which
  % the fit would leave out.
  f = fopen (fullfile (folder, 'long.bin'), 'w');
  fwrite (f, 'VELMORA1', 'char');  fwrite (f, [3 2], 'uint64');  fwrite (f, 1:9, 'double');
  fclose (f);
  velmora_write_shard (fullfile (folder, 'wide.bin'), ones (4, 10));
  cases = {{'bad.bin'}, 'Velmora:data', 'bad.bin: its element (2,2500) is NaN'; ...
           {'missing.bin'}, 'Velmora:shard', 'missing.bin cannot be read'; ...
           {'short.bin'}, 'Velmora:shard', 'short.bin is shorter than its 3 x 10 values'; ...
           {'long.bin'}, 'Velmora:shard', 'long.bin is longer than its 3 x 2 values: 96 bytes of 72'; ...
           {'wide.bin'}, 'Velmora:shard', 'wide.bin holds points of 4 coordinates'};
  for c = 1:rows (cases)
    names = [{files{1}}, cellfun(@(f) fullfile (folder, f), cases{c, 1}, 'UniformOutput', false)];
    try
      VelmoraFitParallel (names, 3, 2);
      error ('no error for %s', cases{c, 3});
    catch err
      assert (err.identifier, cases{c, 2});
      assert (~isempty (strfind (err.message, cases{c, 3})), err.message);
    end
  end
  % 'Owners' out of range, out of order, not whole, or a matrix (read by
  % columns, [1 2; 1 2] would have passed as [1 1 2 2]).
  for owners = {[1 2 2 4], [2 1 1 1], [1 1 2 2.5], [1 2; 1 2], {1, 1, 2, 2}}
    try
      VelmoraFitParallel (files(1:4), 3, 3, 'Owners', owners{1});
      error ('no error for ''Owners'' %s', disp (owners{1}));
    catch err
      assert (err.identifier, 'Velmora:usage');
      assert (err.message, ['''Owners'' must give each of the 4 shards ', ...
                            'its worker, 1 to 3, in order (a worker owns a run of shards).']);
    end
  end
  % What would reach a worker as a nameless file, or be ignored without a
  % word, is refused at the call; and velmora_write_shard writes no shard
  % that a fit would refuse.
  cases = {{{files{1}, 2}, 3, 2}, 'Velmora:usage', 'file 2 of the list is a 1 x 1 double'; ...
           {{''}, 3, 2}, 'Velmora:usage', 'file 1 of the list is a 0 x 0 char'; ...
           {X, 3, 2, 'Owners', [1 2]}, 'Velmora:usage', '''Owners'' applies to a list of shard files only'; ...
           {X, 3, 2, 'Stream', 512}, 'Velmora:usage', '''Stream'' applies to a list of shard files only'; ...
           {X}, 'Velmora:usage', 'the data, K and the workers; 1 was given.'; ...
           {X, 3, 4097}, 'Velmora:usage', 'cell array of them; it is double 4097.'};
  for c = 1:rows (cases)
    expect_refusal (@VelmoraFitParallel, cases{c, 2}, cases{c, 3}, cases{c, 1}{:});
  end
  expect_refusal (@velmora_write_shard, 'Velmora:type', 'X must be a double or single array; it is int8.', ...
                  fullfile (folder, 'int8.bin'), int8 (ones (3, 4)));
  expect_refusal (@velmora_write_shard, 'Velmora:data', 'X(2,2500) is NaN', fullfile (folder, 'nan.bin'), bad);
  expect_refusal (@velmora_write_shard, 'Velmora:dimensions', ['X must have from 1 to 1048576 rows, ', ...
                  'one per coordinate of the points; it is 0 x 5.'], fullfile (folder, 'empty.bin'), zeros (0, 5));
  assert (~exist (fullfile (folder, 'int8.bin'), 'file') && ~exist (fullfile (folder, 'nan.bin'), 'file') ...
          && ~exist (fullfile (folder, 'empty.bin'), 'file'));
  try
    [a, b, c] = VelmoraFitParallel (X, 3, 2);
    error ('3 outputs were given');
  catch err
    assert (err.identifier, 'Velmora:usage');
    assert (strncmp (err.message, 'At most 2 outputs are given, model and info; 3 were asked for.', 62), ...
            err.message);
  end
  % X's own NaN names its column among all the points, whatever the block.
  Y = X;
  Y(1, 9000) = NaN;
  try
    VelmoraFitParallel (Y, 3, 3);
    error ('no error for a NaN in X');
  catch err
    assert (err.identifier, 'Velmora:data');
    assert (~isempty (strfind (err.message, 'X(1,9000) is NaN')), err.message);
  end
  % Calls VelmoraFit refuses are refused the same, before any worker is
  % asked (a dim of 0 once reached the workers and divided by it).
  for bad = {{zeros(0, 10), 2}, {X, 0}, {X, n + 1}, {zeros(3, 0), 1}, {int8(X), 3}, ...
             {X, 3, 'Weights', w(1:10)}, {X, 3, 'Start', 1:5}, {X, 3, 'Colour', 1}, ...
             {X, 3, 4, 5}, {X, 3, 'MaxIter'}}
    try
      VelmoraFit (bad{1}{:});
      error ('VelmoraFit took %s', disp (bad{1}));
    catch want_err
    end
    try
      VelmoraFitParallel (bad{1}{1:2}, 2, bad{1}{3:end});
      error ('VelmoraFitParallel took a call VelmoraFit refuses: %s', want_err.message);
    catch err
      assert (err.identifier, want_err.identifier);
      assert (strrep (err.message, 'VelmoraFitParallel: ', ''), ...
              strrep (want_err.message, 'VelmoraFit: ', ''));
    end
  end
  % The fit's warnings under this function's name.
  lastwarn ('');
  VelmoraFitParallel (X, 3, 2, 'MaxIter', 2, 'Display', 'final');
  [text, id] = lastwarn ();
  assert (id, 'Velmora:notConverged');
  assert (strncmp (text, 'VelmoraFitParallel: The fit stopped at MaxIter (2 iterations)', 61), text);
  % ... and its advice names this function's call.
  lastwarn ('');
  VelmoraFitParallel (randn (6, 6), 1, 2);
  [text, id] = lastwarn ();
  assert (id, 'Velmora:layout');
  assert (~isempty (strfind (text, 'VelmoraFitParallel takes one point per column')) ...
          && ~isempty (strfind (text, 'or VelmoraFitParallel(X.'', K, workers, ...).')), text);

  % Every session was closed, after success and failure alike: the module
  % can be cleared.
  assert (~mislocked ('velmora_fit_block'), 'a session was left open');
  printf ('VelmoraFitParallel: the same bits as VelmoraFit over 1-4 workers and 5 splits of shards\n');
end

function same (want, want_info, got, info, what)
  assert (isequal (got, want), '%s: the model differs', what);
  assert (isequal (info.History, want_info.History), '%s: the history differs', what);
  assert (isequal (info.LogLikelihood, want_info.LogLikelihood), '%s: logL differs', what);
  assert (isequal (info.Iterations, want_info.Iterations), '%s: iterations differ', what);
end

function remove_folder (folder)
  confirm_recursive_rmdir (false, 'local');
  rmdir (folder, 's');
end
