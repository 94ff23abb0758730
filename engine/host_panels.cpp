// The host engine's panels: loading, log terms, log-sum-exp.
#include "host_panels.h"
#include "host_lanes.h"
#include "host_whiten.h"
#include "host_wide.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "host_exp.h"
#include "parallel.h"

namespace velmora_log::host {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// A positive whole number from the environment, or 0.
Index From_Environment(const char *name) {
  const char *text = std::getenv(name);
  if (text == nullptr || *text == '\0') return 0;
  char *end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  return *end == '\0' && v > 0 ? std::min<long long>(v, 1024) : 0;
}

}  // namespace

Index Threads() {
  for (const char *name : {"OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS"})
    if (const Index v = From_Environment(name)) return v;
  return Host_Cores();
}

void Panel_Work::Reserve(Index dim, Index K) {
  x.resize(static_cast<size_t>(dim * kPanel));
  d.resize(static_cast<size_t>(dim * kWhitenedAtOnce));
  terms.resize(static_cast<size_t>(std::max<Index>(K, 1) * kPanel));
  for (std::vector<double> *v : {&top, &sum, &log_p}) v->resize(static_cast<size_t>(kPanel));
}

void Load_Panel(const double *X, Index point_stride, Index coord_stride, Index dim, Index first,
                Index count, Panel_Work &w, bool narrow) {
  const Index width = narrow ? (count + kBlock - 1) / kBlock * kBlock : kPanel;
  w.width = width;
  double *x = w.x.data();
  if (point_stride == 1) {
    for (Index i = 0; i < dim; ++i) {
      const double *from = X + first + i * coord_stride;
      std::copy(from, from + count, x + i * kPanel);
      std::fill(x + i * kPanel + count, x + i * kPanel + width, 0.0);
    }
    return;
  }
  // Points as columns: a transpose, four points by four coordinates in
  // registers where their coordinates lie side by side, and the rest a few
  // points at a time so that their columns stay in cache while every row is
  // written.
  Index done = 0;
  if (coord_stride == 1) {
    typedef long long Lane_Picks __attribute__((vector_size(4 * sizeof(long long))));
    const Lane_Picks even = {0, 4, 2, 6}, odd = {1, 5, 3, 7}, low = {0, 1, 4, 5},
                     high = {2, 3, 6, 7};
    for (; done + 4 <= count; done += 4) {
      const double *from = X + (first + done) * point_stride;
      Index i = 0;
      for (; i + 4 <= dim; i += 4) {
        const Quad a = Load_Quad(from + i), b = Load_Quad(from + point_stride + i),
                   c = Load_Quad(from + 2 * point_stride + i),
                   d = Load_Quad(from + 3 * point_stride + i);
        const Quad ab0 = __builtin_shuffle(a, b, even), ab1 = __builtin_shuffle(a, b, odd),
                   cd0 = __builtin_shuffle(c, d, even), cd1 = __builtin_shuffle(c, d, odd);
        Store_Quad(x + i * kPanel + done, __builtin_shuffle(ab0, cd0, low));
        Store_Quad(x + (i + 1) * kPanel + done, __builtin_shuffle(ab1, cd1, low));
        Store_Quad(x + (i + 2) * kPanel + done, __builtin_shuffle(ab0, cd0, high));
        Store_Quad(x + (i + 3) * kPanel + done, __builtin_shuffle(ab1, cd1, high));
      }
      for (; i < dim; ++i)
        for (Index p = done; p < done + 4; ++p) x[i * kPanel + p] = X[(first + p) * point_stride + i];
    }
  }
  constexpr Index kColumns = 8;
  for (Index p0 = done; p0 < count; p0 += kColumns) {
    const Index p1 = std::min(count, p0 + kColumns);
    for (Index i = 0; i < dim; ++i)
      for (Index p = p0; p < p1; ++p)
        x[i * kPanel + p] = X[(first + p) * point_stride + i * coord_stride];
  }
  if (count < width)
    for (Index i = 0; i < dim; ++i) std::fill(x + i * kPanel + count, x + i * kPanel + width, 0.0);
}

