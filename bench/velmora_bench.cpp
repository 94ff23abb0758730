// Benchmark of the mixture evaluation on the device it is built for (a GPU,
// or the CPU device): end-to-end time of the run driver, time of the
// evaluation alone, its effective bandwidth against the device's own
// device-to-device copy, and in full mode its rate against a plain
// cublasDgemm of the same shape. The console of the module is captured by
// the quiet test host, not printed.
#include <cublas.h>
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

#include "bench_common.h"
#include "MatrixOperations_Double.h"
#include "Velmora.h"
#include "host/test_host.h"

namespace {

using bench::Clock;

using bench::Check;

// Owned device memory.
struct Device_Array {
  double *p = nullptr;
  explicit Device_Array(size_t n) {
    Check(cudaMalloc(reinterpret_cast<void **>(&p), std::max<size_t>(n, 1) * sizeof(double)),
          "cudaMalloc");
  }
  Device_Array(const Device_Array &) = delete;
  Device_Array &operator=(const Device_Array &) = delete;
  ~Device_Array() { cudaFree(p); }
};

struct Mixture {
  int N, dim, K;
  bool diagonal;
  std::vector<double> X, Mu, Sigma, Pi;
};

Mixture Make(int N, int dim, int K, bool diagonal, uint64_t seed) {
  bench::Rng rng{seed * 2654435761u + 1};
  Mixture m{N, dim, K, diagonal, {}, {}, {}, {}};
  m.X.resize(static_cast<size_t>(dim) * N);
  for (double &x : m.X) x = 2.0 * rng.Uniform() - 1.0;
  m.Mu.resize(static_cast<size_t>(dim) * K);
  for (double &x : m.Mu) x = rng.Uniform() - 0.5;
  bench::Priors_And_Covariances(rng, dim, K, diagonal, m.Pi, m.Sigma);
  return m;
}

// Device-to-device copy bandwidth: reads plus writes, bytes per second.
double Copy_Bandwidth(size_t bytes, int reps) {
  Device_Array a(bytes / 8), b(bytes / 8);
  Check(cudaMemcpy(b.p, a.p, bytes, cudaMemcpyDeviceToDevice), "copy");
  Check(cudaDeviceSynchronize(), "sync");
  const auto start = Clock::now();
  for (int r = 0; r < reps; ++r) cudaMemcpy(b.p, a.p, bytes, cudaMemcpyDeviceToDevice);
  Check(cudaDeviceSynchronize(), "sync");
  return 2.0 * static_cast<double>(bytes) * reps / bench::Since(start);
}

// Microseconds of one library call with nothing to compute: the two
// synchronisations, the parameter writes and an almost empty launch.
double Host_Overhead_Us(int reps) {
  Device_Array d(1);
  Vector_Op(d.p, d.p, 1, 1.0, 2);
  const auto start = Clock::now();
  for (int r = 0; r < reps; ++r) Vector_Op(d.p, d.p, 1, 1.0, 2);
  return bench::Since(start) / reps * 1e6;
}

struct Result {
  double total_s = 0, eval_s = 0, eval_bytes = 0, eval_flops = 0, gemm_flops_per_s = 0;
};

// Bytes the evaluation must move at least, per cluster: X once, the
// distances written, read and written by the exponential, and the axpy's
// two reads and one write. Full mode passes over X-sized data eight times:
// centring (read X, write the copy), the product (read, write), the
// element-wise product (two reads, one write) and the column sum's read.
double Evaluation_Bytes(const Mixture &m) {
  const double x = 8.0 * m.dim * m.N, row = 8.0 * m.N;
  const double per_cluster = m.diagonal ? x + 6 * row : 8 * x + 6 * row;
  return per_cluster * m.K;
}

// Host inversion of K full covariances of dim, one cluster after the other
// and over the host's cores: seconds of each, and whether they agree bit
// for bit.
struct Inversion_Timing {
  double serial_s, parallel_s;
  bool same_bits;
};

Inversion_Timing Time_Inversion(int dim, int K) {
  const Mixture m = Make(1, dim, K, false, 5);
  std::vector<double> sigma = m.Sigma, serial(sigma.size()), parallel(sigma.size());
  std::vector<double> serial_log(K), parallel_log(K);
  DIAGONAL_ESTIMATE = 0;
  elements_one_sigma = dim * dim;
  auto start = Clock::now();
  for (int k = 0; k < K; ++k)
    Invert_Sigmas(&sigma[static_cast<size_t>(k) * dim * dim],
                  &serial[static_cast<size_t>(k) * dim * dim], &serial_log[k], dim);
  const double serial_s = bench::Since(start);
  start = Clock::now();
  Invert_All_Sigmas(sigma.data(), parallel.data(), parallel_log.data(), dim, K);
  const double parallel_s = bench::Since(start);
  return {serial_s, parallel_s, serial == parallel && serial_log == parallel_log};
}

Result Run(const Mixture &m, bool with_gemm) {
  Result r;
  DIAGONAL_ESTIMATE = m.diagonal ? 1 : 0;
  std::vector<double> X = m.X, Mu = m.Mu, Sigma = m.Sigma, Pi = m.Pi, P(m.N, 0.0);

  test_host::clear();
  cublasInit();
  auto start = Clock::now();
  GMM(X.data(), m.dim, m.N, m.K, Mu.data(), Sigma.data(), Pi.data(), P.data());
  r.total_s = bench::Since(start);
  if (test_host::console().find("Velmora finished") == std::string::npos)
    throw std::runtime_error("run did not finish: " + test_host::console());

  // The evaluation alone, on data already on the device.
  const int one = m.diagonal ? m.dim : m.dim * m.dim;
  elements_one_sigma = one;
  std::vector<double> inv(static_cast<size_t>(one) * m.K), log_dets(m.K);
  for (int k = 0; k < m.K; ++k)
    Invert_Sigmas(Sigma.data() + static_cast<size_t>(k) * one, inv.data() + static_cast<size_t>(k) * one,
                  &log_dets[k], m.dim);
  const size_t x_count = static_cast<size_t>(m.dim) * m.N;
  Device_Array d_X(x_count), d_Mu(Mu.size()), d_Inv(inv.size()), d_P(m.N), d_T1(x_count);
  Device_Array d_T2(m.diagonal ? 1 : x_count);
  cudaMemcpy(d_X.p, X.data(), x_count * 8, cudaMemcpyHostToDevice);
  cudaMemcpy(d_Mu.p, Mu.data(), Mu.size() * 8, cudaMemcpyHostToDevice);
  cudaMemcpy(d_Inv.p, inv.data(), inv.size() * 8, cudaMemcpyHostToDevice);
  Velmora(d_X.p, d_Mu.p, d_Inv.p, Pi.data(), log_dets.data(), m.dim, m.N, m.K, d_T1.p,
          m.diagonal ? nullptr : d_T2.p, d_P.p);  // warm-up
  Check(cudaDeviceSynchronize(), "sync");
  int reps = 0;
  start = Clock::now();
  do {
    Velmora(d_X.p, d_Mu.p, d_Inv.p, Pi.data(), log_dets.data(), m.dim, m.N, m.K, d_T1.p,
            m.diagonal ? nullptr : d_T2.p, d_P.p);
    Check(cudaDeviceSynchronize(), "sync");
    ++reps;
  } while (bench::Since(start) < 0.05 && reps < 50);
  r.eval_s = bench::Since(start) / reps;
  r.eval_bytes = Evaluation_Bytes(m);
  r.eval_flops = m.diagonal ? 4.0 * m.dim * m.N * m.K : 2.0 * m.dim * m.dim * m.N * m.K;

  if (with_gemm && !m.diagonal) {
    cublasDgemm('N', 'N', m.dim, m.N, m.dim, 1.0, d_Inv.p, m.dim, d_X.p, m.dim, 0.0, d_T2.p, m.dim);
    Check(cudaDeviceSynchronize(), "sync");
    int g = 0;
    start = Clock::now();
    do {
      cublasDgemm('N', 'N', m.dim, m.N, m.dim, 1.0, d_Inv.p, m.dim, d_X.p, m.dim, 0.0, d_T2.p,
                  m.dim);
      Check(cudaDeviceSynchronize(), "sync");
      ++g;
    } while (bench::Since(start) < 0.05 && g < 200);
    r.gemm_flops_per_s = 2.0 * m.dim * m.dim * m.N * g / bench::Since(start);
  }
  cublasShutdown();
  Errors.clear();
  return r;
}

void Write_Raw(const std::string &path, const std::vector<double> &v) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char *>(v.data()), static_cast<std::streamsize>(v.size() * 8));
}

