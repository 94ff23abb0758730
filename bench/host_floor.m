% The host engine's full mode against its FP64 floor (N = 1e6, or POINTS), VelmoraFit
% and VelmoraLog alone: a fit's seconds per iteration by difference (the
% least of three fits of 6 iterations minus the least of three of 1, over
% 5), an evaluation's the least of three (logP and R, at the fitted
% model), and the floor from the DGEMM rate of Octave's BLAS measured
% beside each cell (the best of three 2000 x 2000 products): dim (dim + 1)
% / 2 FMAs per point and cluster to whiten, as many again for a fit's
% second moments. Rows are printed as they are measured.
%   MEXDIR=build/octave/cpu [POINTS=1e5] octave-cli bench/host_floor.m
addpath (getenv ('MEXDIR'));
printf ('| N | dim | K | Sigma | VelmoraFit s/it | VelmoraLog s | DGEMM GFLOP/s | FP64 floor s/it | fit / floor | log / floor | extra passes |\n|---|---|---|---|---|---|---|---|---|---|---|\n');
cells = [32 8; 32 16; 64 8; 64 16];
N = 1e6;
if ~isempty(getenv('POINTS')), N = str2double(getenv('POINTS')); end
for c = 1:rows(cells)
  d = cells(c,1); K = cells(c,2);
  randn('seed', c); rand('seed', c);
  centres = 4 * randn(d, K);
  X = centres(:, 1 + mod(0:N-1, K)) + randn(d, N);
  M0 = centres + 0.5 * randn(d, K);
  S = repmat(diag(var(X, 0, 2)), [1 1 K]);
  start = struct('Mu', M0, 'Sigma', S, 'Pi', ones(1, K) / K);
  f = @(m) VelmoraFit(X, K, 'Start', start, 'MaxIter', m, 'TolFun', 0, 'RegularizationValue', 1e-6, 'CovarianceType', 'full');
  f(1);
  t1 = inf; t6 = inf;
  for r = 1:3
    tic; f(1); t1 = min(t1, toc); tic; [model, info] = f(6); t6 = min(t6, toc);
  end
  it = (t6 - t1) / 5;
  ev = inf;
  for r = 1:3
    tic; [lp, R] = VelmoraLog(X, model.Mu, model.Sigma, model.Pi); ev = min(ev, toc);
  end
  clear lp R;
  A = randn(2000); A * A; g = 0;
  for r = 1:3, tic; A * A; g = max(g, 2 * 2000^3 / toc); end
  floor_s = N * K * d * (d + 1) / 2 * 2 * 2 / g;
  printf('| %g | %d | %d | full | %.4f | %.4f | %.1f | %.4f | %.2f | %.2f | %d |\n', N, d, K, it, ev, g / 1e9, floor_s, it / floor_s, ev / (floor_s / 2), info.ExtraPasses);
  fflush(stdout);
end
