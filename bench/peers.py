#!/usr/bin/env python3
"""Peers on the same data as Velmora: scikit-learn's score_samples on the CPU
(all cores) and, where a GPU is present, PyTorch in float64 written the
straightforward way. Reads the cases velmora_bench wrote with --peers."""
import argparse
import glob
import os
import time

import numpy as np


def load(stem):
    mode, n, dim, k, velmora_s = open(stem + ".txt").read().split()
    n, dim, k = int(n), int(dim), int(k)
    raw = lambda ext: np.fromfile(stem + ext, dtype=np.float64)
    case = dict(mode=mode, N=n, dim=dim, K=k, velmora_s=float(velmora_s),
                X=raw(".X").reshape(n, dim), Mu=raw(".Mu").reshape(k, dim),
                Pi=raw(".Pi"), P=raw(".P"))
    # Column-major dim x num_clust or dim x dim x num_clust, read row-major.
    case["Sigma"] = raw(".Sigma").reshape((k, dim) if mode == "diag" else (k, dim, dim))
    return case


def largest_relative_difference(p, ref):
    return float(np.max(np.abs(p - ref) / np.abs(ref)))


def sklearn_peer(c):
    from sklearn.mixture import GaussianMixture
    from sklearn.mixture._gaussian_mixture import _compute_precision_cholesky
    gm = GaussianMixture(n_components=c["K"], covariance_type=c["mode"])
    gm.weights_, gm.means_, gm.covariances_ = c["Pi"], c["Mu"], c["Sigma"]
    gm.precisions_cholesky_ = _compute_precision_cholesky(c["Sigma"], c["mode"])
    start = time.perf_counter()
    p = np.exp(gm.score_samples(c["X"]))
    return time.perf_counter() - start, p


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
        parts.append(mix.log_prob(chunk).exp())
    p = torch.cat(parts).cpu().numpy()
    torch.cuda.synchronize()
    # Categorical normalises the priors; Velmora takes them as given.
    p *= c["Pi"].sum()
    return time.perf_counter() - start, p


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
    rows = []
    for meta in sorted(glob.glob(os.path.join(args.data, "*.txt"))):
        c = load(meta[:-4])
        sk_s, sk_p = sklearn_peer(c)
        row = dict(mode=c["mode"], N=c["N"], dim=c["dim"], K=c["K"], velmora_s=c["velmora_s"],
                   sklearn_s=sk_s, sklearn_diff=largest_relative_difference(sk_p, c["P"]))
        if gpu:
            torch_peer(c)  # warm-up: CUDA context and kernels
            t_s, t_p = torch_peer(c)
            row.update(torch_s=t_s, torch_diff=largest_relative_difference(t_p, c["P"]))
        rows.append(row)
        print(row, flush=True)
    with open(os.path.join(args.out, "peers.md"), "w") as f:
        f.write("| mode | N | dim | K | Velmora s | scikit-learn s | speed-up | max rel. diff |"
                + (" PyTorch f64 s | speed-up | max rel. diff |" if gpu else "") + "\n")
        f.write("|---|---|---|---|---|---|---|---|" + ("---|---|---|" if gpu else "") + "\n")
        for r in rows:
            line = (f"| {r['mode']} | {r['N']} | {r['dim']} | {r['K']} | {r['velmora_s']:.4f} | "
                    f"{r['sklearn_s']:.4f} | {r['sklearn_s'] / r['velmora_s']:.3g}x | "
                    f"{r['sklearn_diff']:.2g} |")
            if gpu:
                line += (f" {r['torch_s']:.4f} | {r['torch_s'] / r['velmora_s']:.3g}x | "
                         f"{r['torch_diff']:.2g} |")
            f.write(line + "\n")


if __name__ == "__main__":
    main()
