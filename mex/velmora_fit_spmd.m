function replies = velmora_fit_spmd (pool, workers, requests)
  % replies = velmora_fit_spmd (pool, workers, requests): VelmoraFitParallel's
  % requests on a MATLAB pool (parpool): requests{i} runs on the pool's
  % worker workers(i), whose sessions live on in that worker's process
  % between spmd blocks. MATLAB only, and untested here (no MATLAB on our
  % machines); spmd has no timeout, so 'Timeout' does not apply.
  asked = cell (1, pool.NumWorkers);
  for i = 1:numel (workers)
    asked{workers(i)} = requests{i};
  end
  spmd (pool.NumWorkers)
    mine = asked{spmdIndex};
    reply = [];
    if ~isempty (mine)
      reply = velmora_fit_serve (mine, true);
    end
  end
  replies = cell (1, numel (workers));
  for i = 1:numel (workers)
    replies{i} = reply{workers(i)};
  end
end
