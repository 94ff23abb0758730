#include "log_bench_check.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "common/log_reference.h"
#include "common/mixture_fixture.h"
#include "log_mixture.h"

namespace bench {

namespace {

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
// ragged edge. Full dim 100 takes the tensor kernel's second pass of rows
// past dim: its copies of W's rows there, and of the last block's points
// past the end, are predicated off and name addresses past the arrays,
// which memcheck must find never read. Diagonal dim 20 keeps the points
// resident, and its last block copies zeros for points past the end.
constexpr Small_Problem kProblems[] = {
    {"full, dim 17", 17, 3001, 5, false},
    {"diagonal, dim 20", 20, 1001, 5, true},
    {"diagonal, dim 70", 70, 2003, 9, true},
    {"full, dim 64", 64, 1501, 3, false},
    {"full, dim 100", 100, 1001, 3, false},
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
    const Log_Result want = Reference_Log(m), whole = Evaluate(m, {}, &evaluator);
    // At least four chunks, the last one short.
    const std::int64_t max_chunk = c.num_data / 4 + 1;
    const Log_Result chunked = Evaluate(m, {max_chunk}, &evaluator);
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
