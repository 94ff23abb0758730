"""Checks of bench/sass_report's machinery: the bank model against layouts
whose wavefronts are known, and, where nvcc and nvdisasm are found, the
local-memory check on a planted kernel that keeps an array on its stack
inside a loop (and on the same kernel with the array in registers)."""
import importlib.machinery
import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import sass_model as model  # noqa: E402

# The report is a script without a .py suffix: loaded by its path.
report = importlib.machinery.SourceFileLoader(
    "sass_report", os.path.join(HERE, "sass_report")).load_module()

# One loop keeps a[] on the stack (indexed by a value only known at run
# time); the other indexes it by the unrolled counter alone.
PLANTED = r"""
__global__ void Planted(const int *index, double *out, int n) {
  double a[16];
  for (int i = 0; i < 16; ++i) a[i] = out[i];
  double s = 0.0;
  for (int k = 0; k < n; ++k) {
#ifdef STACK
    s += a[index[k] & 15];
    a[(k * 7) & 15] = s;
#else
#pragma unroll
    for (int i = 0; i < 16; ++i) s += a[i] * index[k];
#endif
  }
  out[threadIdx.x] = s;
}
"""


class BankModel(unittest.TestCase):
    def test_contiguous_doubles_take_two_wavefronts(self):
        self.assertEqual(model.wavefronts([8 * l for l in range(32)], 8), 2)

    def test_a_broadcast_takes_one(self):
        self.assertEqual(model.wavefronts([64] * 32, 16), 1)

    def test_rows_of_an_odd_count_of_doubles_do_not_conflict(self):
        # Diagonal_Shared::xs: a column written across 32 rows of 129 doubles.
        self.assertEqual(model.wavefronts([129 * 8 * l for l in range(32)], 8), 2)
        self.assertEqual(model.wavefronts([65 * 8 * l for l in range(32)], 8), 2)

    def test_rows_of_64_doubles_conflict_32_ways(self):
        self.assertEqual(model.wavefronts([64 * 8 * l for l in range(32)], 8), 32)

    def test_sixteen_byte_loads_32_bytes_apart_are_two_way_conflicted(self):
        # Eight lanes' 16-byte loads 32 bytes apart: 128 bytes in 2 wavefronts.
        lanes = [((t // 32) % 2 * 8 + t % 8) * 32 for t in range(32)]
        self.assertEqual(model.wavefronts(lanes, 16), 2)
        self.assertEqual(model.distinct_wavefronts(lanes, 16), 1)

    def test_the_wide_kernels_d_pairs_take_one_wavefront(self):
        # Eight lanes' 16-byte loads side by side: 128 contiguous bytes.
        lanes = [model._full_d(t, 16) for t in range(32)]
        self.assertEqual(model.wavefronts(lanes, 16), 1)

    def test_phased_figure_never_below_the_bank_model(self):
        self.assertEqual(model.phased(16), 4)
        self.assertEqual(model.phased(8), 2)

    def test_global_requests_take_their_bytes_on_the_data_path_once(self):
        # nvdisasm's forms: the width after .E, and suffixes (.CONSTANT, a
        # cache hint) after it; plain .E moves 4 bytes a lane. A global
        # access is no shared one: it adds no bank-model request.
        forms = {"LDG.E.64": 2, "LDG.E.64.CONSTANT": 2, "LDG.E.128": 4,
                 "LDG.E.128.CONSTANT": 4, "LDG.E.LTC128B.64": 2, "LDG.E": 1,
                 "LDG.E.CONSTANT": 1, "LDG.E.U8": 1, "STG.E.64": 2, "STG.E": 1}
        for op, waves in forms.items():
            c = model.cost("k", [{"opcode": op, "file": "x.cu", "line": 1, "text": op}], {})
            self.assertEqual((c["shared"], c["shared_hi"], c["global"], c["lds"]),
                             (waves, waves, 1, 0), msg=op)

    def test_a_copy_to_shared_memory_takes_the_path_once_and_its_padding_only_issues(self):
        # As nvcc sets an 8-byte cp.async: three never-run LDS, then the copy.
        texts = ["@!PT LDS RZ, [RZ]"] * 3 + ["LDGSTS.E.64 [R9], desc[UR14][R2.64], P2"]
        c = model.cost("k", [{"opcode": t.split()[1] if t[0] == "@" else t.split()[0], "file": "x.cu",
                              "line": 1, "text": t} for t in texts], {})
        self.assertEqual((c["issue"], c["shared"], c["shared_hi"], c["lds"], c["global_bytes"]),
                         (4, 2, 2, 0, 256))


class Occupancy(unittest.TestCase):
    def test_registers_limit_in_units_of_256_per_warp(self):
        # 123 registers round to 128 a thread: 32 warps of 4096.
        self.assertEqual(model.occupancy(256, 123, 42112)["blocks"], 2)
        self.assertEqual(model.occupancy(256, 64, 41984)["blocks"], 4)

    def test_shared_memory_limits_with_the_runtimes_kilobyte(self):
        # 4 blocks of 57,444 B fit 228 KB, but not with 1 KB more each.
        o = model.occupancy(128, 32, 57444)
        self.assertEqual((o["blocks"], o["limit"]), (3, "shared memory"))


class Staging(unittest.TestCase):
    def test_diagonal_loads_count_the_busiest_threads_passes(self):
        # Load_Points along coordinates, thread by thread: 128 threads, lanes
        # over a tile's coordinates in the power of two that covers them,
        # each lane stepping through the block's 128 points.
        def passes(dim):
            total = 0
            for d0 in range(0, dim, 32):
                width = min(32, dim - d0)
                shift = 0
                while (1 << shift) < width:
                    shift += 1
                step = 128 >> shift
                total += max(len(range(t >> shift, 128, step))
                             for t in range(128) if t & ((1 << shift) - 1) < width)
            return total
        for dim in range(1, 100):
            self.assertEqual(model.diagonal_loads(dim), passes(dim), f"dim {dim}")


class DiagonalKernel(unittest.TestCase):
    """Log_Diagonal_Kernel: four warps of 32 lanes, a warp a cluster group,
    four points a lane; the model must take its blocks, warps and layouts."""

    def test_each_warp_broadcasts_its_own_groups_means(self):
        # params[g][c][i], g = warp: one address per warp, four apart.
        for w in range(4):
            lanes = {model._diagonal_params(32 * w + l, 16) for l in range(32)}
            self.assertEqual(len(lanes), 1, f"warp {w}")
        self.assertNotEqual(model._diagonal_params(0, 16), model._diagonal_params(32, 16))
        # The points' rows: a warp's 32 consecutive points, two wavefronts.
        self.assertEqual(model.wavefronts([model._diagonal_xs(l, 8) for l in range(32)], 8), 2)

    def test_launch_counts_a_warps_passes(self):
        (launch,) = model.log_launches({"N": 1000, "dim": 60, "K": 33, "mode": "diagonal"})
        self.assertEqual((launch["blocks"], launch["threads"]), (8, 128))
        self.assertEqual(model.threads_of("Log_Diagonal_Kernel"), 128)
        # VelmoraLog runs the instance without raw terms, the fit's E-step
        # the one with them: each is modelled from its own loops.
        separate, = [c for c in model.FIT_CASES if c["name"] == "fit (f)"]
        fit_e_step = model.fit_launches(dict(separate))[0]["kernel"]
        self.assertEqual((launch["kernel"], fit_e_step),
                         ("Log_Diagonal_KernelILb0ELi2ELb0E", "Log_Diagonal_KernelILb1ELi1ELb1E"))
        passes = {sel["text"]: n for sel, n in launch["items"]}
        # 3 steps of 16 clusters x 60 coordinates, on 4 warps, two steps a
        # pass (the FMAs' loop counts its own passes for two: its marker);
        # the means staged 8 coordinates at a time within the points' tiles
        # of 32 (32 + 28: 4 + 4); the points again every pass.
        self.assertEqual(passes["acc[s][r][c] = fma(y, y, acc[s][r][c])"], 4 * 3 * 60)
        self.assertEqual(passes["Param<kSteps>(sh, sr + q * kRunStep, sc, si) ="], 4 * 2 * 8)
        self.assertEqual([model.diagonal_param_tiles(d) for d in (1, 16, 17, 32, 33, 48, 49, 65)],
                         [1, 1, 2, 2, 3, 3, 4, 5])
        self.assertEqual([model.diagonal_param_tiles(d, 8) for d in (1, 8, 9, 32, 33, 60)],
                         [1, 1, 2, 4, 5, 8])
        self.assertEqual(passes[model.DIAG_TERMS["text"]], 4 * 2)
        self.assertEqual(passes[model.DIAG_POINTS["text"]], 4 * model.diagonal_loads(60) * 2)
        # A step at a time where the points stay resident, or where there
        # is one step: then in one pass, with no pass loop to count.
        for dim, K, one_pass in ((32, 33, 0), (60, 16, 1), (32, 16, 1)):
            (one,) = model.log_launches({"N": 1000, "dim": dim, "K": K, "mode": "diagonal"})
            self.assertEqual(one["kernel"], f"Log_Diagonal_KernelILb0ELi1ELb{one_pass}E", f"dim {dim}, K {K}")
            texts = [sel["text"] for sel, _ in one["items"]]
            self.assertEqual(model.DIAG_TERMS["text"] in texts, not one_pass, f"dim {dim}, K {K}")


class Loops(unittest.TestCase):
    def test_back_edges_make_nested_loops(self):
        ins = [{"offset": o, "text": t, "opcode": t.split()[-2 if "BRA" in t else 0]} for o, t in
               [(0x00, "NOP"), (0x10, "DFMA R2, R2, R2, R2"), (0x20, "@P0 BRA `(.L_x_1)"),
                (0x30, "@P1 BRA `(.L_x_0)"), (0x40, "EXIT")]]
        loops = report.find_loops(ins, {".L_x_0": 0x00, ".L_x_1": 0x10})
        self.assertEqual([(lp["head"], lp["tail"], lp["innermost"]) for lp in loops],
                         [(0x00, 0x30, False), (0x10, 0x20, True)])
        self.assertEqual(loops[1]["parent"], 0x00)


    def test_a_marker_picks_its_own_loop_over_one_holding_a_stray_instruction(self):
        # The compiler may move an instruction of the selector's line into
        # a larger loop nearby; the loop whose body has the marker is meant.
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "engine"))
            with open(os.path.join(root, "engine", "small_dims.h"), "w") as f:
                f.write("v[c] = term(c);\ny = fma(w, d, y);\n")

            def ins(line, opcode):
                return {"file": "small_dims.h", "line": line, "opcode": opcode, "text": opcode}
            terms = [ins(1, "LDS.64"), ins(2, "DFMA"), ins(2, "DFMA")]
            other = [ins(1, "MOV")] + [ins(3, "DADD")] * 10
            kernel = {"loops": [{"head": 0x100, "tail": 0x200, "innermost": True, "own": terms},
                                {"head": 0x300, "tail": 0x500, "innermost": True, "own": other}]}
            selector = model.loop_of("v[c] = term(c);", marker=("y = fma(w, d, y);", "DFMA", 1))
            loop, _, unroll = model.select_loop(kernel, selector, root)
            self.assertEqual((loop["head"], unroll), (0x100, 2))
            # Without a marker the larger loop is taken, as before.
            self.assertEqual(model.select_loop(kernel, model.loop_of("v[c] = term(c);"), root)[0]["head"],
                             0x300)
            # A loop that holds less than one iteration's markers (the rest
            # in a loop of its own) is not the one meant: left out, not
            # taken for one pass.
            partial = model.loop_of("v[c] = term(c);", marker=("y = fma(w, d, y);", "DFMA", 3))
            self.assertIsNone(model.select_loop(kernel, partial, root))


    def test_the_moments_stage_the_copy_of_their_weights_that_runs_without_weights(self):
        # Unrolled, the staging of a slab's posteriors is split on whether
        # the points have weights: the cases have none, so the copy without
        # the weight's load is the one they run, though it is the smaller.
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "engine"))
            with open(os.path.join(root, "engine", "statistics.cu"), "w") as f:
                f.write("rs[p * r_pitch + lk] = r;\nr = Take(a.R[at], a.x, j);\n")
            with open(os.path.join(root, "engine", "take.h"), "w") as f:
                f.write("return w[j] == 0.0 ? 0.0 : w[j] * v;\n")  # Weigh, take.h

            def ins(file, line, opcode):
                return {"file": file, "line": line, "opcode": opcode, "text": opcode}
            stores = [ins("statistics.cu", 1, "STS.64")] * 2
            weighted = [ins("take.h", 1, "LDG.E.64"), ins("take.h", 1, "DMUL")] * 2 + \
                [ins("statistics.cu", 2, "LDG.E.64")] * 2 + stores
            plain = [ins("statistics.cu", 2, "LDG.E.64")] * 2 + stores
            kernel = {"loops": [{"head": 0x100, "tail": 0x200, "innermost": True, "own": weighted},
                                {"head": 0x300, "tail": 0x400, "innermost": True, "own": plain}]}
            case = next(c for c in model.FIT_CASES if c["name"] == "fit (b), CUDA cores")
            moments = next(l for l in model.fit_launches(case) if l["kernel"].startswith("Moments_Kernel"))
            selector = next(sel for sel, _ in moments["items"] if sel["text"] == "rs[p * r_pitch + lk] = r")
            loop, _, unroll = model.select_loop(kernel, selector, root)
            self.assertEqual((loop["head"], unroll), (0x300, 2))
            # Where the loop has one copy, that one is taken.
            kernel["loops"].pop()
            self.assertEqual(model.select_loop(kernel, selector, root)[0]["head"], 0x100)


