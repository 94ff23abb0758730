#!/usr/bin/python3
"""The host engine against its peers, side by side in one run, on this machine.

    python3 bench/host_bench.py build/octave/cpu [--points 1e5] [--dims 8,32,64]
                                [--clusters 8,16] [--iterations 2] [--repeats 2]
                                [--out table.md]

Per cell (N, dim, K, full or diagonal), from one start and on one data set:
VelmoraFit (host engine), scikit-learn's GaussianMixture and the statistics
package's fitgmdist, per iteration by difference (a fit of n + 1 iterations
minus a fit of 1, over n, each the least of --repeats; TolFun 0, the same
regularisation); VelmoraLog
(logP alone), score_samples and gmdistribution's pdf, best of three after a
warm-up. Peers run as their users run them: scikit-learn with the BLAS
threads it gets by default, Octave with its own BLAS. The FP64 floor is the
measured DGEMM rate of Octave's BLAS (in each cell, with the threads it
gets by default) times the operation count, in full mode: dim (dim + 1) / 2
FMAs per point and cluster for the whitening, as many again for the second
moments in a fit. Rows are printed as they are
measured.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

OCTAVE = r"""
addpath('{mex}'); pkg load statistics; warning('off', 'all');
fid = fopen('{data}'); X = fread(fid, [{dim}, {n}], 'double'); fclose(fid);
fid = fopen('{start}'); M0 = fread(fid, [{dim}, {k}], 'double');
S0 = fread(fid, [{dim}, {k}], 'double'); fclose(fid);
P0 = ones(1, {k}) / {k}; full = {full}; it = {iterations}; reg = 1e-6;
% fitgmdist checks a start's covariances for d rows: d x d x K in full
% mode; in diagonal mode d x 1 x K, since it writes each M-step's variances
% back into the start's shape (d x d x K fails there from the second
% iteration on, with "mvnpdf: bad covariance matrix").
if full
  S = zeros({dim}, {dim}, {k}); for c = 1:{k}, S(:, :, c) = diag(S0(:, c)); end
  type = 'full'; gS = S; fS = S;
else
  S = S0; type = 'diagonal'; gS = reshape(S0, 1, {dim}, {k}); fS = reshape(S0, {dim}, 1, {k});
end
start = struct('Mu', M0, 'Sigma', S, 'Pi', P0);
function t = best(f)
  f(); t = inf; for r = 1:3, tic; f(); t = min(t, toc); end
end
vf = @(m) VelmoraFit(X, {k}, 'Start', start, 'MaxIter', m, 'TolFun', 0, ...
                     'RegularizationValue', reg, 'CovarianceType', type);
% Per iteration by difference, each fit's time the least of {repeats}.
function d = by_difference(f, it)
  t1 = inf; tn = inf;
  for r = 1:{repeats}
    tic; f(1); t1 = min(t1, toc); tic; f(it + 1); tn = min(tn, toc);
  end
  d = (tn - t1) / it;
