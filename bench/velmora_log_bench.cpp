// Benchmark of VelmoraLog on the cases that matter to its users, each with
// and without the posteriors R: where a call's time goes (host
// factorisation, the evaluator's preparation, staging, upload, kernels and
// download) and how far each part is from its bound (X's upload at the
// pinned and at the pageable rate, the FP64 floor of the path the mode
// runs, the outputs' download), with Velmora's time on the same data.
//
//   --only LETTERS   these cases only (default abcdefg)
//   --quick          tiny sizes, for the CPU device's smoke runs
//   --no-velmora     leave Velmora's comparison out
//   --peers DIR      the cases' data and logP, for bench/peers.py
//   --profile        one call per case without R and nothing else, for ncu
//   --sanitize       small problems checked against a reference, for
//                    compute-sanitizer
#include <cuda_runtime.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <cublas.h>

#include "bench_common.h"
#include "MatrixOperations_Double.h"
#include "Velmora.h"
#include "device_rates.h"
#include "host/test_host.h"
#include "log_bench_check.h"
#include "log_bench_report.h"
#include "log_mixture.h"

namespace {

using bench::Clock;
using bench::Since;
using Index = std::int64_t;

struct Case {
  char name;
  Index N, dim, K;
  bool diagonal;
  Index chunks = 0;      // forced: at least this many chunks; 0 lets free memory decide
  bool latency = false;  // a call's fixed cost: many calls, the median of them
};

// Data of one shape, generated in parallel: a column's values depend only
// on the shape and the column, never on the number of threads.
struct Mixture {
  Index N = 0, dim = 0, K = 0;
  bool diagonal = true;
  std::unique_ptr<double[]> X;
  std::vector<double> Mu, Sigma, Pi;
};

std::uint64_t Mix(std::uint64_t z) {
  z += 0x9e3779b97f4a7c15ull;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return (z ^ (z >> 31)) | 1;  // xorshift needs a state other than 0
}

using bench::Rng;

// Clusters spread over [-2, 2]^dim, each point within 0.5 of its cluster's
// centre in every coordinate; full covariances tridiagonal and diagonally
// dominant.
void Make(const Case &c, Mixture &m) {
  m = Mixture{c.N, c.dim, c.K, c.diagonal, nullptr, {}, {}, {}};
  Rng rng{Mix(static_cast<std::uint64_t>(c.N * 31 + c.K))};
  m.Mu.resize(c.dim * c.K);
  for (double &x : m.Mu) x = 4 * rng.Uniform() - 2;
  bench::Priors_And_Covariances(rng, c.dim, c.K, c.diagonal, m.Pi, m.Sigma);
  m.X.reset(new double[static_cast<size_t>(c.dim * c.N)]);
  const Index threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> pool;
  for (Index t = 0; t < threads; ++t)
    pool.emplace_back([&m, &c, t, threads] {
      for (Index j = c.N * t / threads; j < c.N * (t + 1) / threads; ++j) {
        Rng column{Mix(static_cast<std::uint64_t>(j) ^ 0x5851f42d4c957f2dull)};
        const double *mu = &m.Mu[(j % c.K) * c.dim];
        for (Index i = 0; i < c.dim; ++i) m.X[j * c.dim + i] = mu[i] + column.Uniform() - 0.5;
      }
    });
  for (std::thread &t : pool) t.join();
}

velmora_log::Problem Problem_Of(const Mixture &m) {
  return {m.dim, m.N, m.K, m.diagonal ? velmora_log::Mode::diagonal : velmora_log::Mode::full,
          m.X.get(), m.Mu.data(), m.Sigma.data(), m.Pi.data()};
}

// Seconds of one Velmora run (its run driver, as the entry point calls
// it), or 0 when it refused or failed (it says why, into the test host).
double Time_Velmora(const Mixture &m) {
  if (m.N * m.dim >= (Index{1} << 31)) return 0.0;  // Velmora refuses such operands
  std::vector<double> Mu = m.Mu, Sigma = m.Sigma, Pi = m.Pi, P(static_cast<size_t>(m.N), 0.0);
  DIAGONAL_ESTIMATE = m.diagonal ? 1 : 0;
  test_host::clear();
  cublasInit();
  const auto start = Clock::now();
  GMM(m.X.get(), static_cast<int>(m.dim), static_cast<int>(m.N), static_cast<int>(m.K),
      Mu.data(), Sigma.data(), Pi.data(), P.data());
  const double seconds = Since(start);
  cublasShutdown();
  Errors.clear();
  return test_host::console().find("Velmora finished") != std::string::npos ? seconds : 0.0;
}

struct Repetitions {
  int warm_up, at_least, at_most;
  double seconds;  // no further calls once the measured ones took this long
};

// Calls of one case and output: the row's medians and spread. The output
// arrays are allocated once, so that every measured call writes into
// pages already mapped.
void Measure(velmora_log::Evaluator &e, const Mixture &m, const Case &c, double *log_p, double *R,
             const Repetitions &reps, bench::Row &row) {
  const velmora_log::Problem p = Problem_Of(m);
  const velmora_log::Limits limits{c.chunks > 0 ? (c.N + c.chunks - 1) / c.chunks : 0};
  struct Sample {
    double factorise, call;
    velmora_log::Timings t;
  };
  std::vector<Sample> samples;
  double measured = 0;
  for (int r = -reps.warm_up; r < reps.at_most; ++r) {
    const auto start = Clock::now();
    const velmora_log::Factors f = velmora_log::Factorise(p);
    const double factorise = Since(start);
    e.Evaluate(p, f, {log_p, R}, limits);
    const double call = Since(start);
    if (r < 0) continue;
    samples.push_back({factorise, call, e.last_timings()});
    measured += call;
    if (r + 1 >= reps.at_least && measured >= reps.seconds) break;
  }
  std::sort(samples.begin(), samples.end(),
            [](const Sample &a, const Sample &b) { return a.call < b.call; });
  const auto at = [&](double q) {
    return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1) + 0.5)];
  };
  const Sample &median = at(0.5);
  row.max_chunk = limits.max_chunk;
  row.chunks = median.t.chunks > 0 ? median.t.chunks
                                   : (c.N + e.last_chunk() - 1) / std::max<Index>(1, e.last_chunk());
  row.calls = static_cast<int>(samples.size());
  row.factorise = median.factorise;
  row.prepare = median.t.prepare;
  row.staging = median.t.staging;
  row.upload = median.t.upload;
  row.device = median.t.device;
  row.download = median.t.download;
  row.evaluate = median.t.total;
  row.call = median.call;
  row.call_min = samples.front().call;
  row.call_p10 = at(0.1).call;
  row.call_p90 = at(0.9).call;
  row.call_max = samples.back().call;
}

