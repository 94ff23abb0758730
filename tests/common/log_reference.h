// VelmoraLog's evaluator over a test mixture, and its long double
// reference: for the evaluator's tests on every device and for the
// benchmark's own check.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "common/engine_under_test.h"
#include "common/mixture_fixture.h"
#include "log_mixture.h"

struct Log_Result {
  std::vector<double> log_p, R;
};

inline velmora_log::Problem Problem_Of(const Mixture &m) {
  return {m.dim,       m.num_data,  m.num_clust, m.diagonal ? velmora_log::Mode::diagonal
                                                            : velmora_log::Mode::full,
          m.X.data(), m.Mu.data(), m.Sigma.data(), m.Pi.data()};
}

// log P and posteriors in long double, each cluster's centre subtracted
// first (the fixture's distances), then log-sum-exp over the clusters.
inline Log_Result Reference_Log(const Mixture &m) {
  const long double log_2pi = std::log(2.0L * 3.141592653589793238462643383279502884L);
  std::vector<std::vector<long double>> v(m.num_clust);
  for (int k = 0; k < m.num_clust; ++k) {
    long double log_det = 0;
    const std::vector<long double> dist = Reference_Distances(m, k, &log_det);
    for (int j = 0; j < m.num_data; ++j)
      v[k].push_back(std::log(static_cast<long double>(m.Pi[k])) - 0.5L * log_det -
                     0.5L * m.dim * log_2pi - 0.5L * dist[j]);
  }
  Log_Result r{std::vector<double>(m.num_data), std::vector<double>(m.num_data * m.num_clust)};
  for (int j = 0; j < m.num_data; ++j) {
    long double top = v[0][j], s = 0;
    for (int k = 1; k < m.num_clust; ++k) top = std::max(top, v[k][j]);
    for (int k = 0; k < m.num_clust; ++k) s += std::exp(v[k][j] - top);
    const long double log_p = top + std::log(s);
    r.log_p[j] = static_cast<double>(log_p);
    for (int k = 0; k < m.num_clust; ++k)
      r.R[j * m.num_clust + k] = static_cast<double>(std::exp(v[k][j] - log_p));
  }
  return r;
}

// The evaluator's logP and R; the outputs start as NaN, so that an entry no
// kernel wrote fails any comparison.
inline Log_Result Evaluate(const Mixture &m, velmora_log::Limits limits = {},
                           velmora_log::Evaluator *evaluator = nullptr) {
  const velmora_log::Problem p = Problem_Of(m);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Log_Result r{std::vector<double>(m.num_data, nan),
               std::vector<double>(static_cast<size_t>(m.num_data) * m.num_clust, nan)};
  std::optional<velmora_log::Evaluator> own;
  (evaluator != nullptr ? *evaluator : own.emplace(Engine_Under_Test()))
      .Evaluate(p, velmora_log::Factorise(p), {r.log_p.data(), r.R.data()}, limits);
  return r;
}
