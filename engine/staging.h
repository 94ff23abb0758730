// Copies from global to shared memory that do not pass through registers
// (cp.async, compute capability 8.0 and later): a staged entry then crosses
// the L1 / shared data path once, as it lands, where a load and a store
// crossed it twice, and takes one issued copy where it took a load and a
// store. The kernels that stage X and W_k slab after slab for every cluster
// spend as much of that path on staging as on their products.
//
// A thread's copies land by Sync_Staged, which then passes the block's
// barrier: only after it may any thread read what the block staged. The CPU
// device holds each copy back until its thread waits, and leaves a NaN in
// its place meanwhile, so that a read before the wait shows in the results
// there as it would on a GPU.
#pragma once

#include <cuda_runtime.h>

namespace velmora_log {

// *to = in ? *from : 0. With `in` false the source is ignored and nothing
// is read, so `from` may then lie past an array's end, as a walk's last
// entries do.
__device__ __forceinline__ void Copy_To_Shared(double *to, const double *from, bool in) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
  const unsigned int s = static_cast<unsigned int>(__cvta_generic_to_shared(to)), n = in ? 0 : 1;
  // One line: the model of the machine code (bench/sass_model.py) finds the
  // copy by it. The predicate is cp.async's ignore-src: true, zeros land.
  asm volatile("{ .reg .pred p; setp.ne.u32 p, %2, 0; cp.async.ca.shared.global [%0], [%1], 8, p; }" ::"r"(s), "l"(from), "r"(n) : "memory");
#elif defined(__CUDA_ARCH__)
  *to = in ? *from : 0.0;
#elif !defined(__CUDACC__)
  cpu_device_copy_async(to, from, in);
#else
  (void)to, (void)from, (void)in;  // nvcc's host pass: device code never runs there
#endif
}

// This thread's copies have landed.
__device__ __forceinline__ void Copies_Landed() {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
  asm volatile("cp.async.wait_all;" ::: "memory");
#elif !defined(__CUDA_ARCH__) && !defined(__CUDACC__)
  cpu_device_wait_copies();
#endif
}

// This thread's copies have landed; then the block's barrier.
__device__ __forceinline__ void Sync_Staged() {
  Copies_Landed();
  __syncthreads();
}

}  // namespace velmora_log
