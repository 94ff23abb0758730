#!/usr/bin/env python3
"""Peers on the same data as Velmora and VelmoraLog: scikit-learn's
score_samples on the CPU (all cores) and, where a GPU is present, PyTorch in
float64 written the straightforward way. Reads the cases velmora_bench and
velmora_log_bench wrote with --peers: densities P, or log-densities logP
(compared in the log domain), in one table each of peers.md."""
import argparse
import glob
import os
import time

import numpy as np


def load(stem):
    mode, n, dim, k, velmora_s = open(stem + ".txt").read().split()
    n, dim, k = int(n), int(dim), int(k)
    raw = lambda ext: np.fromfile(stem + ext, dtype=np.float64)
    log = os.path.exists(stem + ".logP")
    case = dict(mode=mode, N=n, dim=dim, K=k, velmora_s=float(velmora_s), log=log,
                X=raw(".X").reshape(n, dim), Mu=raw(".Mu").reshape(k, dim),
                Pi=raw(".Pi"), P=raw(".logP" if log else ".P"))
    # Column-major dim x num_clust or dim x dim x num_clust, read row-major.
    case["Sigma"] = raw(".Sigma").reshape((k, dim) if mode == "diag" else (k, dim, dim))
    return case


def largest_relative_difference(p, ref, log=False):
    # Log-densities are compared relative to max(1, |logP|).
    scale = np.maximum(1.0, np.abs(ref)) if log else np.abs(ref)
    return float(np.max(np.abs(p - ref) / scale))


def sklearn_peer(c):
    from sklearn.mixture import GaussianMixture
    from sklearn.mixture._gaussian_mixture import _compute_precision_cholesky
    gm = GaussianMixture(n_components=c["K"], covariance_type=c["mode"])
    gm.weights_, gm.means_, gm.covariances_ = c["Pi"], c["Mu"], c["Sigma"]
    gm.precisions_cholesky_ = _compute_precision_cholesky(c["Sigma"], c["mode"])
    start = time.perf_counter()
    log_p = gm.score_samples(c["X"])
    return time.perf_counter() - start, log_p if c["log"] else np.exp(log_p)


def torch_peer(c):
    import torch
    from torch.distributions import (Categorical, Independent, MixtureSameFamily,
                                     MultivariateNormal, Normal)
    dev = torch.device("cuda")
    start = time.perf_counter()
    x = torch.from_numpy(c["X"]).to(dev)
    mu = torch.from_numpy(c["Mu"]).to(dev)
    sigma = torch.from_numpy(c["Sigma"]).to(dev)
    if c["mode"] == "diag":
        comp = Independent(Normal(mu, sigma.sqrt()), 1)
    else:
        comp = MultivariateNormal(mu, covariance_matrix=sigma)
    mix = MixtureSameFamily(Categorical(probs=torch.from_numpy(c["Pi"]).to(dev)), comp)
    parts = []
    for chunk in torch.split(x, 1_000_000):  # the whole batch at once overruns memory
        parts.append(mix.log_prob(chunk))
    log_p = torch.cat(parts).cpu().numpy()
    torch.cuda.synchronize()
    # Categorical normalises the priors; Velmora takes them as given.
    log_p += np.log(c["Pi"].sum())
    return time.perf_counter() - start, log_p if c["log"] else np.exp(log_p)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("data")
    parser.add_argument("out")
    args = parser.parse_args()
    try:
        import torch
        gpu = torch.cuda.is_available()
    except ImportError:
        gpu = False
    names = {False: "Velmora", True: "VelmoraLog"}
    # One file, a table per entry point; each row is written as it is
    # measured, so that a run stopped early keeps what it has.
    with open(os.path.join(args.out, "peers.md"), "w") as f:
        for log in (False, True):
            f.write(f"## {names[log]}" + (" (log-densities)" if log else " (densities)") + "\n\n")
            f.write(f"| mode | N | dim | K | {names[log]} s | scikit-learn s | speed-up | "
                    "max rel. diff |" + (" PyTorch f64 s | speed-up | max rel. diff |" if gpu else "")
                    + "\n")
            f.write("|---|---|---|---|---|---|---|---|" + ("---|---|---|" if gpu else "") + "\n")
            f.flush()
            for meta in sorted(glob.glob(os.path.join(args.data, "*.txt"))):
                c = load(meta[:-4])
                if c["log"] != log:
                    continue
                sk_s, sk_p = sklearn_peer(c)
                line = (f"| {c['mode']} | {c['N']} | {c['dim']} | {c['K']} | {c['velmora_s']:.4f} | "
                        f"{sk_s:.4f} | {sk_s / c['velmora_s']:.3g}x | "
                        f"{largest_relative_difference(sk_p, c['P'], log):.2g} |")
                if gpu:
                    torch_peer(c)  # warm-up: CUDA context and kernels
                    t_s, t_p = torch_peer(c)
                    line += (f" {t_s:.4f} | {t_s / c['velmora_s']:.3g}x | "
                             f"{largest_relative_difference(t_p, c['P'], log):.2g} |")
                f.write(line + "\n")
                f.flush()
                print(line, flush=True)
            f.write("\n")

if __name__ == "__main__":
    main()
