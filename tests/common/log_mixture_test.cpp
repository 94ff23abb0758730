// VelmoraLog's evaluator on every device: log-densities and posteriors
// against a long double reference, and the same bits whatever the chunks.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <ostream>
#include <vector>

#include "common/library_test.h"
#include "common/mixture_fixture.h"
#include "log_mixture.h"

namespace {

using velmora_log::Mode;

struct Log_Result {
  std::vector<double> log_p, R;
};

// log P and posteriors in long double, by log-sum-exp over the clusters.
Log_Result Reference_Log(const Mixture &m) {
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

Log_Result Evaluate(const Mixture &m, velmora_log::Limits limits = {},
                    velmora_log::Evaluator *evaluator = nullptr) {
  const velmora_log::Problem p{m.dim, m.num_data, m.num_clust,
                               m.diagonal ? Mode::diagonal : Mode::full,
                               m.X.data(), m.Mu.data(), m.Sigma.data(), m.Pi.data()};
  Log_Result r{std::vector<double>(m.num_data), std::vector<double>(m.num_data * m.num_clust)};
  std::optional<velmora_log::Evaluator> own;
  (evaluator != nullptr ? *evaluator : own.emplace())
      .Evaluate(p, velmora_log::Factorise(p), {r.log_p.data(), r.R.data()}, limits);
  return r;
}

// Moves data and centres far from the origin, compared with their spread.
void Offset(Mixture &m, double by) {
  for (double &x : m.X) x += by;
  for (double &mu : m.Mu) mu += by;
}

struct Accuracy {
  bool diagonal;
  int dim, K;
  double offset;
};

std::ostream &operator<<(std::ostream &os, const Accuracy &c) {
  return os << (c.diagonal ? "diagonal" : "full") << ", dim " << c.dim << ", K " << c.K
            << ", offset " << c.offset;
}

class LogAccuracyTest : public LibraryTest, public testing::WithParamInterface<Accuracy> {};

TEST_P(LogAccuracyTest, LogDensitiesAndPosteriorsMatchALongDoubleReference) {
  const Accuracy c = GetParam();
  Mixture m = Make_Mixture(c.dim, 150, c.K, c.diagonal, 40 + c.dim);
  Offset(m, c.offset);
  const Log_Result want = Reference_Log(m), got = Evaluate(m);
  for (int j = 0; j < m.num_data; ++j) {
    ASSERT_TRUE(std::isfinite(got.log_p[j])) << "point " << j;
    ASSERT_NEAR(got.log_p[j], want.log_p[j], 1e-12 * std::max(1.0, std::fabs(want.log_p[j])))
        << "point " << j;
  }
  for (size_t i = 0; i < want.R.size(); ++i)
    ASSERT_NEAR(got.R[i], want.R[i], 1e-12) << "cluster " << i % c.K << ", point " << i / c.K;
}

// Tile edges: 64 coordinates, 8 clusters and 64 points to a block in
// diagonal mode.
INSTANTIATE_TEST_SUITE_P(
    Mixtures, LogAccuracyTest,
    testing::Values(Accuracy{true, 1, 1, 0}, Accuracy{true, 3, 5, 0}, Accuracy{true, 17, 64, 1000},
                    Accuracy{true, 64, 9, 0}, Accuracy{true, 65, 8, 1000},
                    Accuracy{true, 128, 3, 0}, Accuracy{false, 1, 2, 0},
                    Accuracy{false, 3, 5, 1000}, Accuracy{false, 17, 9, 0},
                    Accuracy{false, 128, 64, 1000}));

// Far beyond where a density is representable: unit variances, dim 800.
TEST_F(LibraryTest, LogDensitiesStayFiniteWhereDensitiesUnderflow) {
  Mixture m = Make_Mixture(800, 20, 2, true, 60);
  for (double &s : m.Sigma) s = 1.0;
  const Log_Result want = Reference_Log(m), got = Evaluate(m);
  for (int j = 0; j < m.num_data; ++j) {
    EXPECT_LT(want.log_p[j], -745.0);  // exp() of it is 0 in double
    EXPECT_NEAR(got.log_p[j], want.log_p[j], 1e-12 * std::fabs(want.log_p[j])) << "point " << j;
  }
}

struct Chunking {
  bool diagonal;
};

std::ostream &operator<<(std::ostream &os, const Chunking &c) {
  return os << (c.diagonal ? "diagonal" : "full");
}

class LogChunkTest : public LibraryTest, public testing::WithParamInterface<Chunking> {};

TEST_P(LogChunkTest, ResultsAreTheSameBitsWhateverTheChunks) {
  const Mixture m = Make_Mixture(5, 1000, 3, GetParam().diagonal, 61);
  velmora_log::Evaluator evaluator;
  const Log_Result whole = Evaluate(m, {0}, &evaluator);
  ASSERT_EQ(evaluator.last_chunk(), 1000);
  for (const std::int64_t max_chunk : {64, 130, 640, 999}) {
    const Log_Result chunked = Evaluate(m, {max_chunk}, &evaluator);
    EXPECT_LT(evaluator.last_chunk(), 1000);
    EXPECT_TRUE(Same_Bits(whole.log_p, chunked.log_p)) << "chunks of " << max_chunk;
    EXPECT_TRUE(Same_Bits(whole.R, chunked.R)) << "chunks of " << max_chunk;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, LogChunkTest, testing::Values(Chunking{true}, Chunking{false}));

}  // namespace
