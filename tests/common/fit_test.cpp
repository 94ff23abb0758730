// VelmoraFit's engine on every device: the sufficient statistics against
// long double sums over reference posteriors, the fit against a two-pass
// long double EM, repeatability, the starts, stopping, and the failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/engine_under_test.h"
#include "common/env_set.h"
#include "common/fit_fixture.h"
#include "common/library_test.h"
#include "common/log_reference.h"
#include "common/mixture_fixture.h"
#include "fit.h"
#include "fit_passes.h"
#include "kernels.h"

namespace {

using velmora_log::Fit_Options;
using velmora_log::Fit_Result;
using velmora_log::Mode;
using velmora_log::Start;
using velmora_log::Statistics;

Mode Mode_Of(bool full) { return full ? Mode::full : Mode::diagonal; }

// max |actual - expected| <= tolerance * max |expected|; names the worst.
testing::AssertionResult Near_All(const std::vector<double> &expected,
                                  const std::vector<double> &actual, double tolerance) {
  if (expected.size() != actual.size()) return testing::AssertionFailure() << "sizes differ";
  double scale = 0, worst = 0;
  size_t at = 0;
  for (size_t i = 0; i < expected.size(); ++i) scale = std::max(scale, std::fabs(expected[i]));
  for (size_t i = 0; i < expected.size(); ++i) {
    const double e = std::fabs(actual[i] - expected[i]);
    if (!(e <= worst)) worst = e, at = i;
  }
  if (worst <= tolerance * scale) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "index " << at << ": expected " << expected[at] << ", got "
                                     << actual[at] << " (" << worst / scale << " of the largest)";
}

// ---------------------------------------------------------------------------
// Statistics.

struct Stat_Case {
  bool full;
  int dim, K, n;
};

std::ostream &operator<<(std::ostream &os, const Stat_Case &c) {
  return os << (c.full ? "full" : "diagonal") << ", dim " << c.dim << ", K " << c.K << ", "
            << c.n << " points";
}

// Cluster k's statistics as long double sums over the reference posteriors
// R: weights w (nullptr: every point weighs 1), the posteriors under
// `floor` counted as 0, and each entry's scale, the sum of its terms'
// weighted magnitudes, for the tolerance.
struct LD_Statistics {
  long double N = 0;
  std::vector<long double> s, M, s_scale, M_scale;
  int floored = 0;  // posteriors of weighed points above 0 but under the floor
};

LD_Statistics Reference_Statistics(const Mixture &m, const std::vector<long double> &R, const Stat_Case &c,
                                   int k, const double *w = nullptr, double floor = 0.0) {
  const int second = c.full ? c.dim * (c.dim + 1) / 2 : c.dim;
  LD_Statistics t{0, std::vector<long double>(c.dim), std::vector<long double>(second),
                  std::vector<long double>(c.dim), std::vector<long double>(second), 0};
  std::vector<long double> d(c.dim);
  for (int j = 0; j < c.n; ++j) {
    const double weight = w ? w[j] : 1.0;
    long double r = R[static_cast<size_t>(j) * c.K + k];
    t.floored += weight > 0 && r > 0 && r < floor;
    r = r < floor ? 0 : weight * r;
    t.N += r;
    for (int i = 0; i < c.dim; ++i) {
      d[i] = static_cast<long double>(m.X[static_cast<size_t>(j) * c.dim + i]) - m.Mu[k * c.dim + i];
      t.s[i] += r * d[i];
      t.s_scale[i] += weight * std::fabs(d[i]);
    }
    for (int b = 0; b < c.dim; ++b)
      for (int a = c.full ? 0 : b; a <= b; ++a) {
        const int e = c.full ? b * (b + 1) / 2 + a : b;
        t.M[e] += r * d[a] * d[b];
        t.M_scale[e] += weight * std::fabs(d[a] * d[b]);
      }
  }
  return t;
}

class FitStatisticsTest : public LibraryTest, public testing::WithParamInterface<Stat_Case> {};

TEST_P(FitStatisticsTest, MatchLongDoubleSumsOverReferencePosteriors) {
  const Stat_Case c = GetParam();
  Mixture m = Make_Mixture(c.dim, c.n, c.K, !c.full, 90 + c.dim + c.K);
  for (double &x : m.X) x += 1000;  // far from the origin: sums about the centres
  for (double &mu : m.Mu) mu += 1000;
  // Full second moments on the tensor cores (where the device has them)
  // and on the CUDA cores.
  for (const char *cores : kCoreSettings) {
    if (!c.full && cores != nullptr) continue;
    const Env_Set setting("VELMORA_TENSOR_CORES", cores);
    SCOPED_TRACE(cores ? "CUDA cores" : "tensor cores where there are some");
    const Statistics st = Statistics_Under_Test(Problem_Of(m));

    std::vector<long double> R;
    const long double log_l =
        Reference_E_Step(m.X, c.n, To_Long(c.dim, c.K, c.full, m.Mu, m.Sigma, m.Pi), R);
    const int second = c.full ? c.dim * (c.dim + 1) / 2 : c.dim;
    for (int k = 0; k < c.K; ++k) {
      const LD_Statistics want = Reference_Statistics(m, R, c, k);
      ASSERT_NEAR(st.weight[k], static_cast<double>(want.N), 1e-11 * c.n) << "cluster " << k;
      for (int i = 0; i < c.dim; ++i)
        ASSERT_NEAR(st.sum[k * c.dim + i], static_cast<double>(want.s[i]),
                    1e-11 * static_cast<double>(want.s_scale[i]))
            << "cluster " << k << ", coordinate " << i;
      for (int e = 0; e < second; ++e)
        ASSERT_NEAR(st.second[k * second + e], static_cast<double>(want.M[e]),
                    1e-11 * static_cast<double>(want.M_scale[e]))
            << "cluster " << k << ", entry " << e;
    }
    EXPECT_NEAR(st.log_likelihood, static_cast<double>(log_l), 1e-12 * std::fabs(log_l) + 1e-9);
  }
}

// Points 1e9 standard deviations from K clusters alike weigh 1/K in each:
// N_k is n / K in the one-kernel fits (small dims, and diagonal mode up to
// 32 coordinates and 16 clusters), in diagonal mode's moments from raw
// terms (K past 16, dim past 32, both) and in full mode's separate
// kernels, on the tensor and the CUDA cores. The posteriors were
// exp(term - logP), every one 1 there: each N_k was n.
TEST_F(LibraryTest, FarPointsWeighOneInAll) {
  const int n = 600;
  for (const Stat_Case c : {Stat_Case{false, 3, 4, n}, Stat_Case{false, 20, 4, n},
                            Stat_Case{false, 3, 20, n}, Stat_Case{false, 40, 4, n},
                            Stat_Case{false, 40, 20, n}, Stat_Case{true, 3, 4, n},
                            Stat_Case{true, 20, 4, n}, Stat_Case{true, 40, 4, n},
                            Stat_Case{true, 20, 40, n}})
    for (const char *cores : kCoreSettings) {
      if (!c.full && cores != nullptr) continue;
      const Env_Set setting("VELMORA_TENSOR_CORES", cores);
      SCOPED_TRACE(testing::Message() << c << (cores ? ", CUDA cores" : ""));
      const Statistics st =
          Statistics_Under_Test(Problem_Of(Far_From_Alike_Clusters(c.dim, n, c.K, !c.full, 1e9, 240)));
      for (int k = 0; k < c.K; ++k)
        EXPECT_NEAR(st.weight[k], static_cast<double>(n) / c.K, 1e-12 * n) << "cluster " << k;
    }
}

// Edges of the tiles: coordinates 8/16/32/64 (full), 64 (diagonal), clusters
// 64 per moments tile and 32 per full E-step group, units of 512 points,
// and groups of 64 units in the final sum. Up to 16 clusters and 16
// coordinates (32 in diagonal mode) one kernel takes both steps, 128 points
// at a time: 8 x 16 and 16 x 16 give every thread of its blocks a row to
// sum, diagonal 32 x 16 every thread four, and 20 x 3 leaves three warps
// without a cluster and a last slice of 100 points, part in each half. Full
// 6 x 3 wraps its rows' columns past its last coordinate, into padding.
INSTANTIATE_TEST_SUITE_P(
    Shapes, FitStatisticsTest,
    testing::Values(Stat_Case{false, 1, 1, 700}, Stat_Case{false, 3, 5, 1300},
                    Stat_Case{false, 2, 3, 66000}, Stat_Case{false, 16, 16, 700},
                    Stat_Case{false, 17, 70, 600}, Stat_Case{false, 40, 40, 600},
                    Stat_Case{false, 65, 9, 1100}, Stat_Case{false, 32, 16, 1300},
                    Stat_Case{false, 20, 3, 740},
                    Stat_Case{true, 1, 2, 700}, Stat_Case{true, 3, 5, 1300}, Stat_Case{true, 6, 3, 700},
                    Stat_Case{true, 9, 4, 700}, Stat_Case{true, 8, 16, 1300},
                    Stat_Case{true, 16, 16, 700}, Stat_Case{true, 16, 17, 700},
                    Stat_Case{true, 17, 9, 1030}, Stat_Case{true, 33, 3, 600},
                    Stat_Case{true, 65, 2, 520}, Stat_Case{true, 5, 40, 530}));

// The tensor cores' full second moments keep their order, bit for bit where
// a product is FMAs in k order (the CPU device): an entry is, per group of
// warps, the chain of FMAs over the points of every G-th step of four in
// point order, and the groups' chains added in group order. Up to dim 32,
// from 8 clusters on, a warp takes all of a cluster's steps (G = 1), and
// with fewer G = 8; past dim 32, G = 2. How many points a slab stages is
// free; which points a group takes, and which posterior weighs which point,
// are not. Cluster k sits 10^4 k from cluster 0 (17 clusters up to 16
// coordinates, where fewer would take the fit's one kernel; 9 or 2 to dim
// 32, 9 leaving a second block of eight with one cluster and seven warps
// past the last; 2 past), and the points fall to
// cluster 0, 1 or the last in an irregular pattern, so that every posterior
// is exactly 1 or 0 and a point's posterior taken for another point's (in
// another half of a slab, or another block's cluster) changes the clusters'
// sums. Every cluster is compared: the last one is alone in its block past
// 8, and the ones with no points must stay exactly 0. A posterior of 0 adds
// exactly nothing. One unit of points: its last slab part past its end (its
// last step too, at 510), or all whole (512).
TEST_F(LibraryTest, TensorSecondMomentsAreEachGroupsChainInPointOrder) {
  if (!VELMORA_TEST_EXACT_MATH || Engine_Under_Test() != velmora_log::Engine::device ||
      !velmora_log::Tensor_Cores())
    GTEST_SKIP() << "products in another order than FMAs in k order";
  struct Shape {
    int dim, K;
  };
  for (const Shape shape : {Shape{5, 17}, Shape{8, 17}, Shape{9, 17}, Shape{16, 17}, Shape{17, 9},
                            Shape{17, 2}, Shape{32, 9}, Shape{32, 2}, Shape{40, 2}})
    for (const int n : {420, 510, 512}) {
      const int dim = shape.dim, K = shape.K;
      SCOPED_TRACE("dim " + std::to_string(dim) + ", K " + std::to_string(K) + ", " +
                   std::to_string(n) + " points");
      Mixture m = Make_Mixture(dim, n, K, false, 7 + dim + n);
      std::mt19937 draw(dim + n);
      std::vector<int> owner(n);
      for (int j = 0; j < n; ++j) {
        const unsigned pick = draw() % 6;
        owner[j] = pick < 2 ? 1 : pick == 2 ? K - 1 : 0;
        // Spreads from 2^-10 to 2^10: sums of deviations of every size
        // round, so that another order of them gives other bits.
        const double spread = std::ldexp(1.0, static_cast<int>(draw() % 21) - 10);
        for (int i = 0; i < dim; ++i) {
          double &x = m.X[static_cast<size_t>(j) * dim + i];
          x = x * spread + 1000 + 1e4 * owner[j];
        }
      }
      for (size_t e = 0; e < m.Mu.size(); ++e) m.Mu[e] += 1000 + 1e4 * static_cast<double>(e / dim);
      const Statistics st = Statistics_Under_Test(Problem_Of(m));
      const int groups = dim <= 32 ? (K >= 8 ? 1 : 8) : 2;
      std::vector<double> want;
      for (int k = 0; k < K; ++k)
        for (int b = 0; b < dim; ++b)
          for (int a = 0; a <= b; ++a) {
            const double *mu = &m.Mu[static_cast<size_t>(k) * dim];
            double total = 0.0;
            for (int g = 0; g < groups; ++g) {
              double chain = 0.0;
              for (int j = 0; j < n; ++j)
                if (owner[j] == k && j / 4 % groups == g)
                  chain = std::fma(m.X[static_cast<size_t>(j) * dim + a] - mu[a],
                                   m.X[static_cast<size_t>(j) * dim + b] - mu[b], chain);
              total = g == 0 ? chain : total + chain;
            }
            want.push_back(total);
          }
      EXPECT_TRUE(Same_Bits(want, st.second));
      // From 8 clusters, the second moments' kernel takes the weights and
      // sums too: lane c's chain over the points c, c + 4, ... in order, and
      // the four lanes' chains added in c order (the weights, counts of 1,
      // in any order the same).
      if (K < 8) continue;
      std::vector<double> weight, sum, in_order;
      for (int k = 0; k < K; ++k)
        for (int i = -1; i < dim; ++i) {
          const auto d = [&](int j) {
            return i < 0 ? 1.0 : m.X[static_cast<size_t>(j) * dim + i] - m.Mu[static_cast<size_t>(k) * dim + i];
          };
          double total = 0.0, plain = 0.0;
          for (int c = 0; c < 4; ++c) {
            double chain = 0.0;
            for (int j = c; j < n; j += 4)
              if (owner[j] == k) chain = std::fma(1.0, d(j), chain);
            total = c == 0 ? chain : total + chain;
          }
          for (int j = 0; j < n; ++j)
            if (owner[j] == k) plain = std::fma(1.0, d(j), plain);
          (i < 0 ? weight : sum).push_back(total);
          if (i >= 0) in_order.push_back(plain);
        }
      EXPECT_TRUE(Same_Bits(weight, st.weight));
      EXPECT_TRUE(Same_Bits(sum, st.sum));
      // The data make the order show: the points' order alone gives other
      // bits somewhere.
      EXPECT_FALSE(Same_Bits(in_order, sum));
    }
}

// Up to 16 coordinates and clusters the fit's one kernel forms logP in the
// evaluator's arithmetic: the log-likelihood of one point is the
// evaluator's logP, bit for bit, on either device. Point by point, since a
// sum of many would absorb the ulp by which another grouping of the
// clusters moves a point.
class FitLogLikelihoodTest : public LibraryTest, public testing::WithParamInterface<Stat_Case> {};

TEST_P(FitLogLikelihoodTest, OfOnePointIsTheEvaluatorsLogP) {
  const Stat_Case c = GetParam();
  const Mixture m = Make_Mixture(c.dim, c.n, c.K, !c.full, 97);
  const velmora_log::Problem p = Problem_Of(m);
  std::vector<double> log_p(c.n);
  velmora_log::Evaluator(Engine_Under_Test()).Evaluate(p, velmora_log::Factorise(p), {log_p.data(), nullptr}, {});
  for (int j = 0; j < c.n; ++j) {
    velmora_log::Problem one = p;
    one.num_data = 1;
    one.X = p.X + static_cast<std::ptrdiff_t>(j) * c.dim;
    ASSERT_TRUE(Same_Bits({log_p[j]}, {Statistics_Under_Test(one).log_likelihood}))
        << "point " << j;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, FitLogLikelihoodTest,
                         testing::Values(Stat_Case{false, 5, 7, 100}, Stat_Case{false, 16, 16, 100},
                                         Stat_Case{false, 24, 11, 100},
                                         Stat_Case{true, 3, 16, 100}, Stat_Case{true, 9, 5, 100}));

class FitChunkTest : public LibraryTest, public testing::WithParamInterface<Stat_Case> {};

TEST_P(FitChunkTest, ChunksKeepTheBitsAndColumnBlocksAdd) {
  const Stat_Case c = GetParam();
  const Mixture m = Make_Mixture(c.dim, c.n, c.K, !c.full, 95);
  const velmora_log::Problem p = Problem_Of(m);
  const Statistics whole = Statistics_Under_Test(p);
  for (const std::int64_t max_chunk : {512, 1024, 1536}) {
    const Statistics chunked = Statistics_Under_Test(p, max_chunk);
    EXPECT_TRUE(Same_Bits(whole.weight, chunked.weight)) << "chunks of " << max_chunk;
    EXPECT_TRUE(Same_Bits(whole.sum, chunked.sum)) << "chunks of " << max_chunk;
    EXPECT_TRUE(Same_Bits(whole.second, chunked.second)) << "chunks of " << max_chunk;
    EXPECT_TRUE(Same_Bits({whole.log_likelihood}, {chunked.log_likelihood}));
  }
  velmora_log::Problem left = p, right = p;
  left.num_data = 700;
  right.num_data = p.num_data - 700;
  right.X = p.X + 700 * p.dim;
  Statistics sum = Statistics_Under_Test(left);
  sum.Add(Statistics_Under_Test(right));
  EXPECT_TRUE(Near_All(whole.weight, sum.weight, 1e-14));
  EXPECT_TRUE(Near_All(whole.sum, sum.sum, 1e-13));
  EXPECT_TRUE(Near_All(whole.second, sum.second, 1e-13));
  EXPECT_NEAR(whole.log_likelihood, sum.log_likelihood, 1e-13 * std::fabs(whole.log_likelihood));
}

// Both modes through the one-kernel path, at each of its widths in full
// mode, and past it.
INSTANTIATE_TEST_SUITE_P(Modes, FitChunkTest,
                         testing::Values(Stat_Case{false, 4, 6, 2100}, Stat_Case{false, 17, 6, 2100},
                                         Stat_Case{true, 4, 6, 2100},
                                         Stat_Case{true, 8, 16, 2100}, Stat_Case{true, 8, 17, 2100},
                                         Stat_Case{true, 16, 16, 2100},
                                         Stat_Case{true, 17, 6, 2100}));

// Weights and the posterior floor, which each path applies in its own
// kernel: in diagonal mode the one kernel up to 16 coordinates, its sweep's
// kernel from 17 to 32 (a last slice of 76 points at 1100, part in each
// half, and every warp busy at 32 x 16), and the separate kernels; in full
// mode the one kernel and the separate kernels. Against
// long double sums over the reference posteriors, those under the floor
// counted as 0, every seventh point weighing 0; streamed in chunks of 512,
// the same bits.
class FitFloorTest : public LibraryTest, public testing::WithParamInterface<Stat_Case> {};

TEST_P(FitFloorTest, WeightsAndTheFloorWeighEverySum) {
  const Stat_Case c = GetParam();
  const int dim = c.dim, K = c.K, n = c.n;
  const double floor = 0.2;  // high, so that overlapping clusters have posteriors under it too
  Mixture m = Make_Mixture(dim, n, K, !c.full, 230 + dim + K);
  for (double &x : m.X) x += 1000;  // far from the origin: sums about the centres
  for (double &mu : m.Mu) mu += 1000;
  std::vector<double> w = Random_Values(n, 231, 0.0, 3.0);
  for (int j = 0; j < n; j += 7) w[j] = 0.0;
  const auto pass = [&](bool separate, std::int64_t chunk) {
    const velmora_log::Fit_Data data{.X = m.X.data(), .dim = dim, .n = n, .K = K,
                                     .mode = c.full ? Mode::full : Mode::diagonal, .weights = w.data(),
                                     .probability_tolerance = floor, .max_chunk = chunk,
                                     .stream = chunk > 0, .separate_kernels = separate};
    const auto passes = Engine_Under_Test() == velmora_log::Engine::host
                            ? velmora_log::Make_Host_Passes(data)
                            : velmora_log::Make_Device_Passes(data);
    passes->Set_Mixture(m.Mu, velmora_log::Factorise(Problem_Of(m)));
    return passes->Pass(true, {});
  };
  std::vector<long double> R;
  Reference_E_Step(m.X, n, To_Long(dim, K, c.full, m.Mu, m.Sigma, m.Pi), R);
  const Log_Result log_ref = Reference_Log(m);
  long double log_l = 0, log_scale = 0;
  for (int j = 0; j < n; ++j) {
    log_l += w[j] * static_cast<long double>(log_ref.log_p[j]);
    log_scale += std::fabs(w[j] * log_ref.log_p[j]);
  }
  const velmora_log::Stat_Layout layout{dim, K, c.full};
  const int second = c.full ? dim * (dim + 1) / 2 : dim;
  for (const bool separate : {false, true}) {
    SCOPED_TRACE(separate ? "separate kernels" : "one kernel");
    const std::vector<double> got = pass(separate, 0);
    ASSERT_EQ(got.size(), static_cast<size_t>(layout.Size()));
    EXPECT_NEAR(got[layout.Log_Likelihood()], static_cast<double>(log_l),
                1e-13 * static_cast<double>(log_scale));
    int floored = 0;
    for (int k = 0; k < K; ++k) {
      const LD_Statistics want = Reference_Statistics(m, R, c, k, w.data(), floor);
      floored += want.floored;
      const double *record = got.data() + k * layout.Per_Cluster();
      ASSERT_NEAR(record[0], static_cast<double>(want.N), 1e-13 * n) << "cluster " << k;
      for (int i = 0; i < dim; ++i)
        ASSERT_NEAR(record[1 + i], static_cast<double>(want.s[i]), 1e-13 * static_cast<double>(want.s_scale[i]))
            << "cluster " << k << ", coordinate " << i;
      for (int e = 0; e < second; ++e)
        ASSERT_NEAR(record[1 + dim + e], static_cast<double>(want.M[e]),
                    1e-13 * static_cast<double>(want.M_scale[e]))
            << "cluster " << k << ", entry " << e;
    }
    EXPECT_GT(floored, n / 20) << "the data must have posteriors under the floor";
    EXPECT_TRUE(Same_Bits(got, pass(separate, 512))) << "streamed in chunks of 512";
  }
}

// Every kind of sum: the small dims' one kernel (full 3 and 6: the cyclic
// rows), the diagonal one kernel past them, and full mode's separate kernels
// (from eight clusters, the weights and sums in the second moments' kernel
// where it runs on the tensor cores).
INSTANTIATE_TEST_SUITE_P(Shapes, FitFloorTest,
                         testing::Values(Stat_Case{false, 5, 4, 1100}, Stat_Case{false, 20, 5, 1100},
                                         Stat_Case{false, 32, 16, 700}, Stat_Case{true, 3, 4, 1100},
                                         Stat_Case{true, 6, 5, 1100}, Stat_Case{true, 20, 3, 700},
                                         Stat_Case{true, 20, 9, 700}));

// Full mode from 5 to 16 coordinates: the one kernel's statistics on the
// tensor cores are the CUDA-core rows' chains, each second moment on the
// same row, bit for bit where a product is FMAs in k order (the CPU
// device; no sum here underflows to -0, which a step's padding would make
// +0); a GPU whose products round otherwise is held to 1e-13 of the
// largest entry. dim 8 takes the second product of D 8, 9 and 16 the
// edges of D 16's tiles; K 1, 5 and 9 leave slots past the last cluster
// (and D 16's chains of a second slot), 8 and 16 fill every slot. The last
// unit's last slice has 21 points, its last step one; every fifth point
// but that one weighs 0, and the data sit 1e4 from the origin.
TEST_F(LibraryTest, OneKernelTensorStatisticsAreTheCudaCoreRows) {
  if (Engine_Under_Test() != velmora_log::Engine::device || !velmora_log::Tensor_Cores())
    GTEST_SKIP() << "no FP64 tensor cores here";
  const int n = 1301;
  for (const int dim : {5, 7, 8, 9, 16})
    for (const int K : {1, 5, 8, 9, 16}) {
      SCOPED_TRACE("dim " + std::to_string(dim) + ", K " + std::to_string(K));
      Mixture m = Make_Mixture(dim, n, K, false, 300 + dim + K);
      for (double &x : m.X) x += 1e4;
      for (double &mu : m.Mu) mu += 1e4;
      std::vector<double> w = Random_Values(n, 301, 0.0, 3.0);
      for (int j = 1; j < n; j += 5) w[j] = 0.0;  // the last point weighs
      const auto pass = [&](const char *cores) {
        const Env_Set setting("VELMORA_TENSOR_CORES", cores);
        const velmora_log::Fit_Data data{.X = m.X.data(), .dim = dim, .n = n, .K = K,
                                         .mode = Mode::full, .weights = w.data(),
                                         .probability_tolerance = 1e-3};
        const auto passes = velmora_log::Make_Device_Passes(data);
        passes->Set_Mixture(m.Mu, velmora_log::Factorise(Problem_Of(m)));
        return passes->Pass(true, {});
      };
      const std::vector<double> cuda_cores = pass("off"), tensor = pass(nullptr);
      if (VELMORA_TEST_EXACT_MATH) EXPECT_TRUE(Same_Bits(cuda_cores, tensor));
      else EXPECT_TRUE(Near_All(cuda_cores, tensor, 1e-13));
    }
}

// ---------------------------------------------------------------------------
// The fit.

Fit_Options Parameters_Start(bool full, const std::vector<double> &mu,
                             const std::vector<double> &sigma, const std::vector<double> &pi) {
  return {.mode = Mode_Of(full), .start = Start::parameters, .mu = mu, .sigma = sigma, .pi = pi};
}

testing::AssertionResult Never_Decreases(const std::vector<double> &history) {
  for (size_t t = 1; t < history.size(); ++t)
    if (history[t] < history[t - 1] - 1e-12 * std::fabs(history[t - 1]))
      return testing::AssertionFailure() << "iteration " << t + 1 << ": " << history[t]
                                         << " after " << history[t - 1];
  return testing::AssertionSuccess();
}

struct Reference_Case {
  bool full, shared;
};

std::ostream &operator<<(std::ostream &os, const Reference_Case &c) {
  return os << (c.full ? "full" : "diagonal") << (c.shared ? ", shared" : "");
}

class FitReferenceTest : public LibraryTest, public testing::WithParamInterface<Reference_Case> {};

// Clusters 1e-3 wide, 4e-3 and more apart, 1e5 from the origin: a fit
// that squares before subtracting, or sums x^2, loses every digit here.
TEST_P(FitReferenceTest, TightClustersFarFromTheOriginMatchATwoPassLongDoubleEm) {
  const Reference_Case c = GetParam();
  const int dim = 3, K = 3, n = 1200, iterations = 8;
  const double spread = 1e-3;
  const Cluster_Data d = Make_Clusters(dim, n, K, 4 * spread, spread, 1e5, c.full, 31);
  const int block = c.full ? dim * dim : dim;
  std::vector<double> mu = d.centres, sigma(static_cast<size_t>(block) * K, 0.0), pi(K, 1.0 / K);
  for (int e = 0; e < dim * K; ++e) mu[e] += spread * (0.3 - 0.2 * (e % 4));
  // Each cluster starts with a covariance of its own, shared fits too: the
  // first E-step takes the start as given, and only the M-steps pool.
  for (int k = 0; k < K; ++k)
    for (int i = 0; i < dim; ++i)
      sigma[k * block + (c.full ? i + i * dim : i)] = (2 + k) * spread * spread;
  Fit_Options o = Parameters_Start(c.full, mu, sigma, pi);
  o.shared = c.shared;
  o.max_iter = iterations;
  o.tol_fun = 0;
  o.regularization = 1e-9;
  const Fit_Result got = Fit_Under_Test(d.X.data(), dim, n, K, o);

  LD_Mixture want = To_Long(dim, K, c.full, mu, sigma, pi);
  std::vector<long double> R, history;
  for (int t = 0; t < iterations; ++t) {
    history.push_back(Reference_E_Step(d.X, n, want, R));
    want = Reference_M_Step(d.X, n, R, want, c.shared, 1e-9L);
  }
  ASSERT_EQ(got.iterations, iterations);
  for (int k = 0; k < K; ++k) {
    const long double *S = &want.sigma[static_cast<size_t>(k) * block];
    long double largest = 0;
    for (int e = 0; e < block; ++e) largest = std::max(largest, std::fabs(S[e]));
    for (int i = 0; i < dim; ++i) {
      const long double own_spread = std::sqrt(S[c.full ? i + i * dim : i]);
      EXPECT_LE(std::fabs(got.model.mu[k * dim + i] - want.mu[k * dim + i]), 1e-7L * own_spread)
          << "mean " << i << " of cluster " << k;
    }
    for (int e = 0; e < block; ++e)
      EXPECT_LE(std::fabs(got.model.sigma[k * block + e] - S[e]), 1e-7L * largest)
          << "covariance entry " << e << " of cluster " << k;
    EXPECT_NEAR(got.model.pi[k], static_cast<double>(want.pi[k]), 1e-9);
  }
  for (int t = 0; t < iterations; ++t)
    EXPECT_NEAR(got.history[t], static_cast<double>(history[t]), 1e-9 * std::fabs(history[t]))
        << "iteration " << t + 1;
  EXPECT_TRUE(Never_Decreases(got.history));
}

INSTANTIATE_TEST_SUITE_P(Modes, FitReferenceTest,
                         testing::Values(Reference_Case{false, false}, Reference_Case{true, false},
                                         Reference_Case{false, true}, Reference_Case{true, true}));

// Starts far from the data, where the E-step is still well conditioned
// (the start's covariances are as wide as its distance), so that any exact
// EM agrees: the means move by 1e4 to 1e8 of the clusters' spread in the
// first iteration. Moments about the old means would leave the new
// covariances to cancellation (a spurious failure, or a covariance off by
// its own size); the fit must match a two-pass long double EM to 1e-11.
struct Far_Case {
  bool full, shared, stream;
  int K;
  double far;  // the start's distance, in spreads
};

std::ostream &operator<<(std::ostream &os, const Far_Case &c) {
  return os << (c.full ? "full" : "diagonal") << (c.shared ? ", shared" : "")
            << (c.stream ? ", streamed" : "") << ", K " << c.K << ", " << c.far << " spreads";
}

class FitFarStartTest : public LibraryTest, public testing::WithParamInterface<Far_Case> {};

TEST_P(FitFarStartTest, MatchesATwoPassLongDoubleEm) {
  const Far_Case c = GetParam();
  const int dim = 2, K = c.K, n = 1300, iterations = K;
  const double spread = 1e-3;
  // K = 1: one cluster 1e-3 wide at 1e5, started at the origin. K = 2: two
  // 1 apart near 1e5, each started `far` spreads off along the diagonal.
  Cluster_Data d = Make_Clusters(dim, n, K, 1.0, spread, 1e5, c.full, 61);
  const double distance = K == 1 ? 1e5 * std::sqrt(2.0) : c.far * spread;
  const int block = c.full ? dim * dim : dim;
  std::vector<double> mu(static_cast<size_t>(dim) * K, 0.0),
      sigma(static_cast<size_t>(block) * K, 0.0), pi(K, 1.0 / K);
  for (int e = 0; e < dim * K && K > 1; ++e) mu[e] = d.centres[e] + c.far * spread;
  for (int k = 0; k < K; ++k)
    for (int i = 0; i < dim; ++i)
      sigma[k * block + (c.full ? i + i * dim : i)] = distance * distance;
  Fit_Options o = Parameters_Start(c.full, mu, sigma, pi);
  o.shared = c.shared;
  o.max_iter = iterations;
  o.tol_fun = 0;
  o.stream = c.stream;
  o.max_chunk = c.stream ? 512 : 0;
  const Fit_Result got = Fit_Under_Test(d.X.data(), dim, n, K, o);
  ASSERT_EQ(got.resident, !c.stream);
  // Ten thousand spreads with covariances that wide is a move of a few
  // hundred new covariances: no second look needed there.
  if (K == 1 || c.far >= 1e6) EXPECT_GE(got.extra_passes, 1) << "the first move is far";

  LD_Mixture want = To_Long(dim, K, c.full, mu, sigma, pi);
  std::vector<long double> R, history;
  for (int t = 0; t < iterations; ++t) {
    history.push_back(Reference_E_Step(d.X, n, want, R));
    want = Reference_M_Step(d.X, n, R, want, c.shared, 1e-6L);
  }
  for (int k = 0; k < K; ++k) {
    const long double *S = &want.sigma[static_cast<size_t>(k) * block];
    const auto variance = [&](int i) { return S[c.full ? i + i * dim : i]; };
    for (int i = 0; i < dim; ++i) {
      const long double m = want.mu[k * dim + i];
      const long double ulp = std::nextafter(std::fabs(static_cast<double>(m)), 1e300) -
                              std::fabs(static_cast<double>(m));
      EXPECT_LE(std::fabs(got.model.mu[k * dim + i] - m),
                std::max(1e-11L * std::sqrt(variance(i)), 40 * ulp))
          << "mean " << i << " of cluster " << k;
    }
    for (int e = 0; e < block; ++e) {
      const int a = c.full ? e % dim : e, b = c.full ? e / dim : e;
      EXPECT_LE(std::fabs(got.model.sigma[k * block + e] - S[e]),
                1e-11L * std::sqrt(variance(a) * variance(b)))
          << "covariance entry " << e << " of cluster " << k;
    }
    EXPECT_NEAR(got.model.pi[k], static_cast<double>(want.pi[k]), 1e-11) << "cluster " << k;
  }
  for (int t = 0; t < iterations; ++t)
    EXPECT_NEAR(got.history[t], static_cast<double>(history[t]), 1e-11 * std::fabs(history[t]))
        << "iteration " << t + 1;
}

INSTANTIATE_TEST_SUITE_P(
    Starts, FitFarStartTest,
    testing::Values(Far_Case{false, false, false, 1, 0}, Far_Case{true, false, false, 1, 0},
                    Far_Case{true, false, true, 1, 0}, Far_Case{false, false, false, 2, 1e4},
                    Far_Case{true, false, false, 2, 1e4}, Far_Case{false, false, true, 2, 1e8},
                    Far_Case{true, false, false, 2, 1e8}, Far_Case{true, true, true, 2, 1e8},
                    Far_Case{false, true, false, 2, 1e6}));

// Whole weights are points repeated, and a weight of 0 is a point left
// out: from the same start, the same fit (history, BIC and the iteration
// at which TolFun stops it included), in both modes, through the one
// kernel and through the separate ones, resident or streamed.
struct Weight_Case {
  bool full;
  int dim, K;
  bool stream;
};

std::ostream &operator<<(std::ostream &os, const Weight_Case &c) {
  return os << (c.full ? "full" : "diagonal") << ", dim " << c.dim << ", K " << c.K
            << (c.stream ? ", streamed" : "");
}

class FitWeightsTest : public LibraryTest, public testing::WithParamInterface<Weight_Case> {};

TEST_P(FitWeightsTest, WholeWeightsRepeatPointsAndZeroLeavesThemOut) {
  const Weight_Case c = GetParam();
  const int dim = c.dim, K = c.K, n = 1100;
  const Cluster_Data d = Make_Clusters(dim, n, K, 4.0, 1.0, 100.0, c.full, 89);
  const int block = c.full ? dim * dim : dim;
  std::vector<double> mu = d.centres, sigma(static_cast<size_t>(block) * K, 0.0), pi(K, 1.0 / K);
  for (int e = 0; e < dim * K; ++e) mu[e] += 0.5 - 0.25 * (e % 5);
  for (int k = 0; k < K; ++k)
    for (int i = 0; i < dim; ++i) sigma[k * block + (c.full ? i + i * dim : i)] = 2.0;
  Fit_Options o = Parameters_Start(c.full, mu, sigma, pi);
  o.max_iter = 30;
  o.tol_fun = 1e-7;
  o.stream = c.stream;
  o.max_chunk = c.stream ? 512 : 0;
  const auto fit = [&](const std::vector<double> &X, const std::vector<double> &w) {
    Fit_Options with = o;
    with.weights = w;
    return Fit_Under_Test(X.data(), dim, static_cast<std::int64_t>(X.size()) / dim, K, with);
  };
  const auto same = [&](const Fit_Result &a, const Fit_Result &b, double tolerance) {
    EXPECT_EQ(a.iterations, b.iterations);
    EXPECT_TRUE(Near_All(a.model.mu, b.model.mu, tolerance));
    EXPECT_TRUE(Near_All(a.model.sigma, b.model.sigma, tolerance));
    EXPECT_TRUE(Near_All(a.model.pi, b.model.pi, tolerance));
    EXPECT_TRUE(Near_All(a.history, b.history, tolerance));
    EXPECT_NEAR(a.bic, b.bic, tolerance * std::fabs(a.bic));
  };
  // Weights 0, 1, 2, 3 in turn against the points repeated that often.
  std::vector<double> w(n), repeated;
  for (int j = 0; j < n; ++j) {
    w[j] = j % 4;
    for (int r = 0; r < j % 4; ++r)
      repeated.insert(repeated.end(), d.X.begin() + j * dim, d.X.begin() + (j + 1) * dim);
  }
  {
    SCOPED_TRACE("whole weights");
    same(fit(d.X, w), fit(repeated, {}), 1e-12);
  }
  // Every fifth point weighing 0 against the data without them.
  std::vector<double> kept;
  for (int j = 0; j < n; ++j) {
    w[j] = j % 5 == 0 ? 0.0 : 1.0;
    if (w[j] > 0) kept.insert(kept.end(), d.X.begin() + j * dim, d.X.begin() + (j + 1) * dim);
  }
  SCOPED_TRACE("zero weights");
  same(fit(d.X, w), fit(kept, {}), 1e-13);
}

INSTANTIATE_TEST_SUITE_P(Paths, FitWeightsTest,
                         testing::Values(Weight_Case{false, 3, 3, false},
                                         Weight_Case{true, 3, 3, false},
                                         Weight_Case{true, 3, 3, true},
                                         Weight_Case{false, 17, 3, true},
                                         Weight_Case{true, 17, 3, false},
                                         Weight_Case{true, 2, 17, true}));

// EM does not care for units: data 1e-150 and 1e-152 times as large, from
// a start scaled alike, give the model scaled alike, and weights 1e-300
// times as large the same model, to rounding. The second moments of such
// data are near the smallest normal double: a host engine that flushed
// subnormal results to zero gave covariances 5e-8 and 6e-4 off.
TEST_F(LibraryTest, AFitScalesWithItsDataAndWeights) {
  for (const bool full : {false, true}) {
    SCOPED_TRACE(full ? "full" : "diagonal");
    const int dim = 3, K = 3, n = 900;
    const Cluster_Data d = Make_Clusters(dim, n, K, 4.0, 1.0, 5.0, full, 131);
    const int block = full ? dim * dim : dim;
    std::vector<double> mu = d.centres, sigma(static_cast<size_t>(block) * K, 0.0), pi(K, 1.0 / K);
    for (int e = 0; e < dim * K; ++e) mu[e] += 0.5 - 0.25 * (e % 5);
    for (int k = 0; k < K; ++k)
      for (int i = 0; i < dim; ++i) sigma[k * block + (full ? i + i * dim : i)] = 2.0;
    const auto fit = [&](double s, double w) {
      std::vector<double> X = d.X, m = mu, v = sigma;
      for (double &x : X) x *= s;
      for (double &x : m) x *= s;
      for (double &x : v) x *= s * s;
      Fit_Options o = Parameters_Start(full, m, v, pi);
      o.max_iter = 3;
      o.tol_fun = 0;
      o.regularization = 0;
      o.weights.assign(n, w);
      Fit_Result r = Fit_Under_Test(X.data(), dim, n, K, o);
      for (double &x : r.model.mu) x /= s;
      for (double &x : r.model.sigma) x /= s * s;
      return r;
    };
    const Fit_Result unit = fit(1.0, 1.0);
    for (const auto &[s, w] : {std::pair{1e-150, 1.0}, std::pair{1e-152, 1.0}, std::pair{1.0, 1e-300}}) {
      SCOPED_TRACE(testing::Message() << "scale " << s << ", weights " << w);
      const Fit_Result r = fit(s, w);
      EXPECT_TRUE(Near_All(unit.model.mu, r.model.mu, 1e-12));
      EXPECT_TRUE(Near_All(unit.model.sigma, r.model.sigma, 1e-11));
      EXPECT_TRUE(Near_All(unit.model.pi, r.model.pi, 1e-12));
    }
  }
}

// Posteriors under the tolerance count as 0 in the M-step, and only
// there: one iteration against the long double M-step of the thresholded
// reference posteriors, in both paths.
TEST_F(LibraryTest, ProbabilityToleranceDropsSmallPosteriorsFromTheMStep) {
  for (const int dim : {2, 17}) {
    const int K = 3, n = 1500;
    const Cluster_Data d = Make_Clusters(dim, n, K, 4.0, 1.0, 50.0, true, 97);
    std::vector<double> sigma(static_cast<size_t>(dim) * dim * K, 0.0), pi(K, 1.0 / K);
    for (int k = 0; k < K; ++k)
      for (int i = 0; i < dim; ++i) sigma[k * dim * dim + i + i * dim] = dim == 2 ? 1.5 : 40.0;
    Fit_Options o = Parameters_Start(true, d.centres, sigma, pi);
    o.max_iter = 1;
    o.tol_fun = 0;
    o.probability_tolerance = 1e-6;
    const Fit_Result got = Fit_Under_Test(d.X.data(), dim, n, K, o);
    o.probability_tolerance = 0;
    const Fit_Result plain = Fit_Under_Test(d.X.data(), dim, n, K, o);

    const LD_Mixture start = To_Long(dim, K, true, d.centres, sigma, pi);
    std::vector<long double> R;
    Reference_E_Step(d.X, n, start, R);
    int dropped = 0;  // that make a difference
    for (long double &r : R) {
      dropped += r < 1e-6L && r > 1e-9L;
      if (r < 1e-6L) r = 0;
    }
    ASSERT_GT(dropped, 30) << "dim " << dim << ": the data must have small posteriors";
    const LD_Mixture want = Reference_M_Step(d.X, n, R, start, false, 1e-6L);
    EXPECT_TRUE(Near_All({want.sigma.begin(), want.sigma.end()}, got.model.sigma, 1e-12))
        << "dim " << dim;
    EXPECT_TRUE(Near_All({want.mu.begin(), want.mu.end()}, got.model.mu, 1e-13));
    EXPECT_TRUE(Near_All({want.pi.begin(), want.pi.end()}, got.model.pi, 1e-13));
    EXPECT_TRUE(Same_Bits(got.history, plain.history)) << "the log-likelihood keeps every term";
    EXPECT_FALSE(Same_Bits(got.model.sigma, plain.model.sigma));
  }
}

struct Seed_Case {
  bool full;
  Start start;
};

std::ostream &operator<<(std::ostream &os, const Seed_Case &c) {
  return os << (c.full ? "full" : "diagonal") << (c.start == Start::plus ? ", plus" : ", randSample");
}

class FitSeedTest : public LibraryTest, public testing::WithParamInterface<Seed_Case> {};

TEST_P(FitSeedTest, RepeatsBitForBitAndRecoversSeparatedClusters) {
  const Seed_Case c = GetParam();
  const int dim = 2, K = 4, n = 1000;
  const Cluster_Data d = Make_Clusters(dim, n, K, 10.0, 1.0, 50.0, c.full, 41);
  Fit_Options o{
      .mode = Mode_Of(c.full), .start = c.start, .replicates = 3, .max_iter = 40, .seed = 7};
  const Fit_Result a = Fit_Under_Test(d.X.data(), dim, n, K, o);
  const Fit_Result b = Fit_Under_Test(d.X.data(), dim, n, K, o);
  EXPECT_TRUE(Same_Bits(a.model.mu, b.model.mu));
  EXPECT_TRUE(Same_Bits(a.model.sigma, b.model.sigma));
  EXPECT_TRUE(Same_Bits(a.model.pi, b.model.pi));
  EXPECT_TRUE(Same_Bits(a.history, b.history));
  EXPECT_EQ(a.replicate, b.replicate);
  EXPECT_TRUE(Never_Decreases(a.history));
  // k-means++ from three starts finds every cluster: each true centre has
  // a fitted one within a few standard errors. (Uniform draws put two
  // centres in one cluster too often for that.)
  for (int k = 0; k < K && c.start == Start::plus; ++k) {
    double nearest = 1e300;
    int which = 0;
    for (int l = 0; l < K; ++l) {
      double q = 0;
      for (int i = 0; i < dim; ++i) {
        const double e = a.model.mu[l * dim + i] - d.centres[k * dim + i];
        q += e * e;
      }
      if (q < nearest) nearest = q, which = l;
    }
    EXPECT_LT(std::sqrt(nearest), 0.3) << "centre " << k;
    EXPECT_NEAR(a.model.pi[which], 0.25, 0.02) << "centre " << k;
  }
  o.seed = 8;
  const Fit_Result other = Fit_Under_Test(d.X.data(), dim, n, K, o);
  EXPECT_FALSE(Same_Bits(a.start.mu, other.start.mu)) << "the seed must change the start";
}

INSTANTIATE_TEST_SUITE_P(Starts, FitSeedTest,
                         testing::Values(Seed_Case{false, Start::plus}, Seed_Case{true, Start::plus},
                                         Seed_Case{false, Start::rand_sample},
                                         Seed_Case{true, Start::rand_sample}));

class FitLabelsTest : public LibraryTest, public testing::WithParamInterface<bool> {};

TEST_P(FitLabelsTest, LabelsStartIsTheMStepOfTheirHardAssignment) {
  const bool full = GetParam();
  const int dim = 3, K = 3, n = 900;
  const Cluster_Data d = Make_Clusters(dim, n, K, 5.0, 1.0, 100.0, full, 43);
  Fit_Options o{.mode = Mode_Of(full), .start = Start::labels, .max_iter = 1};
  std::vector<long double> R(static_cast<size_t>(K) * n, 0.0L);
  for (int j = 0; j < n; ++j) {
    const int k = j % 5 == 0 ? (j + 1) % K : j % K;  // some points in a neighbour's cluster
    o.labels.push_back(k);
    R[static_cast<size_t>(j) * K + k] = 1;
  }
  const Fit_Result got = Fit_Under_Test(d.X.data(), dim, n, K, o);
  const LD_Mixture shape{dim, K, full, {}, {}, {}};
  const LD_Mixture want = Reference_M_Step(d.X, n, R, shape, false, 1e-6L);
  EXPECT_TRUE(Near_All(std::vector<double>(want.mu.begin(), want.mu.end()), got.start.mu, 1e-15));
  EXPECT_TRUE(Near_All(std::vector<double>(want.sigma.begin(), want.sigma.end()), got.start.sigma,
                       1e-13));
  EXPECT_TRUE(Near_All(std::vector<double>(want.pi.begin(), want.pi.end()), got.start.pi, 1e-15));
}

// The two streams of streamed data against the one of resident data: the
// same bits from every start, however the chunks fall; through the one
// kernel and through the separate ones, whose posteriors and logP wait in
// each stream's own buffers.
class FitStreamTest : public LibraryTest, public testing::WithParamInterface<Stat_Case> {};

TEST_P(FitStreamTest, StreamedChunksGiveTheBitsOfResidentData) {
  const bool full = GetParam().full;
  const int dim = GetParam().dim, K = GetParam().K, n = GetParam().n;
  const Cluster_Data d = Make_Clusters(dim, n, K, 5.0, 1.0, 20.0, full, 73);
  for (const Start start : {Start::plus, Start::labels}) {
    Fit_Options o{.mode = Mode_Of(full), .start = start, .max_iter = 4, .tol_fun = 0};
    for (int j = 0; j < n; ++j) o.labels.push_back(j % K);
    const Fit_Result resident = Fit_Under_Test(d.X.data(), dim, n, K, o);
    ASSERT_TRUE(resident.resident);
    o.stream = true;
    for (const std::int64_t max_chunk : {512, 1024}) {
      o.max_chunk = max_chunk;
      const Fit_Result streamed = Fit_Under_Test(d.X.data(), dim, n, K, o);
      ASSERT_FALSE(streamed.resident);
      EXPECT_EQ(streamed.chunk, max_chunk);
      EXPECT_TRUE(Same_Bits(resident.start.mu, streamed.start.mu)) << "chunks of " << max_chunk;
      EXPECT_TRUE(Same_Bits(resident.model.mu, streamed.model.mu)) << "chunks of " << max_chunk;
      EXPECT_TRUE(Same_Bits(resident.model.sigma, streamed.model.sigma));
      EXPECT_TRUE(Same_Bits(resident.model.pi, streamed.model.pi));
      EXPECT_TRUE(Same_Bits(resident.history, streamed.history));
      EXPECT_TRUE(Same_Bits({resident.log_likelihood}, {streamed.log_likelihood}));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, FitStreamTest,
                         testing::Values(Stat_Case{false, 3, 3, 2600}, Stat_Case{true, 3, 3, 2600},
                                         Stat_Case{false, 3, 17, 2600},
                                         Stat_Case{true, 17, 3, 2600}));

// The one kernel against the separate ones that the benchmark compares it
// with: the same fit to rounding, and not the same bits (their sums run in
// other orders), so the option does change the path. Diagonal mode past 16
// coordinates has a kernel of its own.
class FitKernelsTest : public LibraryTest, public testing::WithParamInterface<bool> {};

TEST_P(FitKernelsTest, OneKernelAndSeparateKernelsFitAlike) {
  const bool full = GetParam();
  for (const int dim : full ? std::vector<int>{4} : std::vector<int>{4, 20}) {
    SCOPED_TRACE("dim " + std::to_string(dim));
    const int K = 5, n = 3000;
    const Cluster_Data d = Make_Clusters(dim, n, K, 5.0, 1.0, 20.0, full, 79);
    Fit_Options o{.mode = Mode_Of(full), .max_iter = 5, .tol_fun = 0};
    const Fit_Result one = Fit_Under_Test(d.X.data(), dim, n, K, o);
    o.separate_kernels = true;
    const Fit_Result separate = Fit_Under_Test(d.X.data(), dim, n, K, o);
    EXPECT_TRUE(Near_All(one.model.mu, separate.model.mu, 1e-12));
    EXPECT_TRUE(Near_All(one.model.sigma, separate.model.sigma, 1e-12));
    EXPECT_TRUE(Near_All(one.model.pi, separate.model.pi, 1e-12));
    EXPECT_TRUE(Near_All(one.history, separate.history, 1e-12));
    EXPECT_FALSE(Same_Bits(one.model.sigma, separate.model.sigma));
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, FitKernelsTest, testing::Bool(), Mode_Name);

INSTANTIATE_TEST_SUITE_P(Modes, FitLabelsTest, testing::Bool(), Mode_Name);

// The second centre given a first at 0: points at 1, 2 and 3 in three
// different units of 512 points, drawn as 1 : 4 : 9.
TEST_F(LibraryTest, PlusDrawsTheNextCentreInProportionToSquaredDistance) {
  const int n = 1100;
  std::vector<double> X(n, 0.0);
  X[5] = 1;
  X[700] = 2;
  X[1050] = 3;
  Fit_Options o{.mode = Mode::diagonal, .regularization = 1e-3, .max_iter = 1};
  std::vector<int> drawn(3, 0);
  int used = 0;
  for (std::uint64_t seed = 0; seed < 700; ++seed) {
    o.seed = seed;
    const Fit_Result r = Fit_Under_Test(X.data(), 1, n, 2, o);
    if (r.start.mu[0] != 0.0) continue;
    const double second = r.start.mu[1];
    ASSERT_TRUE(second == 1 || second == 2 || second == 3) << "drew " << second;
    ++drawn[static_cast<int>(second) - 1];
    ++used;
  }
  for (int i = 0; i < 3; ++i) {
    const double p = (i + 1.0) * (i + 1.0) / 14.0;
    EXPECT_NEAR(drawn[i], used * p, 5 * std::sqrt(used * p * (1 - p)))
        << "point " << i + 1 << ", of " << used << " draws";
  }
}

TEST_F(LibraryTest, TolFunStopsAtTheFirstSmallRiseAndZeroRunsMaxIter) {
  const Cluster_Data d = Make_Clusters(2, 800, 3, 4.0, 1.0, 0.0, true, 47);
  Fit_Options o{.max_iter = 300, .tol_fun = 1e-5, .seed = 3};
  const Fit_Result r = Fit_Under_Test(d.X.data(), 2, 800, 3, o);
  ASSERT_TRUE(r.converged);
  ASSERT_EQ(r.history.size(), static_cast<size_t>(r.iterations));
  ASSERT_GE(r.iterations, 3);
  const auto rise = [&](size_t t) { return (r.history[t] - r.history[t - 1]) / 800; };
  for (size_t t = 1; t + 1 < r.history.size(); ++t) EXPECT_GE(rise(t), o.tol_fun) << t;
  EXPECT_LT(rise(r.history.size() - 1), o.tol_fun);
  // LogLikelihood is the returned model's.
  std::vector<long double> R;
  const long double final_l =
      Reference_E_Step(d.X, 800, To_Long(2, 3, true, r.model.mu, r.model.sigma, r.model.pi), R);
  EXPECT_NEAR(r.log_likelihood, static_cast<double>(final_l), 1e-12 * std::fabs(final_l));
  EXPECT_GE(r.log_likelihood, r.history.back());

  o.tol_fun = 0;
  o.max_iter = 7;
  const Fit_Result fixed = Fit_Under_Test(d.X.data(), 2, 800, 3, o);
  EXPECT_EQ(fixed.iterations, 7);
  EXPECT_EQ(fixed.history.size(), 7u);
  EXPECT_FALSE(fixed.converged);
}

// A start's priors are rescaled to sum to 1, also where their sum
// overflows: priors near the largest double are the same start as equal ones.
TEST_F(LibraryTest, StartPriorsAreRescaledEvenWhereTheirSumOverflows) {
  const Cluster_Data d = Make_Clusters(2, 400, 2, 6.0, 1.0, 0.0, false, 59);
  Fit_Options o = Parameters_Start(false, d.centres, {1, 1, 1, 1}, {1e308, 1e308});
  o.max_iter = 3;
  o.tol_fun = 0;
  const Fit_Result huge = Fit_Under_Test(d.X.data(), 2, 400, 2, o);
  o.pi = {1, 1};
  const Fit_Result equal = Fit_Under_Test(d.X.data(), 2, 400, 2, o);
  EXPECT_TRUE(Same_Bits(huge.history, equal.history));
  EXPECT_TRUE(Same_Bits(huge.model.pi, equal.model.pi));
}

// An interrupt ends the whole fit at the next iteration, naming it: it is
// not a failed replicate for the next one to outlive.
TEST_F(LibraryTest, AnInterruptEndsTheFitAtTheNextIteration) {
  const Cluster_Data d = Make_Clusters(2, 300, 2, 6.0, 1.0, 0.0, false, 67);
  Fit_Options o{.replicates = 3, .max_iter = 50, .tol_fun = 0};
  int asked = 0;
  o.interrupted = [&asked] { return ++asked == 5; };  // replicate 1's start, iterations 1-3
  try {
    Fit_Under_Test(d.X.data(), 2, 300, 2, o);
    FAIL() << "the fit went on";
  } catch (const velmora_log::Error &e) {
    EXPECT_EQ(e.id(), "Velmora:interrupted");
    EXPECT_EQ(std::string(e.what()),
              "The fit was interrupted at iteration 4 of replicate 1 of 3; it returns nothing.");
  }
  EXPECT_EQ(asked, 5) << "asked again after the interrupt";
  asked = 0;
  o.interrupted = [&asked] { return ++asked < 0; };
  o.max_iter = 2;
  o.replicates = 2;
  const Fit_Result r = Fit_Under_Test(d.X.data(), 2, 300, 2, o);
  EXPECT_EQ(asked, 6) << "before each replicate and each iteration";
  EXPECT_EQ(r.iterations, 2);
}

// fitgmdist's rule (relative_tol_fun): the first iteration whose rise is
// at most tol_fun x max(1, |log-likelihood|), with that iteration's model,
// bit for bit; at 0, the first where it no longer rises. Data in small
// units: a positive log-likelihood of thousands of nats.
TEST_F(LibraryTest, TheRelativeRuleStopsWhereFitgmdistStops) {
  Cluster_Data d = Make_Clusters(2, 600, 3, 6.0, 1.0, 0.0, true, 73);
  for (double &v : d.X) v *= 1e-3;
  std::vector<double> mu = {0, 0, 3e-3, 3e-3, -3e-3, 3e-3}, sigma(12, 0.0), pi(3, 1.0 / 3);
  for (int k = 0; k < 3; ++k) sigma[4 * k] = sigma[4 * k + 3] = 1e-5;
  Fit_Options o = Parameters_Start(true, mu, sigma, pi);
  o.max_iter = 500;
  o.tol_fun = 0;
  const std::vector<double> h = Fit_Under_Test(d.X.data(), 2, 600, 3, o).history;
  o.relative_tol_fun = true;
  for (const double tol : {1e-4, 1e-8, 0.0}) {
    size_t t = 2;
    while (t <= h.size() && !(h[t - 1] - h[t - 2] <= tol * std::max(1.0, std::fabs(h[t - 1])))) ++t;
    ASSERT_LE(t, h.size()) << "TolFun " << tol << ": the rule never holds in 500 iterations";
    o.tol_fun = tol;
    o.max_iter = 500;
    const Fit_Result r = Fit_Under_Test(d.X.data(), 2, 600, 3, o);
    EXPECT_EQ(r.iterations, static_cast<std::int64_t>(t)) << "TolFun " << tol;
    EXPECT_TRUE(r.converged) << "TolFun " << tol;
    Fit_Options plain = o;
    plain.relative_tol_fun = false;
    plain.tol_fun = 0;
    plain.max_iter = static_cast<std::int64_t>(t);
    const Fit_Result want = Fit_Under_Test(d.X.data(), 2, 600, 3, plain);
    EXPECT_TRUE(Same_Bits(want.model.mu, r.model.mu)) << "TolFun " << tol;
    EXPECT_TRUE(Same_Bits(want.model.sigma, r.model.sigma)) << "TolFun " << tol;
    EXPECT_FALSE(want.converged);
  }
}

// Long starts and long passes look too: k-means++ between its passes over
// X (one a centre), the host engine between the waves of a pass (a wave of
// 512 points here), so that a fit over much data ends within a pass. The
// message names where it was.
TEST_F(LibraryTest, AnInterruptEndsTheFitWithinItsStartOrAHostPass) {
  const Cluster_Data d = Make_Clusters(2, 3000, 4, 6.0, 1.0, 0.0, false, 69);
  const auto interrupted_when = [&](Fit_Options o, int at) {
    o.max_iter = 50;
    o.tol_fun = 0;
    o.max_chunk = 512;
    int asked = 0;
    o.interrupted = [&asked, at] { return ++asked == at; };
    try {
      Fit_Under_Test(d.X.data(), 2, 3000, 4, o);
      ADD_FAILURE() << "the fit went on";
    } catch (const velmora_log::Error &e) {
      EXPECT_EQ(e.id(), "Velmora:interrupted");
      EXPECT_EQ(asked, at) << "asked again after the interrupt";
      return std::string(e.what());
    }
    return std::string();
  };
  // The start's check, then the first between k-means++'s passes.
  EXPECT_EQ(interrupted_when({}, 2),
            "The fit was interrupted at the start of replicate 1 of 1; it returns nothing.");
  // The start's check, iteration 1's, then the first between waves of its
  // pass, which the device does not ask (the next is iteration 2's).
  const bool host = Engine_Under_Test() == velmora_log::Engine::host;
  std::vector<double> mu(8), sigma(8, 1.0), pi(4, 0.25);
  for (int k = 0; k < 4; ++k) mu[2 * k] = mu[2 * k + 1] = 6.0 * k;
  EXPECT_EQ(interrupted_when(Parameters_Start(false, mu, sigma, pi), 3),
            std::string("The fit was interrupted at iteration ") + (host ? "1" : "2") +
                " of replicate 1 of 1; it returns nothing.");
}

// ---------------------------------------------------------------------------
// Failures: the cluster and the iteration named; replicates dropped.

struct Failure_Case {
  const char *name;
  bool full;
  double reg;
  std::vector<double> mu, sigma;  // a 1-D start per cluster (the full case widens it)
  std::string message;
};

std::ostream &operator<<(std::ostream &os, const Failure_Case &c) { return os << c.name; }

class FitFailureTest : public LibraryTest, public testing::WithParamInterface<Failure_Case> {};

TEST_P(FitFailureTest, NamesTheClusterAndTheIteration) {
  const Failure_Case c = GetParam();
  // 599 points near 0 and 10, and one at 100, in dim 2 (the second
  // coordinate a copy of the first, plus noise).
  const int n = 600, dim = 2, K = static_cast<int>(c.mu.size());
  const Cluster_Data d = Make_Clusters(1, n - 1, 2, 10.0, 1.0, 0.0, false, 53);
  std::vector<double> X;
  for (int j = 0; j < n - 1; ++j) X.insert(X.end(), {d.X[j], d.X[j] + 0.01 * (j % 7)});
  X.insert(X.end(), {100.0, 100.0});
  std::vector<double> mu, sigma, pi(K, 1.0 / K);
  for (int k = 0; k < K; ++k) {
    mu.insert(mu.end(), {c.mu[k], c.mu[k]});
    if (c.full) sigma.insert(sigma.end(), {c.sigma[k], 0.0, 0.0, c.sigma[k]});
    else sigma.insert(sigma.end(), {c.sigma[k], c.sigma[k]});
  }
  Fit_Options o = Parameters_Start(c.full, mu, sigma, pi);
  o.regularization = c.reg;
  try {
    Fit_Under_Test(X.data(), dim, n, K, o);
    FAIL() << "the fit went on";
  } catch (const velmora_log::Error &e) {
    EXPECT_EQ(e.id(), "Velmora:fit");
    EXPECT_EQ(std::string(e.what()), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FitFailureTest,
    testing::Values(
        Failure_Case{"LostCluster", true, 1e-6, {0, 10, 1e4}, {1, 1, 1},
                     "Cluster 3 lost its points at iteration 1: its posterior weights sum to 0 "
                     "of 600."},
        Failure_Case{"LonePointDiagonal", false, 0, {0, 10, 100}, {1, 1, 1},
                     "The covariance of cluster 3 stopped being positive definite at iteration "
                     "1 (its variance along coordinate 1 is 0); a larger 'RegularizationValue' "
                     "(now 0) keeps it so."},
        Failure_Case{"LonePointFull", true, 0, {100, 0, 10}, {1, 1, 1},
                     "The covariance of cluster 1 stopped being positive definite at iteration "
                     "1 (its variance along coordinate 1 is 0); a larger 'RegularizationValue' "
                     "(now 0) keeps it so."}),
    [](const testing::TestParamInfo<Failure_Case> &i) { return i.param.name; });

// A constant coordinate without regularisation: the start's covariance is
// not positive definite, and the message says so (it said "stopped being")
// and names the coordinate; a shared one as every cluster's. The labels
// start's full covariances have anti-correlated coordinates 1 and 2 (an
// off-diagonal entry read as a variance would name coordinate 2).
TEST_F(LibraryTest, AConstantCoordinateIsNamedAtTheStart) {
  std::vector<double> X, labels;
  for (int j = 0; j < 200; ++j) {
    const double t = j % 7 + 0.1 * (j % 3);
    X.insert(X.end(), {t, -t + 0.05 * (j % 5), 5.0});
    labels.push_back(j % 2);
  }
  const auto message = [&](const Fit_Options &o) {
    try {
      Fit_Under_Test(X.data(), 3, 200, 2, o);
    } catch (const velmora_log::Error &e) {
      return e.id() + ": " + e.what();
    }
    return std::string("no error");
  };
  const std::string rest = " is not positive definite at the start (its variance along "
                           "coordinate 3 is 0); a larger 'RegularizationValue' (now 0) keeps it so.";
  for (const bool full : {false, true})
    for (const bool shared : {false, true}) {
      SCOPED_TRACE(testing::Message() << (full ? "full" : "diagonal") << (shared ? ", shared" : ""));
      Fit_Options o{.mode = full ? Mode::full : Mode::diagonal, .shared = shared,
                    .regularization = 0};
      EXPECT_EQ(message(o), "Velmora:fit: The covariance of " +
                                std::string(shared ? "every cluster (shared)" : "cluster 1") + rest);
      o.start = Start::labels;
      o.labels = labels;
      EXPECT_EQ(message(o), "Velmora:fit: The covariance of " +
                                std::string(shared ? "every cluster (shared)" : "cluster 1") + rest);
    }
}

// Values whose squares overflow name that cause, not a lost cluster or a
// too small regularisation: the data's variance at a k-means++ start, a
// covariance the M-step forms, a point whose density is 0 under every
// cluster of a given start.
TEST_F(LibraryTest, ValuesTooLargeForDoublesAreNamedAsSuch) {
  const Cluster_Data d = Make_Clusters(1, 300, 1, 1.0, 1.0, 0.0, false, 101);
  const auto failure = [&](std::vector<double> X, const Fit_Options &o) {
    try {
      Fit_Under_Test(X.data(), 1, static_cast<std::int64_t>(X.size()), 2, o);
    } catch (const velmora_log::Error &e) {
      return e.id() + ": " + e.what();
    }
    return std::string("no error");
  };
  std::vector<double> X = d.X;
  X.push_back(1e160);
  EXPECT_EQ(failure(X, Fit_Options{.mode = Mode::diagonal}),
            "Velmora:data: The variance of coordinate 1 of the data cannot be computed: X's "
            "values are too large for the sums of their squares to be doubles; scale X down.");
  // Weighed alike, data of ordinary size can be too heavy: the weights are
  // named with X.
  Fit_Options heavy{.mode = Mode::diagonal};
  heavy.weights.assign(d.X.size(), 1e300);
  std::vector<double> wider = d.X;
  for (double &x : wider) x *= 1e4;
  EXPECT_EQ(failure(wider, heavy),
            "Velmora:data: The variance of coordinate 1 of the data cannot be computed: X's "
            "values, with their weights, are too large for the weighted sums of their squares to "
            "be doubles; scale X down.");

  Fit_Options given = Parameters_Start(false, {0.0, 1.0}, {1e300, 1e300}, {0.5, 0.5});
  std::vector<double> wide = d.X;
  for (double &x : wide) x *= 1e156;
  EXPECT_EQ(failure(wide, given),
            "Velmora:fit: The covariance of cluster 1 overflows at iteration 1: X's values are "
            "too large for the sums of their squares to be doubles; scale X down.");
  // Shared, the pooled covariance is every cluster's, also where it holds
  // NaN (inf - inf, as the host engine's sums give it here).
  std::vector<double> pairs;
  for (size_t j = 0; j < wide.size(); ++j)
    pairs.insert(pairs.end(), {1e4 * wide[j], 1e4 * wide[(j * 7 + 3) % wide.size()]});
  const std::vector<double> wide_start{1e300, 0.0, 0.0, 1e300, 1e300, 0.0, 0.0, 1e300};
  Fit_Options shared = Parameters_Start(true, {0.0, 0.0, 1.0, 1.0}, wide_start, {0.5, 0.5});
  shared.shared = true;
  try {
    Fit_Under_Test(pairs.data(), 2, static_cast<std::int64_t>(wide.size()), 2, shared);
    ADD_FAILURE() << "no error";
  } catch (const velmora_log::Error &e) {
    EXPECT_EQ(std::string(e.what()),
              "The covariance of every cluster (shared) overflows at iteration 1: X's values are "
              "too large for the sums of their squares to be doubles; scale X down.");
  }

  given = Parameters_Start(false, {0.0, 1.0}, {1.0, 1.0}, {0.5, 0.5});
  X = d.X;
  X.insert(X.begin() + 200, 1e200);
  EXPECT_EQ(failure(X, given),
            "Velmora:fit: The density of point 201 is 0 under every cluster at iteration 1 (its "
            "log-density underflows to -Inf): it lies too far from every centre for doubles; "
            "scale X down, or start nearer the data.");
}

// Two distinct points and three clusters without regularisation: some
// cluster always collapses onto one point.
TEST_F(LibraryTest, EveryReplicateFailingIsAnErrorAndEachIsReported) {
  std::vector<double> X(600);
  for (int j = 0; j < 600; ++j) X[j] = j % 2;
  Fit_Options o{.mode = Mode::diagonal,
                .regularization = 0,
                .replicates = 3,
                .display = velmora_log::Display::final};
  std::string said;
  o.print = [&said](const std::string &text) { said += text; };
  try {
    Fit_Under_Test(X.data(), 1, 600, 3, o);
    FAIL() << "the fit went on";
  } catch (const velmora_log::Error &e) {
    EXPECT_EQ(e.id(), "Velmora:fit");
    EXPECT_EQ(std::string(e.what()).rfind("Every one of the 3 replicates failed; the first: ", 0), 0u)
        << e.what();
  }
  for (const char *r : {"Replicate 1 dropped: ", "Replicate 2 dropped: ", "Replicate 3 dropped: "})
    EXPECT_NE(said.find(r), std::string::npos) << said;
}

}  // namespace
