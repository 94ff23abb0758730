#!/usr/bin/env python3
"""Tests of what the GPU check reads back and cannot rerun: the ncu summary,
the peers' budget and out-of-memory handling, and the VelmoraLog
benchmark's tables (through the CPU device's build, named by
$VELMORA_LOG_BENCH)."""
import csv
import os
import subprocess
import sys
import tempfile
import types
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ncu_summary  # noqa: E402

try:
    import numpy as np
    import peers
except ImportError:  # the peers need numpy; the rest of the tests do not
    np = peers = None

HEADER = ('"ID","Process ID","Process Name","Host Name","Kernel Name","Context","Stream",'
          '"Block Size","Grid Size","Device","CC","Section Name","Metric Name","Metric Unit",'
          '"Metric Value"\n')


def read(path):
    with open(path) as f:
        return f.read()


def cells(line):
    return [c.strip() for c in line.strip().strip("|").split("|")]


def ncu_row(kernel_id, kernel, metric, unit, value):
    return (f'"{kernel_id}","7","velmora_log_bench_cuda","host","{kernel}","1","13","(128, 1, 1)",'
            f'"(4096, 1, 1)","0","9.0","Command line profiler metrics","{metric}","{unit}",'
            f'"{value}"\n')


FULL = "velmora_log::(anonymous namespace)::Log_Full_Kernel(velmora_log::(anonymous namespace)::Full_Args)"


class NcuSummaryTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.md = os.path.join(self.dir.name, "log_bench.md")
        self.csv = os.path.join(self.dir.name, "ncu.csv")

    def tearDown(self):
        self.dir.cleanup()

    def log(self, name, text):
        path = os.path.join(self.dir.name, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def summarise(self, *cases):
        return ncu_summary.main(["ncu_summary.py", self.csv, self.md, *cases])

    def test_each_kernel_is_one_row_with_its_metrics_in_their_columns(self):
        b = self.log("b", "==PROF== Connected to process 7\nb: one call, 0.1 s\n" + HEADER +
                     ncu_row(0, FULL, "sm__throughput.avg.pct_of_peak_sustained_elapsed", "%", "81.5") +
                     ncu_row(0, FULL, "dram__throughput.avg.pct_of_peak_sustained_elapsed", "%", "9.5") +
                     ncu_row(1, "Log_Combine_Kernel(Args)", "gpu__time_duration.sum", "usecond", "12.25") +
                     "==PROF== Disconnected from process 7\n")
        c = self.log("c", HEADER + ncu_row(0, "Log_Diagonal_Kernel(Args)",
                                            "sm__warps_active.avg.pct_of_peak_sustained_active",
                                            "%", "55.0"))
        self.assertEqual(self.summarise("b=" + b, "c=" + c), 0)
        rows = [cells(line) for line in read(self.md).splitlines() if line.startswith("| ")]
        heading = rows[0]
        by_kernel = {(r[0], r[1]): r for r in rows[1:]}
        self.assertEqual(sorted(by_kernel), [("b", "Log_Combine_Kernel"), ("b", "Log_Full_Kernel"),
                                             ("c", "Log_Diagonal_Kernel")])
        full = by_kernel[("b", "Log_Full_Kernel")]
        self.assertEqual(full[heading.index("SM throughput %")], "81.5")
        self.assertEqual(full[heading.index("DRAM throughput %")], "9.5")
        self.assertEqual(full[heading.index("grid")], "(4096, 1, 1)")
        self.assertEqual(by_kernel[("b", "Log_Combine_Kernel")][heading.index("time")],
                         "12.25 usecond")
        self.assertEqual(by_kernel[("c", "Log_Diagonal_Kernel")]
                         [heading.index("achieved occupancy %")], "55.0")
        with open(self.csv) as f:
            table = list(csv.reader(f))
        self.assertEqual(table[0][:2], ["case", "ID"])
        self.assertEqual([r[0] for r in table[1:]], ["b", "b", "b", "c"])

    def test_a_later_summary_replaces_its_section_and_keeps_the_rest(self):
        with open(self.md, "w") as f:
            f.write("the benchmark's tables\n")
        b = self.log("b", HEADER + ncu_row(0, FULL, "gpu__time_duration.sum", "msecond", "3.5"))
        self.summarise("b=" + b)
        with open(self.md, "a") as f:
            f.write("the call cost\n")
        self.summarise("b=" + b, "d=" + b)
        text = read(self.md)
        self.assertEqual(text.count("under ncu"), 1)
        self.assertTrue(text.startswith("the benchmark's tables\n"))
        self.assertIn("the call cost\n", text)
        self.assertIn("| d | Log_Full_Kernel |", text)

    def test_the_fits_kernels_keep_a_section_of_their_own(self):
        b = self.log("b", HEADER + ncu_row(0, FULL, "gpu__time_duration.sum", "msecond", "3.5"))
        self.summarise("b=" + b)
        fused = self.log("d", HEADER + ncu_row(0, "Fused_Kernel(Args)",
                                                "l1tex__data_bank_conflicts_pipe_lsu_mem_shared.sum",
                                                "", "1024"))
        fit_csv = os.path.join(self.dir.name, "ncu_fit.csv")
        for _ in range(2):  # a later fit summary replaces the fit's section alone
            self.assertEqual(ncu_summary.main(["ncu_summary.py", "--fit", fit_csv, self.md, "d=" + fused]), 0)
        text = read(self.md)
        self.assertEqual(text.count("The evaluator's kernels under ncu"), 1)
        self.assertEqual(text.count("The fit's kernels under ncu"), 1)
        self.assertIn("| b | Log_Full_Kernel |", text)
        rows = [cells(line) for line in text.split("The fit's kernels")[1].splitlines() if line.startswith("| ")]
        self.assertEqual(rows[1][rows[0].index("shared bank conflicts")], "1024")
        with open(self.csv) as f:  # the evaluator's CSV is left as it was
            self.assertEqual([r[0] for r in list(csv.reader(f))[1:]], ["b"])

    def test_a_log_without_kernels_fails_and_says_so(self):
        empty = self.log("b", "==PROF== No kernels were profiled.\n")
        self.assertEqual(self.summarise("b=" + empty), 1)
        self.assertIn("ncu profiled no kernel", read(self.md))


@unittest.skipIf(peers is None, "no numpy in this Python")
class PeersTest(unittest.TestCase):
    def setUp(self):
        self.saved = peers.sklearn_score, peers.torch_run, sys.modules.get("torch")

    def tearDown(self):
        peers.sklearn_score, peers.torch_run = self.saved[:2]
        if self.saved[2] is None:
            sys.modules.pop("torch", None)
        else:
            sys.modules["torch"] = self.saved[2]

    def test_scikit_learn_grows_its_subsample_within_the_budget_and_scales(self):
        runs = []

        def score(c, n):  # 1 ms a point
            runs.append(n)
            return n * 1e-3, c["P"][:n]

        peers.sklearn_score = score
        case = dict(N=1_000_000, P=np.zeros(1_000_000), log=True)
        seconds, n, diff = peers.sklearn_peer(case, budget=20.0)
        self.assertLess(n, case["N"])
        self.assertLessEqual(sum(runs) * 1e-3, 20.0)
        self.assertAlmostEqual(seconds, 1000.0)  # scaled to the whole case
        self.assertEqual(diff, 0.0)
        seconds, n, _ = peers.sklearn_peer(dict(case, N=5000, P=np.zeros(5000)), budget=20.0)
        self.assertEqual(n, 5000)
        self.assertAlmostEqual(seconds, 5.0)

    def fake_torch(self, free):
        class OutOfMemoryError(RuntimeError):
            pass

        cuda = types.SimpleNamespace(mem_get_info=lambda: (free, 2 * free),
                                     empty_cache=lambda: None, OutOfMemoryError=OutOfMemoryError)
        sys.modules["torch"] = types.SimpleNamespace(cuda=cuda)
        return OutOfMemoryError

    def test_pytorch_halves_its_chunk_after_running_out_of_memory(self):
        oom = self.fake_torch(free=10**9)
        tried = []

        def run(c, chunk, points):
            tried.append(chunk)
            if chunk > 1000:
                raise oom("CUDA out of memory")
            return 0.5, c["P"][:points]

        peers.torch_run = run
        case = dict(N=100_000, K=64, dim=60, P=np.zeros(100_000), log=True)
        seconds, diff, note = peers.torch_peer(case)
        self.assertEqual(seconds, 0.5)
        self.assertEqual(diff, 0.0)
        self.assertLessEqual(tried[-1], 1000)
        self.assertEqual(tried[1], tried[0] // 2)
        self.assertIn("out of memory", note)
        self.assertIn(f"in chunks of {tried[-1]} points", note)

    def test_pytorch_gives_up_after_repeated_out_of_memory_and_other_errors_are_recorded(self):
        oom = self.fake_torch(free=10**12)

        def no_memory(c, chunk, points):
            raise oom("CUDA out of memory")

        peers.torch_run = no_memory
        case = dict(N=10**7, K=16, dim=32, P=np.zeros(10), log=True)
        seconds, _, note = peers.torch_peer(case)
        self.assertIsNone(seconds)
        self.assertTrue(note.endswith("gave up"))

        def broken(c, chunk, points):
            raise ValueError("bad covariance")

        peers.torch_run = broken
        seconds, _, note = peers.torch_peer(case)
        self.assertIsNone(seconds)
        self.assertIn("failed: ValueError: bad covariance", note)


@unittest.skipUnless(os.environ.get("VELMORA_LOG_BENCH"), "VELMORA_LOG_BENCH names no benchmark")
class LogBenchTablesTest(unittest.TestCase):
    def test_every_row_fills_every_column_of_both_files(self):
        with tempfile.TemporaryDirectory() as out:
            subprocess.run([os.environ["VELMORA_LOG_BENCH"], "--quick", "--only", "fe",
                            "--no-velmora", "--out", out], check=True, capture_output=True)
            with open(os.path.join(out, "log_bench.csv")) as f:
                table = list(csv.DictReader(f))
            # In the benchmark's order, not the letters': the forced chunks first.
            self.assertEqual([(r["case"], r["R"]) for r in table],
                             [("f", "0"), ("f", "1"), ("e", "0"), ("e", "1")])
            for r in table:
                self.assertTrue(all(v is not None for v in r.values()), r)
                self.assertGreaterEqual(int(r["chunks"]), 10 if r["case"] == "f" else 1)
                self.assertGreaterEqual(int(r["calls"]), 200 if r["case"] == "e" else 1)
                self.assertLessEqual(float(r["call_p10_s"]), float(r["call_s"]))
                self.assertLessEqual(float(r["call_s"]), float(r["call_p90_s"]))
                bound = float(r["round_trip_s"]) + max(float(r["x_up_pinned_s"]),
                                                       float(r["fp64_floor_s"]),
                                                       float(r["out_down_pinned_s"]))
                # The CSV carries six significant digits: each value is within 5e-6 of
                # its own, so a sum of them within 1e-5.
                self.assertAlmostEqual(float(r["bound_pinned_s"]), bound, delta=1e-5 * bound)
            # With R, K doubles a point more come down: (e) has 4 clusters.
            e = [r for r in table if r["case"] == "e"]
            down = float(e[0]["out_down_pinned_s"])
            self.assertAlmostEqual(float(e[1]["out_down_pinned_s"]), 5 * down,
                                   delta=1e-5 * 5 * down)
            tables = read(os.path.join(out, "log_bench.md")).split("### ")[1:]
            self.assertEqual(len(tables), 2)
            for t in tables:
                rows = [line for line in t.splitlines() if line.startswith("|")]
                self.assertEqual(len(rows), 2 + 4)
                self.assertEqual({r.count("|") for r in rows}, {rows[0].count("|")}, t)


if __name__ == "__main__":
    unittest.main()
