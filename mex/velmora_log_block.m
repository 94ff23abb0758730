function out = velmora_log_block (X, Mu, Sigma, Pi, want_R, device)
  % One column block of VelmoraLogParallel, on a worker. The worker's GPU is
  % chosen before its first device call; an error comes back as data, so
  % that its identifier and message reach the caller unchanged (an error
  % without an identifier still counts as one).
  if (~isempty (device))
    setenv ('CUDA_VISIBLE_DEVICES', device);
  end
  out = struct ('logP', [], 'R', [], 'failed', false, 'identifier', '', 'message', '');
  try
    if (want_R)
      [out.logP, out.R] = VelmoraLog (X, Mu, Sigma, Pi);
    else
      out.logP = VelmoraLog (X, Mu, Sigma, Pi);
    end
  catch err
    out.failed = true;
    out.identifier = err.identifier;
    out.message = err.message;
  end
end
