// The FP64 tensor cores' one instruction, for kernels that form matrix
// products a warp at a time: D = A B + C on 8 x 4, 4 x 8 and 8 x 8 tiles.
// Lane 4g + c holds a = A[g][c], b = B[c][g] and the pair C[g][2c],
// C[g][2c + 1], and gets D's pair in the same places.
//
// The CPU device computes each entry of D as fused multiply-adds in k
// order, starting from C: fma(A[g][3], B[3][n], ... fma(A[g][0], B[0][n],
// C[g][n])). A product of several tiles along k, chained through C, is then
// the same chain of fused multiply-adds as a plain loop over the whole row,
// which the kernels' references follow. Whether a GPU gives those bits too
// is what TensorCoreTest (tests/common/tensor_core_test.cpp) finds out.
//
// A warp calls it with every lane. On the CPU device every thread of the
// block must make the same calls between two barriers (DEVELOPING.md).
#pragma once

#include <cuda_runtime.h>

#include "kernels.h"

namespace velmora_log {

// Compute capability 8.0 and later have the instruction; the CPU device
// says 9.0.
constexpr int kTensorCoreMajor = 8;

__device__ __forceinline__ void Mma_884(double &d0, double &d1, double a, double b, double c0,
                                        double c1) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
  asm volatile("mma.sync.aligned.m8n8k4.row.col.f64.f64.f64.f64 {%0, %1}, {%2}, {%3}, {%4, %5};"
               : "=d"(d0), "=d"(d1)
               : "d"(a), "d"(b), "d"(c0), "d"(c1));
#elif defined(__CUDA_ARCH__)
  // Older devices never launch a kernel that needs it.
  (void)a, (void)b, (void)c0, (void)c1;
  d0 = d1 = 0.0;
  __trap();
#elif !defined(__CUDACC__)
  cpu_device_dmma_884(d0, d1, a, b, c0, c1);
#else
  (void)a, (void)b, (void)c0, (void)c1;
  d0 = d1 = 0.0;  // nvcc's host pass: device code never runs there
#endif
}

}  // namespace velmora_log
