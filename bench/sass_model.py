"""The machine model behind bench/sass_report: Hopper's pipes, the kernels'
shared-memory layouts, and the benchmark cases as launches of the kernels.

Everything here is a model of an H100 / H200 SXM (GH100, compute capability
9.0), from NVIDIA's published figures: the CUDA C++ Programming Guide's
table of arithmetic instruction throughput for compute capability 9.0, and
the H100 / H200 data sheets. Nothing here has been measured on a GPU.
"""
import math
import os
import re

# --- the machine -----------------------------------------------------------------

SMS = 132
CLOCK = 1.98e9            # Hz, the SXM parts' boost clock
SUB_PARTITIONS = 4        # per SM, each issuing 1 warp instruction per clock
FP64_PER_SM = 64          # FP64 add/multiply/FMA results per clock per SM (guide, cc 9.0)
TENSOR_FP64_PER_SM = 128  # FP64 FMAs per clock per SM on the tensor cores (67 TFLOP/s)
SHARED_BYTES = 128        # per clock per SM: 32 banks of 4 bytes, one wavefront a clock
# Global loads and stores return or send their data through the same L1 data
# path as shared memory (L1 and shared memory are one array on Hopper), 128
# bytes a clock per SM: a warp's request takes its bytes / 128 wavefronts,
# whether it hits in L1 or not. Taken as coalesced (a strided request that
# touches more sectors costs more: this errs low).
# A copy from global to shared memory (LDGSTS, cp.async) takes the path once,
# as its data land: no register, no store.
GLOBAL_OPS = {"LDG", "STG", "LDGSTS"}
DRAM = {"H100": 3.35e12, "H200": 4.8e12}  # bytes/s, data-sheet peaks
DRAM_EFFICIENCY = 0.85    # of the peak that a streaming kernel reaches (assumed)
# Every global load and store moves its bytes between the SMs and L2, hit
# or miss in HBM: a block that stages the same data again (a cluster's W,
# or the points once per cluster) pays it each time. GH100's L2 serves
# about 5.5 TB/s to the SMs (assumed: NVIDIA publishes no figure; the
# H100 and H200 share the die). Loads taken as missing in L1, which errs
# high where a block reads the same line twice.
L2_BYTES_S = 5.5e12
LAUNCH_S = 3e-6           # a launch's fixed cost on the device, back to back (assumed)
REGISTERS_PER_SM = 65536
REGISTER_UNIT = 256       # registers are allocated per warp in units of 256
SHARED_PER_SM = 233472    # 228 KB, of which a block may have 227 KB
SHARED_RESERVED = 1024    # per block, by the runtime
MAX_WARPS, MAX_BLOCKS = 64, 32

# A warp's FP64 instruction holds its sub-partition's FP64 pipe for
# 32 / (64 / 4) = 2 clocks; an FP64 MMA holds the tensor pipe for its
# FMAs / (128 / 4) clocks. Issue: 1 clock per instruction.
FP64_CLOCKS = 32 / (FP64_PER_SM / SUB_PARTITIONS)
TENSOR_LANES = TENSOR_FP64_PER_SM / SUB_PARTITIONS

FP64_OPS = {"DFMA", "DADD", "DMUL", "DSETP", "DMNMX"}
MMA_FMAS = {"DMMA.884": 256, "DMMA.16816": 2048, "DMMA.1684": 512, "DMMA.1688": 1024}
SHARED_OPS = {"LDS", "STS", "LDSM", "ATOMS"}
LOCAL_OPS = {"LDL", "STL"}


