// Clustered data and an independent EM in long double, for the fit's tests:
// the E-step by log-sum-exp over Cholesky-whitened distances, the M-step in
// two passes (means first, then covariances about them).
#pragma once

#include <cmath>
#include <random>
#include <vector>

// Points around K centres: label j % K, each cluster drawn as centre +
// spread * A_k z, with A_k lower triangular (unit diagonal; random below it
// when correlated).
struct Cluster_Data {
  int dim = 0, n = 0, K = 0;
  std::vector<double> X, centres;
};

inline Cluster_Data Make_Clusters(int dim, int n, int K, double separation, double spread,
                                  double offset, bool correlated, unsigned seed) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::normal_distribution<double> normal;
  Cluster_Data d{dim, n, K, std::vector<double>(static_cast<size_t>(dim) * n),
                 std::vector<double>(static_cast<size_t>(dim) * K)};
  // Centres at least `separation` apart.
  for (int k = 0; k < K; ++k) {
    for (bool apart = false; !apart;) {
      for (int i = 0; i < dim; ++i) d.centres[k * dim + i] = separation * K * uniform(random);
      apart = true;
      for (int l = 0; l < k; ++l) {
        double q = 0;
        for (int i = 0; i < dim; ++i) {
          const double e = d.centres[k * dim + i] - d.centres[l * dim + i];
          q += e * e;
        }
        apart = apart && std::sqrt(q) >= separation;
      }
    }
  }
  std::vector<double> A(static_cast<size_t>(dim) * dim * K, 0.0);
  for (int k = 0; k < K; ++k)
    for (int c = 0; c < dim; ++c)
      for (int r = c; r < dim; ++r)
        A[k * dim * dim + r + c * dim] = r == c ? 1.0 : correlated ? 0.5 * uniform(random) : 0.0;
  std::vector<double> z(dim);
  for (int j = 0; j < n; ++j) {
    const int k = j % K;
    for (double &v : z) v = normal(random);
    for (int r = 0; r < dim; ++r) {
      double y = 0;
      for (int c = 0; c <= r; ++c) y += A[k * dim * dim + r + c * dim] * z[c];
      d.X[static_cast<size_t>(j) * dim + r] = d.centres[k * dim + r] + spread * y;
    }
  }
  for (double &c : d.centres) c += offset;
  for (double &x : d.X) x += offset;
  return d;
}

// A mixture in long double; Sigma dim x dim per cluster in full mode, dim
// per cluster in diagonal mode.
struct LD_Mixture {
  int dim = 0, K = 0;
  bool full = true;
  std::vector<long double> mu, sigma, pi;
};

inline LD_Mixture To_Long(int dim, int K, bool full, const std::vector<double> &mu,
                          const std::vector<double> &sigma, const std::vector<double> &pi) {
  return {dim, K, full, {mu.begin(), mu.end()}, {sigma.begin(), sigma.end()}, {pi.begin(), pi.end()}};
}

