// Device buffers for the tests: owned, filled and read back in one line,
// with guard cells on both sides so that a kernel that writes outside its
// operand is caught.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <random>
#include <stdexcept>
#include <vector>

class DeviceBuffer {
 public:
  static constexpr size_t kGuard = 64;
  static constexpr double kGuardValue = -1.2345678e301;

  explicit DeviceBuffer(size_t n, double fill = 0.0) : n_(n) {
    if (cudaMalloc(reinterpret_cast<void **>(&base_), (n + 2 * kGuard) * sizeof(double)) !=
        cudaSuccess)
      throw std::runtime_error("DeviceBuffer: cudaMalloc failed");
    std::vector<double> init(n + 2 * kGuard, kGuardValue);
    for (size_t i = 0; i < n; ++i) init[kGuard + i] = fill;
    cudaMemcpy(base_, init.data(), init.size() * sizeof(double), cudaMemcpyHostToDevice);
  }
  explicit DeviceBuffer(const std::vector<double> &values) : DeviceBuffer(values.size()) {
    upload(values);
  }
  DeviceBuffer(const DeviceBuffer &) = delete;
  DeviceBuffer &operator=(const DeviceBuffer &) = delete;
  ~DeviceBuffer() { cudaFree(base_); }

  double *get() const { return base_ + kGuard; }
  size_t size() const { return n_; }

  void upload(const std::vector<double> &values) {
    if (values.size() != n_) throw std::invalid_argument("DeviceBuffer: size mismatch");
    cudaMemcpy(get(), values.data(), n_ * sizeof(double), cudaMemcpyHostToDevice);
  }
  std::vector<double> download() const {
    std::vector<double> out(n_);
    cudaMemcpy(out.data(), get(), n_ * sizeof(double), cudaMemcpyDeviceToHost);
    return out;
  }
  // Index (relative to the operand) of the first guard cell that changed,
  // or 0 when all are intact; guards sit at -kGuard..-1 and n..n+kGuard-1.
  long first_broken_guard() const {
    std::vector<double> all(n_ + 2 * kGuard);
    cudaMemcpy(all.data(), base_, all.size() * sizeof(double), cudaMemcpyDeviceToHost);
    for (size_t i = 0; i < all.size(); ++i) {
      if (i >= kGuard && i < kGuard + n_) continue;
      if (all[i] != kGuardValue) return static_cast<long>(i) - static_cast<long>(kGuard);
    }
    return 0;
  }
  bool guards_intact() const { return first_broken_guard() == 0; }

 private:
  size_t n_;
  double *base_ = nullptr;
};

// Reproducible test data.
inline std::vector<double> Random_Values(size_t n, unsigned seed, double lo = -1.0,
                                         double hi = 1.0) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> dist(lo, hi);
  std::vector<double> v(n);
  for (double &x : v) x = dist(rng);
  return v;
}
