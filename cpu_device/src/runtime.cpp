// Memory, copies, constant symbols, errors and synchronisation of the CPU
// device. Device memory is host memory from the allocator, so
// AddressSanitizer sees every out-of-bounds access a kernel makes.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "state.h"
#include "worker_pool.h"

namespace cpu_device {

void DeviceState::reset_faults() {
  malloc_fault = malloc_host_fault = symbol_fault = memcpy_fault = cublas_fault = sync_fault = Countdown{};
  sync_fault_error = cudaSuccess;
  memcpy_fault_kind = cudaMemcpyDefault;
  mem_info_fault = false;
  symbol_address_fault = false;
  cublas_fault_status = CUBLAS_STATUS_SUCCESS;
  pending_sync_error = cudaSuccess;
  last_error = cudaSuccess;
  cublas_status = CUBLAS_STATUS_SUCCESS;
  counts = control::Counts{};
}

void DeviceState::use_host_memory_figures() {
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  total = static_cast<size_t>(sysconf(_SC_PHYS_PAGES)) * page;
  capacity = static_cast<size_t>(sysconf(_SC_AVPHYS_PAGES)) * page + live_bytes;
}

namespace {

// A setting the program cannot run as asked is fatal: a check that silently
// did not run would pass.
[[noreturn]] void Bad_Setting(const char *name, const char *value) {
  std::fprintf(stderr, "cpu_device: %s=%s: expected %s\n", name, value,
               std::strcmp(name, "CPU_DEVICE_RACE_CHECK") == 0
                   ? "1 or 0"
                   : "forward, reversed or shuffled:SEED");
  std::abort();
}

}  // namespace

void DeviceState::use_environment_checks() {
  order = control::Thread_Order::forward;
  order_seed = 0;
  if (const char *v = std::getenv("CPU_DEVICE_THREAD_ORDER"); v != nullptr && *v != '\0') {
    const std::string text = v;
    char *end = nullptr;
    if (text == "reversed") {
      order = control::Thread_Order::reversed;
    } else if (text.rfind("shuffled:", 0) == 0 && text.size() > 9 &&
               (order_seed = std::strtoull(v + 9, &end, 10), *end == '\0')) {
      order = control::Thread_Order::shuffled;
    } else if (text != "forward") {
      Bad_Setting("CPU_DEVICE_THREAD_ORDER", v);
    }
  }
  race_check = false;
  if (const char *v = std::getenv("CPU_DEVICE_RACE_CHECK"); v != nullptr && *v != '\0') {
    if (std::strcmp(v, "1") != 0 && std::strcmp(v, "0") != 0) Bad_Setting("CPU_DEVICE_RACE_CHECK", v);
    race_check = v[0] == '1';
  }
}

DeviceState &state() {
  static DeviceState device;
  return device;
}

void report_kernel_fault(cudaError_t error) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  if (s.pending_sync_error == cudaSuccess) s.pending_sync_error = error;
}

namespace {

cudaError_t fail(DeviceState &s, cudaError_t error) {
  s.last_error = error;
  return error;
}

size_t free_bytes(const DeviceState &s) {
  return s.capacity > s.live_bytes ? s.capacity - s.live_bytes : 0;
}

}  // namespace

cudaError_t copy_to_symbol(void *symbol, size_t symbol_size, const void *src, size_t count,
                           size_t offset, cudaMemcpyKind kind) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  ++s.counts.symbol_copies;
  if (s.symbol_fault.fires()) return fail(s, cudaErrorInvalidSymbol);
  if (symbol == nullptr || offset > symbol_size || count > symbol_size - offset)
    return fail(s, cudaErrorInvalidValue);
  if (kind != cudaMemcpyHostToDevice && kind != cudaMemcpyDeviceToDevice &&
      kind != cudaMemcpyDefault)
    return fail(s, cudaErrorInvalidValue);
  if (count > 0) std::memcpy(static_cast<char *>(symbol) + offset, src, count);
  return cudaSuccess;
}