void Write_Raw(const std::string &path, const double *v, Index n) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char *>(v), static_cast<std::streamsize>(n * 8));
}

// The case's inputs and VelmoraLog's logP, for the peer script.
void Write_Peer_Case(const std::string &dir, const Case &c, const Mixture &m, const double *log_p,
                     double seconds) {
  const std::string stem = dir + "/log_" + c.name;
  Write_Raw(stem + ".X", m.X.get(), m.dim * m.N);
  Write_Raw(stem + ".Mu", m.Mu.data(), static_cast<Index>(m.Mu.size()));
  Write_Raw(stem + ".Sigma", m.Sigma.data(), static_cast<Index>(m.Sigma.size()));
  Write_Raw(stem + ".Pi", m.Pi.data(), static_cast<Index>(m.Pi.size()));
  Write_Raw(stem + ".logP", log_p, m.N);
  std::ofstream(stem + ".txt") << (m.diagonal ? "diag" : "full") << " " << m.N << " " << m.dim
                               << " " << m.K << " " << seconds << "\n";
}

struct Options {
  std::string out = ".", peers, only = "abcdefg";
  bool quick = false, velmora = true, profile = false, sanitize = false;
};

Options Parse(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") o.quick = true;
    else if (a == "--no-velmora") o.velmora = false;
    else if (a == "--profile") o.profile = true;
    else if (a == "--sanitize") o.sanitize = true;
    else if (a == "--out" && i + 1 < argc) o.out = argv[++i];
    else if (a == "--peers" && i + 1 < argc) o.peers = argv[++i];
    else if (a == "--only" && i + 1 < argc) o.only = argv[++i];
    else {
      std::fprintf(stderr, "usage: velmora_log_bench [--quick] [--only LETTERS] [--no-velmora] "
                           "[--out DIR] [--peers DIR] [--profile] [--sanitize]\n");
      std::exit(2);
    }
  }
  return o;
}

