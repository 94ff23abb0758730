#!/usr/bin/env python3
"""ncu's CSV pages (one per profiled case) as one table: ncu.csv, every
metric of every kernel with its case in front, and a markdown table of one
row per kernel in a section of a markdown file, which a later run over
more cases replaces.

    ncu_summary.py OUT_CSV OUT_MD CASE=NCU_LOG [CASE=NCU_LOG ...]

Lines of an ncu log that are not CSV (its own ==PROF== notes, the
program's output) are skipped."""
import csv
import os
import re
import sys

BEGIN, END = "<!-- ncu -->\n", "<!-- /ncu -->\n"

# Column of the markdown table: (heading, metric).
COLUMNS = [
    ("grid", "launch__grid_size"),
    ("block", "launch__block_size"),
    ("registers", "launch__registers_per_thread"),
    ("time", "gpu__time_duration.sum"),
    ("SM throughput %", "sm__throughput.avg.pct_of_peak_sustained_elapsed"),
    ("FP64 pipe busy %", "sm__pipe_fp64_cycles_active.avg.pct_of_peak_sustained_active"),
    ("FP64 instructions % of peak", "sm__inst_executed_pipe_fp64.avg.pct_of_peak_sustained_active"),
    ("achieved occupancy %", "sm__warps_active.avg.pct_of_peak_sustained_active"),
    ("DRAM throughput %", "dram__throughput.avg.pct_of_peak_sustained_elapsed"),
]


def read(path):
    """The header and rows of one ncu CSV log."""
    with open(path, newline="") as f:
        lines = [line for line in f if line.startswith('"')]
    rows = list(csv.reader(lines))
    for i, row in enumerate(rows):
        if "Kernel Name" in row and "Metric Name" in row:
            return row, rows[i + 1:]
    return None, []


def short_name(kernel):
    # "ns::(anonymous namespace)::Log_Full_Kernel(ns::Full_Args)" -> "Log_Full_Kernel"
    kernel = kernel.replace("(anonymous namespace)", "")
    return re.sub(r"\(.*$", "", kernel).split("::")[-1]


def main(argv):
    if len(argv) < 4 or any("=" not in a for a in argv[3:]):
        print(__doc__, file=sys.stderr)
        return 2
    out_csv, out_md = argv[1], argv[2]
    header, kernels = None, {}  # (case, ID) -> {"kernel": name, metric: "value unit"}
    with open(out_csv, "w", newline="") as f:
        writer = csv.writer(f)
        for arg in argv[3:]:
            case, path = arg.split("=", 1)
            h, rows = read(path)
            if h is None:
                continue
            if header is None:
                header = h
                writer.writerow(["case"] + h)
            col = {name: h.index(name) for name in ("ID", "Kernel Name", "Metric Name",
                                                     "Metric Unit", "Metric Value")}
            for row in rows:
                if len(row) != len(h):
                    continue
                writer.writerow([case] + row)
                k = kernels.setdefault((case, row[col["ID"]]),
                                       {"kernel": short_name(row[col["Kernel Name"]])})
                # Newer ncu gives the launch's shape in columns of its own.
                for column, metric in (("Grid Size", "launch__grid_size"),
                                       ("Block Size", "launch__block_size")):
                    if column in h and metric not in k:
                        k[metric] = row[h.index(column)]
                unit = row[col["Metric Unit"]]
                k[row[col["Metric Name"]]] = row[col["Metric Value"]] + (
                    f" {unit}" if unit and unit != "%" else "")
    table = "\n### The evaluator's kernels under ncu (clocks as found)\n\n"
    if kernels:
        table += "| case | kernel | " + " | ".join(c for c, _ in COLUMNS) + " |\n"
        table += "|---|---|" + "---|" * len(COLUMNS) + "\n"
        for (case, _), k in kernels.items():
            table += (f"| {case} | {k['kernel']} | " +
                      " | ".join(k.get(m, "") for _, m in COLUMNS) + " |\n")
    else:
        table += "ncu profiled no kernel.\n"
    text = open(out_md).read() if os.path.exists(out_md) else ""
    if BEGIN in text and END in text:
        text = text[:text.index(BEGIN)] + text[text.index(END) + len(END):]
    with open(out_md, "w") as f:
        f.write(text + BEGIN + table + END)
    return 0 if kernels else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