cudaError_t symbol_address(void **devPtr, void *symbol) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  if (s.symbol_address_fault || symbol == nullptr) return fail(s, cudaErrorInvalidSymbol);
  *devPtr = symbol;
  return cudaSuccess;
}

}  // namespace cpu_device

using cpu_device::DeviceState;
using cpu_device::state;

cudaError_t cudaMalloc(void **devPtr, size_t size) {
  const bool launchable = cpu_device::reserve_launch_resources();
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  ++s.counts.mallocs;
  if (devPtr == nullptr) return cpu_device::fail(s, cudaErrorInvalidValue);
  *devPtr = nullptr;
  if (s.malloc_fault.fires() || !launchable || size > cpu_device::free_bytes(s))
    return cpu_device::fail(s, cudaErrorMemoryAllocation);
  if (size == 0) return cudaSuccess;  // the real runtime hands out a null pointer too
  void *p = std::malloc(size);
  if (p == nullptr) return cpu_device::fail(s, cudaErrorMemoryAllocation);
  s.allocations.emplace(p, size);
  s.live_bytes += size;
  *devPtr = p;
  return cudaSuccess;
}

cudaError_t cudaFree(void *devPtr) {
  if (devPtr == nullptr) return cudaSuccess;
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  auto it = s.allocations.find(devPtr);
  if (it == s.allocations.end()) return cpu_device::fail(s, cudaErrorInvalidDevicePointer);
  s.live_bytes -= it->second;
  s.allocations.erase(it);
  std::free(devPtr);
  return cudaSuccess;
}

cudaError_t cudaMallocHost(void **ptr, size_t size) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  if (ptr == nullptr) return cpu_device::fail(s, cudaErrorInvalidValue);
  *ptr = nullptr;
  if (s.malloc_host_fault.fires()) return cpu_device::fail(s, cudaErrorMemoryAllocation);
  *ptr = std::malloc(size > 0 ? size : 1);
  if (*ptr == nullptr) return cpu_device::fail(s, cudaErrorMemoryAllocation);
  ++s.host_objects;
  return cudaSuccess;
}

cudaError_t cudaFreeHost(void *ptr) {
  if (ptr == nullptr) return cudaSuccess;
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  --s.host_objects;
  std::free(ptr);
  return cudaSuccess;
}

namespace cpu_device {
namespace {

// Counts a copy and fires an armed fault; the caller holds the lock.
cudaError_t begin_copy(DeviceState &s, cudaMemcpyKind kind) {
  ++s.counts.memcpys;
  if (s.memcpy_fault_kind == kind || s.memcpy_fault_kind == cudaMemcpyDefault) {
    if (s.memcpy_fault.fires()) return fail(s, cudaErrorInvalidValue);
  }
  return cudaSuccess;
}

// Every queue is drained by the time anyone waits: a wait only reports the
// errors that kernels left.
cudaError_t wait_for_device(DeviceState &s) {
  ++s.counts.syncs;
  if (s.sync_fault.fires() && s.pending_sync_error == cudaSuccess)
    s.pending_sync_error = s.sync_fault_error;
  const cudaError_t error = s.pending_sync_error;
  s.pending_sync_error = cudaSuccess;
  if (error != cudaSuccess) s.last_error = error;
  return error;
}

}  // namespace
}  // namespace cpu_device

cudaError_t cudaMemcpy(void *dst, const void *src, size_t count, cudaMemcpyKind kind) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  if (const cudaError_t e = cpu_device::begin_copy(s, kind); e != cudaSuccess) return e;
  if (count == 0) return cudaSuccess;
  if (dst == nullptr || src == nullptr) return cpu_device::fail(s, cudaErrorInvalidValue);
  std::memmove(dst, src, count);
  return cudaSuccess;
}

cudaError_t cudaMemcpyAsync(void *dst, const void *src, size_t count, cudaMemcpyKind kind,
                            cudaStream_t) {
  return cudaMemcpy(dst, src, count, kind);
}

