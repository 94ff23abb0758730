// Test-only control of the CPU device: memory figures, fault injection and
// allocation accounting. Product code never includes this header.
#pragma once

#include <cstddef>

#include <cublas.h>
#include <cuda_runtime.h>

namespace cpu_device::control {

// Clears every pending injection and error, restores the default memory
// figures and the default worker count. Live allocations are kept.
void reset();

// Free memory as cudaMemGetInfo reports it now; later allocations take from
// it and cudaFree gives back, as on a real device.
void set_memory(size_t free_bytes, size_t total_bytes);

// Counting starts at the next call: n = 1 is the very next one.
void fail_malloc(int n);
// The n-th cudaMallocHost from now.
void fail_malloc_host(int n);
void fail_mem_info();
void fail_symbol_copy(int n);
void fail_memcpy(int n, cudaMemcpyKind kind);
void fail_symbol_address();
void fail_next_sync(cudaError_t error);
// The n-th cudaDeviceSynchronize from now reports `error`.
void fail_sync(int n, cudaError_t error);
// The n-th cublasDgemm or cublasDaxpy from now computes nothing and leaves
// `status` for cublasGetError.
void fail_cublas(int n, cublasStatus status);

size_t live_allocations();
size_t live_bytes();
// Page-locked host buffers, streams and events not yet given back.
size_t live_host_objects();

// Calls seen since the last reset, so a sweep can visit every point.
struct Counts {
  int mallocs = 0;
  int symbol_copies = 0;
  int memcpys = 0;
  int syncs = 0;
  int cublas_calls = 0;
  int launches = 0;
};
Counts counts();

void set_workers(int workers);
int workers();

}  // namespace cpu_device::control
