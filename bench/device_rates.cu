// Device code of the benchmark's ceilings; nvcc's in the CUDA build, plain
// C++ over the CPU device in the other.
#include "device_rates.h"

#include "bench_common.h"

#include <cublas.h>
#include <cuda_runtime.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

namespace {

constexpr int kChains = 8;  // independent FMA chains per thread, to hide the pipe's latency

// x <- x * a + b, kChains times over per iteration. With a just under 1 the
// chains settle at b / (1 - a) and never overflow; a and b are arguments,
// so the compiler cannot fold the loop away.
__global__ void Fp64_Fma_Kernel(double *out, double a, double b, int iterations) {
  double x[kChains];
  for (int c = 0; c < kChains; ++c) x[c] = 1e-3 * threadIdx.x + c;
  for (int i = 0; i < iterations; ++i) {
#pragma unroll
    for (int c = 0; c < kChains; ++c) x[c] = fma(x[c], a, b);
  }
  double s = 0;
  for (int c = 0; c < kChains; ++c) s += x[c];
  out[blockIdx.x * blockDim.x + threadIdx.x] = s;
}

__global__ void Empty_Kernel() {}

template <typename... Kernel_Args, typename... Args>
void Launch(void (*kernel)(Kernel_Args...), unsigned blocks, unsigned threads, Args... args) {
  cudaLaunchConfig_t config = {};
  config.gridDim = dim3(blocks, 1, 1);
  config.blockDim = dim3(threads, 1, 1);
  Check(cudaLaunchKernelEx(&config, kernel, args...), "kernel launch");
}

struct Device_Bytes {
  void *p = nullptr;
  explicit Device_Bytes(size_t n) { Check(cudaMalloc(&p, std::max<size_t>(n, 8)), "cudaMalloc"); }
  Device_Bytes(const Device_Bytes &) = delete;
  Device_Bytes &operator=(const Device_Bytes &) = delete;
  ~Device_Bytes() { cudaFree(p); }
};

// Host memory either page-locked or pageable; pageable pages are touched
// first, as a caller's array would have been.
struct Host_Bytes {
  void *p = nullptr;
  bool pinned;
  std::vector<std::uint64_t> pageable;
  Host_Bytes(size_t n, bool locked) : pinned(locked) {
    if (pinned) {
      Check(cudaMallocHost(&p, n), "cudaMallocHost");
      std::fill_n(static_cast<char *>(p), n, 1);
    } else {
      pageable.assign(n / 8 + 1, 1);
      p = pageable.data();
    }
  }
  Host_Bytes(const Host_Bytes &) = delete;
  Host_Bytes &operator=(const Host_Bytes &) = delete;
  ~Host_Bytes() {
    if (pinned) cudaFreeHost(p);
  }
};

double Copy_Rate(size_t bytes, bool pinned, bool upload, double seconds) {
  Host_Bytes host(bytes, pinned);
  Device_Bytes device(bytes);
  const auto copy = [&] {
    Check(upload ? cudaMemcpy(device.p, host.p, bytes, cudaMemcpyHostToDevice)
                 : cudaMemcpy(host.p, device.p, bytes, cudaMemcpyDeviceToHost),
          "cudaMemcpy");
  };
  copy();
  const auto start = Clock::now();
  int reps = 0;
  do {
    copy();
    ++reps;
  } while (Since(start) < seconds);
  return static_cast<double>(bytes) * reps / Since(start);
}

// FMA instructions per second: the best of a few batches of launches,
// each grid many waves deep on any current GPU, so that the last wave's
// idle SMs cost little.
double Fp64_Rate(bool small) {
  const unsigned blocks = small ? 2 : 8192, threads = small ? 32 : 256;
  const int iterations = small ? 16 : 512, batch = small ? 1 : 20;
  Device_Bytes out(sizeof(double) * blocks * threads);
  double *d = static_cast<double *>(out.p);
  Launch(Fp64_Fma_Kernel, blocks, threads, d, 0.999999, 1e-6, iterations);
  Check(cudaDeviceSynchronize(), "FMA kernel");
  double best = 1e300;
  for (int b = 0; b < 5; ++b) {
    const auto start = Clock::now();
    for (int l = 0; l < batch; ++l) Launch(Fp64_Fma_Kernel, blocks, threads, d, 0.999999, 1e-6, iterations);
    Check(cudaDeviceSynchronize(), "FMA kernel");
    best = std::min(best, Since(start));
  }
  return static_cast<double>(blocks) * threads * iterations * kChains * batch / best;
}

// Median seconds of the smallest complete exchange with the device.
double Round_Trip(bool small) {
  Device_Bytes d(8);
  double value = 1.0;
  std::vector<double> times;
  const int reps = small ? 20 : 200;
  for (int r = -10; r < reps; ++r) {
    const auto start = Clock::now();
    Check(cudaMemcpy(d.p, &value, 8, cudaMemcpyHostToDevice), "cudaMemcpy");
    Launch(Empty_Kernel, 1, 1);
    Check(cudaMemcpy(&value, d.p, 8, cudaMemcpyDeviceToHost), "cudaMemcpy");
    if (r >= 0) times.push_back(Since(start));
  }
  std::nth_element(times.begin(), times.begin() + reps / 2, times.end());
  return times[reps / 2];
}

// Flops per second of C = A B on random n x n matrices (zeros would flatter
// the multipliers), through the legacy interface that Velmora calls.
double Dgemm_Rate(int n) {
  std::vector<double> host(2 * static_cast<size_t>(n) * n);
  Rng rng{0x2545f4914f6cdd1dull};
  for (double &v : host) v = 2.0 * rng.Uniform() - 1.0;
  const size_t one = sizeof(double) * n * n;
  Device_Bytes a(one), b(one), c(one);
  Check(cudaMemcpy(a.p, host.data(), one, cudaMemcpyHostToDevice), "cudaMemcpy");
  Check(cudaMemcpy(b.p, host.data() + static_cast<size_t>(n) * n, one, cudaMemcpyHostToDevice),
        "cudaMemcpy");
  cublasInit();
  const auto gemm = [&] {
    cublasDgemm('N', 'N', n, n, n, 1.0, static_cast<const double *>(a.p), n,
                static_cast<const double *>(b.p), n, 0.0, static_cast<double *>(c.p), n);
  };
  gemm();
  Check(cudaDeviceSynchronize(), "DGEMM");
  const auto start = Clock::now();
  int reps = 0;
  do {
    gemm();
    Check(cudaDeviceSynchronize(), "DGEMM");
    ++reps;
  } while (Since(start) < 0.2);
  const double rate = 2.0 * n * n * n * reps / Since(start);
  const bool failed = cublasGetError() != CUBLAS_STATUS_SUCCESS;
  cublasShutdown();
  if (failed) throw std::runtime_error("cublasDgemm failed");
  return rate;
}

}  // namespace

Rates Measure_Rates(bool small) {
  // 1 GB: far past the size where a copy's fixed cost shows.
  const size_t bytes = small ? (size_t{8} << 20) : (size_t{1} << 30);
  const double seconds = small ? 0.02 : 0.2;
  Rates r;
  r.up_pageable = Copy_Rate(bytes, false, true, seconds);
  r.up_pinned = Copy_Rate(bytes, true, true, seconds);
  r.down_pageable = Copy_Rate(bytes, false, false, seconds);
  r.down_pinned = Copy_Rate(bytes, true, false, seconds);
  r.fp64_fma = Fp64_Rate(small);
  r.dgemm = Dgemm_Rate(small ? 128 : 4096);
  r.round_trip = Round_Trip(small);
  return r;
}

}  // namespace bench
