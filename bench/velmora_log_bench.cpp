// Benchmark of VelmoraLog against Velmora on the cases that matter to their
// users, with the one-pass lower bound of each: X's bytes over the measured
// host-to-device copy rate, or the FP64 floor (the measured DGEMM rate)
// where arithmetic bounds; with the pageable and page-locked upload rates
// for X's size. `--only c` runs one case, for a profiler. Every row is written and flushed as it is
// measured, so that a run stopped at its time limit keeps what it has.
#include <cuda_runtime.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <cublas.h>

#include "MatrixOperations_Double.h"
#include "Velmora.h"
#include "host/test_host.h"
#include "log_mixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using Index = std::int64_t;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void Check(cudaError_t e, const char *what) {
  if (e != cudaSuccess) throw std::runtime_error(std::string(what) + ": " + cudaGetErrorString(e));
}

struct Case {
  const char *name;
  Index N, dim, K;
  bool diagonal;
};

struct Mixture {
  Case c;
  std::vector<double> X, Mu, Sigma, Pi;
};

// Reproducible data: clusters spread over the cube, points around them.
Mixture Make(const Case &c) {
  std::uint64_t s = 0x9e3779b97f4a7c15ull ^ static_cast<std::uint64_t>(c.N * 31 + c.K);
  const auto uniform = [&s] {
    s ^= s << 13, s ^= s >> 7, s ^= s << 17;
    return static_cast<double>(s >> 11) * (1.0 / 9007199254740992.0);
  };
  Mixture m{c, std::vector<double>(c.dim * c.N), std::vector<double>(c.dim * c.K), {},
            std::vector<double>(c.K)};
  for (double &x : m.Mu) x = 4 * uniform() - 2;
  for (Index j = 0; j < c.N; ++j)
    for (Index i = 0; i < c.dim; ++i)
      m.X[j * c.dim + i] = m.Mu[(j % c.K) * c.dim + i] + uniform() - 0.5;
  for (double &p : m.Pi) p = (0.5 + uniform()) / c.K;
  if (c.diagonal) {
    m.Sigma.resize(c.dim * c.K);
    for (double &v : m.Sigma) v = 0.5 + uniform();
  } else {
    m.Sigma.assign(c.dim * c.dim * c.K, 0.0);
    for (Index k = 0; k < c.K; ++k) {
      double *S = &m.Sigma[k * c.dim * c.dim];
      for (Index i = 0; i < c.dim; ++i) {
        S[i + i * c.dim] = 1.0 + uniform();
        if (i + 1 < c.dim) S[i + 1 + i * c.dim] = S[i + (i + 1) * c.dim] = 0.2 * uniform();
      }
    }
  }
  return m;
}

// Host-to-device rate for `bytes` from pageable or page-locked memory,
// bytes per second.
double Upload_Rate(Index bytes, bool pinned) {
  const size_t n = static_cast<size_t>(bytes);
  std::vector<double> pageable;
  void *host = nullptr, *d = nullptr;
  if (pinned) {
    Check(cudaMallocHost(&host, n), "cudaMallocHost");
  } else {
    pageable.assign(n / 8 + 1, 1.0);
    host = pageable.data();
  }
  Check(cudaMalloc(&d, n), "cudaMalloc");
  Check(cudaMemcpy(d, host, n, cudaMemcpyHostToDevice), "copy");
  const auto start = Clock::now();
  int reps = 0;
  do {
    Check(cudaMemcpy(d, host, n, cudaMemcpyHostToDevice), "copy");
    ++reps;
  } while (Since(start) < 0.2);
  const double rate = static_cast<double>(bytes) * reps / Since(start);
  cudaFree(d);
  if (pinned) cudaFreeHost(host);
  return rate;
}

