// State shared by the runtime, the scheduler and cuBLAS of the CPU device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <cpu_device/control.h>

namespace cpu_device {

// An injection armed for the n-th call of its kind; 0 means not armed.
struct Countdown {
  int remaining = 0;
  // True exactly on the armed call.
  bool fires() { return remaining > 0 && --remaining == 0; }
};

struct DeviceState {
  std::mutex mutex;
  std::map<const void *, size_t> allocations;
  // Per kernel: the shared memory its launches may give a block, where set.
  std::map<const void *, size_t> room;
  size_t host_objects = 0;  // page-locked buffers, streams, events
  size_t live_bytes = 0;
  // The device's memory is the host's: by default its figures are the
  // machine's physical and available memory.
  size_t total = 0;
  size_t capacity = 0;  // free memory with nothing allocated

  DeviceState() {
    use_host_memory_figures();
    use_environment_checks();
  }
  void use_host_memory_figures();

  Countdown malloc_fault, malloc_host_fault, symbol_fault, memcpy_fault, cublas_fault, sync_fault;
  cudaError_t sync_fault_error = cudaSuccess;
  cudaMemcpyKind memcpy_fault_kind = cudaMemcpyDefault;
  bool mem_info_fault = false;
  bool symbol_address_fault = false;
  cublasStatus cublas_fault_status = CUBLAS_STATUS_SUCCESS;

  cudaError_t pending_sync_error = cudaSuccess;  // reported by the next sync
  cudaError_t last_error = cudaSuccess;          // cudaGetLastError
  cublasStatus cublas_status = CUBLAS_STATUS_SUCCESS;
  bool cublas_ready = false;

  control::Counts counts;

  // The checks for races: the order of a block's threads, whether shared
  // memory is checked, and the reports not yet taken.
  control::Thread_Order order = control::Thread_Order::forward;
  std::uint64_t order_seed = 0;
  bool race_check = false;
  std::vector<std::string> race_reports;

  void reset_faults();
  // The order and the check that the environment asks for.
  void use_environment_checks();
};

DeviceState &state();

constexpr unsigned int kMaxThreadsPerBlock = 1024;
// Shared memory a launch may give a block: by default, and at most (9.0's).
constexpr size_t kDefaultRoomPerBlock = 48 * 1024, kMaxRoomPerBlock = 227 * 1024;

// Gives every worker the fibers of a largest block, once per pool, as a real
// device sets its launch resources aside when its context is made: a launch
// then never runs out of host memory half-way. False if they cannot be had.
bool reserve_launch_resources();

// Records a kernel fault; the next cudaDeviceSynchronize reports it.
void report_kernel_fault(cudaError_t error);

}  // namespace cpu_device