# Second_Tensor_Kernel's staging, statistics.cu lines 2 (a tile on the
# diagonal: X - shift once) and 3-4 (elsewhere: rows and columns apart).
STAGING = ["for (int q = 0; q < kTrips; ++q, xa += stride, sb += kOut) *sb = *xa - place.mu_a;",
           "*sa = in && place.a_in ? *xa - place.mu_a : 0.0;",
           "*sb = in && place.b_in ? *xb - place.mu_b : 0.0;"]


class TensorSteps(unittest.TestCase):
    """The tensor kernels issue only the products a step makes: the log
    kernel's steps run in runs by their first row tile on or below the
    diagonal, one copy of the loop each, and the fit's tiles on and off the
    diagonal have copies of their own. Made-up loop bodies of one step (a
    fragment load and two MMAs a tile, then two loads and some address
    arithmetic) under each tensor kernel's case. Up to dim 32 the log
    kernel's steps are unrolled into its cluster loop, which is counted
    whole."""

    @classmethod
    def setUpClass(cls):
        cls.sources = tempfile.TemporaryDirectory()
        os.makedirs(os.path.join(cls.sources.name, "engine"))
        for name, lines in (("full.cu", ["const double w = a_at[l * kW + 8 * r];",
                                         "const double q = Overflowed_To_Inf(squared(k0 + c));",
                                         model.TENSOR_SLAB_TEXT + " : 0.0;",
                                         model.RUN_BOUND_LINES[0] + ";",
                                         model.FULL_STAGE_W["text"] + ");"]),
                            ("staging.h", ['asm volatile("{ .reg .pred p; ' + model.ASYNC_COPY_LINE + ' }" ::"r"(s));']),
                            ("statistics.cu", ["bv[q] = b_at[at + 8 * q];"] + STAGING +
                             [model._ON_DIAGONAL[3], model._OFF_DIAGONAL[3], model.SECOND_SLAB_TEXT,
                              model._PART_SLAB[0]]),
                            ("tensor.h", [model.MMA_LINE])):
            with open(os.path.join(cls.sources.name, "engine", name), "w") as f:
                f.write("\n".join(lines) + "\n")

    @classmethod
    def tearDownClass(cls):
        cls.sources.cleanup()

    @staticmethod
    def step(file, tiles, mmas):
        def ins(file, opcode):
            return {"file": file, "line": 1, "opcode": opcode, "text": opcode}
        own = []
        for _ in range(tiles):
            own.append(ins(file, "LDS.64"))
            own += [ins("tensor.h", "DMMA.8x8x4")] * mmas
        return own + [ins(file, "LDS.64")] * 2 + [ins(file, "IMAD")] * 8

    def pipes(self, launch, copies):
        """The launch's pipes (SM clocks), over loops in address order."""
        kernel = {"loops": [{"head": 0x1000 * n, "tail": 0x1000 * n + 0x10, "innermost": True,
                             "own": own} for n, own in enumerate(copies)]}
        found = model.launch_time({launch["kernel"]: kernel}, launch, self.sources.name, "H100")
        return {p: v * model.CLOCK for p, v in found[3].items()}

    def test_w_moves_through_l2_only_on_and_below_its_diagonal(self):
        # The triangle's share of the slabs asked for: one slab at dim 32;
        # at 64 rows a pass, a square slab pair; at dim 128, two passes.
        self.assertEqual(model.w_share(32, 32), 528 / 1024)
        self.assertEqual(model.w_share(64, 64), 2080 / 4096)
        self.assertEqual(model.w_share(128, 64), (2080 + 4096 + 2080) / (6 * 64 * 32))
        # dim 64, 132 blocks of 16 clusters: a warp's pass stages a double a
        # lane (256 bytes asked), 8 passes a slab, 2 slabs, 8 warps.
        case = {"name": "t", "N": 128 * model.SMS, "dim": 64, "K": 16, "mode": "full"}
        launch = model.log_launches(case)[0]
        # Copied straight into shared memory: the caller's line, the copy's.
        staging = [{"file": f, "line": n, "opcode": op, "text": op}
                   for f, n, op in (("full.cu", 5, "ISETP.GE.AND"), ("staging.h", 1, "LDGSTS.E.64"))]
        got = model.launch_time({launch["kernel"]: {"loops": [{"head": 0, "tail": 16, "innermost": True,
                                                               "own": staging}]}},
                                launch, self.sources.name, "H100")
        moved = model.SMS * 16 * 8 * 8 * 2 * 256 * 2080 / 4096
        self.assertAlmostEqual(got[3]["L2"], moved / model.L2_BYTES_S)
        # HBM (X once) is well below: the launch is bound by L2 when its
        # pipes are (here, with nothing else counted).
        self.assertEqual(got[2], "L2")
        self.assertAlmostEqual(got[0], moved / model.L2_BYTES_S + model.LAUNCH_S)

    def test_a_share_of_a_lines_bytes_holds_only_for_the_copies_it_was_meant_for(self):
        # The resident kernel's cluster loop holds mu_k's copy, one of warp
        # 0's alone; a second copy on the shared copy line is named, not
        # silently given mu's share.
        case = {"name": "t", "N": 128 * model.SMS, "dim": 32, "K": 16, "mode": "full"}
        launch = model.log_launches(case)[0]
        for copies in (1, 2):
            own = [{"file": f, "line": n, "opcode": op, "text": op}
                   for f, n, op in [("full.cu", 2, "DADD")] + [("staging.h", 1, "LDGSTS.E.64")] * copies]
            kernel = {"loops": [{"head": 0, "tail": 16, "innermost": True, "own": own}]}
            missing = model.launch_time({launch["kernel"]: kernel}, launch, self.sources.name, "H100")[4]
            named = [m for m in missing if "global accesses on lines" in m]
            self.assertEqual(len(named), copies - 1, missing)

    def test_x_slab_0_is_staged_once_and_a_passs_last_slab_serves_the_next(self):
        # dim 128: slabs 0, 32 | 0, 32, 64, 96: slab 0 once a block, then 32,
        # 64 and 96 a cluster (32 kept from the first pass for the second).
        self.assertEqual(model.tensor_x_stagings(128, 8, 1), 1 + 3)
        self.assertEqual(model.tensor_x_stagings(128, 8, 16), 1 + 16 * 3)
        # dim 65: slabs 0, 32 | 0, 32, 64; at dim 64 one pass: 32 stays for
        # the next cluster too.
        self.assertEqual(model.tensor_x_stagings(65, 8, 2), 1 + 2 * 2)
        self.assertEqual(model.tensor_x_stagings(64, 8, 16), 1 + 1)

    def test_each_run_issues_its_own_tiles(self):
        mma = 256 / model.TENSOR_LANES / model.SUB_PARTITIONS  # SM clocks of one DMMA
        load = 2  # wavefronts of a fragment
        # VelmoraLog, 132 blocks of 128 points (eight warps) and 16
        # clusters, dim 64: per cluster a warp takes 2 steps in each run r0 =
        # 0..7 (slab 0 serves runs 0..3, slab 32 runs 4..7), which serve 8..1
        # row tiles (72 tiles in 16 steps), two MMAs each.
        case = {"name": "t", "N": 128 * model.SMS, "dim": 64, "K": 16, "mode": "full"}
        launch = model.log_launches(case)[0]
        copies = [self.step("full.cu", 8 - r0, 2) for r0 in range(8)]
        pipes = self.pipes(launch, copies)
        issued = sum(2 * len(own) for own in copies)  # a warp's, per cluster
        self.assertAlmostEqual(pipes["issue"], 16 * 8 * issued / 4)
        self.assertAlmostEqual(pipes["tensor"], 16 * 8 * 72 * 2 * mma)
        self.assertAlmostEqual(pipes["shared"], 16 * 8 * (72 + 16 * 2) * load)
        # A copy that is not the run's (its MMAs no multiple of the run's)
        # leaves the item out rather than miscount it.
        self.assertIsNone(model.find_item({"loops": [{"head": 0, "tail": 16, "innermost": True,
                                                      "own": self.step("full.cu", 7, 2)}]},
                                          model.tensor_run(8, 0), self.sources.name))
        # At dim 32 four warps of 32 points a block, each a pass through the
        # cluster loop per cluster: 20 tiles of four MMAs, all in that loop.
        case.update(dim=32, N=128 * model.SMS)
        launch, = model.log_launches(case)
        self.assertEqual(launch["kernel"], "Log_Full_Resident_KernelILi4E")
        # logP alone counts the block's code up to the return before the
        # posteriors; the fit's E-step, which writes them, all of it.
        self.assertIn(model.FULL_BLOCK_LOGP, [sel for sel, _ in launch["items"]])
        e_step = model.log_launches(case, fit_e_step=True)[0]
        self.assertFalse(any(sel.get("outside") for sel, _ in e_step["items"]))
        term = {"file": "full.cu", "line": 2, "opcode": "IMAD", "text": "IMAD"}
        tile = [{"file": "full.cu", "line": 2, "opcode": "LDS.64", "text": "LDS.64"}] + \
               [{"file": "tensor.h", "line": 1, "opcode": "DMMA.8x8x4", "text": "DMMA"}] * 4
        cluster = [term] + tile * 20
        pipes = self.pipes(launch, [cluster])
        self.assertAlmostEqual(pipes["tensor"], 16 * 4 * 20 * 4 * mma)
        self.assertAlmostEqual(pipes["shared"], 16 * 4 * 20 * load)
        self.assertAlmostEqual(pipes["issue"], 16 * 4 * len(cluster) / 4)
        # The fit's second moments, a unit of 512 points a block: a warp's 4
        # steps in each of 4 slabs of 128 points, on the one tile (on the
        # diagonal), whose copy is the kernel's only one: 10 products a step.
        case = {"name": "t", "N": 512 * model.SMS, "dim": 32, "K": 1, "mode": "full", "unit": 512}
        launch, = [l for l in model.fit_launches(case) if l["kernel"].startswith("Second_Tensor")]
        on = self.step("statistics.cu", 4, 0)
        on[4:4] = [{"file": "tensor.h", "line": 1, "opcode": "DMMA.8x8x4", "text": "DMMA"}] * 10
        pipes = self.pipes(launch, [on])
        self.assertAlmostEqual(pipes["tensor"], 8 * 16 * 10 * mma)
        self.assertAlmostEqual(pipes["issue"], 8 * 16 * len(on) / 4)

    def test_a_term_is_counted_in_its_cluster_loop_not_a_slab_holding_a_stray_instruction(self):
        # Past dim 32 nvcc leaves an instruction of the term's line in the
        # slab loop inside the cluster loop, beside the runs' bounds (Min,
        # in log_sum.h). The smallest loop holding the line is then the
        # slab's, whose log_sum.h code is Min's, counted already with the
        # bounds: the term's exp and sums are in the cluster loop.
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "engine"))
            for name, lines in (("full.cu", ["const double q = Overflowed_To_Inf(squared(k0 + c));"]),
                                ("log_sum.h", ["__forceinline__ int Min(int a, int b) { return a < b ? a : b; }",
                                               "p = fma(p, r, poly[n]);"])):
                with open(os.path.join(root, "engine", name), "w") as f:
                    f.write("\n".join(lines) + "\n")
            ins = lambda file, line, op: {"file": file, "line": line, "opcode": op, "text": op}
            term = [ins("full.cu", 1, "IMAD")] + [ins("log_sum.h", 2, "DFMA")] * 10
            slab = [ins("full.cu", 1, "ISETP")] + [ins("log_sum.h", 1, "VIMNMX")] * 6
            kernel = {"loops": [{"head": 0x100, "tail": 0x900, "innermost": False, "own": term},
                                {"head": 0x200, "tail": 0x300, "innermost": True, "own": slab}]}
            loop, body, _ = model.select_loop(kernel, model.FULL_TERM, root)
            self.assertEqual(loop["head"], 0x100)
            self.assertEqual(body, term[1:])
            # Where the term's loop is the only one (up to dim 32) it keeps it.
            kernel["loops"] = kernel["loops"][1:]
            self.assertEqual(model.select_loop(kernel, model.FULL_TERM, root)[1], slab[1:])

    def test_a_second_moments_slab_counts_its_own_tiles_staging(self):
        # dim 32, one cluster: one tile, on the diagonal, 4 whole slabs of 128
        # of a unit's 512 points; only the tile's own staging lines count,
        # and not those of a slab part past the unit's end (line 8).
        case = {"name": "t", "N": 512 * model.SMS, "dim": 32, "K": 1, "mode": "full", "unit": 512}
        launch, = [l for l in model.fit_launches(case) if l["kernel"].startswith("Second_Tensor")]
        ins = lambda line: {"file": "statistics.cu", "line": line, "opcode": "IMAD", "text": "IMAD"}
        slab = [ins(7)] * 2 + [ins(5)] * 5 + [ins(6)] * 7 + [ins(8)] * 3
        pipes = self.pipes(launch, [slab])
        self.assertAlmostEqual(pipes["issue"], 8 * 4 * (2 + 5) / 4)
        # dim 8: the tensor kernel too, its slab the whole unit.
        case["dim"] = 8
        launch, = [l for l in model.fit_launches(case) if l["kernel"].startswith("Second_Tensor")]
        self.assertEqual(launch["kernel"], "Second_Tensor_KernelILi8E")
        pipes = self.pipes(launch, [slab])
        self.assertAlmostEqual(pipes["issue"], 8 * 1 * (2 + 5) / 4)

    def test_a_loop_the_case_never_runs_is_not_counted_in_it(self):
        # dim 40, one cluster: one tile, on the diagonal, so the kernel's
        # copies for tiles off it take no passes in this case.
        case = {"name": "t", "N": 512 * model.SMS, "dim": 40, "K": 1, "mode": "full", "unit": 512}
        launch, = [l for l in model.fit_launches(case) if l["kernel"].startswith("Second_Tensor")]
        ins = lambda line: {"file": "statistics.cu", "line": line, "opcode": "STS.64", "text": "STS"}
        on, off = [ins(2)], [ins(4)]  # their tiles' staging loops
        kernel = {"loops": [{"head": 0x1000 * (n + 1), "tail": 0x1000 * (n + 1) + 0x10,
                             "innermost": True, "own": own} for n, own in enumerate([on, off])]}
        found = model.launch_time({launch["kernel"]: kernel}, launch, self.sources.name, "H100")
        self.assertEqual(found[-1][1], {0x1000})

    def test_a_slab_counts_only_its_own_runs_bounds(self):
        # dim 64, 16 clusters: a pass of 8 live row tiles in 2 slabs, so each
        # slab takes the bounds of 8 of the 36 runs its code holds.
        case = {"name": "t", "N": 128 * model.SMS, "dim": 64, "K": 16, "mode": "full"}
        launch = model.log_launches(case)[0]
        ins = lambda line: {"file": "full.cu", "line": line, "opcode": "IMAD", "text": "IMAD"}
        slab = [ins(3)] * 3 + [ins(4)] * 36
        pipes = self.pipes(launch, [slab])
        slabs = 16 * 8 * 2  # clusters, warps, slabs
        self.assertAlmostEqual(pipes["issue"], slabs * (3 + 36 * 8 / 36) / 4)

    def test_a_pass_of_fewer_tiles_counts_as_the_last_runs(self):
        # dim 40: one pass of 5 live row tiles of 8; its runs r0 = 0..4 serve
        # 5..1 tiles, counted as runs 3..7 of the 8-tile copy.
        _, _, runs = model.tensor_trips(40, 8)
        self.assertEqual(runs, [0, 0, 0, 2, 2, 2, 2, 2])
        # dim 96: a pass of 8 tiles (2 steps a run), then one of 4 below dim
        # (rows 64..95), whose first run takes the 16 steps left of its
        # diagonal as well: counted as runs 4..7.
        _, _, runs = model.tensor_trips(96, 8)
        self.assertEqual(runs, [2, 2, 2, 2, 2 + 18, 2 + 2, 2 + 2, 2 + 2])
        self.assertEqual(model.tensor_trips(128, 8)[2], [2 + 18] + [2 + 2] * 7)

    def test_each_tile_stages_with_its_own_loop(self):
        # A block per tile of a unit of 512 points (one cluster, 132 units):
        # a warp's 8 stores a slab, in 8 slabs of 64 points (TS 32) or 16 of
        # 32 (TS 64). A tile on the diagonal stores once a point and loads
        # it from X, any other stores twice (2 wavefronts each, the load's
        # 256 bytes through L1 too).
        def sts(line):
            return {"file": "statistics.cu", "line": line, "opcode": "STS.64",
                    "text": "STS.64"}
        diagonal = [sts(2)] + [{"file": "statistics.cu", "line": 2, "opcode": "LDG.E.64",
                                "text": "LDG.E.64"}]
        apart = [sts(3), sts(4)] + [{"file": "statistics.cu", "line": 4, "opcode": "IADD3",
                                     "text": "IADD3"}] * 4
        for dim, ts, slabs, side, tri in ((32, 32, 8, 1, 1), (96, 64, 16, 2, 3)):
            case = {"name": "t", "N": 512 * model.SMS, "dim": dim, "K": 1, "mode": "full",
                    "unit": 512}
            launch, = [l for l in model.fit_launches(case) if l["kernel"].startswith("Second_T")]
            kernel = {"loops": [{"head": 0, "tail": 0x10, "innermost": True, "own": diagonal},
                                {"head": 0x20, "tail": 0x80, "innermost": True, "own": apart}]}
            pipes = model.launch_time({launch["kernel"]: kernel}, launch, self.sources.name,
                                      "H100")[3]
            stores = 8 * 8 * slabs  # a block's warps' passes
            self.assertAlmostEqual(pipes["shared"] * model.CLOCK,
                                   side * stores * (2 + 2) + (tri - side) * stores * 4, msg=f"dim {dim}")


