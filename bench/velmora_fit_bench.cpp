// Benchmark of VelmoraFit: seconds per EM iteration (E-step with
// statistics, the host's M-step and factorisations, one synchronisation)
// against one VelmoraLog pass over the same data: (a) and (b) N=1e7, dim
// 32, K 16, diagonal and full, (c) N=1e6, dim 60, K 256, diagonal, and (d)
// N=1e7, dim 8, K 8, full. In (a) and (d) one kernel forms the E-step and
// the statistics; (e) and (f) are (d) and (a) through the separate
// kernels, which the fit takes past 16 clusters, or 16 dims in full mode
// and 32 in diagonal mode; (g) is the one kernel at its widest in full mode,
// N=1e7, dim 16, K 16. Each case says whether X stayed on the device or
// was streamed.
// Rows are written and flushed as they are measured.
//   velmora_fit_bench [--quick | --scale S] [--out DIR] [--iterations N] [--only CASE-LETTER]
// --scale multiplies every N (at least 1000 points); --quick is a smoke run
// (N / 10^4, fewer clusters in (c), two iterations).
#include <cuda_runtime.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_common.h"
#include "fit.h"
#include "log_mixture.h"

namespace {

using bench::Clock;
using bench::Since;
using Index = std::int64_t;

struct Case {
  const char *name;
  Index N, dim, K;
  bool full;
  bool separate = false;  // the E-step and statistics in kernels of their own
};

const char *Mode_Name(const Case &c) {
  if (!c.full) return c.separate ? "diag/separate" : "diag";
  return c.separate ? "full/separate" : "full";
}

// Points around K centres spread over the cube, each cluster drawn from its
// own axis-aligned Gaussian; the start is the centres, unit covariances and
// equal priors, so that every iteration does the work of a real one.
struct Data {
  std::vector<double> X, mu, sigma, pi;
};

Data Make(const Case &c) {
  bench::Rng rng{0x9e3779b97f4a7c15ull ^ static_cast<std::uint64_t>(c.N * 31 + c.K)};
  const auto uniform = [&rng] { return rng.Uniform(); };
  Data d{std::vector<double>(static_cast<size_t>(c.dim * c.N)),
         std::vector<double>(static_cast<size_t>(c.dim * c.K)), {},
         std::vector<double>(static_cast<size_t>(c.K), 1.0 / static_cast<double>(c.K))};
  for (double &m : d.mu) m = 8 * uniform() - 4;
  for (Index j = 0; j < c.N; ++j)
    for (Index i = 0; i < c.dim; ++i)
      d.X[j * c.dim + i] = d.mu[(j % c.K) * c.dim + i] + 2 * (uniform() + uniform() - 1);
  const Index block = c.full ? c.dim * c.dim : c.dim;
  d.sigma.assign(static_cast<size_t>(block * c.K), 0.0);
  for (Index k = 0; k < c.K; ++k)
    for (Index i = 0; i < c.dim; ++i) d.sigma[k * block + (c.full ? i + i * c.dim : i)] = 1.0;
  return d;
}

}  // namespace

