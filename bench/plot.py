#!/usr/bin/env python3
"""Fraction of the device's copy bandwidth against N, one line per dim and K,
from velmora_bench's CSV."""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main(csv_path, png_path):
    rows = list(csv.DictReader(open(csv_path)))
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.5), sharey=True)
    for ax, mode in zip(axes, ("diag", "full")):
        series = {}
        for r in rows:
            if r["mode"] == mode:
                series.setdefault((int(r["dim"]), int(r["K"])), []).append(
                    (int(r["N"]), float(r["fraction_of_copy"])))
        for (dim, k), points in sorted(series.items()):
            points.sort()
            ax.plot([p[0] for p in points], [p[1] for p in points], marker="o",
                    label=f"dim {dim}, K {k}")
        ax.set_xscale("log")
        ax.set_xlabel("N (data points)")
        ax.set_title(f"{mode} covariances")
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize=7)
    axes[0].set_ylabel("evaluation bandwidth / device copy bandwidth")
    fig.tight_layout()
    fig.savefig(png_path, dpi=110)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
