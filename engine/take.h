// What a point's posterior adds to the fit's statistics, for every kernel
// that sums them.
#pragma once

#include <cuda_runtime.h>

#include "statistics.h"

namespace velmora_log {

// What a point's value adds to a weighted sum: a weight of 0 adds exactly
// nothing, even for a value of -Inf.
__host__ __device__ __forceinline__ double Weigh(double v, const double *w, Index j) {
  if (w == nullptr) return v;
  return w[j] == 0.0 ? 0.0 : w[j] * v;
}

// A posterior as the statistics take it: below the floor it is 0; then
// weighted by its point.
__host__ __device__ __forceinline__ double Take(double r, const Unit_Points &x, Index j) {
  return Weigh(r < x.floor ? 0.0 : r, x.w, j);
}

// Take, where the caller has read the point's weight once for all its
// clusters (kWeighted: whether the points have weights; without, the weight
// is not used): `in` is false past the last point and for a weight of 0,
// which adds exactly nothing.
template <bool kWeighted>
__host__ __device__ __forceinline__ double Take_Read(double r, bool in, double weight, double floor) {
  return in && !(r < floor) ? kWeighted ? weight * r : r : 0.0;
}

}  // namespace velmora_log