// The inputs and Velmora's P of one case, for the peer script.
void Write_Peer_Case(const std::string &dir, const Mixture &m, double total_s) {
  const std::string stem = dir + "/" + (m.diagonal ? "diag" : "full") + "_N" +
                           std::to_string(m.N) + "_d" + std::to_string(m.dim) + "_K" +
                           std::to_string(m.K);
  std::vector<double> X = m.X, Mu = m.Mu, Sigma = m.Sigma, Pi = m.Pi, P(m.N, 0.0);
  DIAGONAL_ESTIMATE = m.diagonal ? 1 : 0;
  test_host::clear();
  cublasInit();
  GMM(X.data(), m.dim, m.N, m.K, Mu.data(), Sigma.data(), Pi.data(), P.data());
  cublasShutdown();
  Write_Raw(stem + ".X", m.X);
  Write_Raw(stem + ".Mu", m.Mu);
  Write_Raw(stem + ".Sigma", m.Sigma);
  Write_Raw(stem + ".Pi", m.Pi);
  Write_Raw(stem + ".P", P);
  std::ofstream meta(stem + ".txt");
  meta << (m.diagonal ? "diag" : "full") << " " << m.N << " " << m.dim << " " << m.K << " "
       << total_s << "\n";
}

struct Options {
  std::string out = ".";
  std::string peer_dir;
  bool quick = false;
  double max_x_elements = 3.3e8;  // N * dim; bounds the sweep's memory and time
};

