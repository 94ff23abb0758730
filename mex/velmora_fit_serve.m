function reply = velmora_fit_serve (request)
  % reply = velmora_fit_serve (request): VelmoraFitParallel's worker side.
  % Runs velmora_fit_block (request.op, request.args{:}) in this process
  % and answers with its value and the seconds it took, or with the error's
  % identifier and message: a worker never leaves its caller without a
  % reply it can read.
  reply = struct ('value', [], 'seconds', 0, 'identifier', '', 'message', '');
  started = tic ();
  try
    if (strcmp (request.op, 'close'))
      velmora_fit_block ('close', request.args{:});
    else
      reply.value = velmora_fit_block (request.op, request.args{:});
    end
  catch err
    reply.identifier = err.identifier;
    if (isempty (reply.identifier))
      reply.identifier = 'Velmora:worker';
    end
    reply.message = err.message;
  end
  reply.seconds = toc (started);
end
