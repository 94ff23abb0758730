// The host engine's panels: loading, log terms, log-sum-exp.
#include "host_panels.h"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "parallel.h"

extern "C" {
void openblas_set_num_threads(int);
int openblas_get_num_threads(void);
}

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

One_Blas_Thread::One_Blas_Thread() : saved_(openblas_get_num_threads()) {
  openblas_set_num_threads(1);
}

One_Blas_Thread::~One_Blas_Thread() { openblas_set_num_threads(saved_); }

void Panel_Work::Reserve(Index dim, Index K) {
  x.resize(static_cast<size_t>(dim * kPanel));
  d.resize(static_cast<size_t>(dim * kPanel));
  terms.resize(static_cast<size_t>(std::max<Index>(K, 1) * kPanel));
  for (std::vector<double> *v : {&top, &sum, &log_p}) v->resize(static_cast<size_t>(kPanel));
}

void Load_Panel(const double *X, Index point_stride, Index coord_stride, Index dim, Index first,
                Index count, Panel_Work &w) {
  double *x = w.x.data();
  if (point_stride == 1) {
    for (Index i = 0; i < dim; ++i) {
      const double *from = X + first + i * coord_stride;
      std::copy(from, from + count, x + i * kPanel);
      std::fill(x + i * kPanel + count, x + (i + 1) * kPanel, 0.0);
    }
    return;
  }
  // Points as columns: a transpose, a few points at a time so that their
  // columns stay in cache while every row is written.
  constexpr Index kBlock = 8;
  for (Index p0 = 0; p0 < count; p0 += kBlock) {
    const Index p1 = std::min(count, p0 + kBlock);
    for (Index i = 0; i < dim; ++i)
      for (Index p = p0; p < p1; ++p)
        x[i * kPanel + p] = X[(first + p) * point_stride + i * coord_stride];
  }
  if (count < kPanel)
    for (Index i = 0; i < dim; ++i) std::fill(x + i * kPanel + count, x + (i + 1) * kPanel, 0.0);
}

void Log_Terms(const Panel_Mixture &m, Panel_Work &w) {
  const Index dim = m.dim;
  const double *x = w.x.data();
  double *d = w.d.data(), *q = w.sum.data();
  for (Index k = 0; k < m.K; ++k) {
    std::fill(q, q + kPanel, 0.0);
    const double *mu = m.mu + k * dim;
    if (m.full) {
      for (Index i = 0; i < dim; ++i) {
        const double c = mu[i];
        for (Index p = 0; p < kPanel; ++p) d[i * kPanel + p] = x[i * kPanel + p] - c;
      }
      // Y' = D' W': row p of the panel is point p's whitened offset.
      cblas_dtrmm(CblasColMajor, CblasRight, CblasLower, CblasTrans, CblasNonUnit,
                  static_cast<int>(kPanel), static_cast<int>(dim), 1.0, m.whitening + k * dim * dim,
                  static_cast<int>(dim), d, static_cast<int>(kPanel));
      for (Index i = 0; i < dim; ++i)
        for (Index p = 0; p < kPanel; ++p) q[p] = std::fma(d[i * kPanel + p], d[i * kPanel + p], q[p]);
    } else {
      const double *s = m.whitening + k * dim;
      for (Index i = 0; i < dim; ++i) {
        const double c = mu[i], scale = s[i];
        for (Index p = 0; p < kPanel; ++p) {
          const double y = (x[i * kPanel + p] - c) * scale;
          q[p] = std::fma(y, y, q[p]);
        }
      }
    }
    double *t = w.terms.data() + k * kPanel;
    const double log_w = m.log_w[k];
    for (Index p = 0; p < kPanel; ++p) t[p] = log_w - 0.5 * (q[p] != q[p] ? kInf : q[p]);
  }
}

void Log_Sum_Exp(Index K, Panel_Work &w) {
  double *top = w.top.data(), *sum = w.sum.data(), *log_p = w.log_p.data();
  std::fill(top, top + kPanel, -kInf);
  std::fill(sum, sum + kPanel, 0.0);
  for (Index k = 0; k < K; ++k) {
    const double *t = w.terms.data() + k * kPanel;
    for (Index p = 0; p < kPanel; ++p) top[p] = t[p] > top[p] ? t[p] : top[p];
  }
  // Every term -inf leaves a NaN sum: NaN posteriors.
  for (Index k = 0; k < K; ++k) {
    double *t = w.terms.data() + k * kPanel;
    for (Index p = 0; p < kPanel; ++p) {
      t[p] = std::exp(t[p] - top[p]);
      sum[p] += t[p];
    }
  }
  for (Index p = 0; p < kPanel; ++p) log_p[p] = top[p] == -kInf ? -kInf : top[p] + std::log(sum[p]);
  for (Index k = 0; k < K; ++k) {
    double *t = w.terms.data() + k * kPanel;
    for (Index p = 0; p < kPanel; ++p) t[p] /= sum[p];
  }
}

double Lane_Dot(const double *a, const double *b) {
  Lanes acc = {};
  for (Index p = 0; p < kPanel; p += kLanes) acc += Load_Lanes(a + p) * Load_Lanes(b + p);
  return Fold(acc);
}

}  // namespace velmora_log::host