// (a)-(e) as our users run them; (f) and (g) are (a) and (b) in forced
// chunks, so that the pipelined path runs at scale. In order of value, so
// that a run stopped at its limit loses the least: the forced chunks come
// before (c) and (d), whose Velmora timings are the longest.
std::vector<Case> Cases(bool quick) {
  const double scale = quick ? 1e-4 : 1.0;
  const auto n = [scale](double v) { return std::max<Index>(100, static_cast<Index>(v * scale)); };
  return {
      {'a', n(1e7), 32, 16, true},
      {'b', n(1e7), 32, 16, false},
      {'f', n(1e7), 32, 16, true, 10},
      {'g', n(1e7), 32, 16, false, 10},
      {'c', n(1e6), 60, quick ? 64 : 2048, true},
      {'d', n(1e5), quick ? 16 : 128, quick ? 8 : 64, false},
      {'e', 1000, 8, 4, true, 0, true},
  };
}

// One call per case, without R, and nothing else on the device: what ncu
// profiles.
int Profile(const Options &o) {
  velmora_log::Evaluator evaluator;
  Mixture m;
  for (const Case &c : Cases(o.quick)) {
    if (o.only.find(c.name) == std::string::npos) continue;
    Make(c, m);
    std::vector<double> log_p(static_cast<size_t>(c.N));
    const velmora_log::Problem p = Problem_Of(m);
    const auto start = Clock::now();
    evaluator.Evaluate(p, velmora_log::Factorise(p), {log_p.data(), nullptr},
                       {c.chunks > 0 ? (c.N + c.chunks - 1) / c.chunks : 0});
    std::printf("%c: one call, %.4f s, chunks of %lld points\n", c.name, Since(start),
                static_cast<long long>(evaluator.last_chunk()));
  }
  return 0;
}

int Benchmark(const Options &o) {
  const bench::Rates rates = bench::Measure_Rates(o.quick);
  std::printf("rates: up %.1f/%.1f GB/s, down %.1f/%.1f GB/s (pageable/pinned), FP64 %.3g "
              "TFLOP/s, DGEMM %.3g TFLOP/s, round trip %.1f us\n",
              rates.up_pageable / 1e9, rates.up_pinned / 1e9, rates.down_pageable / 1e9,
              rates.down_pinned / 1e9, 2 * rates.fp64_fma / 1e12, rates.dgemm / 1e12,
              rates.round_trip * 1e6);
  std::fflush(stdout);
  bench::Report report(o.out, rates);
  if (!report.ok()) {
    std::fprintf(stderr, "cannot write into %s\n", o.out.c_str());
    return 1;
  }
  velmora_log::Evaluator evaluator;
  Mixture m;
  int failures = 0;
  for (const Case &c : Cases(o.quick)) {
    if (o.only.find(c.name) == std::string::npos) continue;
    if (m.N != c.N || m.dim != c.dim || m.K != c.K || m.diagonal != c.diagonal) {
      m = Mixture{};  // the old data go before the new arrive
      Make(c, m);
    }
    const Repetitions reps = c.latency ? Repetitions{20, 200, 200, 0.0} : Repetitions{1, 1, 3, 1.0};
    std::unique_ptr<double[]> log_p(new double[static_cast<size_t>(c.N)]);
    double seconds = 0;
    for (const bool posteriors : {false, true}) {
      bench::Row row;
      row.name = c.name;
      row.diagonal = c.diagonal;
      row.posteriors = posteriors;
      row.N = c.N, row.dim = c.dim, row.K = c.K;
      bench::Set_Bounds(row, rates);
      try {
        std::unique_ptr<double[]> R(posteriors ? new double[static_cast<size_t>(c.N * c.K)]
                                               : nullptr);
        Measure(evaluator, m, c, log_p.get(), R.get(), reps, row);
        if (!posteriors) seconds = row.call;
      } catch (const std::exception &e) {  // velmora_log::Error, or no host memory for R
        row.error = e.what();
        ++failures;
      }
      if (!posteriors && c.chunks == 0 && o.velmora && row.error.empty())
        row.velmora = Time_Velmora(m);
      report.Add(row);
      std::printf("%c %s R: whole call %.4f s (median of %d), bound %.4f s pinned, %.4f s "
                  "pageable%s%s\n",
                  c.name, posteriors ? "with" : "without", row.call, row.calls,
                  row.bound_pinned(), row.bound_pageable(), row.error.empty() ? "" : "; FAILED: ",
                  row.error.c_str());
      std::fflush(stdout);
    }
    if (!o.peers.empty() && c.chunks == 0 && seconds > 0)
      Write_Peer_Case(o.peers, c, m, log_p.get(), seconds);
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  const Options o = Parse(argc, argv);
  if (bench::No_Device()) return bench::kNoDevice;
  try {
    if (o.sanitize) return bench::Check_Small_Problems() == 0 ? 0 : 1;
    if (o.profile) return Profile(o);
    return Benchmark(o);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "velmora_log_bench: %s\n", e.what());
    return 1;
  }
}