// FP64 rate of a large square DGEMM (through Velmora's legacy interface),
// flops per second.
double Dgemm_Rate(int n) {
  double *a = nullptr, *c = nullptr;
  Check(cudaMalloc(reinterpret_cast<void **>(&a), sizeof(double) * n * n), "cudaMalloc");
  Check(cudaMalloc(reinterpret_cast<void **>(&c), sizeof(double) * n * n), "cudaMalloc");
  Check(cudaMemset(a, 0, sizeof(double) * n * n), "cudaMemset");
  cublasInit();
  const auto gemm = [&] { cublasDgemm('N', 'N', n, n, n, 1.0, a, n, a, n, 0.0, c, n); };
  gemm();
  Check(cudaDeviceSynchronize(), "sync");
  const auto start = Clock::now();
  int reps = 0;
  do {
    gemm();
    Check(cudaDeviceSynchronize(), "sync");
    ++reps;
  } while (Since(start) < 0.2);
  const double rate = 2.0 * n * n * n * reps / Since(start);
  cublasShutdown();
  cudaFree(a);
  cudaFree(c);
  return rate;
}

// Seconds of one Velmora run (its run driver, as the entry point calls it),
// or 0 when the run did not finish (it prints why, into the test host).
double Time_Velmora(const Mixture &m) {
  if (m.c.N * m.c.dim >= (Index{1} << 31)) return 0.0;  // Velmora refuses such operands
  std::vector<double> X = m.X, Mu = m.Mu, Sigma = m.Sigma, Pi = m.Pi, P(m.c.N, 0.0);
  DIAGONAL_ESTIMATE = m.c.diagonal ? 1 : 0;
  test_host::clear();
  cublasInit();
  const auto start = Clock::now();
  GMM(X.data(), static_cast<int>(m.c.dim), static_cast<int>(m.c.N), static_cast<int>(m.c.K),
      Mu.data(), Sigma.data(), Pi.data(), P.data());
  const double seconds = Since(start);
  cublasShutdown();
  Errors.clear();
  return test_host::console().find("Velmora finished") != std::string::npos ? seconds : 0.0;
}

velmora_log::Problem Problem_Of(const Mixture &m) {
  return {m.c.dim, m.c.N, m.c.K,
          m.c.diagonal ? velmora_log::Mode::diagonal : velmora_log::Mode::full,
          m.X.data(), m.Mu.data(), m.Sigma.data(), m.Pi.data()};
}

// Seconds of a whole call as users pay it (factorisation, uploads,
// evaluation, downloads), the best of a few after a warm-up.
double Time_Call(velmora_log::Evaluator &e, const Mixture &m, std::vector<double> &log_p) {
  const velmora_log::Problem p = Problem_Of(m);
  log_p.assign(static_cast<size_t>(m.c.N), 0.0);
  double best = 1e300;
  for (int r = 0; r < 3; ++r) {
    const auto start = Clock::now();
    e.Evaluate(p, velmora_log::Factorise(p), {log_p.data(), nullptr});
    best = std::min(best, Since(start));
    if (best > 2.0) break;  // large enough that one measurement is steady
  }
  return best;
}

void Write_Raw(const std::string &path, const double *v, Index n) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char *>(v), static_cast<std::streamsize>(n * 8));
}

// The case's inputs and VelmoraLog's logP, for the peer script.
void Write_Peer_Case(const std::string &dir, const Mixture &m, const std::vector<double> &log_p,
                     double seconds) {
  const std::string stem = dir + "/log_" + m.c.name;
  Write_Raw(stem + ".X", m.X.data(), static_cast<Index>(m.X.size()));
  Write_Raw(stem + ".Mu", m.Mu.data(), static_cast<Index>(m.Mu.size()));
  Write_Raw(stem + ".Sigma", m.Sigma.data(), static_cast<Index>(m.Sigma.size()));
  Write_Raw(stem + ".Pi", m.Pi.data(), static_cast<Index>(m.Pi.size()));
  Write_Raw(stem + ".logP", log_p.data(), static_cast<Index>(log_p.size()));
  std::ofstream(stem + ".txt") << (m.c.diagonal ? "diag" : "full") << " " << m.c.N << " "
                               << m.c.dim << " " << m.c.K << " " << seconds << "\n";
}

}  // namespace

