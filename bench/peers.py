#!/usr/bin/env python3
"""Peers on the same data as Velmora and VelmoraLog: scikit-learn's
score_samples on the CPU (all cores) and, where a GPU is present, PyTorch in
float64 written the straightforward way. Reads the cases velmora_bench and
velmora_log_bench wrote with --peers: densities P, or log-densities logP
(compared in the log domain), in one table each of peers.md.

Everything runs within --budget seconds. PyTorch evaluates in chunks sized
to the device's free memory; an out-of-memory error halves the chunk, and
one that persists is recorded and the next case runs. scikit-learn runs on
a subsample sized to its share of the budget, and its time is scaled to
the whole case and labelled as scaled."""
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


def sklearn_score(c, n):
    from sklearn.mixture import GaussianMixture
    from sklearn.mixture._gaussian_mixture import _compute_precision_cholesky
    gm = GaussianMixture(n_components=c["K"], covariance_type=c["mode"])
    gm.weights_, gm.means_, gm.covariances_ = c["Pi"], c["Mu"], c["Sigma"]
    gm.precisions_cholesky_ = _compute_precision_cholesky(c["Sigma"], c["mode"])
    start = time.perf_counter()
    log_p = gm.score_samples(c["X"][:n])
    return time.perf_counter() - start, log_p if c["log"] else np.exp(log_p)


def sklearn_peer(c, budget):
    """Seconds for the whole case (scaled from a subsample when the budget
    is short), the subsample's size, and its largest difference. The
    subsample grows eightfold while the next one is predicted to fit: a
    rate read off a small one flatters it (its data sit in cache)."""
    n, spent = min(c["N"], 2000), 0.0
    while True:
        seconds, p = sklearn_score(c, n)
        spent += seconds
        if n == c["N"] or spent + seconds * 8 > budget:
            break
        n = min(c["N"], 8 * n)
    return seconds * c["N"] / n, n, largest_relative_difference(p, c["P"][:n], c["log"])


def is_out_of_memory(error):
    import torch
    oom = getattr(torch.cuda, "OutOfMemoryError", ())
    return isinstance(error, oom) or "out of memory" in str(error)


def torch_run(c, chunk, points):
    """Seconds and result of the first `points` points, X uploaded and
    evaluated chunk by chunk, so that no case is too large."""
    import torch
    from torch.distributions import (Categorical, Independent, MixtureSameFamily,
                                     MultivariateNormal, Normal)
    dev = torch.device("cuda")
    torch.cuda.synchronize()
    start = time.perf_counter()
    mu = torch.from_numpy(c["Mu"]).to(dev)
    sigma = torch.from_numpy(c["Sigma"]).to(dev)
    if c["mode"] == "diag":
        comp = Independent(Normal(mu, sigma.sqrt()), 1)
    else:
        comp = MultivariateNormal(mu, covariance_matrix=sigma)
    mix = MixtureSameFamily(Categorical(probs=torch.from_numpy(c["Pi"]).to(dev)), comp)
    parts = [mix.log_prob(torch.from_numpy(c["X"][j:j + chunk]).to(dev)).cpu()
             for j in range(0, points, chunk)]
    log_p = torch.cat(parts).numpy()
    torch.cuda.synchronize()
    seconds = time.perf_counter() - start
    # Categorical normalises the priors; Velmora takes them as given.
    log_p += np.log(c["Pi"].sum())
    return seconds, log_p if c["log"] else np.exp(log_p)