Options Parse(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") o.quick = true;
    else if (a == "--out" && i + 1 < argc) o.out = argv[++i];
    else if (a == "--peers" && i + 1 < argc) o.peer_dir = argv[++i];
    else if (a == "--max-elements" && i + 1 < argc) o.max_x_elements = std::atof(argv[++i]);
    else {
      std::fprintf(stderr,
                   "usage: velmora_bench [--quick] [--out DIR] [--peers DIR] [--max-elements E]\n");
      std::exit(2);
    }
  }
  return o;
}

}  // namespace

int main(int argc, char **argv) {
  const Options o = Parse(argc, argv);
  if (bench::No_Device()) return bench::kNoDevice;
  const std::vector<int> Ns = o.quick ? std::vector<int>{1000, 10000}
                                      : std::vector<int>{10000, 100000, 1000000, 10000000};
  const std::vector<int> dims = o.quick ? std::vector<int>{2, 8, 32} : std::vector<int>{2, 8, 32, 128};
  const std::vector<int> Ks = o.quick ? std::vector<int>{1, 4} : std::vector<int>{1, 16, 64};

  const double copy_bw = Copy_Bandwidth(o.quick ? (size_t{32} << 20) : (size_t{1} << 30), o.quick ? 3 : 20);
  const double overhead_us = Host_Overhead_Us(o.quick ? 200 : 2000);
  std::printf("device-to-device copy: %.1f GB/s; host overhead per library call: %.1f us\n",
              copy_bw / 1e9, overhead_us);
  const Inversion_Timing inversion = Time_Inversion(o.quick ? 32 : 128, 64);
  char inversion_line[256];
  std::snprintf(inversion_line, sizeof inversion_line,
                "Host inversion of 64 full covariances of dim %d: %.4f s one after the other, "
                "%.4f s over the host's cores (%.2fx), results %s.",
                o.quick ? 32 : 128, inversion.serial_s, inversion.parallel_s,
                inversion.serial_s / inversion.parallel_s,
                inversion.same_bits ? "bit-identical" : "DIFFERENT");
  std::printf("%s\n", inversion_line);

  std::ofstream csv(o.out + "/bench.csv");
  csv << "mode,N,dim,K,total_s,eval_s,eval_GBps,fraction_of_copy,eval_GFlops,gemm_GFlops,"
         "fraction_of_gemm\n"
      << std::flush;
  std::ofstream md(o.out + "/bench.md");
  md << "Device-to-device copy: " << copy_bw / 1e9 << " GB/s. Host overhead per library call: "
     << overhead_us << " us.\n\n" << inversion_line << "\n\n"
     << "| mode | N | dim | K | total s | evaluation s | GB/s | of copy | GFLOP/s | of dgemm |\n"
     << "|---|---|---|---|---|---|---|---|---|---|\n" << std::flush;
  for (bool diagonal : {true, false})
    for (int dim : dims)
      for (int N : Ns)
        for (int K : Ks) {
          if (static_cast<double>(N) * dim > o.max_x_elements) continue;
          const Mixture m = Make(N, dim, K, diagonal, 7);
          const Result r = Run(m, true);
          const double gbps = r.eval_bytes / r.eval_s / 1e9, frac = r.eval_bytes / r.eval_s / copy_bw;
          const double gflops = r.eval_flops / r.eval_s / 1e9, gemm = r.gemm_flops_per_s / 1e9;
          char line[512];
          std::snprintf(line, sizeof line, "%s,%d,%d,%d,%.6g,%.6g,%.4g,%.4g,%.4g,%.4g,%.4g\n",
                        diagonal ? "diag" : "full", N, dim, K, r.total_s, r.eval_s, gbps, frac,
                        gflops, gemm, gemm > 0 ? gflops / gemm : 0.0);
          csv << line << std::flush;  // a run stopped at its limit keeps its rows
          std::snprintf(line, sizeof line,
                        "| %s | %d | %d | %d | %.4f | %.4f | %.1f | %.0f%% | %.1f | %s |\n",
                        diagonal ? "diag" : "full", N, dim, K, r.total_s, r.eval_s, gbps,
                        100 * frac, gflops,
                        gemm > 0 ? (std::to_string(static_cast<int>(100 * gflops / gemm)) + "%").c_str()
                                 : "");
          md << line << std::flush;
          std::printf("%s", line);
          std::fflush(stdout);
        }

  if (!o.peer_dir.empty()) {
    const std::vector<int> peer_N = o.quick ? std::vector<int>{10000}
                                            : std::vector<int>{100000, 1000000, 10000000};
    const int peer_dim = o.quick ? 8 : 32, peer_K = o.quick ? 4 : 16;
    for (bool diagonal : {true, false})
      for (int N : peer_N) {
        const Mixture m = Make(N, peer_dim, peer_K, diagonal, 11);
        const Result r = Run(m, false);
        Write_Peer_Case(o.peer_dir, m, r.total_s);
      }
  }
  return 0;
}
