function out = velmora_log_block (X, mixture, want_R, device)
  % One block of VelmoraLogParallel, on a worker: X and the mixture's
  % arguments as VelmoraLog takes them (Mu, Sigma, Pi). The worker's GPU is
  % chosen before its first device call; an error comes back as data, so
  % that its identifier and message reach the caller unchanged (one
  % without an identifier is the worker's).
  if (~isempty (device))
    setenv ('CUDA_VISIBLE_DEVICES', device);
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
