function fit_parallel_bench (mex_dir, N, dim, K)
  % VelmoraFitParallel against VelmoraFit, in one run: seconds per EM
  % iteration by difference (a fit of 11 iterations minus a fit of 1, TolFun
  % 0, the same start), for 1, 2 and 3 workers in this session, and the
  % ratio to VelmoraFit. The workers run one after another here, each on
  % every core: the ratio is what the blocks and the exchange cost, not a
  % speed-up (that needs machines).
  %   octave-cli --eval "addpath('bench'); fit_parallel_bench('build/octave/cpu')"
  if (nargin < 2)
    N = 2e5;  dim = 16;  K = 8;
  end
  addpath (mex_dir);
  rand ('seed', 5);  randn ('seed', 5);
  C = 6 * randn (dim, K);
  X = C(:, mod (0:N - 1, K) + 1) + randn (dim, N);
  start = struct ('Mu', C + randn (dim, K), 'Sigma', repmat (eye (dim), [1 1 K]), ...
                  'Pi', ones (1, K) / K);
  args = {'Start', start, 'TolFun', 0};
  per_iteration = @(fit) (time_of (@() fit (11)) - time_of (@() fit (1))) / 10;
  base = per_iteration (@(t) VelmoraFit (X, K, args{:}, 'MaxIter', t));
  printf ('N = %d, dim %d, K %d, full covariances; seconds per iteration\n\n', N, dim, K);
  printf ('| fit | s / iteration | vs VelmoraFit |\n|---|---|---|\n');
  printf ('| VelmoraFit | %.4f | 1.00 |\n', base);
  for W = 1:3
    t = per_iteration (@(i) VelmoraFitParallel (X, K, W, args{:}, 'MaxIter', i));
    printf ('| VelmoraFitParallel, %d worker%s in this session | %.4f | %.2f |\n', W, ...
            ifelse_s (W), t, t / base);
  end
end

function t = time_of (call)
  best = Inf;
  for r = 1:3
    started = tic ();
    call ();
    best = min (best, toc (started));
  end
  t = best;
end

function s = ifelse_s (W)
  s = '';
  if (W > 1)
    s = 's';
  end
end
