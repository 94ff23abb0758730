function reply = velmora_fit_serve (request, on_server)
  % reply = velmora_fit_serve (request): VelmoraFitParallel's worker side.
  % Runs velmora_fit_block (request.op, request.args{:}) in this process
  % and answers with its value and the seconds it took, or with the error's
  % identifier and message: a worker never leaves its caller without a
  % reply it can read. on_server: a server's session, whose GPU it may
  % choose (not the caller's own session's).
  reply = struct ('value', [], 'seconds', 0, 'failed', false, 'identifier', '', 'message', '');
  started = tic ();
  try
    if (nargin > 1 && on_server && strcmp (request.op, 'open'))
      bind_gpu (request.args{1}.Slot);
    end
    if (strcmp (request.op, 'close'))
      velmora_fit_block ('close', request.args{:});
    else
      reply.value = velmora_fit_block (request.op, request.args{:});
    end
  catch err
    % The caller names this worker where the error is not one of ours.
    reply.failed = true;
    reply.identifier = err.identifier;
    reply.message = regexprep (err.message, '^velmora_fit_block: ', '');
  end
  reply.seconds = toc (started);
end

% One GPU per worker: the worker's place among those on its machine picks
% one of the GPUs nvidia-smi lists, unless CUDA_VISIBLE_DEVICES says
% already. Only before this process's first use of CUDA.
function bind_gpu (slot)
  persistent bound
  if (~isempty (bound) || ~isempty (getenv ('CUDA_VISIBLE_DEVICES')))
    return;
  end
  bound = true;
  [status, text] = system ('nvidia-smi -L 2>/dev/null');
  count = numel (regexp (text, '^GPU \d+', 'lineanchors'));
  if (status == 0 && count > 0)
    setenv ('CUDA_VISIBLE_DEVICES', sprintf ('%d', mod (slot, count)));
  end
end