def torch_peer(c):
    """Seconds (None when it could not run), largest difference and a note."""
    import torch
    free, _ = torch.cuda.mem_get_info()
    # log_prob broadcasts every point against every cluster: a few
    # chunk x K x dim temporaries live at once.
    per_point = 8 * (c["K"] * c["dim"] * 6 + c["dim"] + c["K"])
    chunk = int(max(1, min(c["N"], 0.5 * free / per_point)))
    note = ""
    while True:
        try:
            torch_run(c, chunk, min(c["N"], chunk, 4096))  # warm-up: context, kernels, handles
            seconds, p = torch_run(c, chunk, c["N"])
            note += f"in chunks of {chunk} points" if chunk < c["N"] else "in one batch"
            return seconds, largest_relative_difference(p, c["P"], c["log"]), note
        except Exception as error:  # noqa: BLE001 - not only out of memory: see below
            if not is_out_of_memory(error):
                return None, None, note + f"failed: {type(error).__name__}: {error}"
            torch.cuda.empty_cache()
            note += f"out of memory in chunks of {chunk}; "
            if chunk == 1 or note.count("out of memory") >= 4:
                return None, None, note + "gave up"
            chunk = max(1, chunk // 2)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("data")
    parser.add_argument("out")
    parser.add_argument("--budget", type=float, default=60.0,
                        help="seconds for everything; cases left when it is spent are noted")
    args = parser.parse_args()
    deadline = time.monotonic() + args.budget
    try:
        import torch
        gpu = torch.cuda.is_available()
    except ImportError:
        gpu = False
    # Each peer runs where its package is: a Python with PyTorch and no
    # scikit-learn (or the reverse) still gives the other's figures.
    try:
        import sklearn  # noqa: F401
        has_sklearn = True
    except ImportError:
        has_sklearn = False
    names = {False: "Velmora", True: "VelmoraLog"}
    stems = sorted(m[:-4] for m in glob.glob(os.path.join(args.data, "*.txt")))
    failed = False
    # One file, a table per entry point; each row is written as it is
    # measured, so that a run stopped early keeps what it has.
    with open(os.path.join(args.out, "peers.md"), "w") as f:
        f.write(f"Within {args.budget:.0f} s in all. scikit-learn runs on all CPU cores, on a "
                "subsample sized to its share of that time; its seconds are scaled to the whole "
                "case where marked. PyTorch float64 runs in chunks sized to the device's free "
                "memory, and its time includes X's upload and logP's download. Speed-up: the "
                "peer's seconds over ours.\n\n")
        done = 0
        for log in (False, True):
            cases = [s for s in stems if os.path.exists(s + ".logP") == log]
            if not cases:
                continue
            f.write(f"## {names[log]}" + (" (log-densities)" if log else " (densities)") + "\n\n")
            f.write(f"| case | mode | N | dim | K | {names[log]} s | scikit-learn s | speed-up | "
                    "max rel. diff |" + (" PyTorch f64 s | speed-up | max rel. diff | how "
                                         "PyTorch ran |" if gpu else "") + "\n")
            f.write("|---|---|---|---|---|---|---|---|---|" + ("---|---|---|---|" if gpu else "") + "\n")
            f.flush()
            for stem in cases:
                left = deadline - time.monotonic()
                c = load(stem)
                name = os.path.basename(stem)
                line = f"| {name[4:] if log else name} | {c['mode']} | {c['N']} | {c['dim']} | {c['K']} | {c['velmora_s']:.4g} |"
                if left < 3:
                    line += " not run: the budget was spent |||" + ("||||" if gpu else "")
                else:
                    if has_sklearn:
                        # scikit-learn's share of this case's part of what is left.
                        sk_s, n, sk_diff = sklearn_peer(c, 0.3 * left / (len(stems) - done))
                        scaled = f" (scaled from {n} points)" if n < c["N"] else ""
                        line += (f" {sk_s:.4g}{scaled} | {sk_s / c['velmora_s']:.3g}x | "
                                 f"{sk_diff:.2g} |")
                    else:
                        line += " not run: no scikit-learn in this Python |||"
                    if gpu and deadline - time.monotonic() < 3:
                        line += " | | | not run: the budget was spent |"
                    elif gpu:
                        t_s, t_diff, note = torch_peer(c)
                        failed |= "failed" in note
                        line += (f" {t_s:.4g} | {t_s / c['velmora_s']:.3g}x | {t_diff:.2g} | {note} |"
                                 if t_s is not None else f" | | | {note} |")
                done += 1
                f.write(line + "\n")
                f.flush()
                print(line, flush=True)
            f.write("\n")
    return 1 if failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
