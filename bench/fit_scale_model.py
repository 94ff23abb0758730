#!/usr/bin/env python3
"""A model of one VelmoraFitParallel iteration over many GPUs and machines.

Per iteration: the slowest worker's pass over its block, the exchange (the
mixture out to every worker, each worker's tree nodes back, over each
machine's link), the caller's combination of the nodes and its M-step.
Every figure is a model: the assumptions are printed with the result.

    python3 bench/fit_scale_model.py            # N = 1e9, dim 32, K 64, 64 GPUs on 16 machines
    python3 bench/fit_scale_model.py --n 2e8 --gpus 8 --machines 2
"""
import argparse
import math

LEAF = 512  # points per leaf of the reduction tree


def record_doubles(dim, K):
    """Doubles in one node of the tree: per cluster N_k, dim sums and the
    upper triangle of the second moments; then the log-likelihood."""
    return K * (1 + dim + dim * (dim + 1) // 2) + 1


def max_nodes(points):
    """Tree nodes a block of whole leaves returns at most."""
    leaves = max(1, math.ceil(points / LEAF))
    return 2 * max(1, math.ceil(math.log2(leaves))) + 1


def model(n, dim, K, gpus, machines, fp64_tflops, efficiency, link_gbit, latency_s,
          host_gflops):
    per_gpu = n / gpus
    tri = dim * (dim + 1) / 2
    # Per point and cluster: the centred point (dim), its whitening (the
    # triangle), the second moments' triangle and the sums (dim), in FMAs.
    fmas = per_gpu * K * (2 * tri + 2 * dim)
    floor_s = 2 * fmas / (fp64_tflops * 1e12)
    worker_s = floor_s * efficiency
    rec = record_doubles(dim, K)
    nodes = max_nodes(per_gpu)
    back_bytes = 8 * rec * nodes  # per worker, at most
    out_bytes = 8 * (K * (dim * dim + dim + 1))  # the mixture (whitening, centres, log-weights)
    per_machine = gpus // machines
    link = link_gbit * 1e9 / 8
    # Every machine's workers share its link; the caller's link takes all.
    exchange_s = latency_s + max(per_machine * (back_bytes + out_bytes) / link,
                                 gpus * (back_bytes + out_bytes) / link)
    combine_s = gpus * nodes * rec / (host_gflops * 1e9)
    # The M-step: per cluster a Cholesky factor and its inverse, ~dim^3 / 2 FMAs.
    mstep_s = K * dim ** 3 / (host_gflops * 1e9)
    return dict(per_gpu=per_gpu, floor_s=floor_s, worker_s=worker_s, rec=rec, nodes=nodes,
                back_bytes=back_bytes, out_bytes=out_bytes, exchange_s=exchange_s,
                combine_s=combine_s, mstep_s=mstep_s,
                total_s=worker_s + exchange_s + combine_s + mstep_s)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument('--n', type=float, default=1e9)
    p.add_argument('--dim', type=int, default=32)
    p.add_argument('--K', type=int, default=64)
    p.add_argument('--gpus', type=int, default=64)
    p.add_argument('--machines', type=int, default=16)
    p.add_argument('--fp64-tflops', type=float, default=33.5,
                   help="each GPU's FP64 rate on CUDA cores (H100 SXM: 33.5)")
    p.add_argument('--efficiency', type=float, default=2.5,
                   help='the kernels against that floor (the SASS model: 1.8-5.3x)')
    p.add_argument('--link-gbit', type=float, default=100.0)
    p.add_argument('--latency', type=float, default=2e-3,
                   help='one round of requests through the parallel package')
    p.add_argument('--host-gflops', type=float, default=2.0,
                   help="the caller's scalar adds and M-step")
    a = p.parse_args()
    m = model(a.n, a.dim, a.K, a.gpus, a.machines, a.fp64_tflops, a.efficiency, a.link_gbit,
              a.latency, a.host_gflops)
    print(f"N = {a.n:.3g}, dim {a.dim}, K {a.K}, full; {a.gpus} GPUs on {a.machines} machines "
          f"({m['per_gpu']:.4g} points each)")
    print(f"assumed: {a.fp64_tflops} FP64 TFLOP/s per GPU at {a.efficiency}x its floor, "
          f"{a.link_gbit} Gbit/s links, {a.latency * 1e3:.1f} ms a round, "
          f"{a.host_gflops} GFLOP/s on the caller\n")
    print('| part | per iteration |')
    print('|---|---|')
    print(f"| slowest worker's pass (floor {m['floor_s'] * 1e3:.0f} ms) | {m['worker_s'] * 1e3:.0f} ms |")
    print(f"| exchange: out {m['out_bytes'] / 1e3:.0f} kB, back up to {m['nodes']} nodes of "
          f"{m['rec']} doubles = {m['back_bytes'] / 1e6:.1f} MB per worker | "
          f"{m['exchange_s'] * 1e3:.0f} ms |")
    print(f"| combining the nodes | {m['combine_s'] * 1e3:.0f} ms |")
    print(f"| M-step | {m['mstep_s'] * 1e3:.1f} ms |")
    print(f"| total | {m['total_s'] * 1e3:.0f} ms |")


if __name__ == '__main__':
    main()