def occupancy(threads, registers, smem):
    """Blocks and warps resident per SM, and what limits them."""
    warps = math.ceil(threads / 32)
    per_warp = math.ceil(max(registers, 1) * 32 / REGISTER_UNIT) * REGISTER_UNIT
    limits = {"warps": MAX_WARPS // warps, "blocks": MAX_BLOCKS,
              "registers": REGISTERS_PER_SM // (per_warp * warps),
              "shared memory": SHARED_PER_SM // (smem + SHARED_RESERVED) if smem else MAX_BLOCKS}
    blocks = min(limits.values())
    return {"blocks": blocks, "warps": blocks * warps, "fraction": blocks * warps / MAX_WARPS,
            "limit": min(limits, key=limits.get)}


# --- shared-memory layouts -------------------------------------------------------
#
# A warp's shared access, as byte addresses per lane, from the layouts in the
# sources (struct members in order, doubles of 8 bytes). The bank model:
# each of the 32 banks returns one 4-byte word a clock; lanes that read the
# same word share it; a request takes as many wavefronts as the busiest bank
# has distinct words. Where the hardware splits 64- and 128-bit requests
# into phases of 16 or 8 lanes whatever the addresses (not documented for
# broadcasts), a request takes at least 2 or 4: the report's upper figure.

def wavefronts(addresses, width):
    words = {}
    for a in addresses:
        for w in range(a // 4, (a + width) // 4):
            words.setdefault(w % 32, set()).add(w)
    return max(len(v) for v in words.values())


def phased(width):
    return {4: 1, 8: 2, 16: 4}.get(width, 1)


def _diagonal_xs(t, width):  # Diagonal_Shared::xs[32][129], xs[row + i][p + r 32], p = t % 32
    return (t % 32) * 8


# params after xs, double2: one[4][4][16] ([g][c][i]) or two[8][4][8] ([s 4 + g][c][i]), g = t / 32
def _diagonal_params(t, width):
    return 32 * 129 * 8 + (t // 32) * 4 * 16 * 16


def _fused_diagonal_x(t, width):  # xs[32][129]: xs[p][q], lane p a coordinate
    return (t % 32) * 129 * 8


def _full_w(tm):  # ws.w[32][16 TM] after d[32][66]: w[l][ty TM + r], ty = warp / 2 * 4 + lane / 8
    return lambda t, width: 32 * 66 * 8 + ((t // 32) // 2 * 4 + (t % 32) // 8) * tm * 8


def _full_d(t, width):  # d[32][66]: d[l][Point_Of(tx, c)], pairs 2 tx, tx = warp % 2 * 8 + lane % 8
    return ((t // 32) % 2 * 8 + t % 8) * 2 * 8


def _tensor_a(nt, base):  # w[l kW + i] after `base` doubles: A[g][c] at w[c kW + g], kW = 8 NT + 8
    return lambda t, width: (base + (t % 4) * (8 * nt + 8) + (t % 32) // 4) * 8


def _tensor_b(t, width):  # x[l + p 36] (points as columns): B[c][g] at d[c + (16 warp + g) 36]
    return ((t % 4) + (16 * (t // 32) + (t % 32) // 4) * 36) * 8


def _tensor_mu(t, width):  # mu[32]: mu[l + c], c = lane % 4
    return (t % 4) * 8


def _tensor_q(tiles):  # q[8][136]: a lane's pair of chains at q[g][8 tiles warp + 8 pt + 2 c]
    return lambda t, width: ((t % 32) // 4 * 136 + 8 * tiles * (t // 32) + 2 * (t % 4)) * 8


def _second_tensor(stride):  # stage.a/b[p stride + l]: A[g][c] at c stride + g
    return lambda t, width: ((t % 4) * stride + (t % 32) // 4) * 8


def second_stride(ts):
    """Second_Tensor<TS>::kStride, which Second_Clusters<TS> shares: a
    point's row 8 doubles past a multiple of 16."""
    return ts + 8 - ts % 16


def _second_tensor_r(t, width):  # rs[4 step + c]
    return (t % 4) * 8


def _second_clusters_r(t, width):  # rs[4 step + c][warp], 8 clusters a point
    return ((t % 4) * 8 + t // 32) * 8


def _broadcast(t, width):  # a tile entry every lane of a warp reads at once
    return 0


def _second_a(t, width):  # stage.a[slab][TS + 1]: a[p][ty + r kTT], ty = (t % 64) / 8 (TS 32, RT 4)
    return ((t % 64) // 8) * 8


def _second_b(t, width):  # stage.b[p][tx + c kTT], tx = t % 8
    return 64 * 33 * 8 + (t % 8) * 8


def _moments_x(t, width):  # xs[p x_pitch + c ti + ti]: 16 lanes along coordinates (dim 32)
    return (t % 16) * 8


def _moments_r(t, width):  # rs[p r_pitch + q tk + tk]: lanes 16 apart share a cluster
    return 4096 + ((t % 64) // 16) * 8


def _fused_r(t, width):  # r[128][17]: r[p][rk], rk = t / dim (dim 8)
    return (t // 8) * 8


def _fused_x(t, width):  # x[128][2 D + 1] (D 8): x[p][ra] and x[p][ra + b], ra = t % dim
    return 20000 + (t % 8) * 8


def _tensor_row(stride, p):  # Tensor_Row<D>(p): rows `stride` apart, one more every four points
    return p * stride + p // 4


def _fused_tensor(stride, entry=lambda g: g):  # x at Tensor_Row(4 step + c) + entry(g), lane 4g + c
    return lambda t, width: 20000 + (_tensor_row(stride, t % 4) + entry((t % 32) // 4)) * 8


def _fused_tensor_store(stride):  # the threads' stores of their points' entries: thread t, an entry
    return lambda t, width: 20000 + _tensor_row(stride, t) * 8


_STAGED_8 = (0, 4, 1, 2, 5, 6, 3, 7)  # Fused_Tensor<8>::Tile_Entry(0, g)


def _fused_tensor_r(t, width):  # r[128][17]: r[4 step + c][warp + W q]
    return ((t % 4) * 17 + t // 32) * 8


def _fused_chain_x(t, width):  # x[128][20] (D 16): x[4 step + c][i], lane 16 h + i
    return 20000 + (t % 16) * 8


def _fused_chain_r(t, width):  # r[128][17]: r[4 step + c][warp + 8 h], lane 16 h + i
    return ((t // 32) + 8 * ((t % 32) // 16)) * 8


# (file, text of the source line, kernel pattern) -> lane addresses. Lines
# not listed are taken as conflict-free, and the report says so.
LAYOUTS = [
    ("diagonal.cu", "sh.xs[row + i][p + r * kLanes]", "Log_Diagonal", _diagonal_xs),
    ("diagonal.cu", "Param<kSteps>(sh, s * kGroups + g, c, i)", "Log_Diagonal", _diagonal_params),
    ("diagonal.cu", "sh.xs[row + i][p + r * kLanes]", "Fused_Diagonal", _diagonal_xs),
    ("diagonal.cu", "Param<kSteps>(sh, s * kGroups + g, c, i)", "Fused_Diagonal", _diagonal_params),
    ("diagonal.cu", "const double x = sh.xs[p][q];", "Fused_Diagonal", _fused_diagonal_x),
    ("diagonal.cu", "sh.rs[q - from][k0 + c]", "Fused_Diagonal", _broadcast),
    ("full.cu", "sh.ws.w[l][ty * TM + r]", "Log_Full_KernelILi2", _full_w(2)),
    ("full.cu", "sh.ws.w[l][ty * TM + r]", "Log_Full_KernelILi4", _full_w(4)),
    ("full.cu", "sh.d[l][Point_Of(tx, c)]", "Log_Full_Kernel", _full_d),
    ("full.cu", "const double w = a_at[4 * s * kW + 8 * r]", "Log_Full_Resident", _tensor_a(4, 0)),
    ("full.cu", "const double centre = sh.mu[4 * s + c]", "Log_Full_Resident", _tensor_mu),
    ("full.cu", "const double w = a_at[l * kW + 8 * r]", "Log_Full_Tensor_KernelILi8", _tensor_a(8, 2 * 128 * 36)),  # after x
    ("full.cu", "b_at[(l / 4) * b_step", "Log_Full_Tensor", _tensor_b),
    ("full.cu", "const double centre = mu[l + c]", "Log_Full_Tensor", _tensor_mu),
    ("full.cu", "sh.q[g][8 * PT * warp + 8 * pt + 2 * c + e]", "Log_Full_Tensor", _tensor_q(2)),
    ("full.cu", "sh.q[g][8 * PT * warp + 8 * pt + 2 * c + e]", "Log_Full_Resident", _tensor_q(4)),
    ("small_dims.h", "", "Log_Small", _broadcast),
    ("small_dims.h", "", "Fused_Kernel", _broadcast),
    ("statistics.cu", "sh.stage.a[p][ty + r * kTT]", "Second_KernelILi32", _second_a),
    *[("statistics.cu", text, f"Second_Tensor_KernelILi{ts}E", _second_tensor(second_stride(ts)))
      for ts in (8, 16, 32, 64) for text in ("bv[q] = b_at[at + 8 * q]", "a_at[at + 8 * Second_Row<TS>(i, P)]")],
    ("statistics.cu", "const double r = rs[4 * step + c]", "Second_Tensor", _second_tensor_r),
    # Second_Clusters<TS>: a warp a cluster.
    *[("statistics.cu", "bv[q] = b_at[at + 8 * q] - mu[q]", f"Second_Clusters_KernelILi{ts}E",
       _second_tensor(second_stride(ts))) for ts in (8, 16, 32)],
    ("statistics.cu", "const double r = rs[(4 * step + c) * S::kClusters]", "Second_Clusters",
     _second_clusters_r),
    ("statistics.cu", "sh.stage.b[p][tx + c * kTT]", "Second_KernelILi32", _second_b),
    ("statistics.cu", "xs[p * x_pitch + c * a.ti + ti]", "Moments", _moments_x),
    ("statistics.cu", "rs[p * r_pitch + q * a.tk + tk]", "Moments", _moments_r),
    ("statistics.cu", "sh.r[p][rk]", "Fused_Kernel", _fused_r),
    ("statistics.cu", "sh.x[p][ra]", "Fused_Kernel", _fused_x),
    # A row's columns from its own: the cyclic rows up to D 8, the whole
    # row (a column for every lane) at 16.
    *[("statistics.cu", "sh.x[p][kCyclic ? ra + b : b]", f"Fused_KernelILi{d}E", _fused_x) for d in (4, 8)],
    ("statistics.cu", "sh.x[p][kCyclic ? ra + b : b]", "Fused_KernelILi16E", _broadcast),
    # On the tensor cores: a step's four points, and their posteriors. At D
    # 8 a lane's entry of each tile takes the first tile's pattern: every
    # tile's loads take 2 wavefronts, by their own entries too.
    ("statistics.cu", "x[t] = *x_at[t];", "Fused_KernelILi8E", _fused_tensor(12, lambda g: _STAGED_8[g])),
    ("statistics.cu", "x[t] = *x_at[t];", "Fused_KernelILi16E", _fused_tensor(20)),
    *[("statistics.cu", "for (int i = 0; i < D; ++i) row[L::X_Entry(i)] = x[i];", f"Fused_KernelILi{d}E",
       _fused_tensor_store(stride)) for d, stride in ((8, 12), (16, 20))],
    ("statistics.cu", "const double r = *r_at[q];", "Fused_Kernel", _fused_tensor_r),
    ("statistics.cu", "const double r = chain.r[c * (kTileClusters + 1)];", "Fused_Kernel", _fused_chain_r),
    ("statistics.cu", "chain.s = fma(r, chain.x[Tensor_Row<D>(c)] - chain.centre, chain.s);", "Fused_Kernel",
     _fused_chain_x),
]

WIDTH = {"": 4, "32": 4, "64": 8, "128": 16, "U8": 1, "S8": 1, "U16": 2, "S16": 2}


def access_width(ins):
    m = re.match(r"(?:LDS|STS)(?:\.U)?(?:\.(\w+))?", ins["opcode"])
    return WIDTH.get(m.group(1) or "", 4) if m else 4


def distinct_wavefronts(addresses, width):
    """What the distinct words alone need: 32 words a wavefront."""
    words = {w for a in addresses for w in range(a // 4, (a + width) // 4)}
    return math.ceil(len(words) / 32)


def shared_cost(kernel, ins, source_line):
    """(wavefronts by the bank model, phased upper figure, whether the
    layout is known, the wavefronts its distinct words alone would need)"""
    width = access_width(ins)
    for file, text, pattern, lanes in LAYOUTS:
        if ins["file"] == file and text in source_line and pattern in kernel:
            warps = [[lanes(w * 32 + l, width) for l in range(32)] for w in range(8)]
            worst = max(wavefronts(a, width) for a in warps)
            ideal = max(distinct_wavefronts(a, width) for a in warps)
            return worst, max(worst, phased(width)), True, ideal
    ideal = max(1, width * 32 // SHARED_BYTES)
    return ideal, ideal, False, ideal


# --- loops ------------------------------------------------------------------------

def source_text(sources, file, line, cache={}):
    if (sources, file) not in cache:
        path = next((os.path.join(sources, d, file) for d in ("engine", "bench")
                     if os.path.exists(os.path.join(sources, d, file))), None)
        cache[sources, file] = open(path).read().splitlines() if path else []
    lines = cache[sources, file]
    return lines[line - 1] if 0 < line <= len(lines) else ""


def cost(kernel, instructions, sources):
    """Per pass through `instructions`, per warp: issue, FP64-pipe and
    tensor-pipe clocks of its sub-partition, wavefronts of the L1 / shared
    data path (shared accesses by the bank model and phased, global loads
    and stores by their bytes), local-memory instructions, and the shared
    accesses whose layout the model does not know."""
    c = {"issue": 0, "fp64": 0.0, "tensor": 0.0, "shared": 0, "shared_hi": 0, "local": 0,
         "fp64_ops": 0, "lds": 0, "global": 0, "global_bytes": 0, "underived": set(), "conflicts": []}
    for ins in instructions:
        op = ins["opcode"]
        base = op.split(".")[0]
        c["issue"] += 1
        if ins["text"].startswith("@!PT "):
            # Predicated on false: it issues and does nothing else (nvcc
            # sets three such LDS before each LDGSTS).
            continue
        if base in FP64_OPS:
            c["fp64"] += FP64_CLOCKS
            c["fp64_ops"] += 1
        elif base == "DMMA":
            c["tensor"] += MMA_FMAS.get(op, 256) / TENSOR_LANES
        elif base in SHARED_OPS:
            lo, hi, derived, ideal = shared_cost(kernel, ins,
                                                 source_text(sources, ins["file"], ins["line"]))
            c["shared"] += lo
            c["shared_hi"] += hi
            c["lds"] += 1
            if not derived:
                c["underived"].add(f"{ins['file']}:{ins['line']}")
            elif lo > ideal:
                c["conflicts"].append(f"{op} at {ins['file']}:{ins['line']}: {lo} wavefronts "
                                      f"where {ideal} would carry its data")
        elif base in LOCAL_OPS:
            c["local"] += 1
        elif base in GLOBAL_OPS:
            waves = max(1, global_width(op) * 32 // SHARED_BYTES)
            c["shared"] += waves
            c["shared_hi"] += waves
            c["global"] += 1
            c["global_bytes"] += global_width(op) * 32
    return c


def global_width(op):
    """Bytes a lane moves in a global load or store: LDG.E.64 8, .128 16."""
    m = re.search(r"\.(64|128|U8|S8|U16|S16)\b", op)
    return {"64": 8, "128": 16, "U8": 1, "S8": 1, "U16": 2, "S16": 2}.get(m.group(1) if m else "", 4)


def limiter(c):
    """Clocks per SM for one warp's pass on every sub-partition at once:
    the issue, FP64 and tensor pipes are per sub-partition, shared memory
    serves the SM's four."""
    pipes = {"issue": c["issue"], "FP64": c["fp64"], "tensor": c["tensor"],
             "shared": c["shared"] * SUB_PARTITIONS}
    name = max(pipes, key=pipes.get)
    return name, pipes


# --- the cases ---------------------------------------------------------------------
#
# A launch: the kernel, its blocks and threads, and its work as items:
# (selector, passes per block). A selector names the innermost loop whose
# body has a line containing a text (several copies of one source loop: the
# largest), or, with a file, that file's instructions in the smallest loop
# around the text (the log-sum-exp of a cluster's term). A kernel's code
# outside its loops (set-up, the last sums and writes) counts once a block
# for each warp: an `outside` item, or else all of it (OUTSIDE_ALL).

def loop_of(text, file=None, marker=None, copy=None, lines=None, within=None, without=None,
            holding=None, outside=False, until=None):
    """`marker`: (text, opcode, count) that one iteration of the source loop
    executes, so that a loop the compiler unrolled counts its passes right;
    a loop that holds fewer is not the one meant, and the item is left out
    (and named as not found).
    `copy`: of several innermost copies of the loop, the one at this place
    in address order (the first template arguments' copies come first);
    with a file, of the loops around the text.
    `lines`: (keep, texts): of the body, only the instructions of source
    lines holding one of the texts (keep True), or all but those (False).
    `within`: only copies nested in a loop whose own code holds this text
    (a function inlined into two sweeps, of which the case runs one), or
    in the loop another selector names.
    `without`: of several copies, those whose own code holds no instruction
    of a line with this text (the compiler split the loop on a test the
    case takes one way, such as whether there are weights).
    `holding`: (text, opcode, count): only loops that hold, nested, a loop
    whose own code has `count` such instructions on lines with the text (of
    two copies of a sweep inlined side by side, the one whose inner loop
    takes the case's clusters).
    `outside`: not a loop but the kernel's code outside every loop, once
    a block for each warp (of `file`'s lines, and `lines`): where a block
    makes one pass, its set-up and last sums weigh as much as a loop. The
    text is then a line that code must hold.
    `until`: with `outside`, only the code up to the first EXIT on a line
    holding this text: what follows it (the posteriors' set-up, past
    logP's own return) never runs where a case takes logP alone."""
    return {"text": text, "file": file, "marker": marker, "copy": copy, "lines": lines,
            "within": within, "without": without, "holding": holding, "outside": outside,
            "until": until}


# A point's own weight, read where the points have weights (take.h).
WEIGHT_LOAD = "return w[j] == 0.0 ? 0.0 : w[j] * v;"


def staging(text, within=None, copy=None):
    return loop_of(text, marker=(text, "STS", 1), within=within, copy=copy)


# The line of Copy_To_Shared (staging.h) that nvcc gives its LDGSTS.
ASYNC_COPY_LINE = 'cp.async.ca.shared.global [%0], [%1], 8, p;'


def async_staging(text, copy=None):
    """A loop that copies an entry a pass into shared memory (staging.h),
    named by a line of its own in the caller."""
    return loop_of(text, marker=(ASYNC_COPY_LINE, "LDGSTS", 1), copy=copy)


TRIANGLE_FMA = "y[i - i0] = fma(w[Cluster_Tile<D>::Entry(i, l)], d, y[i - i0]);"
# The line nvcc gives the tensor cores' instruction (tensor.h): the asm
# statement's last, its operands.
MMA_LINE = ': "d"(a), "d"(b), "d"(c0), "d"(c1));'
_DIAG_FMA_TEXT = "acc[s][r][c] = fma(y, y, acc[s][r][c])"
# A coordinate of one step's clusters: the loop of a sweep of two steps at
# once (32 FMAs a pass) counts a pass for two.
DIAG_FMA = loop_of(_DIAG_FMA_TEXT, marker=(_DIAG_FMA_TEXT, "DFMA", 16))
_DIAG_STAGE_TEXT = "Param<kSteps>(sh, sr + q * kRunStep, sc, si) ="


def diag_sweep(steps):
    """What a sweep of `steps` steps at once holds: its loop of FMAs."""
    return (_DIAG_FMA_TEXT, "DFMA", 16 * steps)


def diag_stage(steps):
    return loop_of(_DIAG_STAGE_TEXT, holding=diag_sweep(steps))


DIAG_STAGE = diag_stage(1)
# A pass's terms and their log-sum-exp (a step's, or two steps'): all of the
# pass loop's own code (the raw terms' stores too, which only the fit runs),
# the nested loops apart.
_DIAG_STEP_TEXT = "v[c] = fma(-0.5, acc["
DIAG_TERMS = loop_of(_DIAG_STEP_TEXT, ("diagonal.cu", "diagonal_sum.h", "log_sum.h"))
# The resident load before the sweep: the first copy in address order (the
# copies in the sweeps' tiles run only past 32 coordinates).
DIAG_POINTS = async_staging("Copy_To_Shared(&sh.xs[i][p], x, true);", copy=0)
# A coordinate tile's own code (barriers, set-up, the loops' bounds and
# peeled passes), in the logP sweep: Log_Diagonal_Kernel<false> has a copy
# in the posteriors' sweep too, smaller, which VelmoraLog's logP never runs.
# Its copy of the points' staging for points as rows runs in no case here.
# Up to dim 32 the points stay resident and the tile branches around all of
# Load_Points, part of whose code the compiler puts on other lines (the
# set-up of s_at, the test of resident, Min): only the lines that then run
# are kept (all but the branch itself).
_POINTS_AS_ROWS = ("const double *x = a.x.X + (j0 + p) * a.x.point_stride + (d0 + t / kPoints) * a.x.coord_stride;",
                   "for (int i = t / kPoints; i < width; i += kStep, x += stride) Copy_To_Shared(&sh.xs[i][p], x, in);")
_DIAG_TILE_TEXT = "} while (d0 < dim);"
_RESIDENT_TILE = (_DIAG_TILE_TEXT, "d0 += kDimTile;", "int d0 = 0;", "const int d_end = Min(dim, d0 + kDimTile);",
                  "for (int e0 = d0; e0 < d_end; e0 += kCoords) {",
                  "const bool resident = a.m.dim <= kDimTile;", "int Min(int a, int b)")


def diag_tile(steps, one=False):
    """`one`: in one pass, where no pass loop holds the logP sweep's tile,
    the first copy in address order (the posteriors' follows)."""
    return loop_of(_DIAG_TILE_TEXT, ("diagonal.cu", "log_sum.h"), lines=(False, _POINTS_AS_ROWS),
                   within=None if one else _DIAG_STEP_TEXT, holding=diag_sweep(steps), copy=0 if one else None)


DIAG_TILE = diag_tile(1)


def diag_tile_resident(one=False):
    """The tile's bounds where the points stay resident. `one`: where one
    step holds every cluster (Log_Diagonal_Kernel<., 1, true>) its pass is
    no loop, the logP sweep's tile the first copy in address order (the
    posteriors' follows), and the terms and their log-sum-exp the block's
    code outside the loops (DIAG_BLOCK)."""
    return loop_of(_DIAG_TILE_TEXT, ("diagonal.cu", "log_sum.h"), lines=(True, _RESIDENT_TILE),
                   within=None if one else _DIAG_STEP_TEXT, copy=0 if one else None)


DIAG_TILE_RESIDENT = diag_tile_resident()


# A block's code outside the loops, each warp's once: the set-up, and the
# merge of the four groups' sums into logP, a point a thread (exp, log),
# where a block's one pass makes it a loop's weight (and, in one pass, the
# pass's terms and sums). Not the points' staging for points as rows, which
# the cases do not take, nor the posteriors' set-up past logP's return: the
# cases take logP alone, or the raw terms, whose kernel has none.
DIAG_BLOCK = loop_of("a.out.log_p[j0 + t] = shift.Log_P();", ("diagonal.cu", "diagonal_sum.h", "log_sum.h"),
                     lines=(False, _POINTS_AS_ROWS + ("const int p = t % kPoints;",
                                                      "const bool in = j0 + p < a.x.count;")),
                     outside=True, until="if (kRawTerms || a.out.R == nullptr) return;")


def diag_points(steps, one=False):
    """The points' staging past 32 coordinates: the copy in the sweep's
    coordinate tile (the resident load before the sweep never runs there)."""
    return loop_of(DIAG_POINTS["text"], marker=DIAG_POINTS["marker"], within=diag_tile(steps, one))


FULL_STAGE_D = staging("*out = in ? *x - (by_coord ? mu_l0 : mu[l]) : 0.0;")
# The tensor kernel's two copies of X's raw staging: slab 0 once a block,
# then the cluster loop's.
TENSOR_STAGE_X0, TENSOR_STAGE_X = (async_staging("const bool in = p < points && l < coords;", copy=n)
                                   for n in (0, 1))
FULL_STAGE_W = async_staging("Copy_To_Shared(&w[l * stride + i], W, gi < dim && s0 + l <= gi")
# A cluster's term: its exp and running sums (log_sum.h), in the cluster
# loop. Past dim 32 nvcc leaves an instruction of the term's line in the
# slab loop too, so that the smallest loop holding it is the slab's, whose
# log_sum.h code is the runs' bounds (Min), counted with TENSOR_RUN_BOUNDS:
# not a loop holding Min, where another holds the line.
FULL_TERM = loop_of("const double q = Overflowed_To_Inf(squared(k0 + c))", "log_sum.h",
                    without="return a < b ? a : b")
TENSOR_TILE = loop_of("for (int y = 0; y < 8; ++y) tile += sh.q[y][t]")
# Up to dim 32 the full kernels have one pass of rows and one slab, so a
# pass through the cluster loop's own code is all of a cluster's work but
# the loops nested in it (the resident kernel's steps are unrolled there):
# staging, products, chains and sums.
CLUSTER_OWN = loop_of("const double q = Overflowed_To_Inf(squared(k0 + c))", ("full.cu", "tensor.h", "staging.h"))


def tensor_run(nt, r0):
    """A step of 4 coordinates in the run whose first row tile on or below
    the diagonal is r0 (Slab_Steps<NT, NT>: the first NT copies of the loop
    in address order): a fragment of W for each of tiles r0..NT-1, two MMAs
    each, and nothing issued for the others."""
    return loop_of("const double w = a_at[l * kW + 8 * r]",
                   marker=(MMA_LINE, "DMMA", 2 * (nt - r0)), copy=r0)
FULL_TILE = loop_of("for (int y = 0; y < kRowGroups; ++y) tile += sh.ws.q[y][t]")
# A slab's own code past dim 32: its set-up, the staging loops' and the
# product loops' bounds, and the barriers. In the tensor kernel it holds the
# bounds of the runs of every Slab_Steps<L> (NT (NT + 1) / 2 runs), of
# which a slab takes only its L runs': counted apart (TENSOR_RUN_BOUNDS),
# with Min's instructions taken as the runs'.
FULL_SLAB = loop_of("if (i0 > 0 || s0 > 0 || !Full_Shared<TM>::kApart) __syncthreads();",
                    ("full.cu", "log_sum.h", "staging.h"))
# The second moments' slab loops: their own code (barriers, the
# posteriors' staging, set-up, peeled passes of the loops inside). The
# tensor kernel's tiles on and off the diagonal stage by loops of their own,
# whose peeled passes are counted only for their tiles.
SECOND_SLAB_TEXT = "__syncthreads();  // the previous slab is no longer read"
SECOND_SLAB = loop_of(SECOND_SLAB_TEXT, ("statistics.cu", "log_sum.h"))
# A tile on the diagonal stages a whole slab by its own loops; a unit's
# last slab, part past its end, by another, which the cases' units (whole
# slabs) never run.
_PART_SLAB = ("*sb = p < in_slab && place.a_in ? *xa - place.mu_a : 0.0;",
              "for (int p = t / TS; p < S::kPoints; p += kStep, xa += stride, sb += kOut)")
_ON_DIAGONAL = _PART_SLAB + (
    "for (int q = 0; q < kTrips; ++q, xa += stride, sb += kOut) *sb = *xa - place.mu_a;",
    "for (int q = 0; q < kTrips; ++q, sb += kOut) *sb = 0.0;", "if (place.a_in) {")
_OFF_DIAGONAL = ("for (int p = t / TS; p < S::kPoints; p += kStep, xa += stride, xb += stride, sa += kOut,",
                 "double *sa = sh.stage.a + (sb - sh.stage.b);",
                 "sb += kOut) {", "const bool in = p < in_slab;",
                 "*sa = in && place.a_in ? *xa - place.mu_a : 0.0;",
                 "*sb = in && place.b_in ? *xb - place.mu_b : 0.0;")
SECOND_SLAB_ON = loop_of(SECOND_SLAB_TEXT, ("statistics.cu", "log_sum.h"),
                         lines=(False, _OFF_DIAGONAL + _PART_SLAB))
SECOND_SLAB_OFF = loop_of(SECOND_SLAB_TEXT, ("statistics.cu", "log_sum.h"), lines=(False, _ON_DIAGONAL))
TENSOR_SLAB_TEXT = "Copy_To_Shared(&sh.mu[t], a.m.mu + k * a.m.dim + s0 + t, s0 + t < dim);"
RUN_BOUND_LINES = ("const int from = r0 == 0 ? 0 : i0 + 8 * r0 - s0",
                   "for (int l = from < 0 ? 0 : from; l < to; l += 4)", "return a < b ? a : b")
TENSOR_SLAB = loop_of(TENSOR_SLAB_TEXT, ("full.cu", "log_sum.h", "staging.h"),
                      lines=(False, RUN_BOUND_LINES))
TENSOR_RUN_BOUNDS = loop_of(TENSOR_SLAB_TEXT,
                            ("full.cu", "log_sum.h"), lines=(True, RUN_BOUND_LINES))


def full_fma(tm):
    text = "acc[r][c] = fma(wv[r], dv[c], acc[r][c])"
    return loop_of(text, marker=(text, "DFMA", 4 * tm))


# The posteriors of a full kernel's group of clusters, a thread an entry a
# pass (Write_Group), as a fit's E-step with one group runs them: R is K x N
# there, so entries step along clusters; with several groups the raw terms
# leave and Log_Combine_Kernel normalises them, a thread a point. nvcc
# splits the loop by layout, in address order: along points raw, along
# points normalising (the largest, which only VelmoraLog's rows layout
# runs), then along clusters, where the stride folds to 1 and `normalise`
# is tested per entry.
WRITE_GROUP = loop_of("normalise ? Posterior_Shift{sh.top[p], sh.log_sum[p]}.Posterior(sh.v[c][p]) : sh.v[c][p];",
                      copy=2)
COMBINE_POSTERIORS = loop_of("r = shift.Posterior(r);", marker=("r = shift.Posterior(r);", "STG", 1))
# The small-dims kernel's posteriors with one tile of clusters: each
# thread's kept terms normalised, and the tile's entries written out.
SMALL_POSTERIORS = loop_of("sh.r[c][t] = shift.Posterior(sh.r[c][t]);",
                           marker=("sh.r[c][t] = shift.Posterior(sh.r[c][t]);", "STS", 1))
# Its write loop has two copies, along points then along clusters (the fit's).
SMALL_WRITE = loop_of("if (jp < a.x.count) a.out.R[jp * a.out.point_stride + (k0 + c) * a.out.cluster_stride] = sh.r[c][p];",
                      copy=1)
# The posteriors' tile loop, past 16 clusters whole, up to 16 only its
# lines in full.cu (the other branch's staging is inlined from small_dims.h).
_SMALL_POSTERIOR_TILE = "__syncthreads();  // the previous tile and its posteriors are no longer read"
SMALL_POSTERIOR_WALK = loop_of(_SMALL_POSTERIOR_TILE, "full.cu")
# The logP walk's tile loop: barriers, the staging's set-up, the merge.
SMALL_TILE = loop_of("__syncthreads();  // the previous tile is no longer read")
# Its code outside the loops, each warp's once: a block makes one walk (up
# to 16 clusters, one tile), and its point's load, log and test for a
# non-finite coordinate weigh a fifth of what the loops take.
SMALL_BLOCK = loop_of("if (in) a.out.log_p[j] = log_p;", ("full.cu", "log_sum.h", "small_dims.h"), outside=True)


def small_terms(text, d, passes):
    """A point's log terms under `passes` clusters (the loop that holds
    `text`): a term is unrolled whole, its triangle's FMAs a column at a
    time over eight rows at once."""
    return [(loop_of(text, marker=(TRIANGLE_FMA, "DFMA", d * (d + 1) // 2)), passes)]


def tile_staging(d, threads, copy=None):
    """The items of one staging of a tile of 16 clusters (Stage_Tile<D>)
    by a block of `threads`: a warp's passes through the loop over
    (cluster, row) pairs, each a row of W up to the diagonal and an entry
    of the centre, and the log-weights'. `copy`: Log_Small_Kernel's walk
    (0) or its posteriors' (1)."""
    warps = threads // 32
    return [(loop_of("if (l <= i) to[Cluster_Tile<D>::Entry(i, l)] = in ? v : 0.0;", copy=copy,
                     marker=("tile.mu[c][i] = in ? m.mu[k * dim + i] : 0.0;", "STS", 1)),
             warps * math.ceil(16 * d / threads)),
            (staging("tile.log_w[c] = k0 + c < m.K"), 1)]


def slabs(dim, rows):
    """The slabs of 32 coordinates a block of the full kernels stages per
    cluster, passes of `rows` rows at a time: (i0, s0, width). Each stages
    its slab of X (or D) and of W: past one slab no two in a row are the
    same."""
    for i0 in range(0, dim, rows):
        l_end = min(dim, i0 + rows)
        for s0 in range(0, l_end, 32):
            yield i0, s0, min(32, l_end - s0)


def w_share(dim, rows):
    """Of the W entries a block's staging loads ask for, per cluster (rows
    by 32 columns a slab, passes of `rows` rows), the share that moves from
    L2: the triangle on and below the diagonal within dim. The lanes above
    it load nothing, and a warp's request moves only its lanes' sectors."""
    loaded = asked = 0
    for i0, s0, _ in slabs(dim, rows):
        asked += rows * 32
        last = min(dim, i0 + rows)
        loaded += sum(max(0, last - max(i0, l)) for l in range(s0, min(dim, s0 + 32)))
    return loaded / asked


def staged_w(dim, rows):
    """FULL_STAGE_W with the share of its loads' bytes that L2 serves."""
    return dict(FULL_STAGE_W, l2_share=w_share(dim, rows))


def full_trips(dim, tm):
    """Per cluster: slabs of D staged, of W staged, and FMA-loop passes per warp."""
    d_slabs, w_slabs, fma = 0, 0, [0] * 8
    for i0, s0, width in slabs(dim, 16 * tm):
        d_slabs += 1
        w_slabs += 1
        for warp in range(8):
            wy = warp // 2
            last = i0 + (wy + 1) * 4 * tm - 1 if i0 + wy * 4 * tm < dim else -1
            fma[warp] += max(0, min(width, last - s0 + 1))
    return d_slabs, w_slabs, sum(fma)


def tensor_trips(dim, nt):
    """Per cluster, for the tensor-core kernel: slabs of X staged, of W
    staged, and a warp's steps of 4 coordinates in each run of
    Slab_Steps<NT, NT> (the steps whose first row tile on or below the
    diagonal is r0 serve tiles r0..NT-1). A pass with L < NT row tiles below
    dim takes Slab_Steps<L>, whose run r0 serves L - r0 tiles: counted as
    run r0 + NT - L of the NT copy, whose step is the same code for as many
    tiles."""
    d_slabs, w_slabs, runs = 0, 0, [0] * nt
    for i0, s0, width in slabs(dim, 8 * nt):
        d_slabs += 1
        w_slabs += 1
        live = min(nt, -(-(dim - i0) // 8))
        for r0 in range(live):
            lo = 0 if r0 == 0 else max(0, i0 + 8 * r0 - s0)
            hi = min(width, i0 + 8 * r0 + 8 - s0)
            runs[r0 + nt - live] += len(range(lo, hi, 4))
    return d_slabs, w_slabs, runs


def tensor_x_stagings(dim, nt, clusters):
    """Slabs of X a block of the tensor kernel stages for `clusters`
    clusters: slab 0 once, the others into one buffer unless it holds them
    (the first pass's last, 32, is the second pass's second; with one pass,
    every cluster's)."""
    held, staged = None, 1
    for _ in range(clusters):
        for _, s0, _ in slabs(dim, 8 * nt):
            if s0 > 0 and s0 != held:
                staged, held = staged + 1, s0
    return staged


def diagonal_loads(dim):
    """A thread's passes staging a block's coordinates (points as columns):
    128 threads, lanes along a tile's coordinates in the power of two that
    covers them, stepping through the block's 128 points."""
    passes = 0
    for d0 in range(0, dim, 32):
        lanes = 1 << math.ceil(math.log2(min(32, dim - d0)))
        passes += -(-128 // (128 // lanes))
    return passes


def diagonal_param_tiles(dim, width=16):
    """Tiles of the means and scales: `width` coordinates at most (16 a
    step, 8 where two steps are staged at once), within each tile of 32
    coordinates of the points."""
    return sum(math.ceil(min(32, dim - d0) / width) for d0 in range(0, dim, 32))


def diagonal_steps(dim, K):
    """Steps of 16 clusters Log_Diagonal_Kernel takes at once: two where
    the points are staged again for each (past 32 coordinates) and there
    is a second step."""
    return 2 if dim > 32 and K > 16 else 1


def log_launches(case, fit_e_step=False):
    """A VelmoraLog call's launches (logP only), or with `fit_e_step` the
    fit's E-step, which in diagonal mode takes the raw log terms (the
    kernel is built for each), in full mode the posteriors."""
    n, dim, K, mode = case["N"], case["dim"], case["K"], case["mode"]
    posteriors = fit_e_step and mode == "full"
    if mode == "diagonal":
        # 128 points a block, four a thread, four warps; past 32
        # coordinates the points are staged again for every pass of one or
        # two steps of 16 clusters, and the means and scales 16 coordinates
        # a step at a time. (An odd last step of a two-step sweep is taken
        # alone, by a copy of the sweep's loops no case here runs; it is
        # counted as a pass of two, its FMAs as half of one.)
        # Up to 16 clusters, one pass of one step: no pass loop.
        steps = diagonal_steps(dim, K)
        sweeps = math.ceil(K / 16)
        passes = math.ceil(sweeps / steps)
        one = K <= 16
        blocks = math.ceil(n / 128)
        stagings = 1 if dim <= 32 else passes
        tile = diag_tile_resident(one) if dim <= 32 else diag_tile(steps, one)
        return [{"kernel": f"Log_Diagonal_KernelILb{int(fit_e_step)}ELi{steps}ELb{int(one)}E", "blocks": blocks,
                 "threads": 128, "dram": n * dim * 8 + n * 8,
                 "items": [(DIAG_POINTS if dim <= 32 else diag_points(steps, one), 4 * diagonal_loads(dim) * stagings),
                           (diag_stage(steps), 4 * passes * diagonal_param_tiles(dim, 16 // steps)),
                           (DIAG_FMA, 4 * sweeps * dim),
                           (tile, 4 * passes * math.ceil(dim / 32))] +
                          ([] if one else [(DIAG_TERMS, 4 * passes)]) +
                          [(DIAG_BLOCK, 4)]}]
    if dim <= 16:
        d = 4 if dim <= 4 else 8 if dim <= 8 else 16
        return [{"kernel": f"Log_Small_KernelILi{d}E", "blocks": math.ceil(n / 128), "threads": 128,
                 "dram": n * dim * 8 + n * 8,
                 "items": small_terms("sh.r[c][t] = v;  // the thread's own column", d, 4 * K) +
                          [(SMALL_TILE, 4 * math.ceil(K / 16)), (SMALL_BLOCK, 4)] +
                          [(sel, passes * math.ceil(K / 16)) for sel, passes in tile_staging(d, 128, copy=0)] +
                          (small_posteriors(d, K) if posteriors else [])}]
    groups = max(1, math.ceil(K / 16))
    points = 64  # a block's on the CUDA cores (the tensor kernels': 128)
    per_block = min(K, 16)
    dram = n * dim * 8 + n * 8 * (2 * groups if groups > 1 else 1)
    if case.get("cuda_cores"):
        tm = 2 if dim <= 32 else 4
        d_slabs, w_slabs, fma = full_trips(dim, tm)
        # Up to dim 32 D is staged from registers in the cluster loop's own
        # code, with the pass's set-up and sums, and so is W's slab: four
        # columns a thread, a count known when compiled, which nvcc unrolls
        # whole.
        # Its only copies into shared memory are W's: four a thread.
        own = [(dict(CLUSTER_OWN, l2_lines=(ASYNC_COPY_LINE, w_share(dim, 32), 4)), 8 * per_block)] if tm == 2 else \
              [(FULL_STAGE_D, 8 * 8 * d_slabs * per_block),
               # No copy of W's in the slab's own code: one that nvcc moved
               # there would count twice, with staged_w's.
               (dict(FULL_SLAB, l2_lines=(ASYNC_COPY_LINE, 1.0, 0)), 8 * w_slabs * per_block),
               (FULL_TILE, 8 * math.ceil(dim / (16 * tm)) * per_block)]
        launches = [{"kernel": f"Log_Full_KernelILi{tm}E", "blocks": math.ceil(n / 64) * groups,
                     "threads": 256, "dram": dram,
                     "items": ([] if tm == 2 else [(staged_w(dim, 16 * tm), 8 * (16 * tm // 8) * w_slabs * per_block)]) +
                              [(full_fma(tm), fma * per_block)] + own +
                              [(FULL_TERM, 2 * per_block)]}]
    elif dim <= 32:
        # One pass of L row tiles from one slab; X's fragments stay in
        # registers, so a cluster stages only W's slab and mu_k. Four warps
        # of 32 points, each staging 8 of W's 32 columns.
        points = 128
        launches = [{"kernel": f"Log_Full_Resident_KernelILi{-(-dim // 8)}E",
                     "blocks": math.ceil(n / points) * groups, "threads": 128, "dram": dram,
                     "items": [(staged_w(dim, 32), 4 * 8 * per_block),
                               # mu_k, the cluster's one copy of its own: warp 0's alone
                               (dict(CLUSTER_OWN, l2_lines=(ASYNC_COPY_LINE, 1 / 4, 1)), 4 * per_block),
                               (FULL_TERM, 4 * per_block)]}]
    else:
        # Eight warps of 16 points, 128 a block; each run of the MMA loop
        # serves its own row tiles (tensor_trips). A thread stages 16
        # entries of X's slab and 32 x 8 NT / 256 of W's.
        nt, threads, points = 8, 256, 128
        warps = threads // 32
        _, w_slabs, runs = tensor_trips(dim, nt)
        d_slabs = tensor_x_stagings(dim, nt, per_block)
        passes = math.ceil(dim / (8 * nt))
        # A slab of pass i0 takes the bounds of L = its live row tiles' runs.
        bounds = sum(min(nt, -(-(dim - i0) // 8)) for i0, _, _ in slabs(dim, 8 * nt))
        launches = [{"kernel": f"Log_Full_Tensor_KernelILi{nt}E", "blocks": math.ceil(n / points) * groups,
                     "threads": threads, "dram": dram,
                     "items": [(TENSOR_STAGE_X0, warps * (32 * points // threads)),
                               (TENSOR_STAGE_X, warps * (32 * points // threads) * (d_slabs - 1)),
                               (staged_w(dim, 8 * nt), warps * (32 * 8 * nt // threads) * w_slabs * per_block)] +
                              [(tensor_run(nt, r0), warps * runs[r0] * per_block) for r0 in range(nt)] +
                              [
                               # mu_k's slab, the slab loop's one copy: warp 0's alone
                               (dict(TENSOR_SLAB, l2_lines=(ASYNC_COPY_LINE, 1 / warps, 1)), warps * w_slabs * per_block),
                               (TENSOR_RUN_BOUNDS, warps * bounds * per_block / (nt * (nt + 1) // 2)),
                               (TENSOR_TILE, points // 32 * passes * per_block),
                               (FULL_TERM, points // 32 * per_block)]}]
    if posteriors and groups == 1:
        # A thread an entry a pass: a block's points by its group's
        # clusters, over all its warps.
        launches[0]["items"].append((WRITE_GROUP, points * per_block / 32))
    if not posteriors:
        # logP alone: the block's code outside its loops up to the return
        # before the posteriors.
        launches[0]["items"].append((FULL_BLOCK_LOGP, launches[0]["threads"] // 32))
    if groups > 1:
        launches.append({"kernel": "Log_Combine_Kernel", "blocks": math.ceil(n / 256), "threads": 256,
                         "dram": n * 8 * (2 * groups + 1),
                         "items": [(COMBINE_POSTERIORS, 8 * K)] if posteriors else []})
    return launches


def small_posteriors(d, K):
    """Log_Small_Kernel<d>'s posteriors, a block of 128 points: past 16
    clusters each tile is staged and its terms formed again."""
    if K > 16:
        tiles = math.ceil(K / 16)
        return (small_terms("sh.r[c][t] = shift.Posterior(Small_Term<D>(sh.tile, c, x));", d, 4 * K) +
                [(sel, passes * tiles) for sel, passes in tile_staging(d, 128, copy=1)] +
                [(SMALL_WRITE, 4 * K), (loop_of(_SMALL_POSTERIOR_TILE), 4 * tiles)])
    return [(SMALL_POSTERIORS, 4 * K), (SMALL_WRITE, 4 * K), (SMALL_POSTERIOR_WALK, 4)]


# Fused_Diagonal_Kernel: a slice's own code (its logP, a point a thread's
# merge of the groups' sums, posteriors and barriers), thread 0's
# log-likelihoods, and each half's moments (two copies of the loop, in half
# order).
FUSED_DIAG_SLICE = loop_of("sh.merge.m[g][p + r * kLanes] = sum.m;")
FUSED_DIAG_LIKELIHOOD = loop_of(
    "log_likelihood += kWeighted ? Weigh(Shift_Of(sh, q).Log_P(), a.x.w, j0 + q) : Shift_Of(sh, q).Log_P();",
    marker=("log_likelihood += kWeighted ? Weigh(Shift_Of(sh, q).Log_P(), a.x.w, j0 + q) : Shift_Of(sh, q).Log_P();",
            "DADD", 1))


def fused_diagonal_moments(half):
    return loop_of("sq[c] = fma(w, dx, sq[c]);", copy=half, marker=("sq[c] = fma(w, dx, sq[c]);", "DFMA", 4))


def fused_diagonal(case):
    """The fit's one kernel in diagonal mode from 17 to 32 coordinates (up
    to 16 clusters): a block walks a unit 128 points at a time, the sweep's
    loops for each slice, then its posteriors and moments, X read once.
    The cases' points have no weights: the kernel's unweighted instance."""
    n, dim = case["N"], case["dim"]
    slices = math.ceil(case["unit"] / 128)
    return [{"kernel": "Fused_Diagonal_KernelILb0E", "blocks": math.ceil(n / case["unit"]), "threads": 128,
             "dram": n * dim * 8,
             "items": [(DIAG_POINTS, 4 * diagonal_loads(dim) * slices),
                       (DIAG_STAGE, 4 * diagonal_param_tiles(dim) * slices),
                       (DIAG_FMA, 4 * dim * slices),
                       (DIAG_TILE_RESIDENT, 4 * slices),
                       (FUSED_DIAG_SLICE, 4 * slices),
                       (FUSED_DIAG_LIKELIHOOD, 128 * slices),  # thread 0, a pass a point
                       (fused_diagonal_moments(0), 4 * 64 * slices),
                       (fused_diagonal_moments(1), 4 * 64 * slices)]}]


FUSED_TENSOR_STEP = "x[t] = *x_at[t];"


def fused_full(case):
    """The fit's one kernel in full mode (Fused_Kernel<D, T, true, slots>,
    D 8 or 16, T 128 or 256): a block walks a unit 128 points at a time.
    Its statistics on the tensor cores, each warp half its most slots of
    clusters up to 8 (all of them past), a step of 4 points a product or
    two a slot at D 8, three and the chains of the weight and sums at 16;
    on the CUDA cores (slots 0), a thread a row."""
    n, dim, K = case["N"], case["dim"], case["K"]
    d = 8 if dim <= 8 else 16
    threads = 128 if d == 8 else 256
    warps = threads // 32
    slices = math.ceil(case["unit"] / 128)  # a unit, 128 points at a time
    blocks = math.ceil(n / case["unit"])
    most = 16 // warps
    slots = 0 if case.get("cuda_cores") else most // 2 if K <= 8 else most
    if slots:
        products = 3 if d == 16 else 1 if dim < 8 else 2
        statistics = (loop_of(FUSED_TENSOR_STEP, marker=(MMA_LINE, "DMMA", slots * products)),
                      warps * 32 * slices)
    else:
        # A row's columns: D / 2 + 1 taken cyclically at D 8, all at 16.
        statistics = (loop_of("acc[b] = fma(w, sh.x[p][kCyclic ? ra + b : b] - centre[b], acc[b])",
                              marker=("acc[b] = fma(w, sh.x[p][kCyclic ? ra + b : b] - centre[b], acc[b])",
                                      "DFMA", 5 if d == 8 else 16)),
                      math.ceil(K * dim / 32) * 128 * slices)
    return [{"kernel": f"Fused_KernelILi{d}ELi{threads}ELb1ELi{slots}EE", "blocks": blocks, "threads": threads,
             "dram": n * dim * 8,
             "items": small_terms("for (int c = 0; c < K; ++c) v[c] = Small_Term<D>(sh.tile, c, x);", d,
                                  4 * K * slices) +
                      [statistics,
                       # A point's logP over the K clusters, its
                       # posteriors, and a slice's own code.
                       (loop_of("for (int c = 0; c < K; ++c) sum.Add(v[c]);",
                                marker=("for (int c = 0; c < K; ++c) sum.Add(v[c]);", "LDS", 1)),
                        4 * K * slices),
                       (staging("for (int c = 0; c < K; ++c) v[c] = in ? Take(shift.Posterior(v[c]), slice, t) : 0.0;"),
                        4 * K * slices),
                       (loop_of("__syncthreads();  // the previous slice is no longer read",
                                ("statistics.cu", "small_dims.h", "log_sum.h", "diagonal_sum.h")),
                        warps * slices),
                       # Thread 0 sums the slice's 128 log-likelihoods.
                       (loop_of("sum += sh.log_p[p]",
                                marker=("sum += sh.log_p[p]", "DADD", 1)), 128 * slices)] +
                      [(sel, passes * slices) for sel, passes in tile_staging(d, threads)]}]


def fit_launches(case):
    """One iteration, X resident: the E-step, the statistics, their sums."""
    n, dim, K, mode = case["N"], case["dim"], case["K"], case["mode"]
    full = mode == "full"
    if case.get("fused"):
        return fused_full(case) if full else fused_diagonal(case)
    e_step = log_launches(case, fit_e_step=True)
    for launch in e_step:  # the posteriors (or raw terms) leave too
        launch["dram"] += n * K * 8
    # Moments: lanes along coordinates and clusters, a slab of points at a time.
    ti = min(32, 2 ** math.ceil(math.log2(max(1, math.ceil(dim / 2)))))
    tk = min(16, 256 // ti, 2 ** math.ceil(math.log2(max(1, math.ceil(K / 4)))))
    tiles = math.ceil(dim / (2 * ti)) * math.ceil(K / (4 * tk))
    groups = 256 // (ti * tk)
    slab = min(256, 256 * 4 * (1 + 2 * 2) // (2 * ti + 4 * tk + 2))  # points staged at once
    unit = case["unit"]
    units = math.ceil(n / unit)
    # The diagonal fit's R holds raw log terms, the full fit's posteriors.
    moments = {"kernel": f"Moments_KernelILi{2 if full else 1}ELb{0 if full else 1}E", "blocks": units * tiles,
               "threads": 256,
               "dram": n * dim * 8 + n * K * 8,
               "items": [(loop_of("const double d = xs[p * x_pitch + c * a.ti + ti] - centre[q][c]",
                                  marker=("const double d = xs[p * x_pitch", "DADD", 8)),
                          8 * unit / groups),
                         # Unrolled, the staging of a slab's weights is
                         # split on whether the points have weights of
                         # their own; the cases have none.
                         (loop_of("rs[p * r_pitch + lk] = r", marker=("rs[p * r_pitch + lk] = r", "STS", 1),
                                  without=WEIGHT_LOAD), 8 * math.ceil(unit * 4 * tk / 256)),
                         (async_staging("Copy_To_Shared(&xs[p * x_pitch + li], a.x.X + at, in_i && p < points);"),
                          8 * math.ceil(unit * 2 * ti / 256)),
                         # A slab's own code: its barriers, set-up and the
                         # staging loops' last passes.
                         (loop_of("__syncthreads();  // the previous slab is no longer read",
                                  ("statistics.cu", "diagonal_sum.h", "log_sum.h")),
                          8 * math.ceil(unit / slab))]}
    launches = e_step + [moments]
    if full:
        ts = 8 if dim <= 8 else 16 if dim <= 16 else 32 if dim <= 32 else 64
        rt = 2 if ts == 8 else 4
        side = math.ceil(dim / ts)
        tri = side * (side + 1) // 2
        slab = {64: 32, 32: 64, 16: 128, 8: 256}[ts]
        group_threads = (ts // rt) ** 2
        if not case.get("cuda_cores") and ts <= 32 and K >= 8:
            # One tile, on the diagonal; a block takes eight clusters of a
            # unit, a warp each, every step of a slab of Second_Clusters<TS>
            # ::kPoints, whose X all eight share. It takes the weights and
            # sums too: no moments launch.
            points = 256 if ts == 8 else 128
            nr = ts // 8
            slabs = math.ceil(unit / points)
            launches = e_step + [{"kernel": f"Second_Clusters_KernelILi{ts}E", "blocks": units * math.ceil(K / 8),
                             "threads": 256, "dram": n * dim * 8 + n * K * 8,
                             "items": [(loop_of("bv[q] = b_at[at + 8 * q] - mu[q]",
                                                marker=(MMA_LINE, "DMMA", nr * (nr + 1) // 2)),
                                        8 * points // 4 * slabs),
                                       (async_staging("Copy_To_Shared(&sh.x[p * S::kStride + l], x, p < in_slab && l_in);"),
                                        8 * (points * ts // 256) * slabs),
                                       (staging("sh.rs[p][cw] = p < in_slab && k0 + cw < a.K"),
                                        8 * (8 * points // 256) * slabs),
                                       (SECOND_SLAB, 8 * slabs)]}]
            return launches
        if not case.get("cuda_cores"):
            # Up to TS 32 the triangle is one tile, on the diagonal: the
            # kernel has only its code, and stages only its columns, in
            # slabs of Second_Tensor<TS>::kPoints.
            one_tile = ts <= 32
            slab = {64: 32, 32: 128, 16: 128, 8: 512}[ts]
            # A warp of pair P runs its own copy of the step loop, one for
            # tiles off the diagonal (all RW NR products a step) and one for
            # tiles on it (the products on and above it), in that order in
            # the code: copies 0..W-1 off it, W..2W-1 on it (W pairs), or
            # only the latter with one tile.
            nr = ts // 8
            rw = nr if ts <= 32 else 2
            pairs = nr // rw
            groups = 8 // pairs
            steps = (slab // 4 // groups) * math.ceil(unit / slab)  # a warp's, per block

            def on_diagonal(p):
                return nr * (nr + 1) // 2 if rw == nr else (nr - p) + (p + 1)

            mma_items = []
            for p in range(pairs):
                warps = 8 // pairs  # of pair p: one a group
                if not one_tile:
                    mma_items.append((loop_of("bv[q] = b_at[at + 8 * q]", copy=p,
                                              marker=(MMA_LINE, "DMMA", rw * nr)),
                                      warps * steps * (tri - side) / tri))
                mma_items.append((loop_of("bv[q] = b_at[at + 8 * q]", copy=p if one_tile else pairs + p,
                                          marker=(MMA_LINE, "DMMA", on_diagonal(p))),
                                  warps * steps * side / tri))
            staging_passes = 8 * math.ceil(slab * ts / 256) * math.ceil(unit / slab)
            # A tile on the diagonal stages X - shift once (a whole slab
            # with no point to test), any other its rows and columns; a
            # slab's own code holds the peeled passes of its tile's staging
            # only.
            tile_items = [(staging("*sb = *xa - place.mu_a;"), staging_passes * side / tri),
                          (SECOND_SLAB_ON, 8 * math.ceil(unit / slab) * side / tri)]
            if not one_tile:
                tile_items += [(staging("*sb = in && place.b_in"), staging_passes * (tri - side) / tri),
                               (SECOND_SLAB_OFF, 8 * math.ceil(unit / slab) * (tri - side) / tri)]
            launches.append({"kernel": f"Second_Tensor_KernelILi{ts}E", "blocks": units * K * tri,
                             "threads": 256, "dram": n * dim * 8 + n * K * 8,
                             "items": mma_items + tile_items})
            return launches
        launches.append({"kernel": f"Second_KernelILi{ts}ELi{rt}E", "blocks": units * K * tri,
                         "threads": 256, "dram": n * dim * 8 + n * K * 8,
                         "items": [(loop_of("for (int c = 0; c < RT; ++c) bv[c] = sh.stage.b[p][tx + c * kTT]",
                                            marker=("acc[r][c] = fma(av[r], bv[c], acc[r][c])", "DFMA",
                                                    rt * rt)),
                                    8 * unit / (256 // group_threads)),
                                   (staging("sh.stage.b[p][place.l] = in && place.b_in"),
                                    8 * math.ceil(slab * ts / 256) * math.ceil(unit / slab)),
                                   (SECOND_SLAB, 8 * math.ceil(unit / slab))]})
    return launches


LOG_CASES = [
    {"name": "(a)", "N": 10**7, "dim": 32, "K": 16, "mode": "diagonal"},
    {"name": "(b)", "N": 10**7, "dim": 32, "K": 16, "mode": "full"},
    {"name": "(c)", "N": 10**6, "dim": 60, "K": 2048, "mode": "diagonal"},
    {"name": "(d)", "N": 10**5, "dim": 128, "K": 64, "mode": "full"},
    {"name": "(e)", "N": 1000, "dim": 8, "K": 4, "mode": "diagonal"},
    # Full mode on the CUDA cores: devices before compute capability 8.0,
    # or VELMORA_TENSOR_CORES=off.
    {"name": "(b), CUDA cores", "N": 10**7, "dim": 32, "K": 16, "mode": "full", "cuda_cores": True},
    {"name": "(d), CUDA cores", "N": 10**5, "dim": 128, "K": 64, "mode": "full", "cuda_cores": True},
]
# Units as the fit's planner makes them (engine/fit_device.cpp, Make_Plan).
FIT_CASES = [
    {"name": "fit (a)", "N": 10**7, "dim": 32, "K": 16, "mode": "diagonal", "unit": 512, "fused": True},
    {"name": "fit (b)", "N": 10**7, "dim": 32, "K": 16, "mode": "full", "unit": 512},
    {"name": "fit (c)", "N": 10**6, "dim": 60, "K": 256, "mode": "diagonal", "unit": 512},
    {"name": "fit (d)", "N": 10**7, "dim": 8, "K": 8, "mode": "full", "unit": 512, "fused": True},
    {"name": "fit (e)", "N": 10**7, "dim": 8, "K": 8, "mode": "full", "unit": 512},
    {"name": "fit (d), CUDA cores", "N": 10**7, "dim": 8, "K": 8, "mode": "full", "unit": 512,
     "fused": True, "cuda_cores": True},
    # Full mode past 8 coordinates in the one kernel.
    {"name": "fit (g)", "N": 10**7, "dim": 16, "K": 16, "mode": "full", "unit": 512, "fused": True},
    {"name": "fit (g), CUDA cores", "N": 10**7, "dim": 16, "K": 16, "mode": "full", "unit": 512,
     "fused": True, "cuda_cores": True},
    {"name": "fit (b), CUDA cores", "N": 10**7, "dim": 32, "K": 16, "mode": "full", "unit": 512,
     "cuda_cores": True},
    # fit (a) through the separate kernels (Fit_Options::separate_kernels), to compare.
    {"name": "fit (f)", "N": 10**7, "dim": 32, "K": 16, "mode": "diagonal", "unit": 512},
]


def useful(case, fit):
    """FP64 operations per (point, cluster) the floors count, and of them
    those a matrix product could take to the tensor cores. VelmoraLog: the
    benchmark's count (3 dim diagonal; dim + dim(dim+1)/2 + dim full). The
    fit adds its statistics: 4 dim diagonal (d, r d, the sum, the moment);
    3 dim + dim(dim+1)/2 full."""
    dim = case["dim"]
    tri = dim * (dim + 1) // 2
    if case["mode"] == "diagonal":
        ops, matrix = 3 * dim, 0
        if fit:
            ops += 4 * dim
    else:
        ops, matrix = 2 * dim + tri, tri
        if fit:
            ops, matrix = ops + 3 * dim + tri, matrix + tri
    return ops, matrix


def floors(case, fit):
    ops, matrix = useful(case, fit)
    pairs = case["N"] * case["K"]
    cuda = pairs * ops / (SMS * FP64_PER_SM * CLOCK)
    tensor = pairs * ((ops - matrix) / FP64_PER_SM + matrix / TENSOR_FP64_PER_SM) / (SMS * CLOCK)
    return cuda, tensor


# Loops that may touch local memory: none. A stack array or a spill in a
# loop is a regression, named with its kernel and loop.
KNOWN_LOCAL = {}


# --- the analysis -------------------------------------------------------------------

def short_name(mangled):
    """Log_Full_Kernel<4> from its mangled name (or from Log_Full_KernelILi4E)."""
    m = re.search(r"([A-Z][A-Za-z_]*_Kernel)((?:I?L[ib]\d+E)*)", mangled)
    if not m:
        return mangled
    args = re.findall(r"L([ib])(\d+)E", m.group(2) or "")
    shown = [("true" if v == "1" else "false") if t == "b" else v for t, v in args]
    return m.group(1) + (f"<{', '.join(shown)}>" if shown else "")


def threads_of(name):
    m = re.search(r"Fused_Kernel<\d+, (\d+)", name)
    if m:
        return int(m.group(1))
    return 128 if name.startswith(("Log_Small", "Log_Diagonal", "Log_Full_Resident",
                                   "Fused_Diagonal")) else 256


# Shared memory that a kernel takes from its launch, past the 48 KB it may
# declare (ptxas sees none of it): the tensor kernel's Tensor_Shared<8>,
# x[2][128 x 36], w[32 x 72] (with q[8][136] in its room), mu[32], v[16][129]
# and the points' posterior shifts, top[128] and log_sum[128].
LAUNCH_ROOM = {"Log_Full_Tensor_Kernel<8>": 8 * (2 * 128 * 36 + 32 * 72 + 32 + 16 * 129 + 2 * 128)}


def shared_of(name, resources):
    return (resources.get("smem") or 0) + LAUNCH_ROOM.get(name, 0)


def span(instructions):
    where = {}
    for ins in instructions:
        where.setdefault(ins["file"], []).append(ins["line"])
    return ", ".join(f"{f}:{min(v)}-{max(v)}" if min(v) != max(v) else f"{f}:{v[0]}"
                     for f, v in sorted(where.items(), key=lambda kv: -len(kv[1])))


def find_item(kernel, selector, sources):
    """The instructions a selector names in a kernel, and the source
    iterations one pass through them covers; or None."""
    found = select_loop(kernel, selector, sources)
    return None if found is None else found[1:]


# A kernel's code outside its loops, all of it, each warp's once a block,
# where a launch names none of its own: its set-up and last writes, and
# the branches the case does not take (an upper figure).
OUTSIDE_ALL = loop_of("", outside=True)
# The full kernels' (Log_Full_Block's) up to logP's return, where VelmoraLog
# takes logP alone: the posteriors' set-up past it does not run.
FULL_BLOCK_LOGP = loop_of("", outside=True, until="if (a.out.R == nullptr) return;  // uniform across the block")


def keep_lines(body, selector, sources):
    if not selector.get("lines"):
        return body
    keep, texts = selector["lines"]
    return [i for i in body if any(t in source_text(sources, i["file"], i["line"]) for t in texts) == keep]


def outside_loops(kernel, selector, sources):
    """select_loop's answer for an `outside` selector: the code no loop
    holds, as a pass of a loop at head -1."""
    if "instructions" not in kernel:
        return None
    inside = {i["offset"] for lp in kernel["loops"] for i in lp["own"]}
    files = file_set(selector["file"])
    body = [i for i in kernel["instructions"]
            if i["offset"] not in inside and (files is None or i["file"] in files)]
    if selector.get("until"):
        ends = [i["offset"] for i in kernel["instructions"] if i["opcode"].split(".")[0] == "EXIT"
                and selector["until"] in source_text(sources, i["file"], i["line"])]
        if ends:
            body = [i for i in body if i["offset"] <= min(ends)]
    body = keep_lines(body, selector, sources)
    if not any(selector["text"] in source_text(sources, i["file"], i["line"]) for i in body):
        return None
    return {"head": -1, "tail": -1, "own": body, "innermost": False}, body, 1


def file_set(file):
    return (file,) if isinstance(file, str) else file


def nth_by_address(loops, n):
    ordered = sorted(loops, key=lambda lp: lp["head"])
    return ordered[n] if n < len(ordered) else None


def select_loop(kernel, selector, sources):
    """find_item's (loop, body, unroll)."""
    text, file = selector["text"], selector["file"]
    if selector.get("outside"):
        return outside_loops(kernel, selector, sources)
    loops = [lp for lp in kernel["loops"] if lp["tail"] > lp["head"]]
    hits = [lp for lp in loops
            if any(text in source_text(sources, i["file"], i["line"]) for i in lp["own"])]
    within = selector.get("within")
    if within:
        if isinstance(within, dict):
            found = select_loop(kernel, within, sources)
            outer = [found[0]] if found else []
        else:
            outer = [lp for lp in loops
                     if any(within in source_text(sources, i["file"], i["line"]) for i in lp["own"])]
        hits = [lp for lp in hits if any(o["head"] <= lp["head"] and lp["tail"] <= o["tail"] for o in outer)]
    if selector.get("holding"):
        htext, hop, hcount = selector["holding"]
        inner = [lp for lp in loops
                 if sum(1 for i in lp["own"] if i["opcode"].split(".")[0] == hop
                        and htext in source_text(sources, i["file"], i["line"])) == hcount]
        hits = [lp for lp in hits
                if any(lp["head"] <= o["head"] and o["tail"] <= lp["tail"] and o is not lp for o in inner)]
    if selector["marker"]:
        # Where the compiler moved a line's instruction into another loop,
        # that loop names the text too: the loop the marker counts in is meant.
        mtext, op, _ = selector["marker"]
        marked = [lp for lp in hits if any(i["opcode"].split(".")[0] == op
                                           and mtext in source_text(sources, i["file"], i["line"])
                                           for i in lp["own"])]
        hits = marked or hits
    if selector.get("without"):
        hits = [lp for lp in hits
                if not any(selector["without"] in source_text(sources, i["file"], i["line"])
                           for i in lp["own"])] or hits
    if not hits:
        return None
    copy = selector.get("copy")
    if file is None:
        inner = [lp for lp in hits if lp["innermost"]] or hits
        loop = max(inner, key=lambda lp: len(lp["own"])) if copy is None else nth_by_address(inner, copy)
        if loop is None:
            return None
        body = loop["own"]
    else:
        loop = min(hits, key=lambda lp: lp["tail"] - lp["head"]) if copy is None else nth_by_address(hits, copy)
        if loop is None:
            return None
        body = [i for i in loop["own"] if i["file"] in file_set(file)]
    body = keep_lines(body, selector, sources)
    unroll = 1
    if selector["marker"]:
        mtext, op, count = selector["marker"]
        seen = sum(1 for i in body if i["opcode"].split(".")[0] == op
                   and mtext in source_text(sources, i["file"], i["line"]))
        if selector.get("copy") is not None and seen % count:
            return None  # not the copy the launch means
        if seen < count:
            return None  # less than one iteration: not the loop meant, and the report says so
        unroll = seen // count
    return loop, body, unroll


def launch_time(kernels, launch, sources, gpu):
    """(low, high seconds, limiter, the launch's pipes, the selectors not
    found, the heads of the loops counted) for one launch."""
    name = next((n for n in kernels if launch["kernel"] in n), None)
    if name is None:
        return None
    k = kernels[name]
    demand = {"issue": 0.0, "FP64": 0.0, "tensor": 0.0, "shared": 0.0}
    high = l2_bytes = 0.0
    missing, counted = [], set()
    items = launch["items"]
    if "instructions" in k and not any(sel.get("outside") for sel, _ in items):
        items = items + [(OUTSIDE_ALL, launch["threads"] // 32)]
    for selector, passes in items:
        found = select_loop(k, selector, sources)
        if found is None:
            missing.append(selector["text"])
            continue
        loop, body, unroll = found
        if passes > 0:  # a case that never runs the loop (a tile kind it lacks) does not count it
            counted.add(loop["head"])
        passes /= unroll
        c = cost(name, body, sources)
        per = {"issue": c["issue"] / SUB_PARTITIONS, "FP64": c["fp64"] / SUB_PARTITIONS,
               "tensor": c["tensor"] / SUB_PARTITIONS, "shared": c["shared"]}
        for p in demand:
            demand[p] += passes * per[p]
        high += passes * max(per["issue"], per["FP64"], per["tensor"], c["shared_hi"])
        # `l2_share`: of the item's global bytes, the share that moves;
        # `l2_lines`: (text, share, count) for the global accesses of the
        # lines holding the text alone (a staging loop unrolled into a
        # larger one), which must number `count`: where every copy to shared
        # memory shares one line, one that nvcc moved into the loop would
        # otherwise take the share unseen.
        moved = c["global_bytes"] * selector.get("l2_share", 1.0)
        if selector.get("l2_lines"):
            text, share, count = selector["l2_lines"]
            lines = [i for i in body if text in source_text(sources, i["file"], i["line"])]
            held = cost(name, lines, sources)
            if held["global"] != count:
                missing.append(f"{selector['text']}: {held['global']} global accesses on lines "
                               f"holding {text!r}, where the model takes {count}")
            moved -= (1 - share) * held["global_bytes"]
        l2_bytes += launch["blocks"] * passes * moved
    per_sm = math.ceil(launch["blocks"] / SMS)
    compute_low = per_sm * max(demand.values()) / CLOCK
    compute_high = per_sm * high / CLOCK
    memory = {"DRAM": launch["dram"] / (DRAM[gpu] * DRAM_EFFICIENCY), "L2": l2_bytes / L2_BYTES_S}
    bound = max(memory, key=memory.get)
    lim = max(demand, key=demand.get) if compute_low >= memory[bound] else bound
    if max(compute_low, memory[bound]) < LAUNCH_S:
        lim = "launch"
    return (max(compute_low, memory[bound]) + LAUNCH_S, max(compute_high, memory[bound]) + LAUNCH_S, lim,
            {p: per_sm * v / CLOCK for p, v in demand.items()} | {"L2": memory["L2"]}, missing, (name, counted))


def model_case(kernels, case, fit, sources):
    launches = fit_launches(case) if fit else log_launches(case)
    row = {"case": case["name"], "N": case["N"], "dim": case["dim"], "K": case["K"],
           "mode": case["mode"], "kernels": [], "missing": []}
    cuda, tensor = floors(case, fit)
    row["cuda_floor_s"], row["tensor_floor_s"] = cuda, tensor
    for gpu in DRAM:
        low = high = 0.0
        limits = {}
        for launch in launches:
            got = launch_time(kernels, launch, sources, gpu)
            if got is None:
                row["missing"].append(launch["kernel"])
                continue
            lo, hi, lim, pipes, missing, (name, counted) = got
            low, high = low + lo, high + hi
            limits[launch["kernel"]] = (lo, lim)
            if gpu == "H100":
                row.setdefault("counted", []).append((name, counted))
                row["kernels"].append({"kernel": launch["kernel"], "blocks": launch["blocks"],
                                       "low_s": lo, "high_s": hi, "limiter": lim})
                row["missing"] += [f"{launch['kernel']}: {m}" for m in missing]
        row[gpu] = {"low_s": low, "high_s": high,
                    "limiter": max(limits.items(), key=lambda kv: kv[1][0])[1][1] if limits else "?"}
    if fit:
        row["logp_pass_s"] = sum(launch_time(kernels, l, sources, "H100")[0]
                                 for l in log_launches(case) if launch_time(kernels, l, sources, "H100"))
    return row


def analyse(kernels, sources):
    report = {"kernels": [], "cases": [], "local_in_loops": []}
    entries = {}
    for mangled, k in sorted(kernels.items(), key=lambda kv: short_name(kv[0])):
        name = short_name(mangled)
        r = k["resources"]
        occ = occupancy(threads_of(name), r.get("registers", 0), shared_of(name, r))
        entry = {"kernel": name, "source": k["source"], "threads": threads_of(name),
                 "registers": r.get("registers"), "smem": shared_of(name, r), "stack": r.get("stack"),
                 "spill_stores": r.get("spill_stores"), "spill_loads": r.get("spill_loads"),
                 "occupancy": occ, "loops": []}
        entries[mangled] = entry
        for lp in k["loops"]:
            if lp["tail"] == lp["head"]:
                continue  # the trap after the exit
            c = cost(mangled, lp["own"], sources)
            lim, pipes = limiter(c)
            entry["loops"].append({
                "head": lp["head"], "cases": [],
                "at": f"{lp['head']:#x}-{lp['tail']:#x}", "innermost": lp["innermost"],
                "source": span(lp["own"]), "instructions": c["issue"], "fp64_ops": c["fp64_ops"],
                "issue": c["issue"], "fp64": c["fp64"], "tensor": c["tensor"],
                "shared": c["shared"], "shared_hi": c["shared_hi"], "shared_ops": c["lds"] + c["global"],
                "local": c["local"], "limiter": lim,
                "fp64_busy": c["fp64"] / max(pipes.values()) if c["fp64"] else 0.0,
                "fp64_busy_hi": (c["fp64"] / max(c["issue"], c["fp64"], c["tensor"],
                                                 c["shared_hi"] * SUB_PARTITIONS)
                                 if c["fp64"] else 0.0),
                "conflicts": c["conflicts"], "underived": sorted(c["underived"])})
            if c["local"]:
                report["local_in_loops"].append({"kernel": name, "where": f"{lp['head']:#x} ({span(lp['own'])})",
                                                 "count": c["local"]})
        report["kernels"].append(entry)
    # A kernel fails when its loops hold more local-memory instructions
    # than the known cases allow (KNOWN_LOCAL).
    counts = {}
    for item in report["local_in_loops"]:
        counts[item["kernel"]] = counts.get(item["kernel"], 0) + item["count"]
    report["regressions"] = [{"kernel": k, "count": n, "allowed": KNOWN_LOCAL.get(k, 0)}
                             for k, n in sorted(counts.items()) if n > KNOWN_LOCAL.get(k, 0)]
    for case in LOG_CASES:
        report["cases"].append(model_case(kernels, case, False, sources))
    for case in FIT_CASES:
        report["cases"].append(model_case(kernels, case, True, sources))
    # Which cases count each loop: a loop with work that none counts is on
    # a path those cases do not take, or missing from the model.
    for row in report["cases"]:
        for mangled, heads in row.pop("counted", []):
            for lp in entries[mangled]["loops"]:
                if lp["head"] in heads and row["case"] not in lp["cases"]:
                    lp["cases"].append(row["case"])
    return report


def ms(s):
    return f"{s * 1e3:.3g} ms" if s >= 1e-4 else f"{s * 1e6:.3g} us"


def span_ms(lo, hi):
    if abs(hi - lo) < 0.005 * hi:
        return ms(lo)
    low, high = ms(lo).split(), ms(hi).split()
    return f"{low[0]}-{high[0]} {high[1]}" if low[1] == high[1] else f"{ms(lo)}-{ms(hi)}"


def ratio(lo, hi, floor):
    a, b = lo / floor, hi / floor
    return f"{a:.2f}x" if abs(b - a) < 0.01 else f"{a:.2f}-{b:.2f}x"


def markdown(report):
    out = ["# The kernels' machine code, as a model (no GPU has run them)", "",
           "Written by `bench/sass_report` from the sm_90 code that nvcc makes with the build's",
           "device flags (`-fmad=false`, `-O3`). A model of an H100 / H200 SXM: 132 SMs at",
           "1.98 GHz; per SM and clock, 4 sub-partitions issuing one warp instruction each, 64 FP64",
           "operations (a warp's DFMA/DADD/DMUL holds its sub-partition's FP64 pipe 2 clocks), 128",
           "FP64 tensor-core FMAs, 128 bytes through the L1 / shared-memory data path (one",
           "wavefront: a shared access, or a global load or store's data); HBM 3.35 / 4.8 TB/s",
           "at 85%; L2 5.5 TB/s to the SMs (assumed: no published figure), which every global load",
           "and store crosses. Figures from NVIDIA's throughput table for compute capability 9.0 and",
           "the data sheets; nothing here was measured. A GPU run replaces it.", "",
           "## Kernels", "",
           "| kernel | threads | registers | shared B | stack B | spills (st/ld B) | blocks/SM | occupancy (limit) |",
           "|---|---|---|---|---|---|---|---|"]
    for k in report["kernels"]:
        o = k["occupancy"]
        out.append(f"| {k['kernel']} | {k['threads']} | {k['registers']} | {k['smem']} | {k['stack']} | "
                   f"{k['spill_stores']}/{k['spill_loads']} | {o['blocks']} | "
                   f"{o['fraction'] * 100:.1f}% ({o['limit']}) |")
    out += ["", "## Loops", "",
            "Per pass of a warp through a loop's own body (nested loops apart): instructions",
            "issued (clocks of its sub-partition), FP64-pipe and tensor-pipe clocks, wavefronts of",
            "the L1 / shared data path (shared accesses by the bank model, and the figure if",
            "64/128-bit requests always take 2/4; global loads and stores by their bytes, taken as",
            "coalesced) and their SM clocks (x4: one data path serves four sub-partitions), local-memory",
            "instructions, the limiter, the most of the FP64 pipe the loop can use (1.0:",
            "FP64-bound), and the cases whose model counts the loop. A loop no case counts is on",
            "a path those cases do not take (another layout, template instance or run; posteriors),",
            "runs once a point or a block, or is missing from the model. Only loops with FP64,",
            "shared-memory or global-memory work are listed.", ""]
    for k in report["kernels"]:
        rows = [lp for lp in k["loops"] if lp["fp64_ops"] or lp["shared_ops"] or lp["local"]]
        if not rows:
            continue
        out += [f"### {k['kernel']}", "",
                "| loop | source | inner | issue | FP64 ops / clk | tensor | shared wavefronts (x4 clk) | LDL/STL | limiter | FP64 busy | counted in |",
                "|---|---|---|---|---|---|---|---|---|---|---|"]
        for lp in rows:
            sh = f"{lp['shared']}" + (f"-{lp['shared_hi']}" if lp["shared_hi"] != lp["shared"] else "")
            busy = f"{lp['fp64_busy']:.2f}" + (f"-{lp['fp64_busy_hi']:.2f}"
                                              if abs(lp["fp64_busy_hi"] - lp["fp64_busy"]) > 0.005 else "")
            out.append(f"| {lp['at']} | {lp['source']} | {'yes' if lp['innermost'] else ''} | "
                       f"{lp['issue']} | {lp['fp64_ops']} / {lp['fp64']:g} | {lp['tensor']:g} | {sh} | "
                       f"{lp['local'] or ''} | {lp['limiter']} | {busy} | {'; '.join(lp['cases'])} |")
        notes = sorted({c for lp in rows for c in lp["conflicts"]})
        under = sorted({u for lp in rows for u in lp["underived"]})
        if notes:
            out += ["", "Bank conflicts: " + "; ".join(notes) + "."]
        if under:
            out += ["", "Shared accesses taken as conflict-free (layout not modelled): " + ", ".join(under) + "."]
        out.append("")
    out += ["## Cases", "",
            "Device time of one call (VelmoraLog, logP only) or one iteration (the fit, X resident):",
            "per launch, the busiest SM's blocks times the larger of the pipes' demands, summed over",
            "the modelled loops (low: the pipes overlap across loops, bank model; high: each loop",
            "waits for its own limiter, phased shared requests), or HBM or L2 traffic if larger, plus 3 us",
            "a launch. Floors: the useful FP64 operations (the benchmark's count; the fit adds its",
            "statistics) at the CUDA cores' rate, and with the matrix products on the tensor cores.", "",
            "| case | N | dim | K | mode | H100 | H200 | CUDA-core floor | ratio | tensor floor | ratio | limiter |",
            "|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for c in report["cases"]:
        h1, h2 = c["H100"], c["H200"]
        out.append(f"| {c['case']} | {c['N']:.0e} | {c['dim']} | {c['K']} | {c['mode']} | "
                   f"{span_ms(h1['low_s'], h1['high_s'])} | {span_ms(h2['low_s'], h2['high_s'])} | "
                   f"{ms(c['cuda_floor_s'])} | {ratio(h1['low_s'], h1['high_s'], c['cuda_floor_s'])} | "
                   f"{ms(c['tensor_floor_s'])} | {ratio(h1['low_s'], h1['high_s'], c['tensor_floor_s'])} | "
                   f"{h1['limiter']} |")
    out += ["", "Per launch (H100):", ""]
    for c in report["cases"]:
        parts = ", ".join(f"{short_name(k['kernel'])} {span_ms(k['low_s'], k['high_s'])} ({k['limiter']})"
                          for k in c["kernels"])
        extra = ""
        if "logp_pass_s" in c:
            extra = f"; a logP-only pass {ms(c['logp_pass_s'])}, the iteration {c['H100']['low_s'] / c['logp_pass_s']:.2f}x it"
        out.append(f"- {c['case']}: {parts}{extra}.")
        if c["missing"]:
            out.append(f"  Not found in the code, left out: {'; '.join(c['missing'])}.")
    out += ["", "## Local memory in loops", ""]
    if report["local_in_loops"]:
        out += [f"- {b['kernel']}: {b['count']} LDL/STL in the loop at {b['where']}"
                + ("" if b["kernel"] in KNOWN_LOCAL else " (new)") for b in report["local_in_loops"]]
        if KNOWN_LOCAL:
            out += ["", "Known and allowed, until fixed: "
                    + ", ".join(f"{k} {n}" for k, n in KNOWN_LOCAL.items()) + " (LDL/STL over its loops)."]
    else:
        out.append("None: no loop of any kernel reads or writes local memory.")
    for r in report["regressions"]:
        out.append(f"- FAILED: {r['kernel']} has {r['count']} LDL/STL in its loops, {r['allowed']} allowed.")
    out.append("")
    return "\n".join(out)


def summary(report):
    return {"model": "H100/H200 SXM from published throughputs; not measured",
            "kernels": [{k: v for k, v in e.items() if k != "loops"} |
                        {"hot_loops": [lp for lp in e["loops"] if lp["innermost"] and lp["fp64_ops"]]}
                        for e in report["kernels"]],
            "cases": report["cases"], "local_in_loops": report["local_in_loops"],
            "local_allowed": KNOWN_LOCAL, "regressions": report["regressions"]}
