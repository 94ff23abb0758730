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

}  // namespace velmora_log