int main(int argc, char **argv) {
  std::string out = ".", peers, only;
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") quick = true;
    else if (a == "--out" && i + 1 < argc) out = argv[++i];
    else if (a == "--peers" && i + 1 < argc) peers = argv[++i];
    else if (a == "--only" && i + 1 < argc) only = argv[++i];
    else {
      std::fprintf(stderr, "usage: velmora_log_bench [--quick] [--out DIR] [--peers DIR] "
                           "[--only CASE-LETTER]\n");
      return 2;
    }
  }
  int devices = 0;
  if (cudaGetDeviceCount(&devices) != cudaSuccess || devices == 0) {
    std::printf("No device: nothing to benchmark.\n");
    return 77;
  }
  // (a)..(e) of the plan; --quick scales them down for a smoke run.
  const double scale = quick ? 1e-4 : 1.0;
  const auto n = [scale](double v) { return std::max<Index>(100, static_cast<Index>(v * scale)); };
  const std::vector<Case> cases = {
      {"a", n(1e7), 32, 16, true},
      {"b", n(1e7), 32, 16, false},
      {"c", n(1e6), 60, quick ? 64 : 2048, true},
      {"d", n(1e5), quick ? 16 : 128, quick ? 8 : 64, false},
      {"e", 1000, 8, 4, true},
  };
  const double dgemm = Dgemm_Rate(quick ? 256 : 4096);
  std::printf("FP64 DGEMM: %.1f GFLOP/s\n", dgemm / 1e9);

  FILE *csv = std::fopen((out + "/log_bench.csv").c_str(), "w");
  FILE *md = std::fopen((out + "/log_bench.md").c_str(), "w");
  if (csv == nullptr || md == nullptr) {
    std::fprintf(stderr, "cannot write into %s\n", out.c_str());
    return 1;
  }
  std::fprintf(csv, "case,mode,N,dim,K,velmora_s,velmora_log_s,pageable_GBps,pinned_GBps,"
                   "bound_s,of_bound\n");
  std::fprintf(md, "FP64 DGEMM: %.1f GFLOP/s. Times are whole calls (factorisation, uploads, "
                   "evaluation, downloads); the one-pass bound is X's bytes over the pageable "
                   "upload rate, or the FP64 floor.\n\n| case | mode | N | dim | K | Velmora s | "
                   "VelmoraLog s | speed-up | H2D pageable GB/s | H2D pinned GB/s | one-pass "
                   "bound s | bound / time |\n|---|---|---|---|---|---|---|---|---|---|---|---|\n",
               dgemm / 1e9);
  std::fflush(md);
  velmora_log::Evaluator evaluator;
  for (const Case &c : cases) {
    if (!only.empty() && only[0] != c.name[0]) continue;
    const Mixture m = Make(c);
    std::vector<double> log_p;
    const double seconds = Time_Call(evaluator, m, log_p);
    const double velmora = Time_Velmora(m);
    const double x_bytes = 8.0 * c.N * c.dim;
    const Index copy_bytes = static_cast<Index>(std::min(x_bytes, 2e9)) / 8 * 8 + 8;
    const double pageable = Upload_Rate(copy_bytes, false), pinned = Upload_Rate(copy_bytes, true);
    const double flops = c.diagonal ? 3.0 * c.N * c.K * c.dim : 1.0 * c.N * c.K * c.dim * c.dim;
    const double bound = std::max(x_bytes / pageable, flops / dgemm);
    std::fprintf(csv, "%s,%s,%lld,%lld,%lld,%.6g,%.6g,%.4g,%.4g,%.6g,%.4g\n", c.name,
                 c.diagonal ? "diag" : "full", static_cast<long long>(c.N),
                 static_cast<long long>(c.dim), static_cast<long long>(c.K), velmora, seconds,
                 pageable / 1e9, pinned / 1e9, bound, bound / seconds);
    std::fprintf(md, "| %s | %s | %lld | %lld | %lld | %.4f | %.4f | %.3gx | %.1f | %.1f | %.4f | "
                 "%.0f%% |\n",
                 c.name, c.diagonal ? "diag" : "full", static_cast<long long>(c.N),
                 static_cast<long long>(c.dim), static_cast<long long>(c.K), velmora, seconds,
                 velmora / seconds, pageable / 1e9, pinned / 1e9, bound, 100 * bound / seconds);
    std::fflush(csv);
    std::fflush(md);
    std::printf("%s: Velmora %.4f s, VelmoraLog %.4f s, bound %.4f s\n", c.name, velmora,
                seconds, bound);
    std::fflush(stdout);
    if (!peers.empty()) Write_Peer_Case(peers, m, log_p, seconds);
  }
  std::fclose(csv);
  std::fclose(md);
  return 0;
}
