// What the device benchmarks share: a wall clock, and the exit status for
// a machine without a device (77: CTest's "skipped").
#pragma once

#include <cuda_runtime.h>

#include <chrono>
#include <cstdio>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

constexpr int kNoDevice = 77;

// True, having said so, where no device answers.
inline bool No_Device() {
  int devices = 0;
  if (cudaGetDeviceCount(&devices) == cudaSuccess && devices > 0) return false;
  std::printf("No device: nothing to benchmark.\n");
  return true;
}

}  // namespace bench
