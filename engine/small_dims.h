// Small dims (at most 16), where a thread can own a point.
//
// Full covariances: a thread owns a point and
// holds its coordinates in registers, and walks the clusters, whose means,
// inverse Cholesky factors (lower triangle, packed) and log-weights are
// staged in shared memory 16 at a time and broadcast to every thread. No
// barrier falls between a point's clusters, and no thread works on rows
// that a small dim does not have; the wide kernel's tiles would leave most
// of a block idle here.
//
// The arithmetic is the wide kernel's for one row per thread: y_i = W_i d
// summed along the row from its first column, then q = y_0^2 + y_1^2 + ...
// in row order. Padding (rows and columns past dim, clusters past K) is
// zero and adds exactly nothing, so a point's bits do not depend on which
// kernel, or which D, evaluates it.
#pragma once

#include <cuda_runtime.h>

#include "kernels.h"
#include "log_sum.h"

namespace velmora_log {

// Complete unrolling of a loop over a small array, so that g++ keeps it in
// registers for the CPU device and interleaves the rows' FMA chains; not
// unrolled, an array of accumulators is vectorised in memory, one
// store-to-load wait a point, and one row's chain runs at a time. nvcc is
// left to its own choice in the staging and loading loops; a term's loops
// (VELMORA_TERM_UNROLL) are unrolled whole there too, their bounds being
// known when compiled.
#if defined(__CUDACC__)
#define VELMORA_UNROLL
#define VELMORA_TERM_UNROLL _Pragma("unroll")
#else
#define VELMORA_UNROLL _Pragma("GCC unroll 16")
#define VELMORA_TERM_UNROLL _Pragma("GCC unroll 16")
#endif

constexpr int kSmallDim = 16;     // the largest dim the per-point kernels take
constexpr int kTileClusters = 16;  // clusters staged at once: the log-sum-exp's group

// D: the dims a kernel instance is compiled for (4, 8 or 16).
//
// W_k's lower triangle is packed by columns: column l holds rows l .. D - 1,
// from the even row at or above l, so that rows 2m and 2m + 1 of a column
// always load as one 16-byte access (in an odd column, the entry above
// row l is padding, never written or read).
template <int D>
struct Cluster_Tile {
  // The columns before l, D - 2 (c / 2) entries each: l D - 2 m (l - m - 1)
  // for m = l / 2 (a sum, as a loop, that nvcc left to run).
  __host__ __device__ static constexpr int Column_Start(int l) {
    return l * D - 2 * (l / 2) * (l - l / 2 - 1);
  }
  // Where W_k(i, l) lies in a cluster's w, for i >= l.
  __host__ __device__ static constexpr int Entry(int i, int l) { return Column_Start(l) + i - l / 2 * 2; }
  static constexpr int kPacked = Column_Start(D);
  alignas(16) double w[kTileClusters][kPacked];
  alignas(16) double mu[kTileClusters][D];
  double log_w[kTileClusters];
};

// The smallest D a dim fits.
inline int Small_D(Index dim) { return dim <= 4 ? 4 : dim <= 8 ? 8 : 16; }

// Finite data and centres give a NaN q only where x - mu overflowed and met
// W's zeros: the point is infinitely far, as diagonal mode finds it.
__host__ __device__ __forceinline__ double Overflowed_To_Inf(double q) {
  return q != q ? __builtin_huge_val() : q;
}

// Clusters k0 .. k0 + 15 of `m` into the tile, threads t of `threads` each
// taking a share; zeros past dim and past K. A thread takes (cluster, row)
// pairs, rows fastest: row i of W_k up to the diagonal, with mu_k's entry
// i. A warp's lanes then read each column of W_k down consecutive rows,
// where it is contiguous, and no entry above the diagonal costs a pass: a
// walk over all D x D entries of every cluster, skipping those, took about
// 40 instructions an entry.
template <int D>
__device__ void Stage_Tile(const Device_Mixture &m, Index k0, Cluster_Tile<D> &tile, int t,
                           int threads) {
  const int dim = static_cast<int>(m.dim);
  for (int e = t; e < kTileClusters * D; e += threads) {
    const int c = e / D, i = e % D;
    const Index k = k0 + c;
    const bool in = k < m.K && i < dim;
    // W_k(i, l) at w[l * step]; out of the mixture, its first entry, read
    // and not kept. Every l loads, past the diagonal W_k(i, i) again (l may
    // pass dim there), and only the store waits on l <= i: a conditional
    // load took a branch an entry.
    const double *w = m.whitening + (in ? k * dim * dim + i : 0);
    const int step = in ? dim : 0;
    double *const to = tile.w[c];
    VELMORA_UNROLL
    for (int l = 0; l < D; ++l) {
      const double v = w[Min(l, i) * step];
      if (l <= i) to[Cluster_Tile<D>::Entry(i, l)] = in ? v : 0.0;
    }
    tile.mu[c][i] = in ? m.mu[k * dim + i] : 0.0;
  }
  for (int c = t; c < kTileClusters; c += threads)
    tile.log_w[c] = k0 + c < m.K ? m.log_w[k0 + c] : kMinusInf;
}

// Point j's coordinates (zeros past dim, and for a point past the end).
template <int D>
__device__ __forceinline__ void Load_Point(const Device_Points &x, Index j, Index dim,
                                           double (&v)[D]) {
  VELMORA_UNROLL
  for (int i = 0; i < D; ++i)
    v[i] = j < x.count && i < dim ? x.X[j * x.point_stride + i * x.coord_stride] : 0.0;
}

// The log term log_w - q / 2 of the tile's cluster c for a point.
//
// y_i = W_i d is summed along row i from its first column and q = y_0^2 +
// y_1^2 + ... in row order, as everywhere else; only the rows' sums are
// interleaved, eight rows at a time and a column at a time: d_l = x_l -
// mu_l feeds those of the rows that have column l, and y_l, once whole,
// joins q. No array of d is kept, and eight chains run side by side. (A
// row at a time, nvcc left D = 16 as a loop entered through a jump chain,
// at about 4.7 instructions an FMA; all sixteen rows at once took the
// registers that the fit's kernel needs for its statistics.)
template <int D>
__device__ __forceinline__ double Small_Term(const Cluster_Tile<D> &tile, int c,
                                             const double (&x)[D]) {
  constexpr int kRows = D < 8 ? D : 8;
  static_assert(D % kRows == 0, "whole groups of rows");
  const double *const w = tile.w[c];
  double q = 0.0;
  VELMORA_TERM_UNROLL
  for (int i0 = 0; i0 < D; i0 += kRows) {
    double y[kRows];
    VELMORA_TERM_UNROLL
    for (int r = 0; r < kRows; ++r) y[r] = 0.0;
    VELMORA_TERM_UNROLL
    for (int l = 0; l < i0 + kRows; ++l) {
      const double d = x[l] - tile.mu[c][l];
      VELMORA_TERM_UNROLL
      for (int i = l > i0 ? l : i0; i < i0 + kRows; ++i)
        y[i - i0] = fma(w[Cluster_Tile<D>::Entry(i, l)], d, y[i - i0]);
      if (l >= i0) q += y[l - i0] * y[l - i0];
    }
  }
  return tile.log_w[c] - 0.5 * Overflowed_To_Inf(q);
}

// Diagonal covariances, in the diagonal kernel's arithmetic: y_i = (x_i -
// mu_ki) / sigma_ki, q = y_0^2 + ... by fma in coordinate order, the log
// term fma(-0.5, q, log w); the terms are summed in Diagonal_Group's groups
// (kernels.h), a run at a time (diagonal_sum.h).
template <int D>
struct Diagonal_Tile {
  double mu[kTileClusters][D];
  double scale[kTileClusters][D];  // inverse standard deviations
  double log_w[kTileClusters];
};

template <int D>
__device__ void Stage_Tile(const Device_Mixture &m, Index k0, Diagonal_Tile<D> &tile, int t,
                           int threads) {
  const int dim = static_cast<int>(m.dim);
  for (int e = t; e < kTileClusters * D; e += threads) {
    const int c = e / D, i = e % D;
    const Index k = k0 + c;
    const bool in = k < m.K && i < dim;
    tile.mu[c][i] = in ? m.mu[k * dim + i] : 0.0;
    tile.scale[c][i] = in ? m.whitening[k * dim + i] : 0.0;
  }
  for (int c = t; c < kTileClusters; c += threads)
    tile.log_w[c] = k0 + c < m.K ? m.log_w[k0 + c] : kMinusInf;
}

template <int D>
__device__ __forceinline__ double Small_Term(const Diagonal_Tile<D> &tile, int c,
                                             const double (&x)[D]) {
  double q = 0.0;
  VELMORA_UNROLL
  for (int i = 0; i < D; ++i) {
    const double y = (x[i] - tile.mu[c][i]) * tile.scale[c][i];
    q = fma(y, y, q);
  }
  return fma(-0.5, q, tile.log_w[c]);
}

}  // namespace velmora_log
