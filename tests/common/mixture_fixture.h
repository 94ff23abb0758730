// Random mixtures and an independent long double reference of their
// densities, for the tests of the distance, the evaluation and the call.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/device_buffer.h"
#include "host/test_host.h"

struct Mixture {
  int dim = 0, num_data = 0, num_clust = 0;
  bool diagonal = true;
  std::vector<double> X, Mu, Sigma, Pi;  // Sigma: dim x num_clust or dim x dim*num_clust
};

inline Mixture Make_Mixture(int dim, int num_data, int num_clust, bool diagonal, unsigned seed) {
  Mixture m;
  m.dim = dim;
  m.num_data = num_data;
  m.num_clust = num_clust;
  m.diagonal = diagonal;
  m.Mu = Random_Values(static_cast<size_t>(dim) * num_clust, seed, -1.0, 1.0);
  m.X = Random_Values(static_cast<size_t>(dim) * num_data, seed + 1, -1.5, 1.5);
  m.Pi = Random_Values(num_clust, seed + 2, 0.1, 1.0);
  if (diagonal) {
    m.Sigma = Random_Values(static_cast<size_t>(dim) * num_clust, seed + 3, 0.3, 2.0);
  } else {
    // B B^T / dim + 0.5 I: well conditioned whatever the dimension.
    m.Sigma.assign(static_cast<size_t>(dim) * dim * num_clust, 0.0);
    for (int k = 0; k < num_clust; ++k) {
      const std::vector<double> b =
          Random_Values(static_cast<size_t>(dim) * dim, seed + 10 + k, -1.0, 1.0);
      double *s = m.Sigma.data() + static_cast<size_t>(k) * dim * dim;
      for (int r = 0; r < dim; ++r)
        for (int c = 0; c < dim; ++c) {
          long double acc = 0;
          for (int t = 0; t < dim; ++t)
            acc += static_cast<long double>(b[r + t * dim]) * b[c + t * dim];
          s[r + c * dim] = static_cast<double>(acc / dim) + (r == c ? 0.5 : 0.0);
        }
    }
  }
  return m;
}

// Points `far` from K clusters alike: the centre 0, the identity
// covariance and one prior for all; each point's posteriors are 1/K.
inline Mixture Far_From_Alike_Clusters(int dim, int num_data, int num_clust, bool diagonal,
                                       double far, unsigned seed) {
  Mixture m = Make_Mixture(dim, num_data, num_clust, diagonal, seed);
  std::fill(m.Mu.begin(), m.Mu.end(), 0.0);
  std::fill(m.Pi.begin(), m.Pi.end(), 1.0);
  for (size_t e = 0; e < m.Sigma.size(); ++e)
    m.Sigma[e] = diagonal || e % (static_cast<size_t>(dim) * dim) % (dim + 1) == 0 ? 1.0 : 0.0;
  for (double &x : m.X) x += far;
  return m;
}

// Squared distances of every point to cluster k, in long double.
inline std::vector<long double> Reference_Distances(const Mixture &m, int k,
                                                    long double *log_det) {
  const int d = m.dim;
  std::vector<long double> inv(static_cast<size_t>(d) * d, 0.0L);
  *log_det = 0;
  if (m.diagonal) {
    for (int i = 0; i < d; ++i) {
      const long double v = m.Sigma[static_cast<size_t>(k) * d + i];
      inv[i + i * d] = 1.0L / v;
      *log_det += std::log(v);
    }
  } else {
    // Gauss-Jordan with the determinant from the pivots.
    std::vector<long double> a(m.Sigma.begin() + static_cast<long>(k) * d * d,
                               m.Sigma.begin() + static_cast<long>(k + 1) * d * d);
    for (int i = 0; i < d; ++i) inv[i + i * d] = 1.0L;
    for (int p = 0; p < d; ++p) {
      const long double piv = a[p + p * d];
      *log_det += std::log(piv);
      for (int c = 0; c < d; ++c) {
        a[p + c * d] /= piv;
        inv[p + c * d] /= piv;
      }
      for (int r = 0; r < d; ++r) {
        if (r == p) continue;
        const long double f = a[r + p * d];
        for (int c = 0; c < d; ++c) {
          a[r + c * d] -= f * a[p + c * d];
          inv[r + c * d] -= f * inv[p + c * d];
        }
      }
    }
  }
  std::vector<long double> out(m.num_data);
  std::vector<long double> diff(d);
  for (int j = 0; j < m.num_data; ++j) {
    for (int i = 0; i < d; ++i)
      diff[i] = static_cast<long double>(m.X[static_cast<size_t>(j) * d + i]) -
                m.Mu[static_cast<size_t>(k) * d + i];
    long double q = 0;
    for (int r = 0; r < d; ++r)
      for (int c = 0; c < d; ++c) q += diff[r] * inv[r + c * d] * diff[c];
    out[j] = q;
  }
  return out;
}

inline std::vector<double> Reference_Densities(const Mixture &m) {
  std::vector<long double> p(m.num_data, 0.0L);
  const long double log_2pi = std::log(2.0L * 3.141592653589793238462643383279502884L);
  for (int k = 0; k < m.num_clust; ++k) {
    long double log_det = 0;
    const std::vector<long double> dist = Reference_Distances(m, k, &log_det);
    for (int j = 0; j < m.num_data; ++j)
      p[j] += m.Pi[k] * std::exp(-0.5L * log_det - 0.5L * m.dim * log_2pi - 0.5L * dist[j]);
  }
  return std::vector<double>(p.begin(), p.end());
}

inline double Largest_Relative_Error(const std::vector<double> &expected,
                                     const std::vector<double> &actual) {
  double worst = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    const double e = std::fabs(actual[i] - expected[i]) / std::fabs(expected[i]);
    if (!(e <= worst)) worst = e;  // NaN counts as the worst
  }
  return worst;
}

// The four MATLAB arguments of a mixture; full covariances side by side, or
// stacked as dim x dim x num_clust.
struct Mixture_Arguments {
  explicit Mixture_Arguments(const Mixture &m, bool stacked = false)
      : x(test_host::make_matrix(m.dim, m.num_data, m.X)),
        mu(test_host::make_matrix(m.dim, m.num_clust, m.Mu)),
        sigma(m.diagonal ? test_host::make_matrix(m.dim, m.num_clust, m.Sigma)
              : stacked  ? test_host::make_array({static_cast<mwSize>(m.dim),
                                                  static_cast<mwSize>(m.dim),
                                                  static_cast<mwSize>(m.num_clust)},
                                                 m.Sigma)
                         : test_host::make_matrix(m.dim, m.dim * m.num_clust, m.Sigma)),
        pi(test_host::make_matrix(1, m.num_clust, m.Pi)) {}
  std::vector<const mxArray *> all() const { return {x.get(), mu.get(), sigma.get(), pi.get()}; }
  test_host::Array x, mu, sigma, pi;
};
