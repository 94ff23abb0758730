function out = velmora_fit_exchange (pool, sessions, owner, op, w, varargin)
  % out = velmora_fit_exchange (pool, sessions, owner, op, w, args...):
  % one pass of VelmoraFitParallel's fit, asked by velmora_fit_block's
  % driver of block w's session (0: of every block's, in block order). It
  % never raises: out holds `values` (a row per block asked) and `note`
  % (the pass's seconds and its slowest worker, for Display 'iter'), or
  % the `identifier` and `message` of what went wrong, for the driver to
  % raise once it has released what it holds.
  try
    targets = w;
    if (w == 0)
      targets = 1:numel (sessions);
    end
    requests = arrayfun (@(t) struct ('op', 'call', 'args', {[{sessions(t), op}, varargin]}), ...
                         targets, 'UniformOutput', false);
    started = tic ();
    [values, seconds] = velmora_fit_requests (pool, owner(targets), requests);
    [slowest, at] = max (seconds);
    out = struct ('values', {values}, 'identifier', '', 'message', '', ...
                  'note', sprintf ('  %8.3f s, slowest %s %.3f s', toc (started), ...
                                   pool.names{owner(targets(at))}, slowest));
  catch err
    out = struct ('values', {{}}, 'identifier', err.identifier, 'message', err.message, ...
                  'note', '');
    if (isempty (out.identifier))
      out.identifier = 'Velmora:worker';
    end
  end
end