cudaError_t cudaMemcpy2DAsync(void *dst, size_t dpitch, const void *src, size_t spitch,
                              size_t width, size_t height, cudaMemcpyKind kind, cudaStream_t) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  if (const cudaError_t e = cpu_device::begin_copy(s, kind); e != cudaSuccess) return e;
  if (width == 0 || height == 0) return cudaSuccess;
  if (dst == nullptr || src == nullptr || width > dpitch || width > spitch)
    return cpu_device::fail(s, cudaErrorInvalidValue);
  for (size_t r = 0; r < height; ++r)
    std::memmove(static_cast<char *>(dst) + r * dpitch,
                 static_cast<const char *>(src) + r * spitch, width);
  return cudaSuccess;
}

cudaError_t cudaMemset(void *devPtr, int value, size_t count) {
  if (count == 0) return cudaSuccess;
  if (devPtr == nullptr) return cpu_device::fail(state(), cudaErrorInvalidValue);
  std::memset(devPtr, value, count);
  return cudaSuccess;
}

cudaError_t cudaMemGetInfo(size_t *free, size_t *total) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  if (s.mem_info_fault) {
    s.mem_info_fault = false;
    return cpu_device::fail(s, cudaErrorInitializationError);
  }
  if (free == nullptr || total == nullptr) return cpu_device::fail(s, cudaErrorInvalidValue);
  *free = cpu_device::free_bytes(s);
  *total = s.total;
  return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize() {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  return cpu_device::wait_for_device(s);
}

struct CUstream_st {};
struct CUevent_st {
  std::chrono::steady_clock::time_point at{};
  bool recorded = false;
};

cudaError_t cudaStreamCreateWithFlags(cudaStream_t *stream, unsigned int) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  if (stream == nullptr) return cpu_device::fail(s, cudaErrorInvalidValue);
  *stream = new CUstream_st;
  ++s.host_objects;
  return cudaSuccess;
}

cudaError_t cudaStreamCreate(cudaStream_t *stream) { return cudaStreamCreateWithFlags(stream, 0); }

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  if (stream == nullptr) return cpu_device::fail(state(), cudaErrorInvalidValue);
  std::lock_guard lock(state().mutex);
  --state().host_objects;
  delete stream;
  return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  return cpu_device::wait_for_device(s);
}

cudaError_t cudaStreamWaitEvent(cudaStream_t, cudaEvent_t event, unsigned int) {
  return event != nullptr ? cudaSuccess : cpu_device::fail(state(), cudaErrorInvalidValue);
}

cudaError_t cudaEventCreate(cudaEvent_t *event) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  if (event == nullptr) return cpu_device::fail(s, cudaErrorInvalidValue);
  *event = new CUevent_st;
  ++s.host_objects;
  return cudaSuccess;
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
  if (event == nullptr) return cpu_device::fail(state(), cudaErrorInvalidValue);
  std::lock_guard lock(state().mutex);
  --state().host_objects;
  delete event;
  return cudaSuccess;
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t) {
  if (event == nullptr) return cpu_device::fail(state(), cudaErrorInvalidValue);
  event->at = std::chrono::steady_clock::now();
  event->recorded = true;
  return cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
  if (event == nullptr) return cpu_device::fail(state(), cudaErrorInvalidValue);
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  return cpu_device::wait_for_device(s);
}

cudaError_t cudaEventElapsedTime(float *ms, cudaEvent_t start, cudaEvent_t end) {
  if (ms == nullptr || start == nullptr || end == nullptr || !start->recorded || !end->recorded)
    return cpu_device::fail(state(), cudaErrorInvalidValue);
  *ms = std::chrono::duration<float, std::milli>(end->at - start->at).count();
  return cudaSuccess;
}

cudaError_t cudaGetLastError() {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  const cudaError_t error = s.last_error;
  s.last_error = cudaSuccess;
  return error;
}

cudaError_t cudaPeekAtLastError() {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  return s.last_error;
}

cudaError_t cudaGetDeviceCount(int *count) {
  if (count == nullptr) return cudaErrorInvalidValue;
  *count = 1;
  return cudaSuccess;
}

