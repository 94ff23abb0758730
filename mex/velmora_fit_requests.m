function [values, seconds] = velmora_fit_requests (pool, workers, requests)
  % [values, seconds] = velmora_fit_requests (pool, workers, requests):
  % VelmoraFitParallel's requests, requests{i} to worker workers(i), every
  % one sent before any reply is read, so that the workers run at once.
  % Every reply is read before an error is raised, so that the
  % connections stay in step. A worker that dies, fails outside Velmora or
  % says nothing for pool.timeout seconds raises Velmora:worker, naming
  % it, and the connections are closed (a late reply could no longer be
  % told from the next); the servers stay up. A worker's own error comes
  % back with its identifier.
  count = numel (workers);
  replies = cell (1, count);
  if (~isempty (pool.matlab))
    replies = velmora_fit_spmd (pool.matlab, workers, requests);
  elseif (isempty (pool.conns))
    for i = 1:count
      replies{i} = velmora_fit_serve (requests{i});
    end
  else
    command = ['__velmora_reply__ = velmora_fit_serve (precv (sockets(1)), true); ', ...
               'psend (__velmora_reply__, sockets(1)); clear __velmora_reply__;'];
    for i = 1:count
      try
        reval (command, pool.conns{workers(i)});
        psend (requests{i}, pool.conns{workers(i)});
      catch err
        lost (pool, workers(i), err.message);
      end
    end
    for i = 1:count
      connection = pool.conns{workers(i)};
      try
        ready = select_sockets (connection, pool.timeout);
      catch err
        lost (pool, workers(i), err.message);
      end
      if (isempty (ready))
        lost (pool, workers(i), sprintf ('it said nothing for %g s (''Timeout'')', pool.timeout));
      end
      try
        replies{i} = precv (connection);
      catch err
        lost (pool, workers(i), err.message);
      end
      if (~(isstruct (replies{i}) && isfield (replies{i}, 'identifier')))
        lost (pool, workers(i), 'its reply is not one of ours (is the package loaded there?)');
      end
    end
  end
  values = cell (1, count);
  seconds = zeros (1, count);
  for i = 1:count
    r = replies{i};
    if (~isempty (r.identifier))
      error (struct ('identifier', r.identifier, 'message', r.message));
    end
    values{i} = r.value;
    seconds(i) = r.seconds;
  end
end

function lost (pool, w, why)
  for n = 1:numel (pool.networks)
    try
      sclose (pool.networks{n});
    catch
    end
  end
  error ('Velmora:worker', ['%s was lost: %s. The connections are closed; the servers stay ', ...
                            'up: pconnect again.'], pool.names{w}, why);
end
