#include "log_bench_check.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "common/mixture_fixture.h"
#include "log_mixture.h"

namespace bench {

namespace {

struct Log_Result {
  std::vector<double> log_p, R;
};

// In long double, each cluster's centre subtracted first (the fixture's
// distances), then log-sum-exp over the clusters.
Log_Result Reference(const Mixture &m) {
  const long double log_2pi = std::log(2.0L * 3.141592653589793238462643383279502884L);
  const int K = m.num_clust;
  std::vector<long double> v(static_cast<size_t>(K) * m.num_data);
  for (int k = 0; k < K; ++k) {
    long double log_det = 0;
    const std::vector<long double> q = Reference_Distances(m, k, &log_det);
    for (int j = 0; j < m.num_data; ++j)
      v[static_cast<size_t>(j) * K + k] = std::log(static_cast<long double>(m.Pi[k])) -
                                           0.5L * (log_det + m.dim * log_2pi + q[j]);
  }
  Log_Result r{std::vector<double>(m.num_data), std::vector<double>(v.size())};
  for (int j = 0; j < m.num_data; ++j) {
    const long double *t = &v[static_cast<size_t>(j) * K];
    const long double top = *std::max_element(t, t + K);
    long double s = 0;
    for (int k = 0; k < K; ++k) s += std::exp(t[k] - top);
    const long double log_p = top + std::log(s);
    r.log_p[j] = static_cast<double>(log_p);
    for (int k = 0; k < K; ++k)
      r.R[static_cast<size_t>(j) * K + k] = static_cast<double>(std::exp(t[k] - log_p));
  }
  return r;
}

// Outputs start as NaN, so that an entry no kernel wrote fails the check.
Log_Result Evaluate(velmora_log::Evaluator &e, const Mixture &m, std::int64_t max_chunk) {
  const velmora_log::Problem p{m.dim, m.num_data, m.num_clust,
                               m.diagonal ? velmora_log::Mode::diagonal : velmora_log::Mode::full,
                               m.X.data(), m.Mu.data(), m.Sigma.data(), m.Pi.data()};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Log_Result r{std::vector<double>(m.num_data, nan),
               std::vector<double>(static_cast<size_t>(m.num_data) * m.num_clust, nan)};
  e.Evaluate(p, velmora_log::Factorise(p), {r.log_p.data(), r.R.data()}, {max_chunk});
  return r;
}

bool Same_Bits(const std::vector<double> &a, const std::vector<double> &b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

void Keep_Worst(double e, double *worst) {
  if (!(e <= *worst)) *worst = std::isnan(e) ? HUGE_VAL : e;
}

// Largest error of logP relative to max(1, |logP|), and of R absolute; NaN
// counts as infinite.
void Errors(const Log_Result &want, const Log_Result &got, double *log_p, double *R) {
  *log_p = *R = 0;
  for (size_t j = 0; j < want.log_p.size(); ++j)
    Keep_Worst(std::fabs(got.log_p[j] - want.log_p[j]) / std::max(1.0, std::fabs(want.log_p[j])),
               log_p);
  for (size_t i = 0; i < want.R.size(); ++i) Keep_Worst(std::fabs(got.R[i] - want.R[i]), R);
}

struct Small_Problem {
  const char *what;
  int dim, num_data, num_clust;
  bool diagonal;
};

// Sizes that are multiples of nothing, so that every tile and chunk has a
// ragged edge.
constexpr Small_Problem kProblems[] = {
    {"full, dim 17", 17, 3001, 5, false},
    {"diagonal, dim 70", 70, 2003, 9, true},
    {"full, dim 64", 64, 1501, 3, false},
};

// The device's results may differ from long double by a few ulps of exp
// and log; an index or barrier fault is off by far more.
constexpr double kTolerance = 1e-11;

}  // namespace

int Check_Small_Problems() {
  velmora_log::Evaluator evaluator;
  int failures = 0;
  for (const Small_Problem &c : kProblems) {
    const Mixture m = Make_Mixture(c.dim, c.num_data, c.num_clust, c.diagonal, 7000 + c.dim);
    const Log_Result want = Reference(m), whole = Evaluate(evaluator, m, 0);
    // At least four chunks, the last one short.
    const std::int64_t max_chunk = c.num_data / 4 + 1;
    const Log_Result chunked = Evaluate(evaluator, m, max_chunk);
    const std::int64_t chunk = evaluator.last_chunk();
    double log_p_error, r_error, chunked_log_p_error, chunked_r_error;
    Errors(want, whole, &log_p_error, &r_error);
    Errors(want, chunked, &chunked_log_p_error, &chunked_r_error);
    const double worst = std::max({log_p_error, r_error, chunked_log_p_error, chunked_r_error});
    const bool accurate = worst <= kTolerance, chunked_ok = chunk > 0 && chunk <= max_chunk;
    // Told, not failed: the bit-for-bit promise across chunks is the
    // evaluator's tests' to hold; here the sanitizer's cases must be right.
    const bool same = Same_Bits(whole.log_p, chunked.log_p) && Same_Bits(whole.R, chunked.R);
    std::printf("%-17s N %d, K %d, with R, in one chunk and in chunks of %lld: largest error "
                "%.2g (at most %.0e) %s; the two %s%s\n",
                c.what, c.num_data, c.num_clust, static_cast<long long>(chunk), worst, kTolerance,
                accurate ? "ok" : "FAILED", same ? "bit for bit the same" : "differ in bits",
                chunked_ok ? "" : " (FAILED: the chunk limit was not kept)");
    failures += !accurate + !chunked_ok;
  }
  return failures;
}

}  // namespace bench
