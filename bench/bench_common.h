// What the device benchmarks share: a wall clock, the exit status for a
// machine without a device (77: CTest's "skipped"), status checks, and the
// generator of their data.
#pragma once

#include <cuda_runtime.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

inline void Check(cudaError_t e, const char *what) {
  if (e != cudaSuccess) throw std::runtime_error(std::string(what) + ": " + cudaGetErrorString(e));
}

// A cheap reproducible generator (xorshift64, state never 0): the data's
// values do not matter to the timings, only their being finite and the
// covariances positive definite.
struct Rng {
  std::uint64_t s;
  double Uniform() {  // in [0, 1)
    s ^= s << 13, s ^= s >> 7, s ^= s << 17;
    return static_cast<double>(s >> 11) * (1.0 / 9007199254740992.0);
  }
};

// Priors near 1/K, and covariances: diagonal in [0.5, 1.5), or full,
// tridiagonal and diagonally dominant.
inline void Priors_And_Covariances(Rng &rng, std::int64_t dim, std::int64_t K, bool diagonal,
                                   std::vector<double> &Pi, std::vector<double> &Sigma) {
  Pi.resize(static_cast<size_t>(K));
  for (double &p : Pi) p = (0.5 + rng.Uniform()) / static_cast<double>(K);
  if (diagonal) {
    Sigma.resize(static_cast<size_t>(dim * K));
    for (double &v : Sigma) v = 0.5 + rng.Uniform();
    return;
  }
  Sigma.assign(static_cast<size_t>(dim * dim * K), 0.0);
  for (std::int64_t k = 0; k < K; ++k) {
    double *S = &Sigma[static_cast<size_t>(k * dim * dim)];
    for (std::int64_t i = 0; i < dim; ++i) {
      S[i + i * dim] = 1.0 + rng.Uniform();
      if (i + 1 < dim) S[i + 1 + i * dim] = S[i + (i + 1) * dim] = 0.2 * rng.Uniform();
    }
  }
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
