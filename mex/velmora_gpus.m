function devices = velmora_gpus ()
  % The GPUs of this machine that VelmoraLogParallel's workers share, by
  % index, found without touching the device in this session: those that
  % CUDA_VISIBLE_DEVICES names, else those that nvidia-smi lists; {''} (no
  % binding) when there are none.
  visible = getenv ('CUDA_VISIBLE_DEVICES');
  if (~isempty (visible))
    devices = strsplit (visible, ',');
    return;
  end
  [status, text] = system ('nvidia-smi -L 2>/dev/null');
  count = 0;
  if (status == 0)
    count = numel (regexp (text, '^GPU \d+', 'lineanchors'));
  end
  if (count == 0)
    devices = {''};
  else
    devices = arrayfun (@(k) sprintf ('%d', k), 0:count - 1, 'UniformOutput', false);
  end
end
