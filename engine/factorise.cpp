// Host side of the evaluator: priors checked, covariances factored, in
// parallel across clusters.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "log_mixture.h"
#include "parallel.h"

namespace velmora_log {

namespace {

constexpr double kLog2Pi = 1.8378770664093454835606594728112;

std::string Cluster(std::int64_t k) { return "cluster " + std::to_string(k + 1); }


// Writes W = L^-1, lower triangular and column-major, for Sigma = L L^T
// read from the lower triangle of `sigma`. Returns the log-determinant, or
// NaN when Sigma is not positive definite.
//
// Both steps work on rows held contiguously (`a`, `r` row-major), so that
// their inner loops run along memory and vectorise; each entry is still
// formed by the textbook recurrences' subtractions in their order:
//   L(i,j) = (Sigma(i,j) - L(i,0) L(j,0) - ... - L(i,j-1) L(j,j-1)) / L(j,j),
//   W(i,c) = (0 - L(i,c) W(c,c) - ... - L(i,i-1) W(i-1,c)) / L(i,i),
// one product subtracted at a time, so W's bits are those of the plain
// loops, whatever the vector width.
double Whiten_Full(const double *sigma, std::int64_t dim, double *w, std::vector<double> &a) {
  const auto n = static_cast<size_t>(dim);
  a.assign(2 * n * n + n, 0.0);
  double *const r = a.data() + n * n, *const column = r + n * n;
  for (std::int64_t i = 0; i < dim; ++i)
    for (std::int64_t c = 0; c <= i; ++c) a[i * dim + c] = sigma[i + c * dim];
  // Right-looking: once column j is final, its products leave every later
  // entry of the lower triangle, in the order of j.
  double log_det = 0.0;
  for (std::int64_t j = 0; j < dim; ++j) {
    const double s = a[j * dim + j];
    if (!(s > 0.0) || !std::isfinite(s)) return std::numeric_limits<double>::quiet_NaN();
    const double d = std::sqrt(s);
    a[j * dim + j] = d;
    log_det += 2.0 * std::log(d);
    for (std::int64_t i = j + 1; i < dim; ++i) column[i] = a[i * dim + j] /= d;
    for (std::int64_t i = j + 1; i < dim; ++i) {
      double *row = a.data() + i * dim;
      const double l = column[i];
      for (std::int64_t c = j + 1; c <= i; ++c) row[c] -= l * column[c];
    }
  }
  // Row i of W from rows 0 .. i-1: row l's products leave it in the order
  // of l.
  for (std::int64_t i = 0; i < dim; ++i) {
    double *row = r + i * dim;
    const double *l_row = a.data() + i * dim;
    for (std::int64_t l = 0; l < i; ++l) {
      const double *from = r + l * dim;
      const double v = l_row[l];
      for (std::int64_t c = 0; c <= l; ++c) row[c] -= v * from[c];
    }
    for (std::int64_t c = 0; c < i; ++c) row[c] /= l_row[i];
    row[i] = 1.0 / l_row[i];
  }
  std::fill(w, w + dim * dim, 0.0);
  for (std::int64_t c = 0; c < dim; ++c)
    for (std::int64_t i = c; i < dim; ++i) w[i + c * dim] = r[i * dim + c];
  return log_det;
}

// Relative asymmetry a full covariance may have: rounding in whatever
// formed it, not a different matrix above the diagonal.
constexpr double kSymmetry = 1e-10;

// 0 when the block holds only finite numbers and is symmetric; else 1 + the
// column-major index of the first offending entry, and whether it is
// non-finite.
std::int64_t Check_Full(const double *sigma, std::int64_t dim, bool *non_finite) {
  for (std::int64_t e = 0; e < dim * dim; ++e)
    if (!std::isfinite(sigma[e])) {
      *non_finite = true;
      return e + 1;
    }
  for (std::int64_t c = 0; c < dim; ++c)
    for (std::int64_t r = c + 1; r < dim; ++r) {
      const double a = sigma[r + c * dim], b = sigma[c + r * dim];
      // Each root apart: their product may overflow or underflow.
      const double scale =
          std::sqrt(std::fabs(sigma[r + r * dim])) * std::sqrt(std::fabs(sigma[c + c * dim]));
      if (std::fabs(a - b) > kSymmetry * scale) return r + c * dim + 1;
    }
  return 0;
}

}  // namespace

std::string Number(double v, int digits) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Inf" : "-Inf";
  char text[40];
  std::snprintf(text, sizeof text, "%.*g", digits, v);
  return text;
}

