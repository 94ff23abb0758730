// Full covariances: reference, kernels, launcher.
//
// For each point and cluster, d = x - mu_k first, then y = W_k d with the
// cluster's inverse Cholesky factor, q = ||y||^2, then the log-sum-exp: no
// whitened data are kept, and nothing cancels, however far the clusters lie
// from each other or from the origin.
//
// A block owns 64 points and a group of up to 16 clusters. Per cluster it
// stages D = X - mu_k and the matching 32 columns of W_k through shared
// memory, slab by slab, and its 256 threads form Y = W_k D tile by tile like
// a small matrix product: each thread holds TM rows x 4 points of Y in
// registers (a warp covers 4 x 8 threads, so W and D are both broadcast).
// A warp stops at the column past its last row: the triangle above the
// diagonal costs nothing.
// Sums run in a fixed order (rows within a thread, then threads, then row
// tiles), so a point's bits depend only on the point and the mixture. With
// more than 16 clusters the groups' partial log-sum-exps are merged by a
// second kernel, in group order.
#include <cuda_runtime.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "device.h"
#include "small_dims.h"
#include "kernels.h"
#include "staging.h"
#include "log_sum.h"
#include "tensor.h"

namespace velmora_log {

namespace {

constexpr int kThreads = 256;
constexpr int kPoints = 64;     // per block
constexpr int kSlab = 32;       // coordinates of D, and columns of W, staged at once
constexpr int kRowGroups = 16;  // threads along the rows of a tile
constexpr int kTN = 4;          // points per thread
static_assert(kTN == 4 && kPoints == 64, "Point_Of's pairs");

// The c-th point of thread column tx (0-15): two pairs, 2tx and 2tx + 1,
// then 32 on. A warp's eight columns read each pair as one 16-byte load
// from 128 contiguous bytes: one shared wavefront, where four consecutive
// points a thread (32 bytes apart) took two.
__device__ __forceinline__ int Point_Of(int tx, int c) { return (c / 2) * 32 + tx * 2 + c % 2; }
constexpr int kGroup = kTileClusters;  // clusters per block: the log-sum-exp's group


struct Full_Args {
  Device_Mixture m;
  Device_Points x;
  Device_Results out;
  double *partial;  // 2 x count per cluster group, with more than one group
  Index groups;
};

// Cluster groups run along y, and along z past y's 65535.
constexpr unsigned int kMaxGridY = 65535;

// W_k's slab, and a tile's partial sums of squares: apart where there is
// room, which saves two barriers per cluster; sharing their room at 64 rows
// a tile, where apart they would not fit.
template <int TM, bool kApart>
struct Slab_And_Sums {
  double w[kSlab][kRowGroups * TM];  // W_k(i0 + i, s0 + l) at w[l][i]
  double q[kRowGroups][kPoints];
};
template <int TM>
struct Slab_And_Sums<TM, false> {
  union {
    double w[kSlab][kRowGroups * TM];
    double q[kRowGroups][kPoints];
  };
};

template <int TM>
struct Full_Shared {
  static constexpr bool kApart = TM < 4;
  double d[kSlab][kPoints + 2];  // +2: rows on other banks, 16-byte aligned
  Slab_And_Sums<TM, kApart> ws;
  double v[kGroup][kPoints + 1];  // the group's log terms, for the posteriors
  double top[kPoints], log_sum[kPoints];  // each point's Posterior_Shift
};

// The entries of a slab (kSlab coordinates of the block's kP points) that
// thread t of kT stages, coalesced along whichever of points and
// coordinates is contiguous in X: it keeps one of (coordinate, point) and
// steps the other by a fixed stride, kSlab * kP / kT entries in all.
template <int kT, int kP = kPoints>
struct Slab_Walk {
  static_assert(kT % kSlab == 0 && kT % kP == 0, "fixed strides");
  static constexpr int kEntries = kSlab * kP / kT;
  static_assert(kEntries * kT == kSlab * kP, "as many entries for every thread");
  bool by_coord;
  int l0, p0, sl, sp;
  __device__ explicit Slab_Walk(const Device_Points &x)
      : by_coord(x.coord_stride == 1),
        l0(by_coord ? threadIdx.x % kSlab : threadIdx.x / kP),
        p0(by_coord ? threadIdx.x / kSlab : threadIdx.x % kP),
        sl(by_coord ? 0 : kT / kP),
        sp(by_coord ? kT / kSlab : 0) {}
};

// D = X - mu_k (or X itself, without kCentre) for coordinates s0.. of the
// block's points into `d`: coordinate l of point p at d[l * dl + p * dp].
// A thread's addresses advance by one add a pass and, along coordinates,
// its entry of mu_k is read once. X itself lands by Sync_Staged.
template <int kT, bool kCentre = true, int kP = kPoints>
__device__ void Stage_Centred(const Full_Args &a, double *d, int dl, int dp, Index j0, Index k,
                              int s0) {
  const Slab_Walk<kT, kP> walk(a.x);
  const bool by_coord = walk.by_coord;
  const int l0 = walk.l0, p0 = walk.p0, sl = walk.sl, sp = walk.sp;
  const int points = static_cast<int>(Min(Index{kP}, a.x.count - j0));
  const int coords = static_cast<int>(Min(Index{kSlab}, a.m.dim - s0));
  const double *mu = a.m.mu + k * a.m.dim + s0;
  const double *x = a.x.X + (j0 + p0) * a.x.point_stride + (Index{s0} + l0) * a.x.coord_stride;
  const Index step = sp * a.x.point_stride + sl * a.x.coord_stride;
  const double mu_l0 = kCentre && by_coord && l0 < coords ? mu[l0] : 0.0;
  double *out = d + l0 * dl + p0 * dp;
  const int out_step = sl * dl + sp * dp;
  // As many entries for every thread, a count known when compiled.
#pragma unroll 4
  for (int e = 0; e < Slab_Walk<kT, kP>::kEntries; ++e, x += step, out += out_step) {
    const int l = l0 + e * sl, p = p0 + e * sp;
    const bool in = p < points && l < coords;
    // Raw X is copied straight into shared memory (staging.h).
    if constexpr (kCentre) *out = in ? *x - (by_coord ? mu_l0 : mu[l]) : 0.0;
    else Copy_To_Shared(out, x, in);
  }
}

// Up to dim 32 (one slab) a thread of the CUDA-core kernel keeps its
// entries of X in registers for all of the group's clusters, and stages D
// from them for each cluster: the same subtraction, with no loads of X
// and none of their 64-bit address arithmetic.
using Cores_Walk = Slab_Walk<kThreads>;

struct Held_Slab {
  double x[Cores_Walk::kEntries];
  unsigned in = 0;  // bit e: entry e lies within the block's points and dim
};

__device__ __forceinline__ void Load_Held(const Full_Args &a, Index j0, Held_Slab &held) {
  const Cores_Walk walk(a.x);
  const int points = static_cast<int>(Min(Index{kPoints}, a.x.count - j0));
  const int coords = static_cast<int>(Min(Index{kSlab}, a.m.dim));
#pragma unroll
  for (int e = 0; e < Cores_Walk::kEntries; ++e) {
    const int l = walk.l0 + e * walk.sl, p = walk.p0 + e * walk.sp;
    const bool in = p < points && l < coords;
    held.x[e] = in ? a.x.X[(j0 + p) * a.x.point_stride + l * a.x.coord_stride] : 0.0;
    held.in |= static_cast<unsigned>(in) << e;
  }
}

// Stage_Centred's D for slab 0, from the held entries. Entry e's centre is
// mu_k's entry l0 + e sl (the same one throughout, along coordinates).
__device__ __forceinline__ void Stage_Held(const Full_Args &a, double *d, const Held_Slab &held,
                                           Index k) {
  const Cores_Walk walk(a.x);
  const double *mu = a.m.mu + k * a.m.dim + walk.l0;
  double *out = d + walk.l0 * (kPoints + 2) + walk.p0;
  const int out_step = walk.sl * (kPoints + 2) + walk.sp;
#pragma unroll
  for (int e = 0; e < Cores_Walk::kEntries; ++e)
    out[e * out_step] = held.in >> e & 1 ? held.x[e] - mu[e * walk.sl] : 0.0;
}

// Columns s0.. of rows i0.. of W_k (column-major, dim x dim), into `w`:
// W_k(i0 + i, s0 + l) at w[l * stride + i], zero past dim and above the
// diagonal. A thread keeps its row and steps along the columns. Entries
// above the diagonal are zero by W_k's definition and are not read: every
// block stages every cluster's slabs from L2, and at dim 128 the square's
// upper half was a third of W's traffic. The entries land by Sync_Staged.
template <int kT, int kRows>
__device__ void Stage_Whitening(const Full_Args &a, double *w, int stride, Index k, int i0,
                                int s0) {
  static_assert(kT % kRows == 0, "a fixed row per thread");
  constexpr int kStep = kT / kRows;
  // As many columns for every thread, a count known when compiled: no
  // remainder passes to set up, test and skip in every slab.
  static_assert(kSlab % kStep == 0, "whole passes");
  const int t = static_cast<int>(threadIdx.x), dim = static_cast<int>(a.m.dim);
  const int i = t % kRows, gi = i0 + i, l0 = t / kRows;
  const double *W = a.m.whitening + k * a.m.dim * a.m.dim + gi + static_cast<Index>(s0 + l0) * dim;
#pragma unroll 4
  for (int q = 0; q < kSlab / kStep; ++q, W += kStep * static_cast<Index>(dim)) {
    const int l = l0 + q * kStep;
    Copy_To_Shared(&w[l * stride + i], W, gi < dim && s0 + l <= gi);
  }
}

// q for each of the block's points under cluster k, into `q` of threads
// 0..63 (one point each). Every thread of the block takes part. At TM = 2
// (dim 17-32) there is one pass of rows and one slab, staged from `held`:
// the loops below then take one trip, known at compile time, and a
// cluster's work sits in one loop.
template <int TM>
__device__ double Squared_Whitened(const Full_Args &a, Full_Shared<TM> &sh, Index j0, Index k,
                                   const Held_Slab *held) {
  constexpr int kRows = kRowGroups * TM;
  constexpr bool kOne = TM == 2;
  static_assert(!kOne || kRows == kSlab, "dim <= 32: one pass of rows, one slab");
  const int t = static_cast<int>(threadIdx.x), warp = t / 32, lane = t % 32;
  const int wy = warp / 2, ty = wy * 4 + lane / 8, tx = (warp % 2) * 8 + lane % 8;
  const int dim = static_cast<int>(a.m.dim);
  double q = 0.0;
  for (int i0 = 0; kOne ? i0 == 0 : i0 < dim; i0 += kRows) {
    // Rows i0.. of a lower triangular W_k vanish past column i0 + kRows - 1.
    const int l_end = Min(dim, i0 + kRows);
    // A warp whose rows all lie past dim has nothing to form.
    const int warp_last_row = i0 + wy * 4 * TM < dim ? i0 + (wy + 1) * 4 * TM - 1 : -1;
    double acc[TM][kTN] = {};
    for (int s0 = 0; kOne ? s0 == 0 : s0 < l_end; s0 += kSlab) {
      // The previous slab must no longer be read. At a cluster's first slab
      // the barrier after the last sums were written has seen to that, when
      // the sums have a room of their own.
      if (i0 > 0 || s0 > 0 || !Full_Shared<TM>::kApart) __syncthreads();
      if constexpr (kOne) Stage_Held(a, &sh.d[0][0], *held, k);
      else Stage_Centred<kThreads>(a, &sh.d[0][0], kPoints + 2, 1, j0, k, s0);
      Stage_Whitening<kThreads, kRows>(a, &sh.ws.w[0][0], kRows, k, i0, s0);
      Sync_Staged();
      // Past the warp's last row, W's rows here lie above the diagonal.
      const int width = Min(Min(kSlab, l_end - s0), warp_last_row - s0 + 1);
#pragma unroll 2
      for (int l = 0; l < width; ++l) {
        double wv[TM], dv[kTN];
        for (int r = 0; r < TM; ++r) wv[r] = sh.ws.w[l][ty * TM + r];
        for (int c = 0; c < kTN; ++c) dv[c] = sh.d[l][Point_Of(tx, c)];
        for (int r = 0; r < TM; ++r)
          for (int c = 0; c < kTN; ++c) acc[r][c] = fma(wv[r], dv[c], acc[r][c]);
      }
    }
    if (!Full_Shared<TM>::kApart) __syncthreads();  // w is no longer read: q takes its room
    for (int c = 0; c < kTN; ++c) {
      double part = 0.0;
      for (int r = 0; r < TM; ++r) part = fma(acc[r][c], acc[r][c], part);
      sh.ws.q[ty][Point_Of(tx, c)] = part;
    }
    __syncthreads();
    if (t < kPoints) {
      double tile = 0.0;
      for (int y = 0; y < kRowGroups; ++y) tile += sh.ws.q[y][t];
      q += tile;
    }
  }
  return q;
}

// Posteriors (Posterior_Shift) of the group's clusters for the block's points,
// written along whichever of points and clusters is contiguous in R; or the
// raw log terms, when other groups are still to be merged.
template <int kT, int kP, class Shared>
__device__ void Write_Group(const Full_Args &a, Shared &sh, Index j0, Index k0, int width,
                            bool normalise) {
  const int t = static_cast<int>(threadIdx.x);
  For_Tile_Entries<kT>(t, a.out.cluster_stride == 1, width, kP, [&](int c, int p) {
    const Index j = j0 + p;
    if (j < a.x.count)
      a.out.R[j * a.out.point_stride + (k0 + c) * a.out.cluster_stride] =
          normalise ? Posterior_Shift{sh.top[p], sh.log_sum[p]}.Posterior(sh.v[c][p]) : sh.v[c][p];
  });
}

// A block's kP points under its group of clusters: logP, or the group's
// partial log-sum-exp, and the posteriors or raw terms. `Squared` gives q
// of each of the block's points under a cluster, to threads 0..kP - 1.
template <int kT, int kP, class Shared, class Squared>
__device__ void Log_Full_Block(const Full_Args &a, Shared &sh, Squared squared) {
  const int t = static_cast<int>(threadIdx.x);
  const Index j0 = static_cast<Index>(blockIdx.x) * kP, j = j0 + t;
  const Index group = blockIdx.y + static_cast<Index>(blockIdx.z) * gridDim.y;
  if (group >= a.groups) return;  // the last z-slice's spare blocks, before any barrier
  const Index k0 = group * kGroup;
  const int width = static_cast<int>(Min(Index{kGroup}, a.m.K - k0));
  const bool alone = a.groups == 1;
  Log_Sum sum;
  for (int c = 0; c < width; ++c) {
    const double q = Overflowed_To_Inf(squared(k0 + c));
    if (t < kP) {
      const double v = a.m.log_w[k0 + c] - 0.5 * q;
      sum.Add(v);
      sh.v[c][t] = v;
    }
  }
  if (t < kP && j < a.x.count) {
    if (alone) {
      Posterior_Shift shift = sum.Shift();
      a.out.log_p[j] = Point_Log_P(a.x, j, a.m.dim, shift);
      sh.top[t] = shift.top;
      sh.log_sum[t] = shift.log_sum;
    } else {
      a.partial[2 * (group * a.x.count + j)] = sum.m;
      a.partial[2 * (group * a.x.count + j) + 1] = sum.s;
    }
  }
  if (a.out.R == nullptr) return;  // uniform across the block
  __syncthreads();
  Write_Group<kT, kP>(a, sh, j0, k0, width, alone);
}

template <int TM>
__global__ void __launch_bounds__(kThreads, 2) Log_Full_Kernel(Full_Args a) {
  __shared__ Full_Shared<TM> sh;
  const Index j0 = static_cast<Index>(blockIdx.x) * kPoints;
  Held_Slab held;
  if constexpr (TM == 2) Load_Held(a, j0, held);
  Log_Full_Block<kThreads, kPoints>(a, sh, [&](Index k) { return Squared_Whitened(a, sh, j0, k, &held); });
}

// ---------------------------------------------------------------------------
// On the FP64 tensor cores (tensor.h): Y = W_k D as 8 x 8 tiles of rows by
// points, 4 coordinates a step. A block of eight warps owns 128 points;
// each warp takes 16 of them (two point tiles) and every row tile of a pass
// of 8 NT rows, skipping the steps above the diagonal. Every warp thus
// makes the same calls, and per step it loads one fragment of X per point
// tile and one of W per row tile: at most 10 shared loads to 16 products.
// Every block stages every cluster's W from L2, and at dim 128 that was
// half of the kernel's traffic with 64 points a block: 128 halve it, at
// the same 16 warps an SM (two blocks, held by their registers). Their
// room is past the 48 KB a block may declare, so it is the launch's.
//
// X itself is staged, not D, and D = X - mu_k is formed as a fragment is
// loaded, the same subtraction, so subtract-first holds at no cost in
// staging; and so a slab of X serves every cluster. Slab 0, which every
// pass reads, is staged once a block, and another slab is not staged again
// while it is the one held: the first pass's last slab (32) is the second
// pass's second, and up to dim 64 (one pass) it serves every cluster. At
// dim 128, 3 slabs a cluster where there were 6. Up to dim 32 the
// fragments of X stay in registers instead (Log_Full_Resident_Kernel).
//
// y_i comes out of the tiles as the chain of fused multiply-adds along its
// row (tensor.h), as on the CUDA cores. The sums of squares follow the
// fragments: lane 4g + c keeps rows g, g + 8, ... of its points, and the
// eight such chains of a point are then added in order of g, a pass at a
// time (Reference_Full's order with `tensor`).

constexpr int kTensorThreads = 256;
constexpr int kTensorPoints = 128;  // per block
constexpr int kTensorPointsPerWarp = 16;
static_assert(kTensorThreads / 32 * kTensorPointsPerWarp == kTensorPoints, "a warp per 16 points");

template <int NT>
struct Tensor_Shared {
  static constexpr int kRows = 8 * NT;          // rows of W_k a pass
  static constexpr int kWStride = kRows + 8;    // a fragment's four rows on both bank halves
  // X's slabs, as Tensor_Layout places them: along points, kSlab lines of
  // kTensorPoints + 8; along coordinates, kTensorPoints lines of kSlab + 4.
  // x[0] holds slab 0 for all of the block's clusters, which every pass
  // reads; x[1] the others, one at a time, kept while the next slab needed
  // is the same (the first pass's last, 32, is the second pass's second).
  double x[2][kTensorPoints * (kSlab + 4)];
  union {
    double w[kSlab * kWStride];        // W_k(i0 + i, s0 + l) at w[l * kWStride + i]
    double q[8][kTensorPoints + 8];    // a pass's chains, by g (+8: rows on alternate bank halves)
  };
  double mu[kSlab];  // mu_k's slab, zero past dim
  double v[kGroup][kTensorPoints + 1];
  double top[kTensorPoints], log_sum[kTensorPoints];
};
static_assert(kSlab * (kTensorPoints + 8) <= kTensorPoints * (kSlab + 4), "either layout fits x");
static_assert(2 * (sizeof(Tensor_Shared<8>) + 1024) <= 228 * 1024, "two blocks an SM");
// bench/sass_model.py's LAUNCH_ROOM: its occupancy figures take this size.
static_assert(sizeof(Tensor_Shared<8>) == 110976, "the model's room for the tensor kernel");

// Where coordinate l of point p sits in x: along coordinates (stride
// kSlab + 4 between points) when X is, else along points (stride
// kTensorPoints + 8 between coordinates). Staging then writes whole lines,
// and a fragment's 32 loads (4 coordinates x 8 points) fall on distinct
// banks in two wavefronts either way.
struct Tensor_Layout {
  int dl, dp;
  __device__ explicit Tensor_Layout(const Device_Points &x)
      : dl(x.coord_stride == 1 ? 1 : kTensorPoints + 8), dp(x.coord_stride == 1 ? kSlab + 4 : 1) {}
};

// A slab's steps for the first L row tiles of a pass (those that hold rows
// below dim). Row tile r's rows vanish past its last column, so the steps
// run in runs by their first row tile on or below the diagonal, r0: a run's
// steps serve tiles r0..L-1, and issue nothing for the others.
template <int L, int NT>
__device__ __forceinline__ void Slab_Steps(double (&acc)[NT][2][2], const double *a_at,
                                           const double *b_at, const double *mu, int b_step,
                                           int b_tile, int c, int i0, int s0, int width) {
  constexpr int kW = Tensor_Shared<NT>::kWStride;
#pragma unroll
  for (int r0 = 0; r0 < L; ++r0) {
    const int from = r0 == 0 ? 0 : i0 + 8 * r0 - s0, to = Min(width, i0 + 8 * r0 + 8 - s0);
    // Kept a loop: unrolled, every run of every L would be thousands of
    // instructions, past the instruction cache.
#pragma unroll 1
    for (int l = from < 0 ? 0 : from; l < to; l += 4) {
      const double centre = mu[l + c];
      const double b0 = b_at[(l / 4) * b_step] - centre;
      const double b1 = b_at[(l / 4) * b_step + b_tile] - centre;
#pragma unroll
      for (int r = r0; r < L; ++r) {
        const double w = a_at[l * kW + 8 * r];
        Mma_884(acc[r][0][0], acc[r][0][1], w, b0, acc[r][0][0], acc[r][0][1]);
        Mma_884(acc[r][1][0], acc[r][1][1], w, b1, acc[r][1][0], acc[r][1][1]);
      }
    }
  }
}

// Slab_Steps for `live` row tiles, chosen alike by every warp.
template <int NT, int L = NT>
__device__ __forceinline__ void Slab_Steps_Live(int live, double (&acc)[NT][2][2],
                                                const double *a_at, const double *b_at,
                                                const double *mu, int b_step, int b_tile, int c,
                                                int i0, int s0, int width) {
  if constexpr (L > 1) {
    if (live < L) {
      Slab_Steps_Live<NT, L - 1>(live, acc, a_at, b_at, mu, b_step, b_tile, c, i0, s0, width);
      return;
    }
  }
  Slab_Steps<L, NT>(acc, a_at, b_at, mu, b_step, b_tile, c, i0, s0, width);
}

// The sum of squares of a pass's rows of Y, for thread t < kP's point (0
// for the others): each lane's chains of its points (PT point tiles a
// warp) through sh.q, which takes w's room, then added in order of g.
template <int kP, int NT, int PT, class Shared>
__device__ __forceinline__ double Pass_Sum(Shared &sh, const double (&acc)[NT][PT][2]) {
  const int t = static_cast<int>(threadIdx.x), warp = t / 32, g = t % 32 / 4, c = t % 4;
  __syncthreads();  // w is no longer read: the chains take its room
#pragma unroll
  for (int pt = 0; pt < PT; ++pt)
#pragma unroll
    for (int e = 0; e < 2; ++e) {
      double part = 0.0;
#pragma unroll
      for (int r = 0; r < NT; ++r) part = fma(acc[r][pt][e], acc[r][pt][e], part);
      sh.q[g][8 * PT * warp + 8 * pt + 2 * c + e] = part;
    }
  __syncthreads();
  double tile = 0.0;
  if (t < kP)
    for (int y = 0; y < 8; ++y) tile += sh.q[y][t];
  return tile;
}

// X's slab 0 stays staged for all the clusters (Tensor_Shared::x); the
// others are staged into x[1] as they come, unless it holds them already:
// `held`, the slab it holds (-1: none), the same in every thread.
template <int NT>
__device__ double Squared_Whitened_Tensor(const Full_Args &a, Tensor_Shared<NT> &sh, Index j0,
                                          Index k, int &held) {
  constexpr int kRows = Tensor_Shared<NT>::kRows, kW = Tensor_Shared<NT>::kWStride;
  const int t = static_cast<int>(threadIdx.x), warp = t / 32, g = t % 32 / 4, c = t % 4;
  const int dim = static_cast<int>(a.m.dim);
  const Tensor_Layout at(a.x);
  // This lane's fragments: B[c][g] of the warp's two point tiles, A[g][c]
  // of row tile 0; a step moves 4 coordinates on.
  const int b_lane = c * at.dl + (kTensorPointsPerWarp * warp + g) * at.dp;
  const int b_step = 4 * at.dl, b_tile = 8 * at.dp;
  const double *a_at = sh.w + c * kW + g;
  double q = 0.0;
  for (int i0 = 0; i0 < dim; i0 += kRows) {
    const int l_end = Min(dim, i0 + kRows);
    double acc[NT][2][2] = {};
    // Slab 0's fragments, then the other slabs': carried from slab to slab,
    // where a select of the buffer was formed again in every run's set-up.
    const double *b_at = sh.x[0] + b_lane;
    for (int s0 = 0; s0 < l_end; s0 += kSlab, b_at = sh.x[1] + b_lane) {
      // The previous slab, or the last pass's chains (which share w's
      // room), are no longer read.
      __syncthreads();
      if (s0 > 0 && s0 != held) {
        Stage_Centred<kTensorThreads, false, kTensorPoints>(a, sh.x[1], at.dl, at.dp, j0, k, s0);
        held = s0;
      }
      Stage_Whitening<kTensorThreads, kRows>(a, sh.w, kW, k, i0, s0);
      if (t < kSlab)
        Copy_To_Shared(&sh.mu[t], a.m.mu + k * a.m.dim + s0 + t, s0 + t < dim);
      Sync_Staged();
      // Coordinates past l_end are zero in W's slab.
      Slab_Steps_Live<NT>(Min(NT, (dim - i0 + 7) / 8), acc, a_at, b_at, sh.mu, b_step, b_tile, c,
                          i0, s0, Min(kSlab, l_end - s0));
    }
    q += Pass_Sum<kTensorPoints>(sh, acc);
  }
  return q;
}

// The block's room, from the launch on a GPU (Launch_Tiles' `room`); the
// CPU device's shared memory takes any size.
template <int NT>
__device__ __forceinline__ Tensor_Shared<NT> &Tensor_Room() {
#ifdef __CUDA_ARCH__
  extern __shared__ __align__(16) unsigned char tensor_room[];
  return *reinterpret_cast<Tensor_Shared<NT> *>(tensor_room);
#else
  __shared__ Tensor_Shared<NT> sh;
  return sh;
#endif
}

// Two blocks an SM: 128 registers, as four blocks of 128 threads had.
template <int NT>
__global__ void __launch_bounds__(kTensorThreads, 2) Log_Full_Tensor_Kernel(Full_Args a) {
  Tensor_Shared<NT> &sh = Tensor_Room<NT>();
  const Index j0 = static_cast<Index>(blockIdx.x) * kTensorPoints;
  // Slab 0 once; the first slab's Sync_Staged lands and publishes it.
  const Tensor_Layout at(a.x);
  Stage_Centred<kTensorThreads, false, kTensorPoints>(a, sh.x[0], at.dl, at.dp, j0, 0, 0);
  int held = -1;
  Log_Full_Block<kTensorThreads, kTensorPoints>(
      a, sh, [&](Index k) { return Squared_Whitened_Tensor<NT>(a, sh, j0, k, held); });
  // A block past the last group of clusters returns from Log_Full_Block
  // before any slab: its copies are not left in flight.
  Copies_Landed();
}

// Up to dim 32 a block forms one pass of rows from one slab, so each lane
// loads its fragments of X once, straight from X into registers, and they
// serve all of the group's clusters: a step then reads only W's fragments
// and mu_k's entry from shared memory, and centres the fragments in
// registers (x - mu_k, the same subtraction). Four warps own the block's
// 128 points, 32 each (four point tiles), so that each fragment of W a warp
// loads feeds four products, and each W_k staged serves 128 points: its
// global loads and shared stores, a quarter of a cluster's L1 data path
// wavefronts, cost a point half what they did at 64 points. The steps
// are unrolled for the L row tiles below dim (3 or 4): step s serves tiles
// s / 2..L - 1, each tile's chain takes its steps in order, and so every
// product and sum is Slab_Steps's.
constexpr int kResidentThreads = 128;
constexpr int kResidentPoints = 128;  // per block
constexpr int kResidentTiles = 4;  // point tiles a warp
constexpr int kResidentSteps = 8;  // of 4 coordinates: dim 32
static_assert(kResidentThreads / 32 * 8 * kResidentTiles == kResidentPoints, "a warp per 32 points");

struct Resident_Shared {
  static constexpr int kWStride = kSlab + 8;  // a fragment's four rows on both bank halves
  union {
    double w[kSlab * kWStride];  // W_k(i, l) at w[l * kWStride + i]
    double q[8][kResidentPoints + 8];  // the chains, by g (+8: rows on alternate bank halves)
  };
  double mu[kSlab];  // mu_k, zero past dim
  double v[kGroup][kResidentPoints + 1];
  double top[kResidentPoints], log_sum[kResidentPoints];
};

using Resident_Fragments = double[kResidentSteps][kResidentTiles];

// Lane 4g + c's fragments B[c][g] of its warp's point tiles, step by step:
// coordinate 4s + c of point g of each tile; zero past dim and past the
// last point, as staging gives them. The kernel of L row tiles takes dim
// in (8 (L - 1), 8 L] (the launcher's choice) and reads steps 0 .. 2L - 1:
// only the last two can reach past dim, and only they test it (a test
// for each of 32 loads had the compiler keep their predicates as bits of
// a register, which took more instructions than the loads).
template <int L>
__device__ __forceinline__ void Load_Fragments(const Device_Points &x, Index j0, int dim,
                                               Resident_Fragments &b) {
  static_assert(2 * L <= kResidentSteps, "a step of fragments for each of the kernel's");
  const int t = static_cast<int>(threadIdx.x), g = t % 32 / 4, c = t % 4;
  const Index step = 4 * x.coord_stride;
#pragma unroll
  for (int pt = 0; pt < kResidentTiles; ++pt) {
    const Index j = j0 + 8 * kResidentTiles * (t / 32) + 8 * pt + g;
    const bool in = j < x.count;
    // A point's offset, stepped four coordinates a fragment: a 64-bit
    // product for each fragment cost more than its load.
    Index at = j * x.point_stride + c * x.coord_stride;
#pragma unroll
    for (int s = 0; s < kResidentSteps; ++s, at += step) {
      const bool coordinate = s < 2 * L - 2 || (s < 2 * L && 4 * s + c < dim);
      b[s][pt] = in && coordinate ? x.X[at] : 0.0;
    }
  }
}

template <int L>
__device__ double Squared_Whitened_Resident(const Full_Args &a, Resident_Shared &sh,
                                            const Resident_Fragments &b, Index k) {
  constexpr int kW = Resident_Shared::kWStride;
  const int t = static_cast<int>(threadIdx.x), g = t % 32 / 4, c = t % 4;
  const int dim = static_cast<int>(a.m.dim);
  __syncthreads();  // the last cluster's chains are no longer read
  Stage_Whitening<kResidentThreads, kSlab>(a, sh.w, kW, k, 0, 0);
  if (t < kSlab) Copy_To_Shared(&sh.mu[t], a.m.mu + k * a.m.dim + t, t < dim);
  Sync_Staged();
  const double *a_at = sh.w + c * kW + g;
  double acc[4][kResidentTiles][2] = {};
#pragma unroll
  for (int s = 0; s < 2 * L; ++s) {
    if (s == 2 * L - 1 && 4 * s >= dim) break;  // the earlier steps all start below dim
    const double centre = sh.mu[4 * s + c];
    double d[kResidentTiles];
#pragma unroll
    for (int pt = 0; pt < kResidentTiles; ++pt) d[pt] = b[s][pt] - centre;
#pragma unroll
    for (int r = s / 2; r < L; ++r) {
      const double w = a_at[4 * s * kW + 8 * r];
#pragma unroll
      for (int pt = 0; pt < kResidentTiles; ++pt)
        Mma_884(acc[r][pt][0], acc[r][pt][1], w, d[pt], acc[r][pt][0], acc[r][pt][1]);
    }
  }
  return Pass_Sum<kResidentPoints>(sh, acc);
}

// A register cap for the blocks an SM takes: 4 at L = 3 (128 registers),
// 3 at L = 4 (170), neither of which spills: 16 and 12 warps.
template <int L>
__global__ void __launch_bounds__(kResidentThreads, L == 3 ? 4 : 3)
    Log_Full_Resident_Kernel(Full_Args a) {
  static_assert(8 * L <= kSlab, "one slab, one pass");
  __shared__ Resident_Shared sh;
  const Index j0 = static_cast<Index>(blockIdx.x) * kResidentPoints;
  Resident_Fragments b;
  Load_Fragments<L>(a.x, j0, static_cast<int>(a.m.dim), b);
  Log_Full_Block<kResidentThreads, kResidentPoints>(
      a, sh, [&](Index k) { return Squared_Whitened_Resident<L>(a, sh, b, k); });
}

// Two chained products a warp (tensor.h), as the GPU check's probe of the
// instruction's arithmetic: lane l of warp w takes a[i][32 w + l] and
// b[i][...] for product i and c's pair at 2 (32 w + l), and leaves D's pair
// in d at the same place.
__global__ void __launch_bounds__(32) Mma_Probe_Kernel(const double *a, const double *b,
                                                       const double *c, double *d, Index lanes) {
  const Index l = static_cast<Index>(blockIdx.x) * 32 + threadIdx.x;
  double d0 = c[2 * l], d1 = c[2 * l + 1];
  for (int i = 0; i < 2; ++i) Mma_884(d0, d1, a[i * lanes + l], b[i * lanes + l], d0, d1);
  d[2 * l] = d0;
  d[2 * l + 1] = d1;
}

// With several groups: each point's partial sums merged in group order,
// then its posteriors normalised in place.
__global__ void __launch_bounds__(kThreads) Log_Combine_Kernel(Full_Args a) {
  const Index j = static_cast<Index>(blockIdx.x) * kThreads + threadIdx.x;
  if (j >= a.x.count) return;
  Log_Sum sum;
  for (Index g = 0; g < a.groups; ++g)
    sum.Merge(Log_Sum{a.partial[2 * (g * a.x.count + j)], a.partial[2 * (g * a.x.count + j) + 1]});
  Posterior_Shift shift = sum.Shift();
  a.out.log_p[j] = Point_Log_P(a.x, j, a.m.dim, shift);
  if (a.out.R == nullptr) return;
  for (Index k = 0; k < a.m.K; ++k) {
    double &r = a.out.R[j * a.out.point_stride + k * a.out.cluster_stride];
    r = shift.Posterior(r);
  }
}

// At least one, so that a mixture without clusters still gives every point
// its -inf (or NaN).
Index Groups(Index K) { return K > kGroup ? (K + kGroup - 1) / kGroup : 1; }

// Rows of a tile per thread, from dim, so that small dims do not pay for
// empty rows.
int Rows_Per_Thread(Index dim) { return dim <= kRowGroups ? 1 : dim <= 2 * kRowGroups ? 2 : 4; }

// `room`: bytes of shared memory the launch gives each block (a kernel
// whose own declarations stay under 48 KB needs none).
template <class Kernel>
void Launch_Tiles(Kernel kernel, int threads, int points, const Full_Args &args,
                  cudaStream_t stream, int room = 0) {
  const Index groups = args.groups;
  const unsigned int y = static_cast<unsigned int>(std::min<Index>(groups, kMaxGridY));
  const unsigned int z = static_cast<unsigned int>((groups + y - 1) / y);
  Launch_With_Room(kernel, dim3(Blocks(args.x.count, points), y, z), dim3(threads), room, stream,
                   args);
  if (groups > 1)
    Launch(Log_Combine_Kernel, dim3(Blocks(args.x.count, kThreads)), dim3(kThreads), stream, args);
}


// ---------------------------------------------------------------------------
// Small dims (small_dims.h): a thread per point, all clusters in one walk,
// groups of 16 merged in group order as Log_Combine_Kernel merges them.
// Posteriors follow once logP is known, from the terms the walk kept (up to
// 16 clusters) or formed again tile by tile, and leave through shared
// memory in whole segments.

constexpr int kSmallPoints = 128;  // threads, and points, per block
// Blocks an SM asked of ptxas at D 8 and 16: left to aim at more on its
// own, it kept 64 and 96 registers and spilled around the posteriors' loop.
// D 4 is left unbounded: it spills nothing in 56 registers (9 blocks),
// where 5 blocks let it take 69 (7).
template <int D>
constexpr int kSmallBlocks = D == 4 ? 0 : 5;

template <int D>
struct Small_Shared {
  Cluster_Tile<D> tile;
  double r[kTileClusters][kSmallPoints + 1];  // a tile's posteriors on their way out
};

template <int D>
__global__ void __launch_bounds__(kSmallPoints, kSmallBlocks<D>) Log_Small_Kernel(Full_Args a) {
  __shared__ Small_Shared<D> sh;
  const int t = static_cast<int>(threadIdx.x);
  const Index j0 = static_cast<Index>(blockIdx.x) * kSmallPoints, j = j0 + t, K = a.m.K;
  double x[D];
  Load_Point<D>(a.x, j, a.m.dim, x);
  Log_Sum total;
  for (Index k0 = 0; k0 < K; k0 += kTileClusters) {
    __syncthreads();  // the previous tile is no longer read
    Stage_Tile<D>(a.m, k0, sh.tile, t, kSmallPoints);
    __syncthreads();
    const int width = static_cast<int>(Min(Index{kTileClusters}, K - k0));
    Log_Sum sum;
    for (int c = 0; c < width; ++c) {
      const double v = Small_Term<D>(sh.tile, c, x);
      sum.Add(v);
      sh.r[c][t] = v;  // the thread's own column: with one tile, the posteriors' terms
    }
    total.Merge(sum);
  }
  const bool in = j < a.x.count;
  // Not Point_Log_P: its shift by reference, behind `in`, went to the
  // stack at D 4.
  const Posterior_Shift merged = total.Shift();
  const double log_p = in ? Non_Finite_Point(a.x, j, a.m.dim, merged.Log_P()) : 0.0;
  if (in) a.out.log_p[j] = log_p;
  if (a.out.R == nullptr) return;  // uniform across the block
  const Posterior_Shift shift = merged.For(log_p);

  // Up to 16 clusters the walk above left every term in sh.r; past that
  // each tile is staged and its terms formed again, the same bits.
  const bool by_cluster = a.out.cluster_stride == 1, one_tile = K <= kTileClusters;
  for (Index k0 = 0; k0 < K; k0 += kTileClusters) {
    const int width = static_cast<int>(Min(Index{kTileClusters}, K - k0));
    if (one_tile) {
      for (int c = 0; c < width; ++c) sh.r[c][t] = shift.Posterior(sh.r[c][t]);
    } else {
      __syncthreads();  // the previous tile and its posteriors are no longer read
      Stage_Tile<D>(a.m, k0, sh.tile, t, kSmallPoints);
      __syncthreads();
      for (int c = 0; c < width; ++c) sh.r[c][t] = shift.Posterior(Small_Term<D>(sh.tile, c, x));
    }
    __syncthreads();
    For_Tile_Entries<kSmallPoints>(t, by_cluster, width, kSmallPoints, [&](int c, int p) {
      const Index jp = j0 + p;
      if (jp < a.x.count) a.out.R[jp * a.out.point_stride + (k0 + c) * a.out.cluster_stride] = sh.r[c][p];
    });
  }
}

template <int D>
void Launch_Small(const Full_Args &args, cudaStream_t stream) {
  Launch(Log_Small_Kernel<D>, dim3(Blocks(args.x.count, kSmallPoints)), dim3(kSmallPoints), stream,
         args);
}

}  // namespace

void Launch_Mma_Probe(const double *a, const double *b, const double *c, double *d, Index warps,
                      cudaStream_t stream) {
  if (warps > 0)
    Launch(Mma_Probe_Kernel, dim3(static_cast<unsigned int>(warps)), dim3(32), stream, a, b, c, d,
           warps * 32);
}

bool Tensor_Cores() {
  if (const char *set = std::getenv("VELMORA_TENSOR_CORES"))
    for (const char *off : {"off", "0", "false", "OFF", "Off", "FALSE", "False"})
      if (std::strcmp(set, off) == 0) return false;
  // The device must have the instruction, and the kernels must have been
  // compiled with it: a build for older devices alone runs their code here,
  // from PTX, where the instruction is a trap.
  int device = 0, major = 0;
  cudaFuncAttributes compiled = {};
  if (cudaGetDevice(&device) != cudaSuccess ||
      cudaDeviceGetAttribute(&major, cudaDevAttrComputeCapabilityMajor, device) != cudaSuccess ||
      cudaFuncGetAttributes(&compiled, Mma_Probe_Kernel) != cudaSuccess) {
    cudaGetLastError();  // not sticky: the CUDA cores serve
    return false;
  }
  return major >= kTensorCoreMajor && compiled.ptxVersion >= 10 * kTensorCoreMajor;
}

// The plain-loop reference of one point, in the kernel's order of
// operations. Each y_i is a chain of fused multiply-adds along its row;
// the squares are summed in 16 chains of TM rows on the CUDA cores, or in
// eight chains of rows 8 apart on the tensor cores, a pass of rows at a
// time, and the chains in order. Small dims give the CUDA cores' order.
double Reference_Full(const Device_Mixture &m, const Device_Points &x, Index j, bool tensor) {
  const int tm = Rows_Per_Thread(m.dim);
  const Index dim = m.dim, rows = kRowGroups * tm;
  const Index chains = tensor && dim > kSmallDim ? 8 : kRowGroups;
  // Row r of chain y in a pass: rows r * 8 + y apart on the tensor cores,
  // else y * TM + r.
  const auto row = [&](Index y, Index r) { return chains == 8 ? r * 8 + y : y * tm + r; };
  Log_Sum total;
  for (Index g0 = 0; g0 < m.K; g0 += kGroup) {
    Log_Sum sum;
    for (Index k = g0; k < m.K && k < g0 + kGroup; ++k) {
      const double *W = m.whitening + k * dim * dim;
      double q = 0.0;
      for (Index i0 = 0; i0 < dim; i0 += rows) {
        double tile = 0.0;
        for (Index y = 0; y < chains; ++y) {
          double part = 0.0;
          for (Index r = 0; r < rows / chains; ++r) {
            const Index i = i0 + row(y, r);
            if (i >= dim) continue;
            double yi = 0.0;
            for (Index l = 0; l <= i; ++l)
              yi = std::fma(W[i + l * dim],
                            x.X[j * x.point_stride + l * x.coord_stride] - m.mu[k * dim + l], yi);
            part = std::fma(yi, yi, part);
          }
          tile += part;
        }
        q += tile;
      }
      sum.Add(m.log_w[k] - 0.5 * Overflowed_To_Inf(q));
    }
    total.Merge(sum);
  }
  return Non_Finite_Point(x, j, dim, total.Value());
}

// Small dims merge their groups within the thread.
Index Full_Workspace(Index dim, Index K, Index count) {
  return dim > kSmallDim && Groups(K) > 1 ? 2 * Groups(K) * count : 0;
}


void Launch_Full(const Device_Mixture &m, const Device_Points &x, const Device_Results &out,
                 double *workspace, cudaStream_t stream) {
  if (x.count <= 0) return;
  const Full_Args args{m, x, out, workspace, Groups(m.K)};
  if (m.dim <= kSmallDim) {
    switch (Small_D(m.dim)) {
      case 4: Launch_Small<4>(args, stream); return;
      case 8: Launch_Small<8>(args, stream); return;
      default: Launch_Small<16>(args, stream); return;
    }
  }
  // Past the small dims, passes of 32 rows up to dim 32, else of 64.
  const bool narrow = Rows_Per_Thread(m.dim) == 2;
  if (Tensor_Cores()) {
    if (!narrow)
      Launch_Tiles(Log_Full_Tensor_Kernel<8>, kTensorThreads, kTensorPoints, args, stream,
                   static_cast<int>(sizeof(Tensor_Shared<8>)));
    else if (m.dim <= 24)
      Launch_Tiles(Log_Full_Resident_Kernel<3>, kResidentThreads, kResidentPoints, args, stream);
    else Launch_Tiles(Log_Full_Resident_Kernel<4>, kResidentThreads, kResidentPoints, args, stream);
  } else {
    if (narrow) Launch_Tiles(Log_Full_Kernel<2>, kThreads, kPoints, args, stream);
    else Launch_Tiles(Log_Full_Kernel<4>, kThreads, kPoints, args, stream);
  }
}

}  // namespace velmora_log
