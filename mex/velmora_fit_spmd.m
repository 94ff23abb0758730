function replies = velmora_fit_spmd (pool, workers, requests)
  % replies = velmora_fit_spmd (pool, workers, requests): VelmoraFitParallel's
  % requests on a MATLAB pool (parpool): requests{i} runs on the pool's
  % worker workers(i), whose sessions live on in that worker's process
  % between spmd blocks. MATLAB only, and untested here (no MATLAB on our
  % machines); spmd has no timeout, so 'Timeout' does not apply.
  % A Composite, so that each worker is sent its own request alone (a cell
  % used in the spmd block went whole to every worker: every block's data
  % to each), and no worker index is needed (spmdIndex is R2022b's).
  asked = Composite ();
  for w = 1:numel (asked)
    asked{w} = [];
  end
  for i = 1:numel (workers)
    asked{workers(i)} = requests{i};
  end
  spmd (pool.NumWorkers)
    reply = [];
    if ~isempty (asked)
      reply = velmora_fit_serve (asked, true);
    end
  end
  replies = cell (1, numel (workers));
  for i = 1:numel (workers)
    replies{i} = reply{workers(i)};
  end
end