Factors Factorise(const Problem &p) {
  const std::int64_t dim = p.dim, K = p.num_clust;
  for (std::int64_t k = 0; k < K; ++k)
    if (!(p.Pi[k] >= 0.0) || !std::isfinite(p.Pi[k]))
      throw Error("Velmora:priors", "Pi(" + std::to_string(k + 1) + ") is " + Number(p.Pi[k]) +
                                        ": every prior must be finite and not negative.");
  if (K > 0 && std::all_of(p.Pi, p.Pi + K, [](double v) { return v == 0.0; }))
    throw Error("Velmora:priors", "Every prior is 0: at least one must be positive.");
  for (std::int64_t e = 0; e < dim * K; ++e)
    if (!std::isfinite(p.Mu[e]))
      throw Error("Velmora:means", "Mu(" + std::to_string(e % dim + 1) + "," +
                                       std::to_string(e / dim + 1) + "), the centre of " +
                                       Cluster(e / dim) + ", is " + Number(p.Mu[e]) +
                                       ": every coordinate of a centre must be finite.");
  Factors f;
  f.log_weight.resize(static_cast<size_t>(K));
  const bool full = p.mode == Mode::full;
  f.whitening.resize(static_cast<size_t>(full ? dim * dim * K : dim * K));
  // Per cluster: 0 when fine, else 1 + the offending index within it, and
  // for full covariances what is wrong there.
  enum Fault : char { kNone, kNonFinite, kAsymmetric, kNotDefinite };
  std::vector<std::int64_t> bad(static_cast<size_t>(K), 0);
  std::vector<Fault> fault(static_cast<size_t>(K), kNone);
  const double work = full ? static_cast<double>(dim) * dim * dim : static_cast<double>(dim);
  Parallel_For(K, work, [&](std::int64_t k) {
    double log_det = 0.0;
    if (full) {
      const double *sigma = p.Sigma + k * dim * dim;
      bool non_finite = false;
      bad[k] = Check_Full(sigma, dim, &non_finite);
      if (bad[k] != 0) {
        fault[k] = non_finite ? kNonFinite : kAsymmetric;
        return;
      }
      std::vector<double> scratch;  // not kept: a session should not hold dim^2 doubles after a call
      log_det = Whiten_Full(sigma, dim, f.whitening.data() + k * dim * dim, scratch);  // empty at dim 0
      if (std::isnan(log_det)) {
        bad[k] = 1;
        fault[k] = kNotDefinite;
      }
    } else {
      // Inverse standard deviations stay finite for every positive variance,
      // subnormal ones included.
      for (std::int64_t i = 0; i < dim && bad[k] == 0; ++i) {
        const double v = p.Sigma[k * dim + i];
        if (!(v > 0.0) || !std::isfinite(v)) bad[k] = 1 + i;
        f.whitening[k * dim + i] = 1.0 / std::sqrt(v);
        log_det += std::log(v);
      }
    }
    f.log_weight[k] = std::log(p.Pi[k]) - 0.5 * log_det - 0.5 * static_cast<double>(dim) * kLog2Pi;
  });
  const auto first = std::find_if(bad.begin(), bad.end(), [](std::int64_t b) { return b != 0; });
  if (first != bad.end()) {
    const std::int64_t k = first - bad.begin();
    if (full) {
      const std::int64_t e = *first - 1, r = e % dim, c = e / dim;
      const std::string at = "Sigma(" + std::to_string(r + 1) + "," + std::to_string(c + 1) +
                             "," + std::to_string(k + 1) + ")";
      if (fault[k] == kNonFinite)
        throw Error("Velmora:covariance", at + " in the covariance of " + Cluster(k) + " is " +
                                              Number(p.Sigma[k * dim * dim + e]) +
                                              ": a covariance must be finite.");
      if (fault[k] == kAsymmetric) {
        const double a = p.Sigma[k * dim * dim + e], b = p.Sigma[k * dim * dim + c + r * dim];
        int digits = 6;  // as few as tell the two apart
        while (digits < 17 && Number(a, digits) == Number(b, digits)) ++digits;
        throw Error("Velmora:covariance",
                    "The covariance of " + Cluster(k) + " is not symmetric: " + at + " is " +
                        Number(a, digits) + " but Sigma(" +
                        std::to_string(c + 1) + "," + std::to_string(r + 1) + "," +
                        std::to_string(k + 1) + ") is " +
                        Number(b, digits) + ".");
      }
      throw Error("Velmora:covariance",
                  "The covariance of " + Cluster(k) +
                      " is not positive definite: its Cholesky factorisation failed.");
    }
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
