function out = velmora_log_block (X, mixture, want_R, device, engine)
  % One block of VelmoraLogParallel, on a worker: X and the mixture's
  % arguments as VelmoraLog takes them (Mu, Sigma, Pi). The worker's GPU is
  % chosen before its first device call: device is its index ('' for
  % none), or on a server the block's number, which picks among that
  % machine's GPUs in turn. An error comes back as data, so
  % that its identifier and message reach the caller unchanged (one
  % without an identifier is the worker's). engine: the values of
  % VELMORA_DEVICE and VELMORA_TENSOR_CORES in the caller ('' where
  % unset), set here before the block is evaluated, since a worker kept
  % between calls still holds the environment of the call that started
  % it; [] (a server) keeps the worker's own.
  if (isnumeric (device))
    devices = velmora_gpus ();
    % No spaces within the braces: MATLAB's parser may take them for
    % separators there.
    device = devices{mod(device - 1, numel(devices)) + 1};
  end
  if (~isempty (device))
    setenv ('CUDA_VISIBLE_DEVICES', device);
  end
  if (nargin > 4 && ~isempty (engine))
    names = {'VELMORA_DEVICE', 'VELMORA_TENSOR_CORES'};
    for e = 1:numel (engine)
      if (isempty (engine{e}) && exist ('unsetenv'))
        unsetenv (names{e});
      else
        setenv (names{e}, engine{e});
      end
    end
  end
  out = struct ('logP', [], 'R', [], 'identifier', '', 'message', '');
  try
    if (want_R)
      [out.logP, out.R] = VelmoraLog (X, mixture{:});
    else
      out.logP = VelmoraLog (X, mixture{:});
    end
  catch err
    out.identifier = err.identifier;
    if (isempty (out.identifier))
      out.identifier = 'Velmora:worker';
    end
    out.message = err.message;
  end
end
