// The M-step's sufficient statistics, reduced in a fixed order: each block
// sums one unit's points for a tile of its record, thread by thread in
// point order, then over its thread groups in group order; a last kernel
// sums the units' records in unit order. No atomics: a fit repeats bit for
// bit, and the bits do not depend on the chunks.
//
// Every second moment is taken about the cluster's shift (the means that
// produced the posteriors): d = x - shift first, then r d and r d d', so
// that data far from the origin lose nothing to cancellation.
#include <cuda_runtime.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <type_traits>

#include "device.h"
#include "diagonal_sum.h"
#include "small_dims.h"
#include "staging.h"
#include "statistics.h"
#include "take.h"
#include "tensor.h"

namespace velmora_log {

namespace {

constexpr int kThreads = 256;

// ---------------------------------------------------------------------------
// Weights, sums and diagonal second moments.
//
// A thread owns kCK clusters x kCI coordinates, interleaved so that a warp's
// lanes read neighbouring coordinates; a block's threads form groups of
// ti x tk threads that cover a tile of up to 64 coordinates x 64 clusters,
// and the groups split each staged slab of points between them. Small dims
// and few clusters thus still keep every thread busy. A slab holds as many
// points as the staging area takes for the tile's width (up to 256), so
// narrow tiles pass few barriers.

constexpr int kCI = 2, kCK = 4;          // coordinates and clusters per thread
constexpr int kMaxTI = 32, kMaxTK = 16;  // threads along each, at most
constexpr int kValues = kCK * (1 + 2 * kCI);  // a thread's accumulators
constexpr int kStage = kThreads * kValues;    // doubles of the staging area

struct Moments_Args {
  Unit_Points x;
  const double *R;
  const double *posterior_shift;  // R holds raw log terms, normalised here by these pairs
  const double *shift;
  Index K;
  double *partial;
  Index stride, per_cluster;
  int ti, tk;            // threads of a group along coordinates and along clusters
  int i_tiles, k_tiles;  // tiles of coordinates and of clusters
  int slab;              // points staged at once
};

struct Moments_Shared {
  union {
    double stage[kStage];  // slab x (width + 1) coordinates, then slab x (width + 1) weights
    double red[kThreads][kValues];  // the groups' accumulators, for their fixed-order sum
  };
};

// What R holds, known when compiled so that the staging of a slab's
// posteriors carries only its own code.
constexpr int kWeightOne = 0;   // no R: every point weighs 1 (times its own weight)
constexpr int kRawTerms = 1;    // raw log terms, normalised by their points' Posterior_Shift
constexpr int kPosteriors = 2;  // the posteriors themselves

// kSecond: the weighted squares too (diagonal mode). Known when compiled:
// as a flag, full mode's sums issued every square's FMA, predicated off.
template <int kR, bool kSecond>
__global__ void __launch_bounds__(kThreads) Moments_Kernel(Moments_Args a) {
  __shared__ Moments_Shared sh;
  const int t = static_cast<int>(threadIdx.x);
  const int group_threads = a.ti * a.tk, groups = kThreads / group_threads;
  const int g = t / group_threads, lt = t % group_threads, ti = lt % a.ti, tk = lt / a.ti;
  const Index tiles = Index{a.i_tiles} * a.k_tiles, b = blockIdx.x;
  const Index u = b / tiles, rest = b % tiles;
  const int width_i = kCI * a.ti, width_k = kCK * a.tk;
  const Index k0 = rest / a.i_tiles * width_k, i0 = rest % a.i_tiles * width_i;
  const Index dim = a.x.dim, K = a.K;
  const Index begin = u * a.x.unit, end = Min(a.x.count, begin + a.x.unit);
  const int x_pitch = width_i + 1, r_pitch = width_k + 1, slab = a.slab;
  double *const xs = sh.stage, *const rs = sh.stage + slab * x_pitch;
  // The tiles' widths are powers of two: a thread's column and first point
  // come by mask and shift.
  const int shift_i = Shift_Covering(width_i), shift_k = Shift_Covering(width_k);

  double centre[kCK][kCI], n[kCK], s[kCK][kCI], m[kCK][kCI];
  for (int q = 0; q < kCK; ++q) {
    n[q] = 0.0;
    for (int c = 0; c < kCI; ++c) {
      const Index k = k0 + q * a.tk + tk, i = i0 + c * a.ti + ti;
      centre[q][c] = k < K && i < dim ? a.shift[k * dim + i] : 0.0;
      s[q][c] = m[q][c] = 0.0;
    }
  }
  // Both widths divide the block, so a thread stages one column of each
  // (coordinate li, cluster lk) and steps through the slab's points; its
  // offsets into X and R advance by one add a pass.
  const int li = t & (width_i - 1), pi = t >> shift_i, step_i = kThreads >> shift_i;
  const int lk = t & (width_k - 1), pk = t >> shift_k, step_k = kThreads >> shift_k;
  const bool in_i = i0 + li < dim, in_k = k0 + lk < K;
  // Cluster lk's weight over the points this thread stages, in their order:
  // a posterior is added once where it is staged, where every thread along
  // the coordinates would add it again.
  double staged = 0.0;
  for (Index p0 = begin; p0 < end; p0 += slab) {
    __syncthreads();  // the previous slab is no longer read
    const int points = static_cast<int>(Min(Index{slab}, end - p0));
    Index at = (p0 + pi) * dim + i0 + li;
    for (int p = pi; p < slab; p += step_i, at += step_i * dim)
      Copy_To_Shared(&xs[p * x_pitch + li], a.x.X + at, in_i && p < points);
    // The entries this thread forms, then the padding, which weighs 0 and so
    // adds exactly nothing: no test an entry, around which the exp's
    // constants were loaded again for each.
    at = (p0 + pk) * K + k0 + lk;
    const int formed = in_k ? points : 0;
    int p = pk;
#pragma unroll 2
    for (; p < formed; p += step_k, at += step_k * K) {
      const Index j = p0 + p;
      double r;
      if constexpr (kR == kWeightOne) r = Weigh(1.0, a.x.w, j);
      else if constexpr (kR == kRawTerms)
        r = Take(Posterior_Shift{a.posterior_shift[2 * j], a.posterior_shift[2 * j + 1]}.Posterior(a.R[at]),
                 a.x, j);
      else r = Take(a.R[at], a.x, j);
      rs[p * r_pitch + lk] = r;
      staged += r;
    }
    for (; p < slab; p += step_k) rs[p * r_pitch + lk] = 0.0;
    Sync_Staged();  // the slab's points and weights
#pragma unroll 1
    for (int p = g; p < slab; p += groups) {
      for (int q = 0; q < kCK; ++q) {
        const double r = rs[p * r_pitch + q * a.tk + tk];
        for (int c = 0; c < kCI; ++c) {
          // The sum in one rounding, fma(r, d, s): where full mode needs no
          // square, r d is never formed on its own.
          const double d = xs[p * x_pitch + c * a.ti + ti] - centre[q][c];
          s[q][c] = fma(r, d, s[q][c]);
          if constexpr (kSecond) m[q][c] = fma(r * d, d, m[q][c]);
        }
      }
    }
  }
  // The weights: cluster kq's stagers' sums, in their order, taken by the
  // thread that writes them (of the first group: the groups' sum below then
  // adds 0 to them).
  __syncthreads();  // the slab is no longer read
  sh.stage[t] = staged;  // t = pk width_k + lk
  __syncthreads();
  if (g == 0 && ti == 0 && i0 == 0)
    for (int q = 0; q < kCK; ++q) {
      const int kq = q * a.tk + tk;
      for (int h = 0; h < step_k; ++h) n[q] += sh.stage[h * width_k + kq];
    }
  if (groups > 1) {
    __syncthreads();  // the weights are read: the groups' sums take their place
    double *mine = sh.red[t];
    for (int q = 0; q < kCK; ++q) {
      mine[q] = n[q];
      for (int c = 0; c < kCI; ++c) {
        mine[kCK + q * kCI + c] = s[q][c];
        mine[kCK + kCK * kCI + q * kCI + c] = m[q][c];
      }
    }
    __syncthreads();
    if (g != 0) return;  // no barrier follows
    for (int v = 0; v < kValues; ++v) {
      double total = sh.red[lt][v];
      for (int h = 1; h < groups; ++h) total += sh.red[h * group_threads + lt][v];
      mine[v] = total;  // this thread's own row: no other thread reads it now
    }
    for (int q = 0; q < kCK; ++q) {
      n[q] = mine[q];
      for (int c = 0; c < kCI; ++c) {
        s[q][c] = mine[kCK + q * kCI + c];
        m[q][c] = mine[kCK + kCK * kCI + q * kCI + c];
      }
    }
  }
  double *record = a.partial + u * a.stride;
  for (int q = 0; q < kCK; ++q) {
    const Index k = k0 + q * a.tk + tk;
    if (k >= K) continue;
    double *own = record + k * a.per_cluster;
    if (ti == 0 && i0 == 0) own[0] = n[q];
    for (int c = 0; c < kCI; ++c) {
      const Index i = i0 + c * a.ti + ti;
      if (i >= dim) continue;
      own[1 + i] = s[q][c];
      if (kSecond) own[1 + dim + i] = m[q][c];
    }
  }
}

// The smallest power of two at least v, capped.
int Power_Of_Two(Index v, int cap) {
  int p = 1;
  while (p < v && p < cap) p *= 2;
  return p;
}

// ---------------------------------------------------------------------------
// Full second moments: per cluster, sum_j r_jk d_j d_j' with d_j = x_j -
// shift_k, upper triangle only, in TS x TS tiles of the triangle. A thread
// holds an RT x RT tile of the tile in registers (rows and columns
// interleaved across the threads, so that a warp's lanes read neighbouring
// entries); below 64 coordinates the block's threads form groups that split
// each slab of points, summed in group order at the end. In a tile on the
// diagonal, a thread's entries below it are skipped: with interleaved rows
// and columns, row block r > column block c lies wholly below.

// Points staged at once: narrower tiles take more, in the same room.
template <int TS>
constexpr int kSlab = TS == 64 ? 32 : TS == 32 ? 64 : TS == 16 ? 128 : 256;

struct Second_Args {
  Unit_Points x;
  const double *R;
  const double *shift;
  Index K;
  double *partial;
  Index stride, per_cluster;
  int tiles;  // of the triangle, per cluster
};

template <int TS, int RT>
struct Second_Shared {
  union {
    struct {
      double a[kSlab<TS>][TS + 1];  // r (x - shift) over the tile's rows
      double b[kSlab<TS>][TS + 1];  // (x - shift) over its columns
    } stage;
    double red[kThreads][RT * RT];
  };
  double rs[kSlab<TS>];  // the slab's weighted posteriors, each taken once
};

// A block's unit, cluster and tile of the triangle (tiles run column by
// column over it), and the coordinate its thread t stages: a thread stages
// the same coordinate of every point it takes (TS divides the block), so its
// two shift entries are read once.
template <int TS>
struct Second_Place {
  Index u, k;
  bool diagonal;
  Index dim, row0, col0, begin, end;
  int l;
  Index ia, ib;
  bool a_in, b_in;
  double mu_a, mu_b;

