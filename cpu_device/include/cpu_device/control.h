// Test-only control of the CPU device: memory figures, fault injection,
// allocation accounting, the order of a block's threads and the race check.
// Product code never includes this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
// The n-th worker thread started from now cannot start, as where the
// system has no room for its stack: the pool is left smaller.
void fail_thread_start(int n);

// The order in which a block's threads run between two barriers: by linear
// index, the reverse, or a permutation drawn afresh for every block and
// interval from `seed`. A kernel without races gives the same bits in all
// three. reset() restores the order CPU_DEVICE_THREAD_ORDER names
// ("forward", "reversed" or "shuffled:SEED"; forward when unset).
enum class Thread_Order { forward, reversed, shuffled };
void set_thread_order(Thread_Order order, std::uint64_t seed = 0);

// The race check: every shared-memory access of a block's threads is
// recorded per barrier interval, and two threads touching the same byte in
// one interval, one of them with a plain write, make a report that names
// the kernel, the block and both threads. Only kernels compiled for the
// check are seen (a test program's own build: DEVELOPING.md); false when
// this program has none. reset() restores CPU_DEVICE_RACE_CHECK (1 or 0;
// off when unset).
bool set_race_check(bool on);
// The reports of the launches since the last call, at most one a launch
// (its lowest block's first race); reset() keeps them.
std::vector<std::string> take_race_reports();

}  // namespace cpu_device::control