// Posteriors R (K x n) and the log-likelihood of X under m.
inline long double Reference_E_Step(const std::vector<double> &X, int n, const LD_Mixture &m,
                                    std::vector<long double> &R) {
  const int dim = m.dim, K = m.K;
  const long double log_2pi = std::log(2.0L * 3.141592653589793238462643383279502884L);
  std::vector<long double> L(static_cast<size_t>(dim) * dim * K, 0.0L), log_w(K);
  for (int k = 0; k < K; ++k) {
    long double *l = &L[static_cast<size_t>(k) * dim * dim];
    long double log_det = 0;
    for (int c = 0; c < dim; ++c) {
      if (!m.full) {
        l[c + c * dim] = std::sqrt(m.sigma[k * dim + c]);
      } else {
        const long double *s = &m.sigma[static_cast<size_t>(k) * dim * dim];
        long double v = s[c + c * dim];
        for (int t = 0; t < c; ++t) v -= l[c + t * dim] * l[c + t * dim];
        l[c + c * dim] = std::sqrt(v);
        for (int r = c + 1; r < dim; ++r) {
          long double w = s[r + c * dim];
          for (int t = 0; t < c; ++t) w -= l[r + t * dim] * l[c + t * dim];
          l[r + c * dim] = w / l[c + c * dim];
        }
      }
      log_det += 2 * std::log(l[c + c * dim]);
    }
    log_w[k] = std::log(m.pi[k]) - 0.5L * log_det - 0.5L * dim * log_2pi;
  }
  R.assign(static_cast<size_t>(K) * n, 0.0L);
  std::vector<long double> v(K), y(dim);
  long double total = 0;
  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < K; ++k) {
      const long double *l = &L[static_cast<size_t>(k) * dim * dim];
      long double q = 0;
      for (int r = 0; r < dim; ++r) {
        long double e = static_cast<long double>(X[static_cast<size_t>(j) * dim + r]) - m.mu[k * dim + r];
        for (int t = 0; t < r; ++t) e -= l[r + t * dim] * y[t];
        y[r] = e / l[r + r * dim];
        q += y[r] * y[r];
      }
      v[k] = log_w[k] - 0.5L * q;
    }
    long double top = v[0], s = 0;
    for (int k = 1; k < K; ++k) top = std::max(top, v[k]);
    for (int k = 0; k < K; ++k) s += std::exp(v[k] - top);
    const long double lse = top + std::log(s);
    for (int k = 0; k < K; ++k) R[static_cast<size_t>(j) * K + k] = std::exp(v[k] - lse);
    total += lse;
  }
  return total;
}

// The M-step in two passes: weights and means, then covariances about the
// means, plus `reg` on every variance; pooled by weight when shared.
inline LD_Mixture Reference_M_Step(const std::vector<double> &X, int n,
                                   const std::vector<long double> &R, const LD_Mixture &shape,
                                   bool shared, long double reg) {
  const int dim = shape.dim, K = shape.K;
  const int block = shape.full ? dim * dim : dim;
  LD_Mixture m{dim, K, shape.full, std::vector<long double>(static_cast<size_t>(dim) * K, 0.0L),
               std::vector<long double>(static_cast<size_t>(block) * K, 0.0L),
               std::vector<long double>(K, 0.0L)};
  std::vector<long double> N(K, 0.0L);
  for (int j = 0; j < n; ++j)
    for (int k = 0; k < K; ++k) {
      const long double r = R[static_cast<size_t>(j) * K + k];
      N[k] += r;
      for (int i = 0; i < dim; ++i) m.mu[k * dim + i] += r * X[static_cast<size_t>(j) * dim + i];
    }
  long double total = 0;
  for (int k = 0; k < K; ++k) total += N[k];
  for (int k = 0; k < K; ++k) {
    for (int i = 0; i < dim; ++i) m.mu[k * dim + i] /= N[k];
    m.pi[k] = N[k] / total;
  }
  std::vector<long double> d(dim);
  for (int j = 0; j < n; ++j)
    for (int k = 0; k < K; ++k) {
      const long double r = R[static_cast<size_t>(j) * K + k];
      for (int i = 0; i < dim; ++i) d[i] = X[static_cast<size_t>(j) * dim + i] - m.mu[k * dim + i];
      long double *s = &m.sigma[static_cast<size_t>(k) * block];
      for (int a = 0; a < dim; ++a) {
        if (!shape.full) {
          s[a] += r * d[a] * d[a];
          continue;
        }
        for (int b = 0; b < dim; ++b) s[a + b * dim] += r * d[a] * d[b];
      }
    }
  for (int k = 0; k < K; ++k)
    for (int e = 0; e < block; ++e) m.sigma[static_cast<size_t>(k) * block + e] /= N[k];
  if (shared) {
    std::vector<long double> pooled(block, 0.0L);
    for (int k = 0; k < K; ++k)
      for (int e = 0; e < block; ++e) pooled[e] += N[k] * m.sigma[static_cast<size_t>(k) * block + e];
    for (int k = 0; k < K; ++k)
      for (int e = 0; e < block; ++e) m.sigma[static_cast<size_t>(k) * block + e] = pooled[e] / total;
  }
  for (int k = 0; k < K; ++k)
    for (int i = 0; i < dim; ++i) m.sigma[static_cast<size_t>(k) * block + (shape.full ? i + i * dim : i)] += reg;
  return m;
}
