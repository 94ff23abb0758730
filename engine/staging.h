// Copies from global to shared memory that do not pass through registers
// (cp.async, compute capability 8.0 and later): a staged entry then crosses
// the L1 / shared data path once, as it lands, where a load and a store
// crossed it twice, and takes one instruction instead of two. The kernels
// that stage X and W_k slab after slab for every cluster spend as much of
// that path on staging as on their products.
//
// A thread's copies land by Sync_Staged, which then passes the block's
// barrier: only after it may any thread read what the block staged.
#pragma once

#include <cuda_runtime.h>

namespace velmora_log {

// *to = in ? *from : 0. With `in` false nothing is read (the copy's
// source is predicated off, as a load's would be), so `from` may then lie
// past an array's end, as a walk's last entries do.
__device__ __forceinline__ void Copy_To_Shared(double *to, const double *from, bool in) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
  const unsigned int s = static_cast<unsigned int>(__cvta_generic_to_shared(to)), n = in ? 8 : 0;
  // One line: the model of the machine code (bench/sass_model.py) finds the
  // copy by it.
  asm volatile("cp.async.ca.shared.global [%0], [%1], 8, %2;" ::"r"(s), "l"(from), "r"(n) : "memory");
#else
  *to = in ? *from : 0.0;
#endif
}

// This thread's copies have landed; then the block's barrier.
__device__ __forceinline__ void Sync_Staged() {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
  asm volatile("cp.async.wait_all;\n" ::: "memory");
#endif
  __syncthreads();
}

}  // namespace velmora_log
