% The host engine's full mode against its FP64 floor (N = 1e6, or POINTS),
% VelmoraFit and VelmoraLog alone: a fit's seconds per iteration by
% difference (the least of the rounds' fits of 6 iterations minus the
% least of their fits of 1, over 5), an evaluation's the least of the
% rounds' (logP alone, and logP with R, at the fitted model; the ratio is
% logP's), and the floor from the best DGEMM rate of Octave's BLAS in the
% same rounds (2000 x 2000 products): dim (dim + 1) / 2 FMAs per point and
% cluster to whiten, as many again for a fit's second moments. Three
% rounds at N = 1e6, five below. Rows are printed as they are measured.
%   MEXDIR=build/octave/cpu [POINTS=1e5] octave-cli bench/host_floor.m
addpath (getenv ('MEXDIR'));
printf ('| N | dim | K | Sigma | VelmoraFit s/it | VelmoraLog s | with R s | DGEMM GFLOP/s | FP64 floor s/it | fit / floor | log / floor | extra passes |\n|---|---|---|---|---|---|---|---|---|---|---|---|\n');
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
  % Rounds of every measurement, DGEMM's among them: the times and the
  % rate come from one stretch of time, so that a slow spell of the
  % machine (a virtual one, whose neighbours' load comes and goes) cannot
  % spare the one and reach the others. The least of each time, the best
  % rate.
  rounds = 3 + 2 * (N < 1e6);
  A = randn(2000); A * A;
  t1 = inf; t6 = inf; ev = inf; evr = inf; g = 0;
  for r = 1:rounds
    tic; f(1); t1 = min(t1, toc); tic; [model, info] = f(6); t6 = min(t6, toc);
    tic; lp = VelmoraLog(X, model.Mu, model.Sigma, model.Pi); ev = min(ev, toc);
    tic; [lp, R] = VelmoraLog(X, model.Mu, model.Sigma, model.Pi); evr = min(evr, toc);
    clear lp R;
    tic; A * A; g = max(g, 2 * 2000^3 / toc);
  end
  it = (t6 - t1) / 5;
  floor_s = N * K * d * (d + 1) / 2 * 2 * 2 / g;
  printf('| %g | %d | %d | full | %.4f | %.4f | %.4f | %.1f | %.4f | %.2f | %.2f | %d |\n', N, d, K, it, ev, evr, g / 1e9, floor_s, it / floor_s, ev / (floor_s / 2), info.ExtraPasses);
  fflush(stdout);
end
