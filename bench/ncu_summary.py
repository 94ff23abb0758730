#!/usr/bin/env python3
"""ncu's CSV pages (one per profiled case) as one table: ncu.csv, every
metric of every kernel with its case in front, and a markdown table of one
row per kernel in a section of a markdown file, which a later run over
more cases replaces.

    ncu_summary.py [--fit] OUT_CSV OUT_MD CASE=NCU_LOG [CASE=NCU_LOG ...]
    ncu_summary.py --metrics

--fit: the fit's kernels, in a section of their own beside the evaluator's.
--metrics: the metrics the table reads, a line each: what the GPU check
asks ncu for.

Lines of an ncu log that are not CSV (its own ==PROF== notes, the
program's output) are skipped."""
import csv
import os
import re
import sys

SECTIONS = {False: ("<!-- ncu -->\n", "<!-- /ncu -->\n", "The evaluator's kernels"),
            True: ("<!-- ncu fit -->\n", "<!-- /ncu fit -->\n", "The fit's kernels")}

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
    # What limits them, against the model of bench/sass_report.md: issue,
    # the stalls that shared memory, loads and barriers cause, shared
    # wavefronts and their bank conflicts, L2's traffic, local memory and
    # the FP64 tensor pipe.
    ("issue active %", "smsp__issue_active.avg.pct_of_peak_sustained_active"),
    ("stall mio throttle", "smsp__average_warps_issue_stalled_mio_throttle_per_issue_active.ratio"),
    ("stall short scoreboard", "smsp__average_warps_issue_stalled_short_scoreboard_per_issue_active.ratio"),
    ("stall long scoreboard", "smsp__average_warps_issue_stalled_long_scoreboard_per_issue_active.ratio"),
    ("stall barrier", "smsp__average_warps_issue_stalled_barrier_per_issue_active.ratio"),
    ("shared wavefronts", "l1tex__data_pipe_lsu_wavefronts_mem_shared.sum"),
    ("shared bank conflicts", "l1tex__data_bank_conflicts_pipe_lsu_mem_shared.sum"),
    ("L2 bytes/s", "lts__t_bytes.sum.per_second"),
    ("local loads", "l1tex__t_bytes_pipe_lsu_mem_local_op_ld.sum"),
    ("local stores", "l1tex__t_bytes_pipe_lsu_mem_local_op_st.sum"),
    ("tensor pipe %", "sm__pipe_tensor_op_dmma_cycles_active.avg.pct_of_peak_sustained_active"),
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
    if argv[1:] == ["--metrics"]:
        print("\n".join(m for _, m in COLUMNS))
        return 0
    fit = len(argv) > 1 and argv[1] == "--fit"
    if fit:
        argv = argv[:1] + argv[2:]
    if len(argv) < 4 or any("=" not in a for a in argv[3:]):
        print(__doc__, file=sys.stderr)
        return 2
    out_csv, out_md = argv[1], argv[2]
    begin, end, title = SECTIONS[fit]
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
    table = f"\n### {title} under ncu (clocks as found)\n\n"
    if kernels:
        table += "| case | kernel | " + " | ".join(c for c, _ in COLUMNS) + " |\n"
        table += "|---|---|" + "---|" * len(COLUMNS) + "\n"
        for (case, _), k in kernels.items():
            table += (f"| {case} | {k['kernel']} | " +
                      " | ".join(k.get(m, "") for _, m in COLUMNS) + " |\n")
    else:
        table += "ncu profiled no kernel.\n"
    text = open(out_md).read() if os.path.exists(out_md) else ""
    if begin in text and end in text:
        text = text[:text.index(begin)] + text[text.index(end) + len(end):]
    with open(out_md, "w") as f:
        f.write(text + begin + table + end)
    return 0 if kernels else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
