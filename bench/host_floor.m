% The host engine's full-mode fit against its FP64 floor at N = 1e6, VelmoraFit
% alone: seconds per iteration by difference (the least of three fits of 6
% iterations minus the least of three of 1, over 5), and the floor from the
% DGEMM rate of Octave's BLAS measured beside each cell (the best of three
% 2000 x 2000 products): dim (dim + 1) / 2 FMAs per point and cluster to
% whiten, as many again for the second moments. Rows are printed as they
% are measured.
%   MEXDIR=build/octave/cpu octave-cli bench/host_floor.m
addpath (getenv ('MEXDIR'));
printf ('| N | dim | K | Sigma | VelmoraFit s/it | DGEMM GFLOP/s | FP64 floor s/it | fit / floor | extra passes |\n|---|---|---|---|---|---|---|---|---|\n');
cells = [32 8; 32 16; 64 8; 64 16];
N = 1e6;
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
    tic; f(1); t1 = min(t1, toc); tic; [~, info] = f(6); t6 = min(t6, toc);
  end
  it = (t6 - t1) / 5;
  A = randn(2000); A * A; g = 0;
  for r = 1:3, tic; A * A; g = max(g, 2 * 2000^3 / toc); end
  floor_s = N * K * d * (d + 1) / 2 * 2 * 2 / g;
  printf('| 1e6 | %d | %d | full | %.4f | %.1f | %.4f | %.2f | %d |\n', d, K, it, g / 1e9, floor_s, it / floor_s, info.ExtraPasses);
  fflush(stdout);
end
