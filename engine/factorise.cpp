// Host side of the evaluator: priors checked, covariances factored, in
// parallel across clusters.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "host_panels.h"
#include "log_mixture.h"
#include "parallel.h"

namespace velmora_log {

namespace {

constexpr double kLog2Pi = 1.8378770664093454835606594728112;

using host::Load_Quad;
using host::Quad;
using host::Store_Quad;

std::string Cluster(std::int64_t k) { return "cluster " + std::to_string(k + 1); }

// Rows r .. r + 4 and columns c .. c + 8 of a row-major matrix (stride ld),
// less sum over l in [l0, l1) of A(row, l) B(l, col), one product at a
// time in the order of l: 4 x 8 running differences in registers.
void Subtract_Products(double *out, std::int64_t ld, const double *A, const double *B,
                       std::int64_t l0, std::int64_t l1) {
  Quad acc[4][2];
  for (int r = 0; r < 4; ++r) {
    acc[r][0] = Load_Quad(out + r * ld);
    acc[r][1] = Load_Quad(out + r * ld + 4);
  }
  for (std::int64_t l = l0; l < l1; ++l) {
    const Quad b0 = Load_Quad(B + l * ld), b1 = Load_Quad(B + l * ld + 4);
    for (int r = 0; r < 4; ++r) {
      const double a = A[r * ld + l];
      acc[r][0] -= a * b0;
      acc[r][1] -= a * b1;
    }
  }
  for (int r = 0; r < 4; ++r) {
    Store_Quad(out + r * ld, acc[r][0]);
    Store_Quad(out + r * ld + 4, acc[r][1]);
  }
}

// entry(i, c) for every i >= c of a dim x dim lower triangle, eight by
// eight, so that a copy between column-major and row-major storage keeps
// both sides in cache.
template <typename Entry>
void Lower_Tiles(std::int64_t dim, Entry entry) {
  for (std::int64_t c0 = 0; c0 < dim; c0 += 8)
    for (std::int64_t i0 = c0; i0 < dim; i0 += 8)
      for (std::int64_t c = c0; c < std::min(dim, c0 + 8); ++c)
        for (std::int64_t i = std::max(i0, c); i < std::min(dim, i0 + 8); ++i) entry(i, c);
}

// The lower triangle of the column-major dim x dim `sigma` into the rows of
// `a` (row-major, stride ld).
void Lower_Rows(const double *sigma, std::int64_t dim, std::int64_t ld, double *a) {
  Lower_Tiles(dim, [&](std::int64_t i, std::int64_t c) { a[i * ld + c] = sigma[i + c * dim]; });
}

// Writes W = L^-1's lower triangle into w (dim x dim, column-major, zero),
// for Sigma = L L^T whose lower triangle `a` holds by rows (Lower_Rows; a
// and t are ld x ld, zero past the triangle). Returns the log-determinant,
// or NaN when Sigma is not positive definite.
//
// Each entry is formed by the textbook recurrences, one product subtracted
// at a time in the order of l:
//   L(i,j) = (Sigma(i,j) - L(i,0) L(j,0) - ... - L(i,j-1) L(j,j-1)) / L(j,j),
//   W(i,c) = (0 - L(i,c) W(c,c) - ... - L(i,i-1) W(i-1,c)) / L(i,i),
// so W's bits are those of the plain loops. The work is ordered for the
// registers: the products of finished columns (rows) leave blocks of 4
// rows by 8 columns at once, and only those within a block are taken one
// column (row) at a time. Products with W's zeros above its diagonal
// change nothing (the running difference is never -0), so the blocks may
// cover them. L is built in a and its transpose in t, then W by rows in t.
double Whiten_Full(std::int64_t dim, std::int64_t ld, double *a, double *t, double *w) {
  double log_det = 0.0;
  for (std::int64_t j0 = 0; j0 < dim; j0 += 8) {
    const std::int64_t j1 = std::min(dim, j0 + 8);
    // Columns j0 .. j1 of the rows below, less the finished columns'
    // products (the rows past j1 too: their entries left of their diagonal
    // are needed, those right of it are never read).
    for (std::int64_t i = j0; i < dim; i += 4)
      Subtract_Products(a + i * ld + j0, ld, a + i * ld, t + j0, 0, j0);
    // The block's columns themselves, one after another, in t's rows
    // (along memory): column j divided by its diagonal, then its products
    // leave the block's later columns.
    for (std::int64_t i = j0; i < dim; ++i)
      for (std::int64_t c = j0; c < std::min(j1, i + 1); ++c) t[c * ld + i] = a[i * ld + c];
    for (std::int64_t j = j0; j < j1; ++j) {
      double *column = t + j * ld;
      const double s = column[j];
      if (!(s > 0.0) || !std::isfinite(s)) return std::numeric_limits<double>::quiet_NaN();
      const double d = std::sqrt(s);
      column[j] = d;
      log_det += 2.0 * std::log(d);
      for (std::int64_t i = j + 1; i < dim; ++i) column[i] /= d;
      for (std::int64_t c = j + 1; c < j1; ++c) {
        double *later = t + c * ld;
        const double l = column[c];
        for (std::int64_t i = c; i < dim; ++i) later[i] -= column[i] * l;
      }
    }
    for (std::int64_t i = j0; i < dim; ++i)
      for (std::int64_t c = j0; c < std::min(j1, i + 1); ++c) a[i * ld + c] = t[c * ld + i];
  }
  // W's rows start from 0, above the diagonal too.
  double *const r = t;
  std::fill(r, r + ld * ld, 0.0);
  for (std::int64_t i0 = 0; i0 < dim; i0 += 4) {
    // Rows i0 .. i0 + 4 of W less the finished rows' products.
    for (std::int64_t c0 = 0; c0 < i0; c0 += 8)
      Subtract_Products(r + i0 * ld + c0, ld, a + i0 * ld, r + c0, c0, i0);
    for (std::int64_t i = i0; i < std::min(dim, i0 + 4); ++i) {
      double *row = r + i * ld;
      const double *l_row = a + i * ld;
      for (std::int64_t l = i0; l < i; ++l) {
        const double *from = r + l * ld;
        const double v = l_row[l];
        for (std::int64_t c = 0; c <= l; ++c) row[c] -= v * from[c];
      }
      for (std::int64_t c = 0; c < i; ++c) row[c] /= l_row[i];
      row[i] = 1.0 / l_row[i];
    }
  }
  Lower_Tiles(dim, [&](std::int64_t i, std::int64_t c) { w[i + c * dim] = r[i * ld + c]; });
  return log_det;
}

// Relative asymmetry a full covariance may have: rounding in whatever
// formed it, not a different matrix above the diagonal.
constexpr double kSymmetry = 1e-10;

// 1 + the index of the first non-finite entry of the block, or 0.
std::int64_t First_Non_Finite(const double *sigma, std::int64_t dim) {
  for (std::int64_t e = 0; e < dim * dim; ++e)
    if (!std::isfinite(sigma[e])) return e + 1;
  return 0;
}

// 1 + the column-major index of the first entry below the diagonal that
// differs from its mirror by more than rounding, or 0; `a` holds the lower
// triangle by rows (Lower_Rows), so that both sides are read along memory.
std::int64_t First_Asymmetric(const double *sigma, std::int64_t dim, const double *a,
                              std::int64_t ld) {
  // Each root apart: their product may overflow or underflow.
  std::vector<double> root(static_cast<size_t>(dim));
  for (std::int64_t i = 0; i < dim; ++i) root[i] = std::sqrt(std::fabs(sigma[i + i * dim]));
  std::int64_t first = 0;
  for (std::int64_t r = 1; r < dim; ++r)
    for (std::int64_t c = 0; c < r; ++c) {
      const double below = a[r * ld + c], above = sigma[c + r * dim];
      if (std::fabs(below - above) > kSymmetry * (root[r] * root[c])) {
        const std::int64_t at = r + c * dim + 1;
        if (first == 0 || at < first) first = at;
        break;  // the row's first is its least
      }
    }
  return first;
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
  // A thread for every 6.4e6 dim^3 or so: some 140 us of the blocked
  // factorisation's work (about 1.5e10 products a second a core), which
  // outweighs a thread's start; 16 clusters of dim 32 stay on one.
  const double work = full ? static_cast<double>(dim) * dim * dim / 32 : static_cast<double>(dim);
  Parallel_For(K, work, [&](std::int64_t k) {
    double log_det = 0.0;
    if (full) {
      const double *sigma = p.Sigma + k * dim * dim;
      if ((bad[k] = First_Non_Finite(sigma, dim)) != 0) {
        fault[k] = kNonFinite;
        return;
      }
      // L and its transpose (then W) by rows, padded to whole blocks; not
      // kept: a session should not hold dim^2 doubles after a call.
      const std::int64_t ld = (dim + 7) / 8 * 8;
      std::vector<double> scratch(static_cast<size_t>(2 * ld * ld));
      double *a = scratch.data(), *t = a + ld * ld;
      Lower_Rows(sigma, dim, ld, a);
      if ((bad[k] = First_Asymmetric(sigma, dim, a, ld)) != 0) {
        fault[k] = kAsymmetric;
        return;
      }
      log_det = Whiten_Full(dim, ld, a, t, f.whitening.data() + k * dim * dim);  // empty at dim 0
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
