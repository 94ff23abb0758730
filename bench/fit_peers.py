#!/usr/bin/env python3
"""scikit-learn's GaussianMixture per EM iteration, on all cores, on the
shapes of velmora_fit_bench's cases (data of the same kind: points around
K centres in the cube, the start the centres, unit covariances and equal
priors). Per-iteration time is (t(1 + I iterations) - t(1 iteration)) / I,
so set-up does not count. Writes fit_peers.md and prints each row.

    fit_peers.py [--scale S] [--iterations I] [--out DIR] [--only LETTERS]
"""
import argparse
import os
import time
import warnings

import numpy as np
from sklearn.exceptions import ConvergenceWarning
from sklearn.mixture import GaussianMixture

CASES = [("a", 10_000_000, 32, 16, "diag"), ("b", 10_000_000, 32, 16, "full"),
         ("c", 1_000_000, 60, 256, "diag"), ("d", 10_000_000, 8, 8, "full")]


def seconds(X, mu, kind, iterations):
    k, dim = mu.shape
    precisions = np.ones((k, dim)) if kind == "diag" else np.broadcast_to(np.eye(dim), (k, dim, dim))
    gm = GaussianMixture(n_components=k, covariance_type=kind, tol=0.0, max_iter=iterations,
                         init_params="random", weights_init=np.full(k, 1.0 / k),
                         means_init=mu, precisions_init=precisions)
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        gm.fit(X)
    return time.perf_counter() - start


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--scale", type=float, default=1.0)
    p.add_argument("--iterations", type=int, default=3)
    p.add_argument("--out", default=".")
    p.add_argument("--only", default="abcd")
    a = p.parse_args()
    rows = []
    for name, n, dim, k, kind in CASES:
        if name not in a.only:
            continue
        n = max(1000, int(n * a.scale))
        rng = np.random.default_rng(n * 31 + k)
        mu = rng.uniform(-4, 4, (k, dim))
        X = mu[np.arange(n) % k] + 2 * (rng.uniform(size=(n, dim)) + rng.uniform(size=(n, dim)) - 1)
        one = seconds(X, mu, kind, 1)
        more = seconds(X, mu, kind, 1 + a.iterations)
        per = (more - one) / a.iterations
        rows.append(f"| {name} | {kind} | {n} | {dim} | {k} | {per:.4f} |")
        print(f"{name}: scikit-learn {kind}, N={n}, dim {dim}, K {k}: {per:.4f} s per iteration "
              f"on {os.cpu_count()} cores", flush=True)
    with open(os.path.join(a.out, "fit_peers.md"), "w") as f:
        f.write(f"scikit-learn GaussianMixture, seconds per EM iteration on {os.cpu_count()} "
                "cores (numpy's BLAS threads)\n\n| case | mode | N | dim | K | per iteration s |\n"
                "|---|---|---|---|---|---|\n" + "\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
