// Diagonal covariances: reference, kernel, launcher.
//
// A block owns 128 points and four cluster groups, a warp each: lane p of
// warp g walks the clusters of group g, four at a time, for points p, p +
// 32, p + 64 and p + 96, with the points' coordinates in shared memory and
// the clusters' means and inverse standard deviations broadcast from shared
// memory. Each broadcast (mean, scale) feeds four points, and each point's
// coordinate four clusters: per coordinate, 48 FP64 operations for eight
// shared loads. A group adds its terms a run of four clusters at a time
// (diagonal_sum.h), and the four groups' sums are merged in a fixed order,
// so a point's bits depend only on the point and the mixture. Posteriors
// are recomputed in a second sweep, once logP is known, and leave through
// shared memory in whole segments.
#include <cuda_runtime.h>

#include <algorithm>
#include <cmath>

#include "device.h"
#include "kernels.h"
#include "diagonal_sum.h"
#include "log_sum.h"
#include "staging.h"
#include "statistics.h"
#include "take.h"

namespace velmora_log {

namespace {

constexpr int kThreads = 128;
constexpr int kLogThreads = 7;
static_assert(1 << kLogThreads == kThreads, "a power of two");
constexpr int kGroups = kDiagonalGroups;         // cluster groups per block, a warp each
constexpr int kLanes = kThreads / kGroups;       // threads of a group
constexpr int kRows = 4;                         // points a thread holds: p + r kLanes
constexpr int kPoints = kLanes * kRows;          // per block
constexpr int kTile = kDiagonalRun;              // clusters a thread holds at once
constexpr int kSweep = kGroups * kTile;          // clusters per step of the block
constexpr int kDimTile = 32;                     // coordinates resident at once
constexpr int kParamTile = 16;                   // coordinates of a step's means staged at once
constexpr int kParamEntries = kSweep * kParamTile;  // (cluster, coordinate) pairs staged at once
constexpr int kStaged = kParamEntries / kThreads;  // of them, a thread's


struct Diagonal_Args {
  Device_Mixture m;
  Device_Points x;
  Device_Results out;
};

struct Diagonal_Shared {
  // +1: rows fall on different banks; a warp reads 32 consecutive points.
  double xs[kDimTile][kPoints + 1];
  union {  // (mean, inverse standard deviation): a step's, or two steps' in half the coordinates
    double2 one[kGroups][kTile][kParamTile];
    double2 two[2 * kGroups][kTile][kParamTile / 2];  // run s kGroups + g: group g's of step s
  } params;
  union {
    struct {
      double m[kGroups][kPoints], s[kGroups][kPoints];
    } merge;
    double r[kPoints][kTile + 1];  // one group's posteriors on their way out
    double rs[kPoints / 2][kSweep + 1];  // the fit's: half the block's points, every cluster
  };
  // Each point's posterior shift (Posterior_Shift), its two parts apart:
  // a warp reads 32 consecutive points, on 32 banks.
  double top[kPoints], log_sum[kPoints];
};

__device__ __forceinline__ Posterior_Shift Shift_Of(const Diagonal_Shared &sh, int q) {
  return {sh.top[q], sh.log_sum[q]};
}

__device__ __forceinline__ void Keep_Shift(Diagonal_Shared &sh, int q, const Posterior_Shift &shift) {
  sh.top[q] = shift.top;
  sh.log_sum[q] = shift.log_sum;
}

// Coordinates d0.. of the block's points into xs, coalesced along whichever
// of points and coordinates is contiguous in X. A thread keeps one
// coordinate (or one point) and steps through the other by a fixed stride:
// no division in the loop, one add to its address a pass. The entries are
// copied straight into shared memory and land by the sweep's Sync_Staged.
__device__ void Load_Points(const Diagonal_Args &a, Diagonal_Shared &sh, Index j0, Index d0) {
  const int width = static_cast<int>(Min(Index{kDimTile}, a.m.dim - d0));
  const int t = static_cast<int>(threadIdx.x);
  if (a.x.coord_stride == 1) {
    const int shift = Shift_Covering(width);  // lanes along coordinates: a power of two
    const int i = t & ((1 << shift) - 1), step = kThreads >> shift;
    if (i >= width) return;
    const Index stride = step * a.x.point_stride;
    const int here = static_cast<int>(Min(Index{kPoints}, a.x.count - j0));
    int p = t >> shift;
    const double *x = a.x.X + (j0 + p) * a.x.point_stride + d0 + i;
    // kPoints / step passes: a count known from the shift, without the
    // unrolled loop's own count and remainder (a division and a tail as
    // long as the loop, in every tile of every step). A whole block's
    // points (all blocks but the last) four loads at a time in flight from
    // 4 passes on, with no test per load; else zeros past the last point.
    static_assert(kPoints % kThreads == 0, "whole passes for any step");
    const int passes = kPoints >> (kLogThreads - shift);
    if (passes >= 4 && here == kPoints) {
#pragma unroll 1
      for (int n = 0; n < passes; n += 4)
#pragma unroll
        for (int u = 0; u < 4; ++u, p += step, x += stride) Copy_To_Shared(&sh.xs[i][p], x, true);
    } else {
#pragma unroll 1
      for (; p < kPoints; p += step, x += stride) Copy_To_Shared(&sh.xs[i][p], x, p < here);
    }
    return;
  }
  constexpr int kStep = kThreads / kPoints;
  const int p = t % kPoints;
  const bool in = j0 + p < a.x.count;
  const Index stride = kStep * a.x.coord_stride;
  const double *x = a.x.X + (j0 + p) * a.x.point_stride + (d0 + t / kPoints) * a.x.coord_stride;
  for (int i = t / kPoints; i < width; i += kStep, x += stride) Copy_To_Shared(&sh.xs[i][p], x, in);
}

// The posterior shift (and so logP) of the block's point q from its four
// groups' sums, merged in group order. One point a thread: every warp takes a quarter of the points, where
// one warp merging them all left the other three waiting at the next
// barrier, and a point's bits are the same whichever thread merges it.
__device__ __forceinline__ Posterior_Shift Merged_Shift(const Diagonal_Shared &sh, int q) {
  static_assert(kPoints == kThreads, "a point a thread");
  Diagonal_Sum sum{sh.merge.m[0][q], sh.merge.s[0][q]};
  for (int gg = 1; gg < kGroups; ++gg) sum.Merge(Diagonal_Sum{sh.merge.m[gg][q], sh.merge.s[gg][q]});
  return sum.Shift();
}

// The (mean, scale) of coordinate i (of the staged tile) of cluster c of
// run q, where a sweep takes kSteps steps at once (run s kGroups + g is
// group g's of step s): the tile holds kParamTile / kSteps coordinates of
// each, the same kParamEntries pairs whatever kSteps.
template <int kSteps>
__device__ __forceinline__ double2 &Param(Diagonal_Shared &sh, int q, int c, int i) {
  static_assert(kSteps == 1 || kSteps == 2, "one or two steps at once");
  if constexpr (kSteps == 1) return sh.params.one[q][c][i];
  else return sh.params.two[q][c][i];
}

// acc[s][r][c] = sum_i ((x_i - mu_ki) s_ki)^2 for the clusters k = k_base
// + s kSweep + g kTile + c of this thread's tiles, for its point p + r
// kLanes: kSteps steps of the sweep at once. Every thread of the block
// stages kStaged (cluster, coordinate) entries of the steps' means and
// scales per tile, whichever clusters it owns itself, kParamTile / kSteps
// coordinates a tile, so that a pair of barriers serves as many FMAs
// whatever kSteps. Two steps at once read each coordinate of the points
// once for twice the clusters, and past the resident coordinates stage the
// points once for both; a cluster's sum is the same chain of FMAs either
// way, so its bits do not depend on kSteps.
template <int kSteps, int kHeld>
__device__ void Sweep_Steps(const Diagonal_Args &a, Diagonal_Shared &sh, Index j0, Index k_base,
                            bool resident, double (&acc)[kHeld][kRows][kTile]) {
  constexpr int kCoords = kParamTile / kSteps;  // coordinates of the means a tile
  static_assert(kCoords * kSteps == kParamTile && kStaged * kThreads == kParamEntries,
                "whole entries per thread");
  static_assert(kSteps <= kHeld, "a step's sums for each step");
  const int t = static_cast<int>(threadIdx.x), p = t % kLanes, g = t / kLanes;
  const int dim = static_cast<int>(a.m.dim);
  // Entry t + q kThreads: coordinate si of cluster sc of the run sr + q
  // kRunStep of the steps' runs (run s kGroups + g is group g's of step s),
  // at s_at[q] in the means and the scales (one offset for both keeps the
  // registers that the raw terms need).
  const int si = t % kCoords, sc = (t / kCoords) % kTile, sr = t / (kCoords * kTile);
  constexpr int kRunStep = kThreads / (kCoords * kTile);
  static_assert(kRunStep * kStaged == kSteps * kGroups, "every run staged");
  Index s_at[kStaged];
  for (int q = 0; q < kStaged; ++q) {
    const Index sk = k_base + (sr + q * kRunStep) * kTile + sc;
    s_at[q] = sk < a.m.K ? sk * a.m.dim + si : -1;  // -1: past the last cluster
  }
  // Every held step's sums from 0: those past kSteps stay 0 (a step swept
  // alone where the next is past the last cluster, whose terms are then
  // -inf).
  for (int s = 0; s < kHeld; ++s)
    for (int r = 0; r < kRows; ++r)
      for (int c = 0; c < kTile; ++c) acc[s][r][c] = 0.0;
  // At least one tile, even of no coordinates (which stages nothing): a
  // loop that might not run had the compiler zero the sums on both paths.
  int d0 = 0;
  do {
    if (!resident) {
      __syncthreads();  // the previous tile is no longer read
      Load_Points(a, sh, j0, d0);
    }
    const int d_end = Min(dim, d0 + kDimTile);
    for (int e0 = d0; e0 < d_end; e0 += kCoords) {
      __syncthreads();
      // Past the last cluster, mean 0 and scale 1: its sum of squares is
      // then never NaN for a finite or infinite point, and the -inf weight
      // makes its term -inf without a test per term. (Scale 0 would give
      // inf * 0 for an infinite coordinate.) Past dim, nothing reads them.
      for (int q = 0; q < kStaged; ++q) {
        const bool in = s_at[q] >= 0 && e0 + si < dim;
        const Index at = s_at[q] + e0;
        Param<kSteps>(sh, sr + q * kRunStep, sc, si) =
            in ? make_double2(a.m.mu[at], a.m.whitening[at]) : make_double2(0, 1);
      }
      Sync_Staged();  // the points' copies land before the tile is read
      const int width = Min(kCoords, d_end - e0), row = e0 - d0;
      // Not unrolled: sixteen chains of fma a step per coordinate hide the
      // latency, and unrolling would cost the registers that occupancy needs.
#pragma unroll 1
      for (int i = 0; i < width; ++i) {
        double x[kRows];
        for (int r = 0; r < kRows; ++r) x[r] = sh.xs[row + i][p + r * kLanes];
        for (int s = 0; s < kSteps; ++s)
          for (int c = 0; c < kTile; ++c) {
            const double2 ms = Param<kSteps>(sh, s * kGroups + g, c, i);
            for (int r = 0; r < kRows; ++r) {
              const double y = (x[r] - ms.x) * ms.y;
              acc[s][r][c] = fma(y, y, acc[s][r][c]);
            }
          }
      }
    }
    d0 += kDimTile;
  } while (d0 < dim);
}

// kRawTerms: R receives the log terms and no posteriors follow. A template
// parameter, so that neither kernel's term loop carries the other's code.
// kSteps: steps of the sweep a block takes at once (two past the resident
// coordinates, where a step stages the points again; three blocks an SM
// then hold the second step's sums). The runs are summed in the same order
// either way, so a point's bits do not depend on it. kOnePass: one step
// holds every cluster (K <= 16, which the launcher guarantees): a point's
// sum is its one run's, without the selects and the stand-in of a run
// added to a running sum (Diagonal_Sum::Of_Run gives Add_Run's bits where
// nothing came before).
template <bool kRawTerms, int kSteps, bool kOnePass>
__global__ void __launch_bounds__(kThreads, kSteps == 1 ? 4 : 3) Log_Diagonal_Kernel(Diagonal_Args a) {
  static_assert(!kOnePass || kSteps == 1, "one pass of one step");
  __shared__ Diagonal_Shared sh;
  const int t = static_cast<int>(threadIdx.x), p = t % kLanes, g = t / kLanes;
  const Index j0 = static_cast<Index>(blockIdx.x) * kPoints;
  const int here = static_cast<int>(Min(Index{kPoints}, a.x.count - j0));  // points of the block
  const bool resident = a.m.dim <= kDimTile;
  if (resident) Load_Points(a, sh, j0, 0);  // the first tile's Sync_Staged lands it

  // The raw terms' offset in R of this thread's first point and cluster,
  // a step on: one register pair, where offsets for each row would spill.
  Index raw_at = (j0 + p) * a.out.point_stride + g * kTile * a.out.cluster_stride;
  Diagonal_Sum sum[kRows];
  double acc[kSteps][kRows][kTile];
  const Index k_end = kOnePass ? Min(a.m.K, Index{kSweep}) : a.m.K;
  for (Index k_base = 0; k_base < k_end; k_base += kSteps * kSweep) {
    // The last step alone where the next is wholly past the last cluster
    // (uniform across the block): its FMAs would all be padding. The next
    // step's sums stay 0 and its terms -inf, which change no sum, bit for
    // bit: a branch around them had the compiler copy the first step's
    // terms too.
    if (kSteps == 1 || k_base + kSweep < a.m.K) Sweep_Steps<kSteps>(a, sh, j0, k_base, resident, acc);
    else Sweep_Steps<1>(a, sh, j0, k_base, resident, acc);
#pragma unroll  // acc[s] stays in registers
    for (int s = 0; s < kSteps; ++s, raw_at += kSweep * a.out.cluster_stride) {
      const Index k0 = k_base + s * kSweep + g * kTile;
      const int live = static_cast<int>(Min(Index{kTile}, a.m.K - k0));  // may be <= 0
      double lw[kTile];
      for (int c = 0; c < kTile; ++c) lw[c] = c < live ? a.m.log_w[k0 + c] : kMinusInf;
      for (int r = 0; r < kRows; ++r) {
        // -inf past the last cluster (its weight), whatever the point but
        // one with a NaN coordinate, whose logP is NaN anyway: such a term
        // changes nothing.
        double v[kTile];
        for (int c = 0; c < kTile; ++c) v[c] = fma(-0.5, acc[s][r][c], lw[c]);
        if constexpr (kRawTerms) {
          if (live > 0 && p + r * kLanes < here) {
            // A thread's four terms are contiguous where R is K x N.
            double *out = a.out.R + raw_at + r * kLanes * a.out.point_stride;
            for (int c = 0; c < kTile; ++c, out += a.out.cluster_stride)
              if (c < live) *out = v[c];
          }
        }
        if constexpr (kOnePass) sum[r] = Diagonal_Sum::Of_Run(v);
        else sum[r].Add_Run(v);
      }
    }
  }
  for (int r = 0; r < kRows; ++r) {
    sh.merge.m[g][p + r * kLanes] = sum[r].m;
    sh.merge.s[g][p + r * kLanes] = sum[r].s;
  }
  Sync_Staged();  // without clusters no sweep landed the points' copies
  const Posterior_Shift shift = Merged_Shift(sh, t);
  if (t < here) {
    a.out.log_p[j0 + t] = shift.Log_P();
    if (kRawTerms && a.out.shift != nullptr) {
      a.out.shift[2 * (j0 + t)] = shift.top;
      a.out.shift[2 * (j0 + t) + 1] = shift.log_sum;
    }
  }
  if (kRawTerms || a.out.R == nullptr) return;  // uniform across the block
  Keep_Shift(sh, t, shift);

  __syncthreads();
  const bool by_cluster = a.out.cluster_stride == 1;
  for (Index k_base = 0; k_base < a.m.K; k_base += kSweep) {
    Sweep_Steps<1>(a, sh, j0, k_base, resident, acc);
    // The groups take turns with the staging tile: each round writes one
    // group's clusters for all the block's points, along whichever of
    // points and clusters is contiguous in R.
    for (int gg = 0; gg < kGroups; ++gg) {
      const Index k0 = k_base + gg * kTile;
      if (k0 >= a.m.K) break;  // uniform: every thread sees the same k0
      if (g == gg)
        for (int r = 0; r < kRows; ++r)
          for (int c = 0; c < kTile; ++c)
            sh.r[p + r * kLanes][c] = k0 + c < a.m.K ? fma(-0.5, acc[0][r][c], a.m.log_w[k0 + c]) : 0.0;
      __syncthreads();
      const int width = static_cast<int>(Min(Index{kTile}, a.m.K - k0));
      For_Tile_Entries<kThreads>(t, by_cluster, width, kPoints, [&](int c, int q) {
        const Index jq = j0 + q;
        if (jq < a.x.count)
          a.out.R[jq * a.out.point_stride + (k0 + c) * a.out.cluster_stride] =
              Shift_Of(sh, q).Posterior(sh.r[q][c]);
      });
      __syncthreads();
    }
  }
}

// The fit's E-step and statistics in one kernel, up to 32 coordinates and
// 16 clusters (one step of the sweep, X resident): a block walks a unit,
// 128 points at a time. Each slice's log terms come from the sweep, logP
// from the evaluator's sums, so a point's log-likelihood has the evaluator's
// bits; the posteriors then wait in shared memory, half the slice at a
// time, and thread (coordinate i, warp g) adds clusters 4g .. 4g + 3 over
// them in point order: the weight, the sum and the square of x_i - shift,
// the small-dims kernel's chain of operations. Neither the raw terms nor
// the posteriors leave the block, and X is read once.
// A cluster's weight n is summed where its posteriors are formed, by the
// thread that forms them (its four rows of a slice, slice by slice), and
// the warp's lanes in order at the end: once a posterior, where the
// coordinates' threads would each add it again. Three blocks an SM: the
// sums held across the slices (24 registers) come on top of the sweep's;
// at four, the sweep spilled. kWeighted: whether the points have weights,
// known when compiled, so that the unweighted posteriors carry no weight's
// code.
template <bool kWeighted>
__global__ void __launch_bounds__(kThreads, 3) Fused_Diagonal_Kernel(Fused_Args a) {
  static_assert(kLanes == kDimTile, "a lane a coordinate");
  __shared__ Diagonal_Shared sh;
  const int t = static_cast<int>(threadIdx.x), p = t % kLanes, g = t / kLanes;
  const Index dim = a.m.dim, K = a.m.K, u = blockIdx.x;
  const Index begin = u * a.x.unit, end = Min(a.x.count, begin + a.x.unit);
  const Diagonal_Args d{a.m, Device_Points{a.x.X, end, dim, 1}, Device_Results{}};
  const Index k0 = g * kTile;
  const int live = static_cast<int>(Min(Index{kTile}, K - k0));  // may be <= 0
  double lw[kTile], centre[kTile], n[kTile], s[kTile], sq[kTile];
  for (int c = 0; c < kTile; ++c) {
    lw[c] = c < live ? a.m.log_w[k0 + c] : kMinusInf;
    centre[c] = a.statistics && c < live && p < dim ? a.shift[(k0 + c) * dim + p] : 0.0;
    n[c] = s[c] = sq[c] = 0.0;
  }
  double log_likelihood = 0.0;
  for (Index j0 = begin; j0 < end; j0 += kPoints) {
    __syncthreads();  // the previous slice's points and posteriors are no longer read
    Load_Points(d, sh, j0, 0);  // the first tile's Sync_Staged lands it
    double acc[1][kRows][kTile];
    Sweep_Steps<1>(d, sh, j0, 0, true, acc);
    for (int r = 0; r < kRows; ++r) {
      double v[kTile];
      for (int c = 0; c < kTile; ++c) v[c] = fma(-0.5, acc[0][r][c], lw[c]);
      const Diagonal_Sum sum = Diagonal_Sum::Of_Run(v);
      sh.merge.m[g][p + r * kLanes] = sum.m;
      sh.merge.s[g][p + r * kLanes] = sum.s;
    }
    __syncthreads();
    Keep_Shift(sh, t, Merged_Shift(sh, t));
    __syncthreads();
    const int count = static_cast<int>(Min(Index{kPoints}, end - j0));
    // Thread 0 adds the slice's log-likelihoods in point order, while the
    // others go on: the shifts are next written after the next slice's sweep.
    if (t == 0)
      for (int q = 0; q < count; ++q)
        log_likelihood += kWeighted ? Weigh(Shift_Of(sh, q).Log_P(), a.x.w, j0 + q) : Shift_Of(sh, q).Log_P();
    if (!a.statistics) continue;  // uniform across the block
    for (int half = 0; half < 2; ++half) {
      // The merge's room (read before the last barrier), or the last
      // half's posteriors (read before the barrier that ends a half).
      for (int r = 2 * half; r < 2 * half + 2; ++r) {
        const int q = p + r * kLanes;
        const Index j = j0 + q;
        // The point's weight, read once for its clusters. Every slot's
        // posterior is formed and a select drops those that do not count:
        // around a branch, the exp's constants were loaded again for each.
        const double weight = kWeighted && j < end ? a.x.w[j] : 1.0;
        const bool in = j < end && (!kWeighted || weight != 0.0);
        for (int c = 0; c < kTile; ++c) {
          const double e = Shift_Of(sh, q).Posterior(fma(-0.5, acc[0][r][c], lw[c]));
          const double post = Take_Read<kWeighted>(e, in && c < live, weight, a.x.floor);
          sh.rs[q - half * kPoints / 2][k0 + c] = post;
          n[c] += post;
        }
      }
      __syncthreads();
      const int from = half * kPoints / 2, to = p < dim ? Min(count, from + kPoints / 2) : from;
      for (int q = from; q < to; ++q) {
        const double x = sh.xs[p][q];
        for (int c = 0; c < kTile; ++c) {
          const double r = sh.rs[q - from][k0 + c], dx = x - centre[c], w = r * dx;
          s[c] += w;
          sq[c] = fma(w, dx, sq[c]);
        }
      }
      __syncthreads();
    }
  }
  double *record = a.partial + u * a.stride;
  if (t == 0) record[a.log_likelihood] = log_likelihood;
  if (!a.statistics) return;  // uniform across the block
  // The last half's barrier ended the reads of the posteriors' room.
  for (int c = 0; c < kTile; ++c) sh.merge.m[g][c * kLanes + p] = n[c];
  __syncthreads();
  if (p >= dim) return;
  for (int c = 0; c < kTile; ++c) {
    if (c >= live) break;  // known when compiled, c: the sums stay in registers
    double *own = record + (k0 + c) * a.per_cluster;
    if (p == 0) {
      double total = 0.0;
      for (int l = 0; l < kLanes; ++l) total += sh.merge.m[g][c * kLanes + l];
      own[0] = total;
    }
    own[1 + p] = s[c];
    own[1 + dim + p] = sq[c];
  }
}

}  // namespace

// The plain-loop reference: what the kernel computes for point j, in the
// same order of operations.
double Reference_Diagonal(const Device_Mixture &m, const Device_Points &x, Index j) {
  Diagonal_Sum sum[kGroups];
  for (Index k0 = 0; k0 < m.K; k0 += kTile) {
    double v[kTile];
    for (int c = 0; c < kTile; ++c) {
      const Index k = k0 + c;
      if (k >= m.K) {
        v[c] = kMinusInf;
        continue;
      }
      double acc = 0.0;
      for (Index i = 0; i < m.dim; ++i) {
        const double y = (x.X[j * x.point_stride + i * x.coord_stride] - m.mu[k * m.dim + i]) *
                         m.whitening[k * m.dim + i];
        acc = std::fma(y, y, acc);
      }
      v[c] = std::fma(-0.5, acc, m.log_w[k]);
    }
    sum[Diagonal_Group(k0)].Add_Run(v);
  }
  for (int g = 1; g < kGroups; ++g) sum[0].Merge(sum[g]);
  return sum[0].Value();
}

// The instance for the mixture: one pass of one step where a step holds
// every cluster (up to 16); else two steps at once where the points are
// staged again for each and a second step has clusters; else one.
template <bool kRawTerms>
auto Diagonal_Instance(const Device_Mixture &m) {
  if (m.K <= kSweep) return Log_Diagonal_Kernel<kRawTerms, 1, true>;
  if (m.dim > kDimTile) return Log_Diagonal_Kernel<kRawTerms, 2, false>;
  return Log_Diagonal_Kernel<kRawTerms, 1, false>;
}

void Launch_Diagonal(const Device_Mixture &m, const Device_Points &x, const Device_Results &out,
                     cudaStream_t stream, bool raw_terms) {
  if (x.count <= 0) return;
  const auto kernel = raw_terms && out.R != nullptr ? Diagonal_Instance<true>(m) : Diagonal_Instance<false>(m);
  Launch(kernel, dim3(Blocks(x.count, kPoints)), dim3(kThreads), stream, Diagonal_Args{m, x, out});
}

void Launch_Fused_Diagonal(const Fused_Args &args, cudaStream_t stream) {
  const auto kernel = args.x.w != nullptr ? Fused_Diagonal_Kernel<true> : Fused_Diagonal_Kernel<false>;
  Launch(kernel, dim3(static_cast<unsigned int>(Ceil_Div(args.x.count, args.x.unit))), dim3(kThreads),
         stream, args);
}

}  // namespace velmora_log