cudaError_t cudaGetDevice(int *device) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  if (device == nullptr) return cpu_device::fail(s, cudaErrorInvalidValue);
  *device = 0;
  return cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int *value, cudaDeviceAttr attr, int device) {
  const int workers = cpu_device::control::workers();
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  if (value == nullptr) return cpu_device::fail(s, cudaErrorInvalidValue);
  if (device != 0) return cpu_device::fail(s, cudaErrorInvalidDevice);
  switch (attr) {
    case cudaDevAttrComputeCapabilityMajor: *value = 9; return cudaSuccess;
    case cudaDevAttrComputeCapabilityMinor: *value = 0; return cudaSuccess;
    case cudaDevAttrMultiProcessorCount: *value = workers; return cudaSuccess;
  }
  return cpu_device::fail(s, cudaErrorInvalidValue);
}

cudaError_t cudaFuncGetAttributes(cudaFuncAttributes *attr, const void *func) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  if (attr == nullptr || func == nullptr) return cpu_device::fail(s, cudaErrorInvalidValue);
  attr->ptxVersion = attr->binaryVersion = 90;
  return cudaSuccess;
}

cudaError_t cudaFuncSetAttribute(const void *func, cudaFuncAttribute attr, int value) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  if (func == nullptr || attr != cudaFuncAttributeMaxDynamicSharedMemorySize || value < 0 ||
      static_cast<size_t>(value) > cpu_device::kMaxRoomPerBlock)
    return cpu_device::fail(s, cudaErrorInvalidValue);
  s.room[func] = static_cast<size_t>(value);
  return cudaSuccess;
}

const char *cudaGetErrorString(cudaError_t error) {
  switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInitializationError: return "initialization error";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidSymbol: return "invalid device symbol";
    case cudaErrorInvalidDevicePointer: return "invalid device pointer";
    case cudaErrorInsufficientDriver:
      return "CUDA driver version is insufficient for CUDA runtime version";
    case cudaErrorNoDevice: return "no CUDA-capable device is detected";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    case cudaErrorUnknown: return "unknown error";
  }
  return "unrecognized error code";
}

namespace cpu_device::control {

void reset() {
  DeviceState &s = state();
  {
    std::lock_guard lock(s.mutex);
    s.reset_faults();
    s.use_host_memory_figures();
    s.use_environment_checks();
  }
  Fail_Thread_Start(0);
  set_workers(0);
}

void set_memory(size_t free_bytes, size_t total_bytes) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  s.total = total_bytes;
  s.capacity = free_bytes + s.live_bytes;
}

void fail_malloc(int n) { std::lock_guard lock(state().mutex); state().malloc_fault.remaining = n; }
void fail_mem_info() { std::lock_guard lock(state().mutex); state().mem_info_fault = true; }
void fail_symbol_copy(int n) { std::lock_guard lock(state().mutex); state().symbol_fault.remaining = n; }
void fail_symbol_address() { std::lock_guard lock(state().mutex); state().symbol_address_fault = true; }

void fail_memcpy(int n, cudaMemcpyKind kind) {
  std::lock_guard lock(state().mutex);
  state().memcpy_fault.remaining = n;
  state().memcpy_fault_kind = kind;
}

void fail_next_sync(cudaError_t error) {
  std::lock_guard lock(state().mutex);
  state().pending_sync_error = error;
}

void fail_sync(int n, cudaError_t error) {
  std::lock_guard lock(state().mutex);
  state().sync_fault.remaining = n;
  state().sync_fault_error = error;
}

void fail_cublas(int n, cublasStatus status) {
  std::lock_guard lock(state().mutex);
  state().cublas_fault.remaining = n;
  state().cublas_fault_status = status;
}

size_t live_allocations() { std::lock_guard lock(state().mutex); return state().allocations.size(); }
size_t live_bytes() { std::lock_guard lock(state().mutex); return state().live_bytes; }
size_t live_host_objects() { std::lock_guard lock(state().mutex); return state().host_objects; }
void fail_malloc_host(int n) { std::lock_guard lock(state().mutex); state().malloc_host_fault.remaining = n; }
Counts counts() { std::lock_guard lock(state().mutex); return state().counts; }

}  // namespace cpu_device::control