namespace {

// Diagonal mode's squared whitened distances of the panel's points from
// clusters k0 .. k0 + B: eight points at a time, their B x 2 sums held in
// registers while the coordinates stream past, each point's sum formed
// coordinate by coordinate in order, so that its bits are those of one
// cluster at a time.
template <int B>
void Diagonal_Distances(const Panel_Mixture &m, Index k0, const double *x, Index width, double *q) {
  const Index dim = m.dim;
  const double *mu = m.mu + k0 * dim, *s = m.whitening + k0 * dim;
  for (Index p = 0; p < width; p += 8) {
    Quad lo[B] = {}, hi[B] = {};
    for (Index i = 0; i < dim; ++i) {
      const Quad a = Load_Quad(x + i * kPanel + p), b = Load_Quad(x + i * kPanel + p + 4);
      for (int c = 0; c < B; ++c) {
        const double centre = mu[c * dim + i], scale = s[c * dim + i];
        const Quad ya = (a - centre) * scale, yb = (b - centre) * scale;
        lo[c] = Fma(ya, ya, lo[c]);
        hi[c] = Fma(yb, yb, hi[c]);
      }
    }
    for (int c = 0; c < B; ++c) {
      Store_Quad(q + c * kPanel + p, lo[c]);
      Store_Quad(q + c * kPanel + p + 4, hi[c]);
    }
  }
}

// t[p] = log_w - q[p] / 2 over the panel, a NaN q (an overflow) as
// infinite; four at a time with a select, which the compiler left as a
// scalar loop with a branch.
void Terms_Of(const double *q, double log_w, Index width, double *t) {
  const Quad inf = {kInf, kInf, kInf, kInf};
  for (Index p = 0; p < width; p += 4) {
    const Quad v = Load_Quad(q + p);
    Store_Quad(t + p, log_w - 0.5 * (v != v ? inf : v));
  }
}

}  // namespace

void Full_Distances_Four(const double *W, const double *mu, Index dim, const double *x,
                         Index width, double *d, double *q) {
  Whiten_Panel<Four_Lanes>(W, mu, dim, x, width, d, q);
}

void Exp_Terms_Four(Index K, bool posteriors, Index width, double *terms, const double *top,
                    double *sum) {
  Exp_Terms<Four_Lanes>(K, posteriors, width, terms, top, sum);
}

bool Wide_Lanes() {
  // Asked here, in a file built without AVX-512, and once.
  static const bool wide = Wide_Built() && __builtin_cpu_supports("avx512f");
  return wide;
}

void Log_Terms(const Panel_Mixture &m, Panel_Work &w) {
  const Index dim = m.dim, width = w.width;
  const double *x = w.x.data();
  double *d = w.d.data();
  if (!m.full) {
    // The distances go straight into the terms' rows.
    double *q = w.terms.data();
    Index k = 0;
    for (; k + 4 <= m.K; k += 4) Diagonal_Distances<4>(m, k, x, width, q + k * kPanel);
    for (; k + 2 <= m.K; k += 2) Diagonal_Distances<2>(m, k, x, width, q + k * kPanel);
    for (; k < m.K; ++k) Diagonal_Distances<1>(m, k, x, width, q + k * kPanel);
    for (k = 0; k < m.K; ++k) {
      double *t = q + k * kPanel;
      const double log_w = m.log_w[k];
      Terms_Of(t, log_w, width, t);
    }
    return;
  }
  double *q = w.sum.data();
  const auto distances = Wide_Lanes() ? Full_Distances_Wide : Full_Distances_Four;
  for (Index k = 0; k < m.K; ++k) {
    distances(m.whitening + k * dim * dim, m.mu + k * dim, dim, x, width, d, q);
    double *t = w.terms.data() + k * kPanel;
    const double log_w = m.log_w[k];
    Terms_Of(q, log_w, width, t);
  }
}

void Log_Sum_Exp(Index K, bool posteriors, Panel_Work &w) {
  const Index width = w.width;
  double *top = w.top.data(), *sum = w.sum.data(), *log_p = w.log_p.data();
  std::fill(top, top + width, -kInf);
  std::fill(sum, sum + width, 0.0);
  for (Index k = 0; k < K; ++k) {
    const double *t = w.terms.data() + k * kPanel;
    for (Index p = 0; p < width; ++p) top[p] = t[p] > top[p] ? t[p] : top[p];
  }
  // Every term -inf leaves a NaN sum: NaN posteriors.
  (Wide_Lanes() ? Exp_Terms_Wide : Exp_Terms_Four)(K, posteriors, width, w.terms.data(), top, sum);
  for (Index p = 0; p < width; ++p) log_p[p] = top[p] == -kInf ? -kInf : top[p] + std::log(sum[p]);
  if (!posteriors) return;
  for (Index k = 0; k < K; ++k) {
    double *t = w.terms.data() + k * kPanel;
    for (Index p = 0; p < width; ++p) t[p] /= sum[p];
  }
}

double Lane_Dot(const double *a, const double *b) {
  Lanes acc = {};
  for (Index p = 0; p < kPanel; p += kLanes) acc += Load_Lanes(a + p) * Load_Lanes(b + p);
  return Fold(acc);
}

}  // namespace velmora_log::host