end
vf(1); fit_v = by_difference(vf, it);
gstart = struct('mu', M0', 'Sigma', fS, 'ComponentProportion', P0);
gf = @(m) fitgmdist(X', {k}, 'Start', gstart, 'RegularizationValue', reg, ...
                    'CovarianceType', type, 'Options', struct('MaxIter', m, 'TolFun', 0, 'Display', 'off'));
try
  fit_g = by_difference(gf, it);
catch err
  fit_g = NaN; fprintf(2, 'fitgmdist failed: %s\n', err.message);
end
log_v = best(@() VelmoraLog(X, M0, S, P0));
gm = gmdistribution(M0', gS, P0); Xt = X';
log_g = best(@() pdf(gm, Xt));
d = max(abs(VelmoraLog(X, M0, S, P0)' - log(pdf(gm, Xt))) ./ max(1, abs(log(pdf(gm, Xt)))));
A = randn(2000); A * A; tic; A * A; A * A; g = 2 * 2 * 2000^3 / toc;
printf('%.9g %.9g %.9g %.9g %.9g %.9g\n', fit_v, fit_g, log_v, log_g, g, d);
"""


def sklearn_times(X, mu, var, full, iterations, repeats):
    from sklearn.mixture import GaussianMixture
    from sklearn.exceptions import ConvergenceWarning
    warnings.simplefilter("ignore", ConvergenceWarning)
    k, dim = mu.shape
    if full:
        precisions = np.array([np.diag(1 / v) for v in var])
    else:
        precisions = 1 / var

    def make(m):
        return GaussianMixture(k, covariance_type="full" if full else "diag", max_iter=m, tol=0,
                               reg_covar=1e-6, means_init=mu, weights_init=np.full(k, 1 / k),
                               precisions_init=precisions)

    make(1).fit(X)
    t1 = tn = float("inf")
    for _ in range(repeats):
        t = time.perf_counter(); make(1).fit(X); t1 = min(t1, time.perf_counter() - t)
        t = time.perf_counter(); model = make(iterations + 1).fit(X); tn = min(tn, time.perf_counter() - t)
    model.score_samples(X)
    best = float("inf")
    for _ in range(3):
        t = time.perf_counter(); model.score_samples(X); best = min(best, time.perf_counter() - t)
    return (tn - t1) / iterations, best


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("mex")
    p.add_argument("--points", default="1e5")
    p.add_argument("--dims", default="8,32,64")
    p.add_argument("--clusters", default="8,16")
    p.add_argument("--modes", default="full,diagonal")
    p.add_argument("--iterations", type=int, default=2)
    p.add_argument("--repeats", type=int, default=2)
    p.add_argument("--out")
    a = p.parse_args()
    import sklearn
    octave_version = subprocess.run(["octave-cli", "--eval", "printf('%s, statistics %s; its BLAS %s', "
                                     "version, pkg('describe', 'statistics'){1}.version, "
                                     "version('-blas'))"],
                                    capture_output=True, text=True).stdout.strip()
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")),
               "unknown CPU")
    header = ("| N | dim | K | Sigma | VelmoraFit s/it | scikit-learn s/it | fitgmdist s/it | "
              "vs sklearn | vs fitgmdist | FP64 floor s/it | fit / floor | VelmoraLog s | "
              "score_samples s | pdf s | vs score_samples | vs pdf | FP64 floor s | log / floor | "
              "logP vs pdf |\n" + "|---" * 19 + "|")
    lines = [f"Host engine, {os.cpu_count()} cores ({cpu}); Octave {octave_version}; scikit-learn "
             f"{sklearn.__version__}, NumPy {np.__version__}; {a.iterations} iterations by difference, "
             f"each fit the least of {a.repeats}.",
             "", header]
    print("\n".join(lines), flush=True)
    rng = np.random.default_rng(7)
    rates, notes = [], []
    with tempfile.TemporaryDirectory() as tmp:
        for n in [int(float(v)) for v in a.points.split(",")]:
            for dim in [int(v) for v in a.dims.split(",")]:
                for k in [int(v) for v in a.clusters.split(",")]:
                    centres = 4 * rng.standard_normal((k, dim))
                    X = centres[np.arange(n) % k] + rng.standard_normal((n, dim))
                    mu = centres + 0.5 * rng.standard_normal((k, dim))
                    var = np.tile(X.var(axis=0), (k, 1))
                    data, start = os.path.join(tmp, "x.bin"), os.path.join(tmp, "s.bin")
                    X.tofile(data)  # N x dim row-major: dim x N for Octave
                    np.concatenate([mu.ravel(), var.ravel()]).tofile(start)
                    for mode in a.modes.split(","):
                        full = mode == "full"
                        script = OCTAVE.format(mex=os.path.abspath(a.mex), data=data, start=start,
                                               dim=dim, n=n, k=k, full=int(full),
                                               iterations=a.iterations, repeats=a.repeats)
                        out = subprocess.run(["octave-cli", "--norc", "--quiet", "--eval", script],
                                             capture_output=True, text=True)
                        if out.returncode != 0:
                            print(out.stderr, file=sys.stderr)
                            continue
                        fit_v, fit_g, log_v, log_g, rate, diff = map(float, out.stdout.split()[-6:])
                        fit_s, log_s = sklearn_times(X, mu, var, full, a.iterations, a.repeats)
                        if fit_g != fit_g:
                            failed = [l for l in out.stderr.splitlines() if "fitgmdist failed" in l]
                            notes.append(f"{n:.0e}, {dim}, {k}, {mode}: {failed[-1] if failed else 'fitgmdist failed'}")
                        rates.append(rate)
                        ok = fit_g == fit_g
                        g_text, g_ratio = (f"{fit_g:.4f}", f"{fit_g / fit_v:.1f}x") if ok else ("failed", "-")
                        # The floor is full mode's: diagonal mode has no level 3 work.
                        fit_f = 2 * 2 * n * k * dim * (dim + 1) / 2 / rate
                        floors = ((f"{fit_f:.4f}", f"{fit_v / fit_f:.2f}", f"{fit_f / 2:.4f}",
                                   f"{log_v / (fit_f / 2):.2f}") if full else ("-",) * 4)
                        row = (f"| {n:.0e} | {dim} | {k} | {mode} | {fit_v:.4f} | {fit_s:.4f} | "
                               f"{g_text} | {fit_s / fit_v:.1f}x | {g_ratio} | "
                               f"{floors[0]} | {floors[1]} | {log_v:.4f} | {log_s:.4f} | "
                               f"{log_g:.4f} | {log_s / log_v:.1f}x | {log_g / log_v:.1f}x | "
                               f"{floors[2]} | {floors[3]} | {diff:.1e} |")
                        lines.append(row)
                        print(row, flush=True)
        lines.append("")
        lines += notes
        lines.append(f"DGEMM (Octave's BLAS, its default threads, 2000 x 2000), measured in "
                     f"each cell: {min(rates) / 1e9:.1f} to {max(rates) / 1e9:.1f} GFLOP/s")
        print("\n".join(notes + lines[-1:]))
    if a.out:
        with open(a.out, "w") as f:
            f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
