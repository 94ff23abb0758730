// Host side of the evaluator: priors checked, covariances factored, in
// parallel across clusters.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "log_mixture.h"

namespace velmora_log {

namespace {

constexpr double kLog2Pi = 1.8378770664093454835606594728112;

// Runs body(k) for k in [0, count) on up to the host's cores; each thread
// takes a contiguous range, so a cluster's arithmetic does not depend on the
// number of threads. Small jobs stay on the calling thread.
template <typename Body>
void Parallel_For(std::int64_t count, double work_per_item, Body body) {
  const std::int64_t cores = std::max(1u, std::thread::hardware_concurrency());
  const std::int64_t by_work = static_cast<std::int64_t>(count * work_per_item / 2e5) + 1;
  const std::int64_t threads = std::min({cores, count, by_work});
  if (threads <= 1) {
    for (std::int64_t k = 0; k < count; ++k) body(k);
    return;
  }
  std::vector<std::thread> pool;
  for (std::int64_t t = 0; t < threads; ++t)
    pool.emplace_back([=] {
      for (std::int64_t k = count * t / threads; k < count * (t + 1) / threads; ++k) body(k);
    });
  for (std::thread &thread : pool) thread.join();
}

std::string Cluster(std::int64_t k) { return "cluster " + std::to_string(k + 1); }

// A value as MATLAB users read it.
std::string Number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Inf" : "-Inf";
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

// Writes W = L^-1, lower triangular, for Sigma = L L^T read from the lower
// triangle of `sigma`; rows of W go to columns of `wt` (dim x dim, W^T).
// Returns the log-determinant, or NaN when Sigma is not positive definite.
double Whiten_Full(const double *sigma, std::int64_t dim, double *wt, std::vector<double> &L) {
  L.assign(static_cast<size_t>(dim * dim), 0.0);
  const auto at = [dim](std::int64_t r, std::int64_t c) { return r + c * dim; };
  double log_det = 0.0;
  for (std::int64_t j = 0; j < dim; ++j) {
    double s = sigma[at(j, j)];
    for (std::int64_t l = 0; l < j; ++l) s -= L[at(j, l)] * L[at(j, l)];
    if (!(s > 0.0) || !std::isfinite(s)) return std::numeric_limits<double>::quiet_NaN();
    const double d = std::sqrt(s);
    L[at(j, j)] = d;
    log_det += 2.0 * std::log(d);
    for (std::int64_t i = j + 1; i < dim; ++i) {
      double v = sigma[at(i, j)];
      for (std::int64_t l = 0; l < j; ++l) v -= L[at(i, l)] * L[at(j, l)];
      L[at(i, j)] = v / d;
    }
  }
  // Column c of W by forward substitution; W(i, c) is stored at wt(c, i).
  std::fill(wt, wt + dim * dim, 0.0);
  for (std::int64_t c = 0; c < dim; ++c) {
    wt[at(c, c)] = 1.0 / L[at(c, c)];
    for (std::int64_t i = c + 1; i < dim; ++i) {
      double v = 0.0;
      for (std::int64_t l = c; l < i; ++l) v -= L[at(i, l)] * wt[at(c, l)];
      wt[at(c, i)] = v / L[at(i, i)];
    }
  }
  return log_det;
}

}  // namespace

Factors Factorise(const Problem &p) {
  const std::int64_t dim = p.dim, K = p.num_clust;
  for (std::int64_t k = 0; k < K; ++k)
    if (!(p.Pi[k] >= 0.0) || !std::isfinite(p.Pi[k]))
      throw Error("Velmora:priors", "Pi(" + std::to_string(k + 1) + ") is " + Number(p.Pi[k]) +
                                        ": every prior must be finite and not negative.");
  Factors f;
  f.log_weight.resize(static_cast<size_t>(K));
  const bool full = p.mode == Mode::full;
  f.whitening.resize(static_cast<size_t>(full ? dim * dim * K : dim * K));
  // Per cluster: 0 when fine, else 1 + the offending index within it.
  std::vector<std::int64_t> bad(static_cast<size_t>(K), 0);
  const double work = full ? static_cast<double>(dim) * dim * dim : static_cast<double>(dim);
  Parallel_For(K, work, [&](std::int64_t k) {
    double log_det = 0.0;
    if (full) {
      thread_local std::vector<double> L;
      log_det = Whiten_Full(p.Sigma + k * dim * dim, dim, &f.whitening[k * dim * dim], L);
      if (std::isnan(log_det)) bad[k] = 1;
    } else {
      for (std::int64_t i = 0; i < dim && bad[k] == 0; ++i) {
        const double v = p.Sigma[k * dim + i];
        if (!(v > 0.0) || !std::isfinite(v)) bad[k] = 1 + i;
        f.whitening[k * dim + i] = 1.0 / v;
        log_det += std::log(v);
      }
    }
    f.log_weight[k] = std::log(p.Pi[k]) - 0.5 * log_det - 0.5 * static_cast<double>(dim) * kLog2Pi;
  });
  const auto first = std::find_if(bad.begin(), bad.end(), [](std::int64_t b) { return b != 0; });
  if (first != bad.end()) {
    const std::int64_t k = first - bad.begin();
    if (full)
      throw Error("Velmora:covariance",
                  "The covariance of " + Cluster(k) +
                      " is not positive definite (or holds NaN or Inf): its Cholesky "
                      "factorisation failed.");
    const std::int64_t i = *first - 1;
    throw Error("Velmora:covariance",
                "Sigma(" + std::to_string(i + 1) + "," + std::to_string(k + 1) + "), variance " +
                    std::to_string(i + 1) + " of " + Cluster(k) + ", is " +
                    Number(p.Sigma[k * dim + i]) +
                    ": every variance must be positive and finite.");
  }
  return f;
}

}  // namespace velmora_log