int main(int argc, char **argv) {
  std::string out = ".", only;
  bool quick = false;
  double scale = 1.0;
  int iterations = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") quick = true;
    else if (a == "--scale" && i + 1 < argc) scale = std::atof(argv[++i]);
    else if (a == "--out" && i + 1 < argc) out = argv[++i];
    else if (a == "--iterations" && i + 1 < argc) iterations = std::max(1, std::atoi(argv[++i]));
    else if (a == "--only" && i + 1 < argc) only = argv[++i];
    else {
      std::fprintf(stderr, "usage: velmora_fit_bench [--quick | --scale S] [--out DIR] "
                           "[--iterations N] [--only CASE-LETTER]\n");
      return 2;
    }
  }
  if (bench::No_Device()) return bench::kNoDevice;
  if (quick) scale = 1e-4;
  const auto n = [scale](double v) { return std::max<Index>(1000, static_cast<Index>(v * scale)); };
  const std::vector<Case> cases = {
      {"a", n(1e7), 32, 16, false},  // one kernel, as in (d)
      {"b", n(1e7), 32, 16, true},
      {"c", n(1e6), 60, quick ? 32 : 256, false},
      {"d", n(1e7), 8, 8, true},  // small dims: the E-step and statistics in one kernel
      {"e", n(1e7), 8, 8, true, true},  // (d) through the separate kernels, to compare
      {"f", n(1e7), 32, 16, false, true},  // (a) likewise
      {"g", n(1e7), 16, 16, true},  // the one kernel's widest full mode
  };
  if (quick) iterations = 2;

  FILE *csv = std::fopen((out + "/fit_bench.csv").c_str(), "w");
  FILE *md = std::fopen((out + "/fit_bench.md").c_str(), "w");
  if (csv == nullptr || md == nullptr) {
    std::fprintf(stderr, "cannot write into %s\n", out.c_str());
    return 1;
  }
  std::fprintf(csv, "case,mode,N,dim,K,resident,chunk,iterations,fit_s,per_iteration_s,"
                    "log_device_s,log_call_s,log_r_device_s,log_r_call_s,ratio_to_log_r_device\n");
  std::fprintf(md, "Seconds per EM iteration (E-step, statistics, M-step on the host, one "
                   "synchronisation) against one VelmoraLog pass on the same data: its kernels "
                   "alone (device) and the whole call, without and with the posteriors R.\n\n"
                   "| case | mode | N | dim | K | X | per iteration s | VelmoraLog device s | "
                   "call s | with R: device s | call s | iteration / pass with R (device) |\n"
                   "|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  std::fflush(md);
  for (const Case &c : cases) {
    if (!only.empty() && only[0] != c.name[0]) continue;
    const Data d = Make(c);
    velmora_log::Fit_Options o;
    o.mode = c.full ? velmora_log::Mode::full : velmora_log::Mode::diagonal;
    o.start = velmora_log::Start::parameters;
    o.mu = d.mu;
    o.sigma = d.sigma;
    o.pi = d.pi;
    o.max_iter = iterations;
    o.tol_fun = 0;
    o.separate_kernels = c.separate;
    const auto start = Clock::now();
    const velmora_log::Fit_Result r = velmora_log::Fit(d.X.data(), c.dim, c.N, c.K, o);
    const double fit_s = Since(start);

    // One VelmoraLog pass over the same data and mixture, after a warm-up.
    const velmora_log::Problem p{c.dim, c.N, c.K, o.mode, d.X.data(), d.mu.data(),
                                 d.sigma.data(), d.pi.data()};
    const velmora_log::Factors f = velmora_log::Factorise(p);
    velmora_log::Evaluator evaluator;
    std::vector<double> log_p(static_cast<size_t>(c.N)), R;
    evaluator.Evaluate(p, f, {log_p.data(), nullptr});
    const velmora_log::Timings plain = evaluator.last_timings();
    R.resize(static_cast<size_t>(c.N * c.K));
    evaluator.Evaluate(p, f, {log_p.data(), R.data()});
    const velmora_log::Timings with_r = evaluator.last_timings();

    const double ratio = r.seconds_per_iteration / with_r.device;
    std::fprintf(csv, "%s,%s,%lld,%lld,%lld,%d,%lld,%d,%.6g,%.6g,%.6g,%.6g,%.6g,%.6g,%.4g\n",
                 c.name, Mode_Name(c), static_cast<long long>(c.N),
                 static_cast<long long>(c.dim), static_cast<long long>(c.K), r.resident ? 1 : 0,
                 static_cast<long long>(r.chunk), iterations, fit_s, r.seconds_per_iteration,
                 plain.device, plain.total, with_r.device, with_r.total, ratio);
    std::fprintf(md, "| %s | %s | %lld | %lld | %lld | %s | %.4f | %.4f | %.4f | %.4f | %.4f | "
                     "%.2fx |\n",
                 c.name, Mode_Name(c), static_cast<long long>(c.N),
                 static_cast<long long>(c.dim), static_cast<long long>(c.K),
                 r.resident ? "resident" : "streamed", r.seconds_per_iteration, plain.device,
                 plain.total, with_r.device, with_r.total, ratio);
    std::fflush(csv);
    std::fflush(md);
    std::printf("%s: %s, X %s (chunks of %lld), %.4f s per iteration; VelmoraLog pass %.4f s "
                "device (%.4f s with R), %.4f s call (%.4f s with R)\n",
                c.name, Mode_Name(c), r.resident ? "resident" : "streamed",
                static_cast<long long>(r.chunk), r.seconds_per_iteration, plain.device,
                with_r.device, plain.total, with_r.total);
    std::fflush(stdout);
  }
  std::fclose(csv);
  std::fclose(md);
  return 0;
}
