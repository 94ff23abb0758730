// The evaluator's small layer over the device: errors that carry an
// identifier, and device memory, page-locked host memory, streams and events
// that follow their owners.
#pragma once

#include <cuda_runtime.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "log_mixture.h"

namespace velmora_log {

using Index = std::int64_t;

[[noreturn]] inline void Device_Failure(const char *what, const std::string &detail) {
  throw Error("Velmora:device", std::string("The device failed ") + what + ": " + detail + ".");
}

inline void Check(cudaError_t status, const char *what) {
  if (status != cudaSuccess) Device_Failure(what, cudaGetErrorString(status));
}

// Velmora:device unless a device answers.
inline void Require_Device() {
  int devices = 0;
  const cudaError_t status = cudaGetDeviceCount(&devices);
  if (status != cudaSuccess || devices == 0) {
    cudaGetLastError();
    throw Error("Velmora:device", std::string("No usable CUDA device: ") +
                                      (status != cudaSuccess ? cudaGetErrorString(status)
                                                             : "none found") +
                                      ".");
  }
}

// Device or page-locked host doubles, grown on demand; the contents are not
// kept when it grows.
template <bool kPinned>
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer &) = delete;
  Buffer &operator=(const Buffer &) = delete;
  ~Buffer() { Release(); }

  void Reserve(Index count) {
    if (count <= capacity_) return;
    Release();
    void *p = nullptr;
    const size_t bytes = static_cast<size_t>(count) * sizeof(double);
    const cudaError_t status = kPinned ? cudaMallocHost(&p, bytes) : cudaMalloc(&p, bytes);
    if (status != cudaSuccess) {
      cudaGetLastError();  // an allocation failure is not sticky
      throw Error("Velmora:memory", std::string(kPinned ? "The host could not page-lock "
                                                        : "The device could not allocate ") +
                                        std::to_string(bytes) + " bytes.");
    }
    data_ = static_cast<double *>(p);
    capacity_ = count;
  }
  void Release() {
    if (data_ != nullptr) kPinned ? cudaFreeHost(data_) : cudaFree(data_);
    data_ = nullptr;
    capacity_ = 0;
  }
  double *get() const { return data_; }
  Index bytes() const { return capacity_ * static_cast<Index>(sizeof(double)); }
  bool Holds(Index count) const { return count <= capacity_; }

 private:
  double *data_ = nullptr;
  Index capacity_ = 0;
};

using Device_Array = Buffer<false>;
using Pinned_Array = Buffer<true>;

class Stream {
 public:
  Stream() { Check(cudaStreamCreateWithFlags(&stream_, cudaStreamNonBlocking), "to make a stream"); }
  Stream(const Stream &) = delete;
  Stream &operator=(const Stream &) = delete;
  ~Stream() { cudaStreamDestroy(stream_); }
  cudaStream_t get() const { return stream_; }

 private:
  cudaStream_t stream_ = nullptr;
};

class Event {
 public:
  Event() { Check(cudaEventCreate(&event_), "to make an event"); }
  Event(const Event &) = delete;
  Event &operator=(const Event &) = delete;
  ~Event() { cudaEventDestroy(event_); }
  cudaEvent_t get() const { return event_; }
  void Record(cudaStream_t stream) { Check(cudaEventRecord(event_, stream), "to record an event"); }

 private:
  cudaEvent_t event_ = nullptr;
};

// Seconds between two recorded events.
inline double Seconds(const Event &from, const Event &to) {
  float ms = 0;
  Check(cudaEventElapsedTime(&ms, from.get(), to.get()), "to time a step");
  return ms * 1e-3;
}

inline Index Ceil_Div(Index count, Index per) { return (count + per - 1) / per; }

inline unsigned int Blocks(Index units, Index per_block) {
  return static_cast<unsigned int>(Ceil_Div(units, per_block));
}

// Page-locked staging for both slots together, at most: chunks of about
// 100 MB of X keep the copy engines streaming while the first chunk, whose
// staging nothing hides, stays short; and the host keeps its memory.
inline Index Pinned_Budget() {
  const Index physical = static_cast<Index>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
  return std::clamp<Index>(physical / 16, Index{32} << 20, Index{256} << 20);
}

// `room`: bytes of shared memory the launch gives each block, for a kernel
// that takes its room from the launch (past the 48 KB it may declare).
template <typename Kernel, typename... Args>
void Launch_With_Room(Kernel kernel, dim3 grid, dim3 block, int room, cudaStream_t stream,
                      Args... args) {
  cudaLaunchConfig_t config = {};
  config.gridDim = grid;
  config.blockDim = block;
  config.dynamicSmemBytes = static_cast<size_t>(room);
  config.stream = stream;
  if (room > 0)  // per device: set at every launch, whichever device is current
    Check(cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize, room),
          "to give a kernel its shared memory");
  Check(cudaLaunchKernelEx(&config, kernel, args...), "to launch a kernel");
}

template <typename Kernel, typename... Args>
void Launch(Kernel kernel, dim3 grid, dim3 block, cudaStream_t stream, Args... args) {
  Launch_With_Room(kernel, grid, block, 0, stream, args...);
}

}  // namespace velmora_log
