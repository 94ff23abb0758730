#!/usr/bin/env python3
"""VelmoraFit against scikit-learn's GaussianMixture from the same start.

Runs the case writer, then fits each case with scikit-learn (means,
weights and precisions given, tol=0, the same iterations and reg_covar)
and requires every parameter within 1e-9 of VelmoraFit's, relative to the
largest of its kind in the cluster. Exits 77 (skipped) without
scikit-learn.

    sklearn_fit_check.py CASE_WRITER DIR
"""
import os
import subprocess
import sys
import warnings

try:
    import numpy as np
    from sklearn.exceptions import ConvergenceWarning
    from sklearn.mixture import GaussianMixture
except ImportError as e:
    print(f"scikit-learn is not installed ({e}): skipped")
    sys.exit(77)

TOLERANCE = 1e-9


def load(stem, what, shape):
    # Column-major, as Velmora writes them.
    return np.fromfile(f"{stem}.{what}", dtype="<f8").reshape(shape, order="F")


def relative(ours, theirs):
    return np.max(np.abs(ours - theirs)) / np.max(np.abs(theirs))


def check(stem):
    with open(f"{stem}.txt") as f:
        kind, dim, n, k, reg, iterations = f.read().split()
    dim, n, k, iterations, reg = int(dim), int(n), int(k), int(iterations), float(reg)
    full = kind != "diag"
    X = load(stem, "X", (dim, n)).T
    mu0 = load(stem, "mu0", (dim, k)).T
    pi0 = load(stem, "pi0", (k,))
    if full:
        sigma0 = load(stem, "sigma0", (dim, dim, k)).transpose(2, 0, 1)
        precisions = np.linalg.inv(sigma0[0]) if kind == "tied" else np.linalg.inv(sigma0)
    else:
        precisions = 1.0 / load(stem, "sigma0", (dim, k)).T
    gm = GaussianMixture(n_components=k, covariance_type=kind, tol=0.0, reg_covar=reg,
                         max_iter=iterations, n_init=1, init_params="random",
                         weights_init=pi0, means_init=mu0, precisions_init=precisions)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        gm.fit(X)
    assert gm.n_iter_ == iterations, gm.n_iter_
    mu = load(stem, "mu", (dim, k)).T
    pi = load(stem, "pi", (k,))
    if full:
        sigma = load(stem, "sigma", (dim, dim, k)).transpose(2, 0, 1)
        theirs = np.broadcast_to(gm.covariances_, sigma.shape) if kind == "tied" else gm.covariances_
    else:
        sigma = load(stem, "sigma", (dim, k)).T
        theirs = gm.covariances_
    worst = {"means": max(relative(mu[c], gm.means_[c]) for c in range(k)),
             "covariances": max(relative(sigma[c], theirs[c]) for c in range(k)),
             "weights": relative(pi, gm.weights_)}
    print(f"{kind}: {iterations} iterations from the same start, largest relative differences: "
          + ", ".join(f"{name} {value:.2e}" for name, value in worst.items()))
    return all(value <= TOLERANCE for value in worst.values())


def main():
    writer, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    subprocess.run([writer, out], check=True)
    ok = all([check(os.path.join(out, f"fit_{kind}")) for kind in ("full", "diag", "tied")])
    print("PASSED" if ok else f"FAILED: a parameter differs by more than {TOLERANCE}")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