def diagonal_source(root, lines):
    """A stand-in engine/diagonal.cu of these lines, for selectors that read
    the source's text."""
    os.makedirs(os.path.join(root, "engine"))
    with open(os.path.join(root, "engine", "diagonal.cu"), "w") as f:
        f.write("\n".join(lines) + "\n")


class DiagonalTile(unittest.TestCase):
    """Log_Diagonal_Kernel<false> inlines its sweep twice: the logP sweep
    and the posteriors', whose coordinate-tile loop is the smaller copy and
    never runs for logP alone. Up to dim 32 the tile branches around
    Load_Points, some of whose code sits on the caller's lines. Each tile
    holds its loop of FMAs, 16 a pass for a step at a time."""

    def test_the_logp_sweeps_tile_is_counted_and_resident_only_what_runs(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "engine"))
            lines = ["v[c] = fma(-0.5, acc[s][r][c], lw[c]);",
                     "} while (d0 < dim);",
                     "const bool resident = a.m.dim <= kDimTile;",
                     "for (int q = 0; q < kStaged; ++q) {", "sh.r[p + r * kLanes][c] = 0.0;",
                     "acc[s][r][c] = fma(y, y, acc[s][r][c]);"]
            with open(os.path.join(root, "engine", "diagonal.cu"), "w") as f:
                f.write("\n".join(lines) + "\n")
            ins = lambda line, n: [{"file": "diagonal.cu", "line": line, "opcode": "IMAD",
                                    "text": "IMAD"}] * n
            tile = ins(2, 3) + ins(3, 2) + ins(4, 7)  # 7: Load_Points' set-up, line 4's
            fmas = [{"file": "diagonal.cu", "line": 6, "opcode": "DFMA", "text": "DFMA"}] * 16
            posteriors = [{"head": 0x1000, "tail": 0x1500, "innermost": False, "own": ins(5, 1)},
                          {"head": 0x1100, "tail": 0x1400, "innermost": False, "own": ins(2, 4)},
                          {"head": 0x1200, "tail": 0x1300, "innermost": True, "own": fmas}]
            passes = [{"head": 0x100, "tail": 0x900, "innermost": False, "own": ins(1, 1)},
                      {"head": 0x200, "tail": 0x800, "innermost": False, "own": tile},
                      {"head": 0x300, "tail": 0x400, "innermost": True, "own": fmas}] + posteriors
            # Up to 16 clusters the kernel makes one pass, not a loop: its
            # logP sweep's tile is the first copy.
            one = passes[1:]
            for dim, K, kept, loops, counted, sweeps in ((32, 32, 3 + 2, passes, {0x100, 0x200, 0x300}, 2),
                                                         (32, 16, 3 + 2, one, {0x200, 0x300}, 1),
                                                         (60, 16, 3 + 2 + 7, one, {0x200, 0x300}, 1)):
                case = {"name": "t", "N": 128 * model.SMS, "dim": dim, "K": K, "mode": "diagonal"}
                launch, = model.log_launches(case)
                found = model.launch_time({launch["kernel"]: {"loops": loops}}, launch, root, "H100")
                self.assertEqual(found[-1][1], counted, msg=f"dim {dim}, K {K}")
                # Sweeps of 16 clusters, 4 warps, ceil(dim / 32) tiles a
                # sweep; the pass loop's one instruction a sweep, and the FMAs.
                tiles = 4 * -(-dim // 32) * sweeps
                step_loop = 4 * sweeps if loops is passes else 0
                self.assertAlmostEqual(found[3]["issue"] * model.CLOCK * 4,
                                       tiles * kept + step_loop + 4 * dim * 16 * sweeps, msg=f"dim {dim}, K {K}")

    def test_a_blocks_code_outside_the_loops_counts_once_a_warp(self):
        # The merge into logP runs once a block, outside every loop: its
        # lines count, each warp's once; the loops' code and the points'
        # staging for points as rows (which no case takes) do not.
        with tempfile.TemporaryDirectory() as root:
            diagonal_source(root, ["a.out.log_p[j0 + t] = shift.Log_P();", "const bool in = j0 + p < a.x.count;",
                                   "acc[s][r][c] = fma(y, y, acc[s][r][c]);"])
            code = [{"file": f, "line": line, "opcode": op, "text": op, "offset": 16 * n}
                    for n, (f, line, op) in enumerate(
                        [("diagonal.cu", 1, "DFMA")] * 3 + [("diagonal.cu", 2, "IMAD")] * 5 +
                        [("diagonal.cu", 3, "DFMA")] * 16 + [("other.h", 1, "IMAD")] * 7)]
            loop = {"head": 8 * 16, "tail": 24 * 16, "innermost": True, "own": code[8:24]}
            kernel = {"instructions": code, "loops": [loop]}
            found = model.select_loop(kernel, model.DIAG_BLOCK, root)
            self.assertEqual(found[1], code[:3])
            case = {"name": "t", "N": 128 * model.SMS, "dim": 32, "K": 16, "mode": "diagonal"}
            launch, = model.log_launches(case)
            launch["items"] = [item for item in launch["items"] if item[0] is model.DIAG_BLOCK]
            got = model.launch_time({launch["kernel"]: kernel}, launch, root, "H100")
            self.assertAlmostEqual(got[3]["FP64"] * model.CLOCK, 4 * 3 * 2 / model.SUB_PARTITIONS)
            # A launch that names none of the code outside its loops counts
            # all of it, every file's (other.h's IMADs too), each warp's once.
            bare = {"kernel": launch["kernel"], "blocks": model.SMS, "threads": 64, "dram": 0, "items": []}
            got = model.launch_time({launch["kernel"]: kernel}, bare, root, "H100")
            self.assertAlmostEqual(got[3]["issue"] * model.CLOCK, 2 * (3 + 5 + 7) / model.SUB_PARTITIONS)
            kernel["instructions"] = code[3:]  # no line of the merge's
            self.assertIsNone(model.select_loop(kernel, model.DIAG_BLOCK, root))

    def test_the_posteriors_code_past_logps_return_is_not_the_blocks(self):
        # Log_Diagonal_Kernel<false, ...> goes on to the posteriors where R
        # is asked for; VelmoraLog's cases take logP alone and leave at the
        # return, so the set-up past its EXIT (outside every loop too) does
        # not count. A kernel without that EXIT (the raw terms') keeps all.
        with tempfile.TemporaryDirectory() as root:
            diagonal_source(root, ["a.out.log_p[j0 + t] = shift.Log_P();", "if (kRawTerms || a.out.R == nullptr) return;",
                                   "const bool by_cluster = a.out.cluster_stride == 1;"])
            code = [{"file": "diagonal.cu", "line": line, "opcode": op, "text": op, "offset": 16 * n}
                    for n, (line, op) in enumerate([(1, "STS")] * 2 + [(2, "ISETP"), (2, "EXIT")] +
                                                   [(3, "IMAD")] * 9 + [(3, "EXIT")])]
            found = model.select_loop({"instructions": code, "loops": []}, model.DIAG_BLOCK, root)
            self.assertEqual(found[1], code[:4])
            raw = [i for i in code if not (i["line"] == 2 and i["opcode"] == "EXIT")]
            found = model.select_loop({"instructions": raw, "loops": []}, model.DIAG_BLOCK, root)
            self.assertEqual(found[1], raw)

    def test_two_steps_at_once_count_the_copy_whose_fmas_take_both(self):
        # Log_Diagonal_Kernel<., 2> inlines its sweep twice in the pass
        # loop: two steps at once (32 FMAs a pass) and an odd last step
        # alone (16), side by side; the case's passes are the first's.
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "engine"))
            lines = ["v[c] = fma(-0.5, acc[s][r][c], lw[c]);",
                     "} while (d0 < dim);",
                     "acc[s][r][c] = fma(y, y, acc[s][r][c]);", model.DIAG_POINTS["text"]]
            with open(os.path.join(root, "engine", "diagonal.cu"), "w") as f:
                f.write("\n".join(lines) + "\n")
            with open(os.path.join(root, "engine", "staging.h"), "w") as f:
                f.write(model.ASYNC_COPY_LINE + "\n")
            at = lambda line, op, n, file="diagonal.cu": [{"file": file, "line": line, "opcode": op, "text": op}] * n
            # A copy of the points into shared memory: its address on the
            # caller's line, the copy on staging.h's.
            copies = lambda n: (at(4, "IMAD", 1) + at(1, "LDGSTS", 1, "staging.h")) * n
            # Each tile stages the points; so does the resident load before
            # the pass loop, which the larger copy of the staging is here.
            loops = [{"head": 0x10, "tail": 0x80, "innermost": True, "own": copies(8)},
                     {"head": 0x100, "tail": 0x900, "innermost": False, "own": at(1, "DADD", 1)},
                     {"head": 0x200, "tail": 0x400, "innermost": False, "own": at(2, "IMAD", 5)},
                     {"head": 0x210, "tail": 0x280, "innermost": True, "own": copies(4)},
                     {"head": 0x300, "tail": 0x380, "innermost": True, "own": at(3, "DFMA", 16)},
                     {"head": 0x500, "tail": 0x800, "innermost": False, "own": at(2, "IMAD", 6)},
                     {"head": 0x510, "tail": 0x580, "innermost": True, "own": copies(4)},
                     {"head": 0x600, "tail": 0x700, "innermost": True, "own": at(3, "DFMA", 32)}]
            kernel = {"loops": loops}
            for steps, tile, points in ((1, 0x200, 0x210), (2, 0x500, 0x510)):
                loop, _, _ = model.select_loop(kernel, model.diag_tile(steps), root)
                self.assertEqual(loop["head"], tile, f"{steps} steps")
                loop, _, _ = model.select_loop(kernel, model.diag_points(steps), root)
                self.assertEqual(loop["head"], points, f"{steps} steps")
            loop, _, unroll = model.select_loop(kernel, model.DIAG_FMA, root)
            self.assertEqual((loop["head"], unroll), (0x600, 2))


