function [values, seconds, failure] = velmora_fit_requests (pool, workers, requests)
  % [values, seconds] = velmora_fit_requests (pool, workers, requests):
  % VelmoraFitParallel's requests, requests{i} to worker workers(i), every
  % one sent before any reply is read, so that the workers run at once.
  % Every reply is read before an error is raised, so that the
  % connections stay in step. A worker that dies, fails outside Velmora or
  % says nothing for pool.timeout seconds raises Velmora:worker, naming
  % it, and the connections are closed (a late reply could no longer be
  % told from the next); the servers stay up. A worker's own error comes
  % back with its identifier where it is one of Velmora's, as Velmora:worker
  % naming the worker otherwise. With a third output, a worker's error is
  % not raised but given there (the first; [] if none), the values of the
  % others kept: what they hold can then be released.
  count = numel (workers);
  replies = cell (1, count);
  % Left between a request and its reply (an interrupt), the connections
  % would answer the next request with this one's reply: closed then.
  pending = containers.Map ('KeyType', 'char', 'ValueType', 'logical');
  pending('sent') = false;
  guard = onCleanup (@() close_if_pending (pool, pending));
  if (~isempty (pool.matlab))
    replies = velmora_fit_spmd (pool.matlab, workers, requests);
  elseif (isempty (pool.conns))
    for i = 1:count
      replies{i} = velmora_fit_serve (requests{i});
    end
  else
    command = ['__velmora_reply__ = velmora_fit_serve (precv (sockets(1)), true); ', ...
               'psend (__velmora_reply__, sockets(1)); clear __velmora_reply__;'];
    pending('sent') = true;
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
        ready = select_sockets (connection, wait_seconds (pool.timeout));
      catch err
        lost (pool, workers(i), err.message);
      end
      if (isempty (ready))
        lost (pool, workers(i), sprintf ('it said nothing for %g s (''Timeout'')', ...
                                         max (pool.timeout, wait_seconds (pool.timeout))));
      end
      try
        replies{i} = precv (connection);
      catch err
        lost (pool, workers(i), err.message);
      end
      if (~(isstruct (replies{i}) && isfield (replies{i}, 'failed')))
        lost (pool, workers(i), 'its reply is not one of ours (is the package loaded there?)');
      end
    end
    pending('sent') = false;
  end
  values = cell (1, count);
  seconds = zeros (1, count);
  failure = [];
  for i = 1:count
    r = replies{i};
    values{i} = r.value;
    seconds(i) = r.seconds;
    if (r.failed && isempty (failure))
      failure = struct ('identifier', r.identifier, 'message', r.message);
      if (~strncmp (r.identifier, 'Velmora:', 8))
        failure = struct ('identifier', 'Velmora:worker', 'message', ...
                          sprintf ('%s failed: %s', pool.names{workers(i)}, r.message));
      end
    end
  end
  if (~isempty (failure) && nargout < 3)
    error (failure);
  end
end

function close_if_pending (pool, pending)
  if (pending('sent'))
    close_networks (pool);
  end
end

function close_networks (pool)
  for n = 1:numel (pool.networks)
    try
      sclose (pool.networks{n});
    catch
    end
  end
end

function lost (pool, w, why)
  close_networks (pool);
  error ('Velmora:worker', ['%s was lost: %s. The connections are closed; the servers stay ', ...
                            'up: pconnect again.'], pool.names{w}, why);
end

% What select_sockets is given for a wait of `timeout` seconds: it takes
% whole seconds, dropping a fraction (0.5 would not wait at all), and -1
% for no limit (Inf is refused by the system's select).
function seconds = wait_seconds (timeout)
  if (isinf (timeout))
    seconds = -1;
  else
    seconds = ceil (timeout);
  end
end