  __device__ Second_Place(const Second_Args &a, int t) {
    static_assert(kThreads % TS == 0, "a thread keeps its staging column");
    const Index per_unit = a.K * a.tiles, b = blockIdx.x;
    u = b / per_unit;
    k = b % per_unit / a.tiles;
    const int tile = static_cast<int>(b % a.tiles);
    int tb = 0;
    while ((tb + 1) * (tb + 2) / 2 <= tile) ++tb;
    const int ta = tile - tb * (tb + 1) / 2;
    diagonal = ta == tb;
    dim = a.x.dim;
    row0 = Index{ta} * TS;
    col0 = Index{tb} * TS;
    begin = u * a.x.unit;
    end = Min(a.x.count, begin + a.x.unit);
    l = t % TS;
    ia = row0 + l;
    ib = col0 + l;
    a_in = ia < dim;
    b_in = ib < dim;
    const double *mu = a.shift + k * dim;
    mu_a = a_in ? mu[ia] : 0.0;
    mu_b = b_in ? mu[ib] : 0.0;
  }
};

template <int RT, bool kDiagonal>
__device__ __forceinline__ void Outer_Product(double (&acc)[RT][RT], const double (&av)[RT],
                                              const double (&bv)[RT]) {
  for (int r = 0; r < RT; ++r)
    for (int c = kDiagonal ? r : 0; c < RT; ++c) acc[r][c] = fma(av[r], bv[c], acc[r][c]);
}

template <int TS, int RT>
__global__ void __launch_bounds__(kThreads) Second_Kernel(Second_Args a) {
  constexpr int kTT = TS / RT, kGroupThreads = kTT * kTT, kGroups = kThreads / kGroupThreads;
  __shared__ Second_Shared<TS, RT> sh;
  const int t = static_cast<int>(threadIdx.x);
  const int g = t / kGroupThreads, lt = t % kGroupThreads, ty = lt / kTT, tx = lt % kTT;
  const Second_Place<TS> place(a, t);
  double acc[RT][RT] = {};
  for (Index p0 = place.begin; p0 < place.end; p0 += kSlab<TS>) {
    __syncthreads();  // the previous slab is no longer read
    static_assert(kSlab<TS> <= kThreads, "a thread a posterior");
    if (t < kSlab<TS>) {
      const Index j = p0 + t;
      sh.rs[t] = j < place.end ? Take(a.R[j * a.K + place.k], a.x, j) : 0.0;
    }
    __syncthreads();
    for (int p = t / TS; p < kSlab<TS>; p += kThreads / TS) {
      const Index j = p0 + p;
      const bool in = j < place.end;
      const double r = sh.rs[p];
      const double *x = a.x.X + j * place.dim;
      sh.stage.a[p][place.l] = in && place.a_in ? r * (x[place.ia] - place.mu_a) : 0.0;
      sh.stage.b[p][place.l] = in && place.b_in ? x[place.ib] - place.mu_b : 0.0;
    }
    __syncthreads();
    for (int p = g; p < kSlab<TS>; p += kGroups) {
      double av[RT], bv[RT];
      for (int r = 0; r < RT; ++r) av[r] = sh.stage.a[p][ty + r * kTT];
      for (int c = 0; c < RT; ++c) bv[c] = sh.stage.b[p][tx + c * kTT];
      if (place.diagonal) Outer_Product<RT, true>(acc, av, bv);
      else Outer_Product<RT, false>(acc, av, bv);
    }
  }
  if (kGroups > 1) {
    __syncthreads();  // the slab is no longer read
    for (int r = 0; r < RT; ++r)
      for (int c = 0; c < RT; ++c) sh.red[t][r * RT + c] = acc[r][c];
    __syncthreads();
    if (g != 0) return;  // no barrier follows
    for (int r = 0; r < RT; ++r)
      for (int c = 0; c < RT; ++c) {
        double total = sh.red[lt][r * RT + c];
        for (int h = 1; h < kGroups; ++h) total += sh.red[h * kGroupThreads + lt][r * RT + c];
        acc[r][c] = total;
      }
  }
  double *second = a.partial + place.u * a.stride + place.k * a.per_cluster + 1 + place.dim;
  for (int r = 0; r < RT; ++r)
    for (int c = 0; c < RT; ++c) {
      const Index ia = place.row0 + ty + r * kTT, ib = place.col0 + tx + c * kTT;
      if (ia <= ib && ib < place.dim) second[ib * (ib + 1) / 2 + ia] = acc[r][c];
    }
}

// On the FP64 tensor cores (tensor.h): the same tiles of the triangle, as
// 8 x 8 products of rows by columns, 4 points a step.
// A warp takes every column tile and RW of the NR = TS / 8 row tiles: all
// of them up to TS 32, a pair r and NR - 1 - r at TS 64 (where all would
// not fit in registers). On a tile on the diagonal it skips the column tiles
// left of each row tile, so every warp makes as many products a step as
// any other. The warps form groups that cover the row tiles and take every
// G-th step of a slab. An entry is thus a chain of fused multiply-adds over
// its group's points in order, and the groups' chains are added in group
// order.

template <int TS>
struct Second_Tensor {
  static constexpr int kTiles = TS / 8;                         // NR
  static constexpr int kRowTiles = TS <= 32 ? kTiles : 2;       // RW
  static constexpr int kWarps = kTiles / kRowTiles;             // warps of a group
  static constexpr int kGroupThreads = 32 * kWarps;
  static constexpr int kGroups = kThreads / kGroupThreads;      // G
  static constexpr int kAcc = kRowTiles * kTiles * 2;           // a lane's entries
  // A point's row of the stage: 8 doubles past a multiple of 16, so that a
  // fragment's four points fall on both halves of the banks (lanes 4g + c
  // read c kStride + g), and its loads take two wavefronts.
  static constexpr int kStride = TS + 8 - TS % 16;
  // Up to 32 coordinates (and fewer than eight clusters: from eight,
  // Second_Clusters_Kernel) the triangle is one tile, on the diagonal, whose
  // rows' fragments are its columns': only the columns are staged, in the
  // rows' room too, so that a slab's barriers and set-up serve more
  // products: 512 points at TS 8 (a fit's unit in one slab), 128 at 16
  // and 32, where the stage stays under 41 KB.
  static constexpr bool kOneTile = TS <= 32;
  static constexpr int kPoints = TS == 8 ? 512 : kOneTile ? 128 : kSlab<TS>;  // a slab's
  static constexpr int kSteps = kPoints / 4;
  static_assert(kSteps % kGroups == 0, "every group takes as many steps of a slab");
  static constexpr int kStage = (kOneTile ? 1 : 2) * kPoints * kStride;
  // Groups whose chains the staging room holds at once, for their sum.
  static constexpr int kRound = kStage / (kAcc * kGroupThreads);
  static_assert(kRound >= 1, "a group's chains fit");
  union {
    struct {
      double a[kOneTile ? 1 : kPoints * kStride];  // x - shift of point p over row l at a[p * kStride + l]
      double b[kPoints * kStride];  // over the columns (and the rows, on the diagonal)
    } stage;
    double red[kStage];  // a round of groups' entries: e of group thread t at red[e * kRound *
                         // kGroupThreads + (group - first) * kGroupThreads + t]
  };
  double rs[kPoints];
};

// Row tile i of a warp of pair p.
template <int TS>
__host__ __device__ constexpr int Second_Row(int i, int p) {
  using S = Second_Tensor<TS>;
  return S::kRowTiles == S::kTiles ? i : i == 0 ? p : S::kTiles - 1 - p;
}

// A group's steps of a slab, for a warp of pair P, on a tile on the
// diagonal or off it: with both known when compiled, a step issues only the
// products it makes (a product skipped under a runtime condition would be
// predicated off, and issued all the same).
template <int TS, bool kDiagonal, int P>
__device__ __forceinline__ void Second_Steps(double (&acc)[Second_Tensor<TS>::kRowTiles][TS / 8][2],
                                             const double *a_at, const double *b_at,
                                             const double *rs, int group, int c) {
  using S = Second_Tensor<TS>;
  constexpr int NR = S::kTiles;
#pragma unroll 1
  for (int step = group; step < S::kSteps; step += S::kGroups) {
    const int at = 4 * step * S::kStride;
    const double r = rs[4 * step + c];
    double bv[NR];
#pragma unroll
    for (int q = 0; q < NR; ++q) bv[q] = b_at[at + 8 * q];
#pragma unroll
    for (int i = 0; i < S::kRowTiles; ++i) {
      // On the diagonal a row tile is one of the column tiles: its
      // fragment is already loaded.
      const double av =
          r * (kDiagonal ? bv[Second_Row<TS>(i, P)] : a_at[at + 8 * Second_Row<TS>(i, P)]);
      // Left of the diagonal, within a tile on it: below the triangle.
#pragma unroll
      for (int q = kDiagonal ? Second_Row<TS>(i, P) : 0; q < NR; ++q)
        Mma_884(acc[i][q][0], acc[i][q][1], av, bv[q], acc[i][q][0], acc[i][q][1]);
    }
  }
}

template <int TS, bool kDiagonal, int P = 0>
__device__ __forceinline__ void Second_Steps_Of(int pair, double (&acc)[Second_Tensor<TS>::kRowTiles][TS / 8][2],
                                                const double *a_at, const double *b_at,
                                                const double *rs, int group, int c) {
  if constexpr (P + 1 < Second_Tensor<TS>::kWarps) {
    if (pair != P) {
      Second_Steps_Of<TS, kDiagonal, P + 1>(pair, acc, a_at, b_at, rs, group, c);
      return;
    }
  }
  Second_Steps<TS, kDiagonal, P>(acc, a_at, b_at, rs, group, c);
}

template <int TS>
__device__ __forceinline__ void Second_Tensor_Steps(bool diagonal, int pair,
                                                    double (&acc)[Second_Tensor<TS>::kRowTiles][TS / 8][2],
                                                    const double *a_at, const double *b_at,
                                                    const double *rs, int group, int c) {
  if (diagonal) Second_Steps_Of<TS, true>(pair, acc, a_at, b_at, rs, group, c);
  else Second_Steps_Of<TS, false>(pair, acc, a_at, b_at, rs, group, c);
}

template <int TS>
__global__ void __launch_bounds__(kThreads) Second_Tensor_Kernel(Second_Args a) {
  using S = Second_Tensor<TS>;
  constexpr int NR = S::kTiles, RW = S::kRowTiles;
  __shared__ S sh;
  const int t = static_cast<int>(threadIdx.x), warp = t / 32, g = t % 32 / 4, c = t % 4;
  const int pair = warp % S::kWarps, group = warp / S::kWarps, gt = t % S::kGroupThreads;
  const Second_Place<TS> place(a, t);
  double acc[RW][NR][2] = {};
  // Lane 4g + c: A[g][c] is point c of a step over row 8 r + g, weighted
  // by its posterior, B[c][g] the same point over column 8 q + g (on the
  // diagonal, the rows' fragments are the columns').
  const double *b_at = sh.stage.b + c * S::kStride + g;
  const double *a_at = S::kOneTile ? b_at : sh.stage.a + c * S::kStride + g;
  // Known when compiled where there is one tile.
  const bool diagonal = S::kOneTile || place.diagonal;
  for (Index p0 = place.begin; p0 < place.end; p0 += S::kPoints) {
    __syncthreads();  // the previous slab is no longer read
    // A posterior a thread, or two at TS 8: a count known when compiled.
#pragma unroll
    for (int q = 0; q < (S::kPoints + kThreads - 1) / kThreads; ++q) {
      const int p = t + q * kThreads;
      const Index j = p0 + p;
      if (p < S::kPoints) sh.rs[p] = j < place.end ? Take(a.R[j * a.K + place.k], a.x, j) : 0.0;
    }
    __syncthreads();
    // A thread steps through its points by fixed strides; on a tile on the
    // diagonal its row and column are one coordinate, read and kept once.
    // The posterior weighs a row's fragment as it is loaded.
    constexpr int kStep = kThreads / TS, kOut = kStep * S::kStride;
    const int in_slab = static_cast<int>(Min(Index{S::kPoints}, place.end - p0));
    const Index stride = kStep * place.dim;
    const double *xa = a.x.X + (p0 + t / TS) * place.dim + (place.a_in ? place.ia : 0);
    const double *xb = a.x.X + (p0 + t / TS) * place.dim + (place.b_in ? place.ib : 0);
    double *sb = sh.stage.b + (t / TS) * S::kStride + place.l;
    if (diagonal && in_slab == S::kPoints) {
      // A whole slab (all but a unit's last part one): no point to test,
      // as many for every thread, and lanes past dim stage their zeros in
      // a loop of their own.
      static_assert(S::kPoints % kStep == 0, "a thread's points of a slab");
      constexpr int kTrips = S::kPoints / kStep;
      if (place.a_in) {
#pragma unroll 4
        for (int q = 0; q < kTrips; ++q, xa += stride, sb += kOut) *sb = *xa - place.mu_a;
      } else {
#pragma unroll 1
        for (int q = 0; q < kTrips; ++q, sb += kOut) *sb = 0.0;
      }
    } else if (diagonal) {
      for (int p = t / TS; p < S::kPoints; p += kStep, xa += stride, sb += kOut)
        *sb = p < in_slab && place.a_in ? *xa - place.mu_a : 0.0;
    } else {
      double *sa = sh.stage.a + (sb - sh.stage.b);
      for (int p = t / TS; p < S::kPoints; p += kStep, xa += stride, xb += stride, sa += kOut,
               sb += kOut) {
        const bool in = p < in_slab;
        *sa = in && place.a_in ? *xa - place.mu_a : 0.0;
        *sb = in && place.b_in ? *xb - place.mu_b : 0.0;
      }
    }
    __syncthreads();
    Second_Tensor_Steps<TS>(diagonal, pair, acc, a_at, b_at, sh.rs, group, c);
  }
  // The groups' chains, added to group 0's in group order, a round of
  // groups at a time.
  constexpr int kSpan = S::kRound * S::kGroupThreads;
  for (int first = 1; first < S::kGroups; first += S::kRound) {
    __syncthreads();  // the slab, or the last round, is no longer read
    if (group >= first && group < first + S::kRound) {
      double *mine = sh.red + (group - first) * S::kGroupThreads + gt;
      for (int i = 0; i < RW; ++i)
        for (int q = 0; q < NR; ++q)
          for (int h = 0; h < 2; ++h) mine[((i * NR + q) * 2 + h) * kSpan] = acc[i][q][h];
    }
    __syncthreads();
    if (group != 0) continue;
    const int last = Min(S::kGroups, first + S::kRound);
    for (int i = 0; i < RW; ++i)
      for (int q = 0; q < NR; ++q)
        for (int h = 0; h < 2; ++h)
          for (int o = first; o < last; ++o)
            acc[i][q][h] += sh.red[((i * NR + q) * 2 + h) * kSpan + (o - first) * S::kGroupThreads + gt];
  }
  if (group != 0) return;  // no barrier follows
  double *second = a.partial + place.u * a.stride + place.k * a.per_cluster + 1 + place.dim;
  for (int i = 0; i < RW; ++i)
    for (int q = 0; q < NR; ++q)
      for (int h = 0; h < 2; ++h) {
        const Index ra = place.row0 + 8 * Second_Row<TS>(i, pair) + g, cb = place.col0 + 8 * q + 2 * c + h;
        if (ra <= cb && cb < place.dim) second[cb * (cb + 1) / 2 + ra] = acc[i][q][h];
      }
}

// Up to 32 coordinates the triangle is one tile, on the diagonal, and a
// block takes eight clusters of a unit, a warp each: the unit's X is staged
// once a slab, raw, for all eight, and each warp subtracts its own centre as
// it loads a fragment (x - shift, the same subtraction), where a block of
// one cluster staged the unit's X for every cluster. A warp takes every
// step of a slab, so an entry is one chain of fused multiply-adds over the
// unit's points in order. Lane 4g + c holds B[c][g], point c of a step over
// column 8q + g, and weighs the row's fragment by its point's posterior.
//
// The same kernel takes the weights and the sums of r (x - shift), on the
// CUDA cores beside the products: it holds every d = x - shift and its
// posterior already, and a kernel of their own read X and R from memory
// again, which took as long as half the products. Lane 4g + c sums its
// points c, c + 4, ... of the unit in order, fma(r, d, s), and a row's
// four lanes are added in c order.
template <int TS>
struct Second_Clusters {
  static constexpr int kTiles = TS / 8;  // NR: row and column tiles
  static constexpr int kClusters = kThreads / 32;
  static constexpr int kStride = Second_Tensor<TS>::kStride;
  // A slab's points: the stage and the posteriors within 48 KB.
  static constexpr int kPoints = TS == 8 ? 256 : 128;
  static constexpr int kSteps = kPoints / 4;
  double x[kPoints * kStride];  // x of point p over coordinate l at x[p * kStride + l], 0 past dim
  double rs[kPoints][kClusters];  // point by point, as R holds them: stored without conflicts
};

template <int TS>
__global__ void __launch_bounds__(kThreads) Second_Clusters_Kernel(Second_Args a) {
  using S = Second_Clusters<TS>;
  constexpr int NR = S::kTiles;
  static_assert(kThreads % TS == 0 && S::kPoints % (kThreads / TS) == 0, "whole passes");
  __shared__ S sh;
  const int t = static_cast<int>(threadIdx.x), warp = t / 32, g = t % 32 / 4, c = t % 4;
  const Index groups = (a.K + S::kClusters - 1) / S::kClusters, b = blockIdx.x;
  const Index u = b / groups, k0 = b % groups * S::kClusters, k = k0 + warp;
  const Index dim = a.x.dim, begin = u * a.x.unit, end = Min(a.x.count, begin + a.x.unit);
  const bool live = k < a.K;  // uniform across the warp
  // This lane's centre for each column tile: mu_k over coordinate 8q + g.
  double mu[NR];
#pragma unroll
  for (int q = 0; q < NR; ++q) mu[q] = live && 8 * q + g < dim ? a.shift[k * dim + 8 * q + g] : 0.0;
  double acc[NR][NR][2] = {}, sums[NR] = {}, weight = 0.0;
  const double *b_at = sh.x + c * S::kStride + g;
  // A thread stages coordinate l of every (kThreads / TS)-th point.
  constexpr int kStep = kThreads / TS;
  const int l = t % TS;
  const bool l_in = l < dim;
  for (Index p0 = begin; p0 < end; p0 += S::kPoints) {
    __syncthreads();  // the previous slab is no longer read
    const int in_slab = static_cast<int>(Min(Index{S::kPoints}, end - p0));
    // The eight clusters' posteriors of a point are contiguous in R.
    for (int e = t; e < S::kClusters * S::kPoints; e += kThreads) {
      const int p = e / S::kClusters, cw = e % S::kClusters;
      const Index j = p0 + p;
      sh.rs[p][cw] = p < in_slab && k0 + cw < a.K ? Take(a.R[j * a.K + k0 + cw], a.x, j) : 0.0;
    }
    const double *x = a.x.X + (p0 + t / TS) * dim + (l_in ? l : 0);
#pragma unroll 4
    for (int q = 0; q < S::kPoints / kStep; ++q, x += kStep * dim) {
      const int p = t / TS + q * kStep;
      Copy_To_Shared(&sh.x[p * S::kStride + l], x, p < in_slab && l_in);
    }
    Sync_Staged();  // the slab's points and posteriors
    // Every warp makes the same products, a warp past the last cluster on
    // posteriors of 0: the tensor cores' instruction is a warp's, and the
    // CPU device runs a block's warps through it together.
    const double *rs = &sh.rs[0][warp];
#pragma unroll 1
    for (int step = 0; step < S::kSteps; ++step) {
      const int at = 4 * step * S::kStride;
      const double r = rs[(4 * step + c) * S::kClusters];
      double bv[NR];
#pragma unroll
      for (int q = 0; q < NR; ++q) bv[q] = b_at[at + 8 * q] - mu[q];
      weight += r;
#pragma unroll
      for (int q = 0; q < NR; ++q) sums[q] = fma(r, bv[q], sums[q]);
#pragma unroll
      for (int i = 0; i < NR; ++i) {
        const double av = r * bv[i];
        // Left of the diagonal: below the triangle.
#pragma unroll
        for (int q = i; q < NR; ++q)
          Mma_884(acc[i][q][0], acc[i][q][1], av, bv[q], acc[i][q][0], acc[i][q][1]);
      }
    }
  }
  // A row's four lanes meet in the stage: the weight, then its sums.
  constexpr int kSums = 1 + NR;
  static_assert(S::kClusters * 32 * kSums <= S::kPoints * S::kStride, "a block's sums fit the stage");
  __syncthreads();  // the last slab is no longer read
  double *const row = sh.x + (warp * 32 + 4 * g) * kSums;  // lanes 4g .. 4g + 3
  row[c * kSums] = weight;
#pragma unroll
  for (int q = 0; q < NR; ++q) row[c * kSums + 1 + q] = sums[q];
  __syncthreads();
  if (!live) return;  // no barrier follows
  double *const record = a.partial + u * a.stride + k * a.per_cluster;
  // Value v (0: the weight, 1 + q: the sum over column tile q) of the four
  // lanes, in c order.
  const auto lanes = [row](int v) {
    return ((row[v] + row[kSums + v]) + row[2 * kSums + v]) + row[3 * kSums + v];
  };
  if (c == 0) {
    if (g == 0) record[0] = lanes(0);
#pragma unroll
    for (int q = 0; q < NR; ++q)
      if (8 * q + g < dim) record[1 + 8 * q + g] = lanes(1 + q);
  }
  double *second = record + 1 + dim;
  for (int i = 0; i < NR; ++i)
    for (int q = i; q < NR; ++q)
      for (int h = 0; h < 2; ++h) {
        const Index ra = 8 * i + g, cb = 8 * q + 2 * c + h;
        if (ra <= cb && cb < dim) second[cb * (cb + 1) / 2 + ra] = acc[i][q][h];
      }
}

int Tile_Side(Index dim) { return dim <= 8 ? 8 : dim <= 16 ? 16 : dim <= 32 ? 32 : 64; }

int Triangle_Tiles(Index dim) {
  const Index side = (dim + Tile_Side(dim) - 1) / Tile_Side(dim);
  return static_cast<int>(side * (side + 1) / 2);
}

template <class Kernel>
void Launch_Second(Kernel kernel, const Second_Args &args, Index units, cudaStream_t stream) {
  Launch(kernel, dim3(static_cast<unsigned int>(units * args.K * args.tiles)), dim3(kThreads),
         stream, args);
}

// Tiles of side TS on the tensor cores, or on the CUDA cores in RT x RT
// register tiles; true where the kernel took the weights and sums too.
template <int TS, int RT>
bool Launch_Second_Side(bool tensor, const Second_Args &args, Index units, cudaStream_t stream) {
  if (!tensor) {
    Launch_Second(Second_Kernel<TS, RT>, args, units, stream);
    return false;
  }
  if constexpr (TS <= 32) {
    // A block for eight clusters of a unit, from eight clusters on; below
    // that, most of its warps' products would be on posteriors of 0.
    if (args.K >= Second_Clusters<TS>::kClusters) {
      const Index groups = Ceil_Div(args.K, Second_Clusters<TS>::kClusters);
      Launch(Second_Clusters_Kernel<TS>, dim3(static_cast<unsigned int>(units * groups)),
             dim3(kThreads), stream, args);
      return true;
    }
  }
  Launch_Second(Second_Tensor_Kernel<TS>, args, units, stream);
  return false;
}

// ---------------------------------------------------------------------------
// Sums over units, over units' records, distances and hard assignments.

__global__ void __launch_bounds__(kThreads) Unit_Sums_Kernel(const double *values,
                                                             const double *w, Index count,
                                                             Index unit, double *out,
                                                             Index stride) {
  __shared__ double red[kThreads];
  const int t = static_cast<int>(threadIdx.x);
  const Index u = blockIdx.x, begin = u * unit, end = Min(count, begin + unit);
  double s = 0.0;
  for (Index j = begin + t; j < end; j += kThreads) s += Weigh(values[j], w, j);
  red[t] = s;
  for (int width = kThreads / 2; width > 0; width /= 2) {
    __syncthreads();
    if (t < width) red[t] += red[t + width];
  }
  if (t == 0) out[u * stride] = red[0];
}

// A leaf's record: its units' records summed in unit order, entry by entry.
__global__ void __launch_bounds__(kThreads) Leaf_Sums_Kernel(const double *partial, Index units,
                                                             Index per_leaf, Index stride,
                                                             Index width, double *leaves) {
  const Index e = static_cast<Index>(blockIdx.x) * kThreads + threadIdx.x;
  if (e >= width) return;
  const Index first = static_cast<Index>(blockIdx.y) * per_leaf,
              last = Min(units, first + per_leaf);
  double sum = partial[first * stride + e];
  for (Index u = first + 1; u < last; ++u) sum += partial[u * stride + e];
  leaves[blockIdx.y * width + e] = sum;
}

// One level of the tree: each pair of nodes, left + right.
__global__ void __launch_bounds__(kThreads) Pair_Sums_Kernel(const double *nodes, Index width,
                                                             double *parents) {
  const Index e = static_cast<Index>(blockIdx.x) * kThreads + threadIdx.x;
  if (e >= width) return;
  const Index i = blockIdx.y;
  parents[i * width + e] = nodes[2 * i * width + e] + nodes[(2 * i + 1) * width + e];
}

// Centres from..to-1 folded into d2 in order (from 0: d2 starts at the
// first). A minimum is exact, so folding them one pass at a time or all in
// one gives the same bits.
__global__ void __launch_bounds__(kThreads) Distances_Kernel(const double *X, Index dim,
                                                             Index count, const double *centres,
                                                             Index from, Index to, double *d2) {
  const Index j = static_cast<Index>(blockIdx.x) * kThreads + threadIdx.x;
  if (j >= count) return;
  double nearest = from == 0 ? 0.0 : d2[j];
  for (Index c = from; c < to; ++c) {
    double q = 0.0;
    for (Index i = 0; i < dim; ++i) {
      const double d = X[j * dim + i] - centres[c * dim + i];
      q = fma(d, d, q);
    }
    nearest = c == 0 ? q : fmin(nearest, q);
  }
  d2[j] = nearest;
}

__global__ void __launch_bounds__(kThreads) One_Hot_Kernel(const double *labels, Index count,
                                                           Index K, double *R) {
  const Index j = static_cast<Index>(blockIdx.x) * kThreads + threadIdx.x;
  if (j >= count) return;
  const double label = labels[j];
  for (Index k = 0; k < K; ++k) R[j * K + k] = static_cast<double>(k) == label ? 1.0 : 0.0;
}


// ---------------------------------------------------------------------------
// Small dims, either mode: a block owns a unit and walks it 128 points at a
// time. First each thread takes a point, forms its log terms under every
// cluster as the evaluator does (small_dims.h), its logP and its
// posteriors, and leaves them with its coordinates in shared memory; then
// each thread takes one row (cluster k, coordinate a) of the statistics and
// adds the 128 points into it in point order: N_k, the sum of r d_a (d =
// x - shift_k, in one rounding: fma(r, d_a, s)), and w d_b with w = r d_a
// for every b (full mode) or for b = a (diagonal mode). The unit's
// log-likelihood is summed in point order by thread 0. The sums are carried
// from one slice of 128 points to the next, so their order depends on the
// unit alone.
//
// Full mode up to 8 coordinates forms each entry of the triangle once: row
// a takes the columns a, a + 1, ..., a + D / 2 (mod D), which covers every
// pair of coordinates, and the pair D / 2 apart is written by the lower
// row. A point's coordinates are staged twice in a row, so that a row
// reads its columns at fixed offsets. (At 16 the second copy would take
// the block past 48 KB of shared memory, and the whole row stays.)
template <int D, bool kFull>
constexpr bool kCyclicRows = kFull && D <= 8;

constexpr int kFusedPoints = 128;

template <int D, bool kFull>
using Tile = std::conditional_t<kFull, Cluster_Tile<D>, Diagonal_Tile<D>>;

// Full mode at D = 8 and 16 on the FP64 tensor cores (tensor.h), where the
// device has them: the same sums as products of rows by columns over a
// slice's points, 4 a step. Warp w takes clusters w, w + W, ... (its slots,
// W the block's warps). Lane 4g + c gives point c's A[g][c] = r e and
// B[c][g] = e, e an entry of the point's staged row less the cluster's
// centre there, for each tile of entries (8 of them, entry T(g) of tile T
// from lane group g) that a product takes as its rows or columns. An entry
// of a product is then the CUDA-core rows' chain of fused multiply-adds over
// the unit's points in order, M = fma(r d_a, d_b, M), and each second moment
// is taken on the row those take it on: the same bits, where a product is
// FMAs in k order (the CPU device). A step past the slice's last point
// weighs points of posterior 0 and coordinates 0, a slot past the last
// cluster posteriors of 0: either adds 0, which changes nothing but a sum
// that underflowed to -0 (to +0, where the rows keep -0), and every warp
// makes as many products, as the instruction and the CPU device require.
template <int D>
struct Fused_Tensor;

// D = 8: a point's staged row is (1, x_0, ..., x_7, 0), and the centre is 0
// under the 1 and the 0, so e is exactly 1 or 0 there. Row and column g
// taking its entry g in that order (wherever staged), one product holds the
// weight (1 by 1: n = r + n), the sums (1 by x_b: fma(r, d_b, s)) and the
// second moments of coordinates 0 to 6. An eighth coordinate takes a second
// product, whose rows (1, x_7, 0, 0, x_3 .. x_6) and columns (x_7, x_0, x_1,
// x_2, 0, ...) hold what involves it.
template <>
struct Fused_Tensor<8> {
  // Where the row's entries are staged: the 1 and the 0 at kOne and kZero,
  // x_i at X_Entry(i), in 10 of a point's 12 doubles (Tensor_Row). A step's
  // four points lie 0, 12, 8 and 4 doubles on modulo 16 (the banks, in
  // double words), so a tile's loads take two wavefronts where no tile
  // holds more than two of its entries in one class of columns modulo 4. In
  // order, at a stride of 13, the first two tiles took three.
  static constexpr int kOne = 0, kZero = 8;
  // Entry i of a table of 4-bit entries: a shift and a mask, where the
  // index differs from lane to lane.
  __host__ __device__ static constexpr int Nibble(unsigned table, int i) {
    return static_cast<int>((table >> (4 * i)) & 0xfu);
  }
  __host__ __device__ static constexpr int X_Entry(int i) { return Nibble(0x97365214u, i); }
  static constexpr int kStride = 12;
  static constexpr bool kChains = false;
  static constexpr int kMinProducts = 1, kMaxProducts = 2, kTiles = 3;
  __host__ __device__ static constexpr int Products(Index dim) { return dim < 8 ? 1 : 2; }
  // The tiles the first `products` take: g; the second's rows and columns.
  __host__ __device__ static constexpr int Tiles(int products) { return products == 1 ? 1 : 3; }
  __host__ __device__ static constexpr int Row_Tile(int p) { return p == 0 ? 0 : 1; }
  __host__ __device__ static constexpr int Column_Tile(int p) { return p == 0 ? 0 : 2; }
  // Entry g of each tile, as a coordinate (-1: the 1, 8: the 0, past any
  // dim) and where it is staged. Tile 0: (1, x_0 .. x_6); 1: (1, x_7, 0, 0,
  // x_3 .. x_6); 2: (x_7, x_0, x_1, x_2, 0, 0, 0, 0).
  __host__ __device__ static constexpr int Tile_Coordinate(int tile, int g) {
    return tile == 0 ? g - 1 : Nibble(tile == 1 ? 0x76549980u : 0x99993218u, g) - 1;
  }
  __host__ __device__ static constexpr int Tile_Entry(int tile, int g) {
    return Nibble(tile == 0 ? 0x73652140u : tile == 1 ? 0x73658890u : 0x88882149u, g);
  }
  __host__ __device__ static constexpr int Staged(int a) { return a < 0 ? kOne : a == 8 ? kZero : X_Entry(a); }
  static constexpr bool Tables_Agree() {
    for (int tile = 0; tile < kTiles; ++tile)
      for (int g = 0; g < 8; ++g)
        if (Tile_Entry(tile, g) != Staged(Tile_Coordinate(tile, g))) return false;
    return true;
  }
  // Where product p's entry of row coordinate a and column coordinate b
  // goes in a cluster's record of dim coordinates, or -1: the weight, a sum, or
  // a second moment on the row the CUDA-core rows take it on (row a takes
  // columns a .. a + 4 mod 8, and a pair 4 apart the lower row). The second
  // product gives only what involves the eighth coordinate.
  __host__ __device__ static constexpr int Entry(int p, int a, int b, int dim) {
    if (a >= dim || b >= dim || (p == 1 && a != 7 && b != 7)) return -1;  // the 0 is past dim
    if (a < 0) return b < 0 ? 0 : 1 + b;
    if (b < 0) return -1;
    const int ahead = (b - a + 8) % 8;
    if (ahead > 4 || (ahead == 4 && a >= 4)) return -1;
    const int lo = a < b ? a : b, hi = a < b ? b : a;
    return 1 + dim + hi * (hi + 1) / 2 + lo;
  }
};
static_assert(Fused_Tensor<8>::Tables_Agree(), "each tile's entries staged where its coordinates are");

// D = 16: the staged row is x alone, in tiles x_0 .. x_7 and x_8 .. x_15;
// three products hold the second moments, (0, 0), (0, 1) and (1, 1), and a
// 1 beside 16 coordinates would take a third tile, and three products more.
// The weight and the sums are chains instead: lane 16 h + i adds slot h's
// cluster over coordinate i, a point at a time (n = r + n, fma(r, d_i, s)).
template <>
struct Fused_Tensor<16> {
  // 20 doubles: a step's loads of four points, 0, 4, 8 and 12 doubles on
  // modulo 16, take two wavefronts (at an odd stride, three).
  static constexpr int kStride = 20;
  static constexpr bool kChains = true;
  static constexpr int kMinProducts = 3, kMaxProducts = 3, kTiles = 2;
  __host__ __device__ static constexpr int Products(Index) { return 3; }
  __host__ __device__ static constexpr int Tiles(int) { return 2; }
  __host__ __device__ static constexpr int Row_Tile(int p) { return p == 2 ? 1 : 0; }
  __host__ __device__ static constexpr int Column_Tile(int p) { return p == 0 ? 0 : 1; }
  __host__ __device__ static constexpr int X_Entry(int i) { return i; }
  __host__ __device__ static constexpr int Tile_Coordinate(int tile, int g) { return 8 * tile + g; }
  __host__ __device__ static constexpr int Tile_Entry(int tile, int g) { return 8 * tile + g; }
  // A second moment on its lower coordinate's row, as the CUDA-core rows
  // keep it.
  __host__ __device__ static constexpr int Entry(int, int a, int b, int dim) {
    return a < dim && b < dim && a <= b ? 1 + dim + b * (b + 1) / 2 + a : -1;
  }
};

// Where a slice's point p is staged for the tensor cores: rows kStride
// apart, and one double more every four points, so that a warp's stores of
// its points' entries take two wavefronts (12 or 20 t + t / 4 covers the
// banks twice; 20 t alone took eight) while a step's four points keep
// their offsets.
template <int D>
__host__ __device__ constexpr int Tensor_Row(int p) {
  return p * Fused_Tensor<D>::kStride + p / 4;
}

// A lane's loads of a step: its entries of a point in each tile, from the
// first step's point 4 steps apart, and the posteriors of its slots'
// clusters.
template <int D, int kSlots>
struct Tensor_Lane {
  const double *x[Fused_Tensor<D>::kTiles], *r;
  const int (&column)[kSlots];  // of r's rows: the slot's cluster, or the padding's 0
};

// A lane's chain of the weight and one sum (D = 16): cluster k's over
// coordinate i, from the first step's first point.
struct Tensor_Chain {
  const double *x, *r;
  double centre, s, n;
};

// A slice's steps for `kActive` slots and `kProducts` products, both known
// when compiled: a loop with a test for either issued the test every step.
template <int D, int kProducts, int kActive, int kSlots>
__device__ __forceinline__ void Tensor_Steps(int steps, const Tensor_Lane<D, kSlots> &lane,
                                             const double (&centre)[kSlots][Fused_Tensor<D>::kTiles],
                                             double (&acc)[kSlots][Fused_Tensor<D>::kMaxProducts][2],
                                             Tensor_Chain &chain) {
  using L = Fused_Tensor<D>;
  constexpr int kTiles = L::Tiles(kProducts);
  constexpr int kXStep = Tensor_Row<D>(4), kRStep = 4 * (kTileClusters + 1);
  // Pointers that step: indices scaled afresh each step took two integer
  // instructions a load.
  const double *x_at[kTiles], *r_at[kActive];
#pragma unroll
  for (int t = 0; t < kTiles; ++t) x_at[t] = lane.x[t];
#pragma unroll
  for (int q = 0; q < kActive; ++q) r_at[q] = lane.r + lane.column[q];
#pragma unroll 1
  for (int step = 0; step < steps; ++step) {
    double x[kTiles];
#pragma unroll
    for (int t = 0; t < kTiles; ++t) {
      x[t] = *x_at[t];
      x_at[t] += kXStep;
    }
#pragma unroll
    for (int q = 0; q < kActive; ++q) {
      const double r = *r_at[q];
      r_at[q] += kRStep;
      double e[kTiles];
#pragma unroll
      for (int t = 0; t < kTiles; ++t) e[t] = x[t] - centre[q][t];
#pragma unroll
      for (int p = 0; p < kProducts; ++p)
        Mma_884(acc[q][p][0], acc[q][p][1], r * e[L::Row_Tile(p)], e[L::Column_Tile(p)],
                acc[q][p][0], acc[q][p][1]);
    }
    if constexpr (L::kChains) {
#pragma unroll
      for (int c = 0; c < 4; ++c) {
        const double r = chain.r[c * (kTileClusters + 1)];
        chain.n += r;
        chain.s = fma(r, chain.x[Tensor_Row<D>(c)] - chain.centre, chain.s);
      }
      chain.x += kXStep;
      chain.r += kRStep;
    }
  }
}

// Tensor_Steps for the block's slots and products: 1 or 2 slots in an
// instance of two (or one), 3 or 4 in that of four (the launcher's choice).
template <int D, int kSlots, int kActive = kSlots == 2 ? 1 : kSlots / 2 + 1>
__device__ __forceinline__ void Tensor_Steps_Of(int products, int slots, int steps,
                                                const Tensor_Lane<D, kSlots> &lane,
                                                const double (&centre)[kSlots][Fused_Tensor<D>::kTiles],
                                                double (&acc)[kSlots][Fused_Tensor<D>::kMaxProducts][2],
                                                Tensor_Chain &chain) {
  if constexpr (kActive < kSlots) {
    if (slots != kActive) {
      Tensor_Steps_Of<D, kSlots, kActive + 1>(products, slots, steps, lane, centre, acc, chain);
      return;
    }
  }
  using L = Fused_Tensor<D>;
  if constexpr (L::kMinProducts < L::kMaxProducts) {
    if (products > L::kMinProducts) {
      Tensor_Steps<D, L::kMaxProducts, kActive, kSlots>(steps, lane, centre, acc, chain);
      return;
    }
  }
  Tensor_Steps<D, L::kMinProducts, kActive, kSlots>(steps, lane, centre, acc, chain);
}

// The slice's points: on the tensor cores at Tensor_Row, for the rows a
// point a row of x, the cyclic rows' x twice.
template <int D, bool kFull, bool kTensor>
struct Fused_Points {
  using Type = double[kFusedPoints][(kCyclicRows<D, kFull> ? 2 * D : D) + 1];
};
template <int D, bool kFull>
struct Fused_Points<D, kFull, true> {
  using Type = double[Tensor_Row<D>(kFusedPoints)];
};

// A point's log terms, then its posteriors, wait in the point's row of r: in
// a thread's own array, indexed by a loop that is not unrolled, they would
// sit in local memory, loaded and stored on every pass.
template <int D, bool kFull, bool kTensor>
struct Fused_Shared {
  union {
    Tile<D, kFull> tile;             // while the log terms are formed
    typename Fused_Points<D, kFull, kTensor>::Type x;  // then the slice's points
  };
  double r[kFusedPoints][kTileClusters + 1];  // a row per point, 17 apart: no bank conflicts
  double log_p[kFusedPoints];
  double log_likelihood;  // thread 0's running sum: in a register it was live across the terms
};

// A point's posterior shift (and logP) from its log terms, summed as the
// evaluator of the mode sums them.
template <bool kFull>
__device__ __forceinline__ Posterior_Shift Point_Shift(const double *v, Index K) {
  if (kFull) {
    Log_Sum sum;
#pragma unroll 1
    for (int c = 0; c < K; ++c) sum.Add(v[c]);
    return sum.Shift();
  }
  // The evaluator's runs of kDiagonalRun clusters, one a group up to 16,
  // merged in group order; a group at a time, to keep the registers low.
  static_assert(kTileClusters == kDiagonalGroups * kDiagonalRun, "one run a group");
  Diagonal_Sum total;
#pragma unroll 1
  for (int g = 0; g < kDiagonalGroups; ++g) {
    double run[kDiagonalRun];
    for (int c = 0; c < kDiagonalRun; ++c) {
      const int k = g * kDiagonalRun + c;
      run[c] = k < K ? v[k] : kMinusInf;
    }
    const Diagonal_Sum part = Diagonal_Sum::Of_Run(run);
    if (g == 0) total = part;
    else total.Merge(part);
  }
  return total.Shift();
}

// Blocks an SM the tensor-core instances are built for: 16 warps, but 12
// where four slots of D 8 would spill their accumulators. Unbounded, ptxas
// took 80 registers for two slots of D 8, and spilled in the slice loop.
// The CUDA-core rows' 0 leaves them unbounded (at 1 ptxas took more).
template <int D, int T, int kSlots>
constexpr int kFusedBlocks = kSlots == 0 ? 0 : D == 8 && kSlots == 4 ? 3 : 16 * 32 / T;

// kSlots: clusters a warp takes on the tensor cores (0: the CUDA-core rows).
template <int D, int T, bool kFull, int kSlots>
__global__ void __launch_bounds__(T, (kFusedBlocks<D, T, kSlots>)) Fused_Kernel(Fused_Args a) {
  constexpr bool kTensor = kSlots > 0;
  static_assert(!kTensor || (kFull && D >= 8), "the tensor cores take full mode at D = 8 and 16");
  __shared__ Fused_Shared<D, kFull, kTensor> sh;
  const int t = static_cast<int>(threadIdx.x);
  const Index dim = a.m.dim, K = a.m.K, u = blockIdx.x;
  const Index begin = u * a.x.unit, end = Min(a.x.count, begin + a.x.unit);
  const Device_Points points{a.x.X, end, dim, 1};
  // The statistics row this thread owns, if any, and its cluster's centre.
  const bool owner = !kTensor && a.statistics && t < K * dim;
  const int rk = owner ? static_cast<int>(t / dim) : 0, ra = owner ? static_cast<int>(t % dim) : 0;
  constexpr bool kCyclic = kCyclicRows<D, kFull>;
  constexpr int kRow = !kFull ? 1 : kCyclic ? D / 2 + 1 : D;  // second moments a row holds
  // Entry b of the row is column(b): b, or ra + b mod D.
  const auto column = [ra](int b) { return kCyclic ? (ra + b) % D : b; };
  double centre[kRow], acc[kRow], n = 0.0, s = 0.0;
  if (t == 0) sh.log_likelihood = 0.0;
VELMORA_UNROLL
  for (int b = 0; b < kRow; ++b) {
    centre[b] = owner && column(b) < dim ? a.shift[rk * dim + column(b)] : 0.0;
    acc[b] = 0.0;
  }
  const double centre_a = owner ? a.shift[rk * dim + ra] : 0.0;
  // On the tensor cores: lane 4g + c of warp w, its slots' centres over
  // the entries it gives, its entries of each product, and (D = 16) its
  // chain of slot h's weight and sum over coordinate i, lane 16 h + i.
  using L = Fused_Tensor<kTensor ? D : 8>;
  constexpr int kWarps = T / 32;
  const int warp = t / 32, g = t % 32 / 4, c4 = t % 4, lane = t % 32;
  const int slots = kTensor && a.statistics ? static_cast<int>((K + kWarps - 1) / kWarps) : 0;
  const int products = L::Products(dim);
  constexpr int kHeld = kTensor ? kSlots : 1;
  double slot_centre[kHeld][L::kTiles], slot_acc[kHeld][L::kMaxProducts][2];
  // Cluster k's centre over coordinate i, or 0; its column of a point's row
  // of r, or past the last cluster the padding's 0.
  const auto centre_of = [&](Index k, int i) {
    return k < K && i >= 0 && i < dim ? a.shift[k * dim + i] : 0.0;
  };
  const auto r_column = [K](Index k) { return k < K ? static_cast<int>(k) : kTileClusters; };
  const Index chain_k = warp + kWarps * (lane / 16);
  const int chain_i = lane % 16;
  Tensor_Chain chain{nullptr, nullptr, 0.0, 0.0, 0.0};
  if constexpr (kTensor) {
    if (t < kFusedPoints) sh.r[t][kTileClusters] = 0.0;
    for (int q = 0; q < kSlots; ++q) {
      for (int p = 0; p < L::kMaxProducts; ++p) slot_acc[q][p][0] = slot_acc[q][p][1] = 0.0;
    }
  }

  for (Index p0 = begin; p0 < end; p0 += kFusedPoints) {
    __syncthreads();  // the previous slice is no longer read
    Stage_Tile<D>(a.m, 0, sh.tile, t, T);
    __syncthreads();
    double x[D], log_p = 0.0;
    // The point's row of r is the thread's own until the second barrier below.
    if (t < kFusedPoints) {
      double *const v = sh.r[t];
      Load_Point<D>(points, p0 + t, dim, x);
      // The mixture's clusters alone (K <= 16): a loop over all 16 slots
      // formed, summed or normalised the absent ones too, or tested each.
      // Nothing reads a slot past K. Rolled: unrolled, the remainders took
      // registers that a block of the SM's needs.
#pragma unroll 1
      for (int c = 0; c < K; ++c) v[c] = Small_Term<D>(sh.tile, c, x);
      const Posterior_Shift shift = Point_Shift<kFull>(v, K);
      // Points past the unit weigh 0, and so add exactly nothing. The
      // point is found again from the slice's start: its index, held
      // across the terms, took a register that they need.
      const bool in = t < end - p0;
      Unit_Points slice = a.x;
      if (slice.w != nullptr) slice.w += p0;
#pragma unroll 1
      for (int c = 0; c < K; ++c) v[c] = in ? Take(shift.Posterior(v[c]), slice, t) : 0.0;
      log_p = in ? Weigh(shift.Log_P(), slice.w, t) : 0.0;
    }
    __syncthreads();  // the tile is no longer read: the points take its room
    if (t < kFusedPoints) {
      if constexpr (kTensor) {
        // x where L places it; at D 8 the row is (1, x, 0).
        double *const row = sh.x + Tensor_Row<D>(t);
        for (int i = 0; i < D; ++i) row[L::X_Entry(i)] = x[i];
        if constexpr (D == 8) {
          row[L::kOne] = 1.0;
          row[L::kZero] = 0.0;
        }
      } else {
        // The cyclic rows' x twice.
        for (int i = 0; i < D; ++i) sh.x[t][i] = x[i];
        if constexpr (kCyclic)
          for (int i = 0; i < D; ++i) sh.x[t][D + i] = x[i];
      }
      sh.log_p[t] = log_p;
    }
    __syncthreads();
    const int count = static_cast<int>(Min(Index{kFusedPoints}, end - p0));
    if constexpr (!kTensor) {
      if (owner) {
        for (int p = 0; p < count; ++p) {
          const double r = sh.r[p][rk], d = sh.x[p][ra] - centre_a, w = r * d;
          n += r;
          s = fma(r, d, s);
          if (kFull)
VELMORA_UNROLL
            for (int b = 0; b < kRow; ++b) acc[b] = fma(w, sh.x[p][kCyclic ? ra + b : b] - centre[b], acc[b]);
          else
            acc[0] = fma(w, d, acc[0]);
        }
      }
    }
    if constexpr (kTensor) {
      if (slots > 0) {
        // Lane 4g + c's point of the first step, its entries and its posteriors.
        // The centres and the slots' columns are formed again each slice:
        // held, they took registers that the point's terms need.
        int slot_column[kHeld];
        for (int q = 0; q < kSlots; ++q) slot_column[q] = r_column(warp + kWarps * q);
        Tensor_Lane<D, kSlots> at{{}, sh.r[c4], slot_column};
        for (int e = 0; e < L::kTiles; ++e) {
          at.x[e] = sh.x + Tensor_Row<D>(c4) + L::Tile_Entry(e, g);
          for (int q = 0; q < kSlots; ++q)
            slot_centre[q][e] = centre_of(warp + kWarps * q, L::Tile_Coordinate(e, g));
        }
        chain.x = sh.x + chain_i;
        chain.r = sh.r[0] + r_column(chain_k);
        chain.centre = centre_of(chain_k, chain_i);
        Tensor_Steps_Of<D, kSlots>(products, slots, (count + 3) / 4, at, slot_centre, slot_acc, chain);
      }
    }
    if (t == 0) {
      double sum = sh.log_likelihood;
      for (int p = 0; p < count; ++p) sum += sh.log_p[p];
      sh.log_likelihood = sum;
    }
  }

  double *record = a.partial + u * a.stride;
  if (t == 0) record[a.log_likelihood] = sh.log_likelihood;
  if constexpr (kTensor) {
#pragma unroll
    for (int q = 0; q < kSlots; ++q) {
      const Index k = warp + kWarps * q;
      if (q >= slots || k >= K) break;
      double *own = record + k * a.per_cluster;
#pragma unroll
      for (int p = 0; p < L::kMaxProducts; ++p)
#pragma unroll
        for (int h = 0; h < 2; ++h) {
          if (p >= products) break;
          const int e = L::Entry(p, L::Tile_Coordinate(L::Row_Tile(p), g),
                                 L::Tile_Coordinate(L::Column_Tile(p), 2 * c4 + h), static_cast<int>(dim));
          if (e >= 0) own[e] = slot_acc[q][p][h];
        }
    }
    if (L::kChains && slots > 0 && chain_k < K && chain_i < dim) {
      double *own = record + chain_k * a.per_cluster;
      if (chain_i == 0) own[0] = chain.n;
      own[1 + chain_i] = chain.s;
    }
    return;
  }
  if (!owner) return;
  double *own = record + rk * a.per_cluster;
  if (ra == 0) own[0] = n;
  own[1 + ra] = s;
  if (!kFull) own[1 + dim + ra] = acc[0];
VELMORA_UNROLL
  for (int b = 0; b < kRow && kFull; ++b) {
    const int c = column(b), lo = Min(c, ra), hi = c < ra ? ra : c;
    const bool mine = kCyclic ? b < D / 2 || ra < D / 2 : b >= ra;
    if (mine && c < dim) own[1 + dim + hi * (hi + 1) / 2 + lo] = acc[b];
  }
}

template <int D, int T>
void Launch_Fused_D(const Fused_Args &args, bool full, Index units, cudaStream_t stream) {
  const dim3 grid(static_cast<unsigned int>(units));
  if (!full) {
    Launch(Fused_Kernel<D, T, false, 0>, grid, dim3(T), stream, args);
    return;
  }
  if constexpr (D >= 8) {
    // Up to half the most clusters, half the slots: all of them would hold
    // registers that another block of the SM's needs.
    constexpr int kWarps = T / 32, kMost = kTileClusters / kWarps;
    static_assert(kTileClusters % kWarps == 0 && (kMost == 2 || kMost == 4), "whole slots");
    if (Tensor_Cores()) {
      if (args.m.K <= kTileClusters / 2)
        Launch(Fused_Kernel<D, T, true, kMost / 2>, grid, dim3(T), stream, args);
      else Launch(Fused_Kernel<D, T, true, kMost>, grid, dim3(T), stream, args);
      return;
    }
  }
  Launch(Fused_Kernel<D, T, true, 0>, grid, dim3(T), stream, args);
}

}  // namespace

// Past 16 coordinates diagonal mode takes the diagonal sweep's kernel, which
// holds 32 coordinates of a slice of points.
constexpr Index kFusedDiagonalDim = 32;

bool Fused_Fits(Index dim, Index K, bool full) {
  return K <= kTileClusters && dim <= (full ? kSmallDim : kFusedDiagonalDim);
}

void Launch_Fused(const Device_Mixture &m, const Unit_Points &x, const double *shift,
                  const Stat_Layout &layout, bool statistics, double *partial,
                  cudaStream_t stream) {
  if (x.count <= 0) return;
  // Past these sizes a block would drop clusters and leave rows unsummed.
  if (!Fused_Fits(m.dim, m.K, layout.full))
    throw std::invalid_argument("Launch_Fused: too many clusters or coordinates");
  const Fused_Args args{m, x, shift, statistics, partial, layout.Size(), layout.Per_Cluster(),
                        layout.Log_Likelihood()};
  if (m.dim > kSmallDim) {
    Launch_Fused_Diagonal(args, stream);
    return;
  }
  const bool full = layout.full;
  const Index units = Ceil_Div(x.count, x.unit);
  // A statistics row per thread: 16 clusters x D coordinates at most.
  switch (Small_D(m.dim)) {
    case 4: Launch_Fused_D<4, 128>(args, full, units, stream); break;
    case 8: Launch_Fused_D<8, 128>(args, full, units, stream); break;
    default: Launch_Fused_D<16, 256>(args, full, units, stream); break;
  }
}

namespace {

// The moments kernel's threads per group along coordinates and clusters,
// and its tiles of a unit's record.
void Moments_Tiling(Index dim, Index K, Moments_Args &a) {
  a.ti = Power_Of_Two(Ceil_Div(dim, kCI), kMaxTI);
  a.tk = Power_Of_Two(Ceil_Div(K, kCK), std::min(kMaxTK, kThreads / a.ti));
  a.i_tiles = static_cast<int>(Ceil_Div(dim, kCI * a.ti));
  a.k_tiles = static_cast<int>(Ceil_Div(K, kCK * a.tk));
}

template <int kR>
void Launch_Moments_Of(bool second, dim3 grid, const Moments_Args &args, cudaStream_t stream) {
  if (second) Launch(Moments_Kernel<kR, true>, grid, dim3(kThreads), stream, args);
  else Launch(Moments_Kernel<kR, false>, grid, dim3(kThreads), stream, args);
}

}  // namespace

void Launch_Moments(const Unit_Points &x, const double *R, const double *posterior_shift,
                    const double *shift, Index K, bool second, double *partial, Index stride,
                    Index per_cluster, cudaStream_t stream) {
  if (x.count <= 0 || K <= 0) return;
  Moments_Args args{x, R, posterior_shift, shift, K, partial, stride, per_cluster, 0, 0, 0, 0, 0};
  Moments_Tiling(x.dim, K, args);
  args.slab = std::min(kThreads, kStage / (kCI * args.ti + kCK * args.tk + 2));
  const Index blocks = Ceil_Div(x.count, x.unit) * args.i_tiles * args.k_tiles;
  const dim3 grid(static_cast<unsigned int>(blocks));
  if (R == nullptr) Launch_Moments_Of<kWeightOne>(second, grid, args, stream);
  else if (posterior_shift != nullptr) Launch_Moments_Of<kRawTerms>(second, grid, args, stream);
  else Launch_Moments_Of<kPosteriors>(second, grid, args, stream);
}

Index Statistics_Blocks(Index dim, Index K) {
  Moments_Args tiling{};
  Moments_Tiling(dim, K, tiling);
  return std::max(K * Triangle_Tiles(dim), Index{tiling.i_tiles} * tiling.k_tiles);
}

bool Launch_Second_Moments(const Unit_Points &x, const double *R, const double *shift, Index K,
                           double *partial, Index stride, Index per_cluster,
                           cudaStream_t stream) {
  if (x.count <= 0 || K <= 0 || x.dim <= 0) return false;
  const Second_Args args{x, R, shift, K, partial, stride, per_cluster, Triangle_Tiles(x.dim)};
  const Index units = Ceil_Div(x.count, x.unit);
  const bool tensor = Tensor_Cores();
  switch (Tile_Side(x.dim)) {
    case 8: return Launch_Second_Side<8, 2>(tensor, args, units, stream);
    case 16: return Launch_Second_Side<16, 4>(tensor, args, units, stream);
    case 32: return Launch_Second_Side<32, 4>(tensor, args, units, stream);
    default: return Launch_Second_Side<64, 4>(tensor, args, units, stream);
  }
}

void Launch_Unit_Sums(const double *values, const double *w, Index count, Index unit, double *out,
                      Index stride, cudaStream_t stream) {
  if (count <= 0) return;
  Launch(Unit_Sums_Kernel, dim3(static_cast<unsigned int>(Ceil_Div(count, unit))), dim3(kThreads),
         stream, values, w, count, unit, out, stride);
}

void Launch_Leaf_Sums(const double *partial, Index units, Index per_leaf, Index stride,
                      Index width, double *leaves, cudaStream_t stream) {
  if (width <= 0 || units <= 0) return;
  Launch(Leaf_Sums_Kernel,
         dim3(Blocks(width, kThreads), static_cast<unsigned int>(Ceil_Div(units, per_leaf))),
         dim3(kThreads), stream, partial, units, per_leaf, stride, width, leaves);
}

void Launch_Pair_Sums(const double *nodes, Index pairs, Index width, double *parents,
                      cudaStream_t stream) {
  if (width <= 0 || pairs <= 0) return;
  Launch(Pair_Sums_Kernel, dim3(Blocks(width, kThreads), static_cast<unsigned int>(pairs)),
         dim3(kThreads), stream, nodes, width, parents);
}

void Launch_Distances(const double *X, Index dim, Index count, const double *centres, Index from,
                      Index to, double *d2, cudaStream_t stream) {
  if (count <= 0 || from >= to) return;
  Launch(Distances_Kernel, dim3(Blocks(count, kThreads)), dim3(kThreads), stream, X, dim, count,
         centres, from, to, d2);
}

void Launch_One_Hot(const double *labels, Index count, Index K, double *R, cudaStream_t stream) {
  if (count <= 0) return;
  Launch(One_Hot_Kernel, dim3(Blocks(count, kThreads)), dim3(kThreads), stream, labels, count, K,
         R);
}

}  // namespace velmora_log