class ClustersOfAUnit(unittest.TestCase):
    """Up to dim 32, from 8 clusters on, the fit's second moments take a
    block for eight clusters of a unit, a warp each, every step of a slab:
    Second_Clusters_Kernel<TS>, its slabs 128 points (256 at TS 8)."""

    def test_a_warp_takes_every_step_of_its_cluster(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "engine"))
            texts = ["bv[q] = b_at[at + 8 * q] - mu[q];",
                     "Copy_To_Shared(&sh.x[p * S::kStride + l], x, p < in_slab && l_in);",
                     "sh.rs[p][cw] = p < in_slab && k0 + cw < a.K ? 1 : 0;", model.SECOND_SLAB_TEXT]
            with open(os.path.join(root, "engine", "statistics.cu"), "w") as f:
                f.write("\n".join(texts) + "\n")
            with open(os.path.join(root, "engine", "tensor.h"), "w") as f:
                f.write(model.MMA_LINE + "\n")
            with open(os.path.join(root, "engine", "staging.h"), "w") as f:
                f.write(model.ASYNC_COPY_LINE + "\n")
            ins = lambda file, line, op: {"file": file, "line": line, "opcode": op, "text": op}
            mma = 256 / model.TENSOR_LANES / model.SUB_PARTITIONS
            for dim, ts, points in ((32, 32, 128), (8, 8, 256)):
                tiles = (ts // 8) * (ts // 8 + 1) // 2
                step = [ins("statistics.cu", 1, "LDS.64")] * (ts // 8) + [ins("tensor.h", 1, "DMMA.8x8x4")] * tiles
                kernel = {"loops": [
                    {"head": 0x100, "tail": 0x900, "innermost": False, "own": [ins("statistics.cu", 4, "IMAD")]},
                    {"head": 0x200, "tail": 0x280, "innermost": True, "own": step},
                    {"head": 0x300, "tail": 0x380, "innermost": True, "own": [ins("statistics.cu", 2, "IADD3"), ins("staging.h", 1, "LDGSTS")]},
                    {"head": 0x400, "tail": 0x480, "innermost": True, "own": [ins("statistics.cu", 3, "STS.64")]}]}
                case = {"name": "t", "N": 512 * model.SMS, "dim": dim, "K": 16, "mode": "full", "unit": 512}
                launches = model.fit_launches(case)
                launch = launches[-1]
                self.assertEqual(launch["kernel"], f"Second_Clusters_KernelILi{ts}E")
                # It takes the weights and sums too: X and R cross HBM once less.
                self.assertFalse(any(l["kernel"].startswith("Moments") for l in launches))
                self.assertEqual(launch["blocks"], 2 * model.SMS)  # two groups of eight a unit
                pipes = model.launch_time({launch["kernel"]: kernel}, launch, root, "H100")[3]
                # Two blocks an SM, 8 warps, every step of the unit's slabs.
                steps = 2 * 8 * 512 // 4
                self.assertAlmostEqual(pipes["tensor"] * model.CLOCK, steps * tiles * mma, msg=f"dim {dim}")
                slabs = 2 * 8 * 512 // points
                self.assertAlmostEqual(pipes["issue"] * model.CLOCK * 4,
                                       steps * len(step) + slabs * (1 + 2 * points * ts // 256 + 8 * points // 256),
                                       msg=f"dim {dim}")
            # Below 8 clusters a block keeps one cluster.
            case.update(K=7)
            launches = model.fit_launches(case)
            self.assertTrue(launches[-1]["kernel"].startswith("Second_Tensor"))
            self.assertTrue(launches[-2]["kernel"].startswith("Moments"))


class FusedDiagonal(unittest.TestCase):
    """Diagonal mode from 17 to 32 coordinates and up to 16 clusters: one
    kernel a unit, walking it 128 points at a time, X read once."""

    def test_a_unit_is_four_slices_and_nothing_but_x_crosses_hbm(self):
        case = {"name": "t", "N": 10**6, "dim": 32, "K": 16, "mode": "diagonal", "unit": 512,
                "fused": True}
        (launch,) = model.fit_launches(case)
        self.assertEqual((launch["kernel"], launch["blocks"], launch["threads"]),
                         ("Fused_Diagonal_KernelILb0E", 1954, 128))
        self.assertEqual(launch["dram"], 10**6 * 32 * 8)
        passes = {(sel["text"], sel["copy"]): n for sel, n in launch["items"]}
        # Per slice: 32 coordinates of FMAs on 4 warps, then each half's 64
        # points on 4 warps, a loop each; thread 0's warp a pass a point.
        self.assertEqual(passes[(model.DIAG_FMA["text"], None)], 4 * 32 * 4)
        for half in (0, 1):
            self.assertEqual(passes[("sq[c] = fma(w, dx, sq[c]);", half)], 4 * 4 * 64)
        self.assertEqual(passes[(model.FUSED_DIAG_LIKELIHOOD["text"], None)], 4 * 128)
        del case["fused"]  # the separate kernels: the terms leave for the moments kernel
        self.assertEqual([l["kernel"] for l in model.fit_launches(case)],
                         ["Log_Diagonal_KernelILb1ELi1ELb1E", "Moments_KernelILi1ELb1E"])


class SelectorsInTheSources(unittest.TestCase):
    """A selector's line filter matches source lines by their text, so a
    text the kernels no longer hold silently keeps (or drops) its lines:
    every filter text must still be in the engine's sources."""

    def test_every_line_filter_text_is_in_its_files(self):
        engine = os.path.join(os.path.dirname(HERE), "engine")
        selectors = [v for v in vars(model).values() if isinstance(v, dict) and v.get("lines")]
        self.assertGreater(len(selectors), 0)
        for selector in selectors:
            files = selector["file"] or ()
            files = (files,) if isinstance(files, str) else files
            text = ""
            for name in files:
                if os.path.exists(os.path.join(engine, name)):
                    with open(os.path.join(engine, name)) as f:
                        text += f.read()
            for line in selector["lines"][1]:
                self.assertTrue(line in text, f"{line!r} (selector {selector['text']!r}) is in "
                                              f"none of {files}")


    def test_every_cases_selector_text_is_in_the_sources(self):
        # A text the kernels no longer hold leaves its loop out of the case
        # (the report only lists it), so every case's selectors must find
        # their text in the engine's sources.
        engine = os.path.join(os.path.dirname(HERE), "engine")
        text = ""
        for name in sorted(os.listdir(engine)):
            if name.endswith((".cu", ".h")):
                with open(os.path.join(engine, name)) as f:
                    text += f.read()
        launches = [l for c in model.LOG_CASES for l in model.log_launches(c)]
        launches += [l for c in model.FIT_CASES for l in model.fit_launches(c)]
        for case in ({"N": 10**6, "dim": 8, "K": 40, "mode": "full"},
                     {"N": 10**6, "dim": 40, "K": 40, "mode": "full"}):  # the other posteriors' paths
            launches += model.log_launches(case, fit_e_step=True)
        selectors = [sel for l in launches for sel, _ in l["items"]]
        self.assertGreater(len(selectors), 40)
        for sel in selectors:
            self.assertTrue(sel["text"] in text, f"{sel['text']!r} is in no engine source")
            if sel.get("without"):  # else every copy would pass the filter
                self.assertTrue(sel["without"] in text, f"{sel['without']!r} is in no engine source")
            if sel.get("until"):  # else the code past the return would count
                self.assertTrue(sel["until"] in text, f"{sel['until']!r} is in no engine source")

    def test_every_layouts_line_is_in_its_file_and_the_staged_rows_are_the_kernels(self):
        # A layout whose line the kernels no longer hold leaves that access
        # taken as conflict-free, without a word; and the D 8 staged row's
        # places are copied from statistics.cu.
        engine = os.path.join(os.path.dirname(HERE), "engine")
        sources = {}
        for file, text, _, _ in model.LAYOUTS:
            if file not in sources:
                with open(os.path.join(engine, file)) as f:
                    sources[file] = f.read()
            self.assertTrue(text in sources[file], f"{text!r} is not in {file}")
        d8 = sources["statistics.cu"].split("struct Fused_Tensor<8> {")[1].split("\n};")[0]
        tile0 = int(re.search(r"Nibble\(tile == 0 \? (0x[0-9a-f]+)u", d8).group(1), 16)
        self.assertEqual([(tile0 >> 4 * g) & 15 for g in range(8)], list(model._STAGED_8))
        self.assertIn("kStride = 12;", d8)
        # The tensor kernel's loads and stores of the staged rows, by the
        # strides and the skew the kernel stages them at: a stride or a skew
        # changed in statistics.cu alone would leave the bank figures those
        # of the old rows.
        text = sources["statistics.cu"]
        skew = "return p * Fused_Tensor<D>::kStride + p / 4;"  # model._tensor_row
        self.assertTrue(skew in text, f"Tensor_Row is no longer {skew!r}")
        rows = {d: text.split(f"struct Fused_Tensor<{d}> {{")[1].split("\n};")[0] for d in (8, 16)}
        stride = {d: int(re.search(r"kStride = (\d+);", rows[d]).group(1)) for d in rows}
        place = {8: model._STAGED_8, 16: range(8)}
        def layout(line, d):
            return next(lanes for file, t, pattern, lanes in model.LAYOUTS
                        if file == "statistics.cu" and line in t and pattern == f"Fused_KernelILi{d}E")
        for d in (8, 16):
            load = layout("x[t] = *x_at[t];", d)
            store = layout("row[L::X_Entry(i)] = x[i];", d)
            for t in range(256):
                self.assertEqual(load(t, 8) - store(0, 8),
                                 8 * (model._tensor_row(stride[d], t % 4) + place[d][t % 32 // 4]), (d, t))
                self.assertEqual(store(t, 8) - store(0, 8), 8 * model._tensor_row(stride[d], t), (d, t))


class FitPosteriors(unittest.TestCase):
    """A fit's full-mode E-step writes posteriors, VelmoraLog's benchmark
    cases do not: the fit counts them (one group: the full kernel's
    Write_Group, a thread an entry a pass; several: Log_Combine_Kernel, a
    thread a point and cluster; up to 16 coordinates and clusters the small
    kernel's kept terms), logP alone does not. Its R is K x N, so the write
    loops counted are the copies that step along clusters, not the larger
    ones along points that nvcc places before them."""

    def test_the_fits_e_step_counts_its_posteriors(self):
        with tempfile.TemporaryDirectory() as tmp:
            os.makedirs(os.path.join(tmp, "engine"))
            with open(os.path.join(tmp, "engine", "full.cu"), "w") as f:
                f.write("\n".join(sel["text"] for sel in (model.WRITE_GROUP, model.COMBINE_POSTERIORS,
                                                           model.SMALL_POSTERIORS, model.SMALL_WRITE)) + "\n")
            ins = lambda line, op: {"file": "full.cu", "line": line, "opcode": op, "text": op}

            def issue(launch, *copies):
                # Each copy a loop of its own, in address order.
                kernel = {"loops": [{"head": 32 * n, "tail": 32 * n + 16, "innermost": True, "own": own}
                                    for n, own in enumerate(copies)]}
                found = model.launch_time({launch["kernel"]: kernel}, launch, tmp, "H100")
                return found[3]["issue"] * model.CLOCK

            store = [ins(1, "STG.E.64")]
            # Write_Group's copies: along points raw, along points normalising, along clusters.
            group = ([ins(1, "IMAD")] * 5 + store, [ins(1, "DADD")] + [ins(1, "IMAD")] * 12 + store,
                     [ins(1, "DADD")] + [ins(1, "IMAD")] * 8 + store)
            case = {"name": "t", "N": 128 * model.SMS, "dim": 32, "K": 16, "mode": "full"}
            self.assertEqual(issue(model.log_launches(case)[0], *group), 0)
            # The resident kernel's 128 points by 16 clusters, 32 lanes a
            # pass: 64 passes of 10.
            self.assertAlmostEqual(issue(model.log_launches(case, fit_e_step=True)[0], *group), 64 * 10 / 4)
            # 40 clusters: Log_Combine_Kernel, 8 warps of 256 points a block, 40 passes each.
            case.update(N=256 * model.SMS, K=40)
            combine = model.log_launches(case, fit_e_step=True)[-1]
            self.assertEqual(combine["kernel"], "Log_Combine_Kernel")
            self.assertAlmostEqual(issue(combine, [ins(2, "DADD")] + [ins(2, "IMAD")] * 9 + [ins(2, "STG.E.64")]),
                                   8 * 40 * 11 / 4)
            # dim 8, 8 clusters: each of 4 warps normalises 8 terms, two a pass
            # (12 instructions), then writes 128 points by 8 clusters, 32 lanes
            # a pass, along clusters (10 instructions; along points 14).
            case.update(N=128 * model.SMS, dim=8, K=8)
            small = model.log_launches(case, fit_e_step=True)[0]
            self.assertAlmostEqual(issue(small, [ins(3, "DADD")] * 2 + [ins(3, "STS.64")] * 2 +
                                         [ins(3, "IMAD")] * 7 + store,
                                         [ins(4, "IMAD")] * 13 + store, [ins(4, "IMAD")] * 9 + store),
                                   (4 * 8 / 2 * 12 + 4 * 8 * 10) / 4)


@unittest.skipUnless(report.find_tool("nvcc") and report.find_tool("nvdisasm"),
                     "nvcc or nvdisasm not found")
class LocalMemory(unittest.TestCase):
    def local_in_loops(self, defines):
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "planted.cu")
            with open(src, "w") as f:
                f.write(PLANTED)
            cubin = os.path.join(tmp, "planted.cubin")
            subprocess.run([report.find_tool("nvcc")] + report.NVCC_FLAGS[:-2] + defines +
                           [src, "-o", cubin], check=True, capture_output=True)
            functions, labels = report.disassemble(report.find_tool("nvdisasm"), cubin)
        (name, instructions), = functions.items()
        loops = report.find_loops(instructions, labels[name])
        return sum(1 for lp in loops
                   for i in report.loop_body(instructions, loops, lp, exclusive=True)
                   if i["opcode"].split(".")[0] in model.LOCAL_OPS)

    def test_a_stack_array_in_a_loop_is_found(self):
        self.assertGreater(self.local_in_loops(["-DSTACK"]), 0)

    def test_registers_alone_pass(self):
        self.assertEqual(self.local_in_loops([]), 0)


if __name__ == "__main__":
    unittest.main()
