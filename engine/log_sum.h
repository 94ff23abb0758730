// Helpers both kernel families (and their host references) share: the running log-sum-exp of a
// point over clusters, and what a point with a non-finite coordinate gets.
#pragma once

#include <cuda_runtime.h>

#include <cmath>

#include "kernels.h"

namespace velmora_log {

constexpr double kMinusInf = -__builtin_huge_val();

__host__ __device__ __forceinline__ Index Min(Index a, Index b) { return a < b ? a : b; }
__host__ __device__ __forceinline__ int Min(int a, int b) { return a < b ? a : b; }
// The exponent of the smallest power of two at least v (v >= 1): staging
// loops split an index by shift and mask with it, not by a division.
__host__ __device__ __forceinline__ int Shift_Covering(int v) {
  int shift = 0;
  while ((1 << shift) < v) ++shift;
  return shift;
}

// The entries (c, p) of a tile of R, `width` clusters by `points` points,
// dealt to thread t of kT in turn along whichever of clusters and points is
// contiguous in R, so that a warp's stores are coalesced: entry e is
// (e % width, e / width) along clusters, (e / points, e % points) along
// points. Thread t divides once, then steps its pair by kT with a carry:
// a division per entry cost as much as the exp it feeds. width and points
// are at least 1: callers skip an empty tile.
template <int kT, class Body>
__host__ __device__ __forceinline__ void For_Tile_Entries(int t, bool by_cluster, int width,
                                                          int points, Body body) {
  const int inner = by_cluster ? width : points, rows = by_cluster ? points : width;
  const int lo_step = kT % inner, hi_step = kT / inner;
  for (int lo = t % inner, hi = t / inner; hi < rows;) {
    body(by_cluster ? lo : hi, by_cluster ? hi : lo);
    lo += lo_step;
    hi += hi_step;
    if (lo >= inner) lo -= inner, ++hi;
  }
}

// log(sum exp v) = m + log(s), with m the largest term so far and s the sum
// of exp(v - m). One exp per term and no divergent branch: the larger of v
// and m decides by selects which side is rescaled.
struct Log_Sum {
  double m = kMinusInf;
  double s = 0.0;

  __host__ __device__ __forceinline__ void Add(double v) {
    const bool up = v > m;                   // false for NaN, which then spoils s
    const double e = exp(-fabs(v - m));      // NaN for v == m == -inf: dropped below
    const double below = v == kMinusInf ? 0.0 : e;
    s = up ? fma(s, e, 1.0) : s + below;
    m = up ? v : m;
  }
  // Another partial sum, as if its terms had been added here.
  __host__ __device__ __forceinline__ void Merge(const Log_Sum &o) {
    if (o.s == 0.0) return;  // it saw only -inf terms
    const bool up = o.m > m;
    const double e = exp(-fabs(o.m - m));
    const double mine = m == kMinusInf ? 0.0 : e;
    s = up ? fma(s, mine, o.s) : fma(o.s, e, s);
    m = up ? o.m : m;
  }
  // -inf when every term was (no cluster can have produced the point).
  __host__ __device__ __forceinline__ double Value() const { return s == 0.0 ? kMinusInf : m + log(s); }
};

// NaN for a point with a NaN coordinate, -inf for one with an infinite
// coordinate (its density is 0), and `log_p` otherwise. Whitening by a full
// factor mixes +inf and -inf into NaN, so this is decided from the point.
__host__ __device__ __forceinline__ double Non_Finite_Point(const Device_Points &x, Index j, Index dim,
                                                   double log_p) {
  bool nan = false, inf = false;
  for (Index i = 0; i < dim; ++i) {
    const double v = x.X[j * x.point_stride + i * x.coord_stride];
    nan = nan || v != v;
    inf = inf || fabs(v) == __builtin_huge_val();
  }
  return nan ? ::nan("") : inf ? kMinusInf : log_p;
}

}  // namespace velmora_log
