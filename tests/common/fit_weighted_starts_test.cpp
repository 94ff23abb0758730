// Weighted starts and extreme points on whichever engine VELMORA_DEVICE
// names: the k-means++ draw weighs each point's squared distance once, a
// point of weight 0 is a point left out however far it lies, and the
// padding of a short last panel adds nothing even where the origin is
// unreachable from every cluster.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "common/engine_under_test.h"
#include "common/fit_fixture.h"
#include "common/library_test.h"
#include "fit.h"

namespace {

using velmora_log::Fit_Options;
using velmora_log::Fit_Result;
using velmora_log::Mode;
using velmora_log::Start;

// The first centre is all but surely the heavy point at 0; the second is
// 2 or 1, with weight x squared distance 0.25 x 4 = 1 against 1 x 1 = 1:
// drawn equally often.
TEST_F(LibraryTest, FitWeightedPlusDrawsByWeightTimesSquaredDistance) {
  const std::vector<double> X = {0.0, 2.0, 1.0}, w = {1e6, 0.25, 1.0};
  Fit_Options o{.mode = Mode::diagonal, .regularization = 1e-3, .max_iter = 1, .tol_fun = 0,
                .weights = w};
  int two = 0, used = 0;
  for (std::uint64_t seed = 0; seed < 400; ++seed) {
    o.seed = seed;
    const Fit_Result r = Fit_Under_Test(X.data(), 1, 3, 2, o);
    if (r.start.mu[0] != 0.0) continue;
    two += r.start.mu[1] == 2.0;
    ++used;
  }
  EXPECT_NEAR(two, used / 2.0, 5 * std::sqrt(used / 4.0)) << two << " of " << used;
}

// A point of weight 0 so far out that its density underflows under every
// cluster changes nothing.
TEST_F(LibraryTest, FitLeavesOutAFarPointOfWeightZero) {
  std::mt19937_64 random(3);
  std::normal_distribution<double> normal;
  std::vector<double> X(500);
  for (double &x : X) x = normal(random);
  Fit_Options o{.mode = Mode::diagonal, .start = Start::parameters, .mu = {-1.0, 1.0},
                .sigma = {1.0, 1.0}, .pi = {0.5, 0.5}, .max_iter = 5, .tol_fun = 0};
  const Fit_Result kept = Fit_Under_Test(X.data(), 1, 500, 2, o);
  X.push_back(1e200);
  o.weights.assign(501, 1.0);
  o.weights.back() = 0.0;
  const Fit_Result all = Fit_Under_Test(X.data(), 1, 501, 2, o);
  for (int e = 0; e < 2; ++e) {
    EXPECT_NEAR(all.model.mu[e], kept.model.mu[e], 1e-13);
    EXPECT_NEAR(all.model.sigma[e], kept.model.sigma[e], 1e-13);
  }
}

// And out of the start. Put first, a far one
// was the point that the data's variance (random and k-means++ starts)
// and its cluster's first moments (a labels start) were taken about: at
// 1e40 the others' differences cancelled (a start of variance 1e-6, the
// same optimum by another path), at 1e200 their squares overflowed (a fit
// refused). Each start against the data without it.
TEST_F(LibraryTest, APointOfWeightZeroIsLeftOutOfTheStart) {
  const int dim = 2, K = 3, n = 600;
  const Cluster_Data d = Make_Clusters(dim, n, K, 6.0, 1.0, 0.0, true, 151);
  std::vector<double> labels(n);
  for (int j = 0; j < n; ++j) labels[j] = j % K;
  for (const double far : {1e40, 1e200}) {
    std::vector<double> X{far, -far};
    X.insert(X.end(), d.X.begin(), d.X.end());
    std::vector<double> w(n + 1, 1.0), with_labels(labels);
    w[0] = 0.0;
    with_labels.insert(with_labels.begin(), 0.0);
    for (const Start start : {Start::rand_sample, Start::plus, Start::labels}) {
      SCOPED_TRACE(testing::Message() << "far " << far << ", start " << static_cast<int>(start));
      Fit_Options o;
      o.mode = Mode::full;
      o.start = start;
      o.seed = 5;
      o.max_iter = 3;
      o.tol_fun = 0;
      o.weights.assign(n, 1.0);
      o.labels = labels;
      const Fit_Result alone = Fit_Under_Test(d.X.data(), dim, n, K, o);
      o.weights = w;
      o.labels = with_labels;
      const Fit_Result r = Fit_Under_Test(X.data(), dim, n + 1, K, o);
      for (const auto &[a, b] : {std::pair{&alone.history, &r.history},
                                 std::pair{&alone.model.mu, &r.model.mu},
                                 std::pair{&alone.model.sigma, &r.model.sigma}}) {
        ASSERT_EQ(a->size(), b->size());
        for (size_t e = 0; e < a->size(); ++e)
          EXPECT_NEAR((*b)[e], (*a)[e], 1e-12 * std::fabs((*a)[e]) + 1e-12) << "entry " << e;
      }
    }
  }
}

// Every point the same, far from the origin, one cluster on them: 100
// points leave the rest of a panel empty, whose padding must weigh 0.
TEST_F(LibraryTest, FitPointsFarFromTheOriginWhateverThePanelsPadding) {
  const std::vector<double> X(100, 1e160);
  const Fit_Options o{.mode = Mode::diagonal, .regularization = 1.0, .start = Start::parameters,
                      .mu = {1e160}, .sigma = {1.0}, .pi = {1.0}, .max_iter = 3, .tol_fun = 0};
  const Fit_Result r = Fit_Under_Test(X.data(), 1, 100, 1, o);
  EXPECT_EQ(r.model.mu[0], 1e160);
  EXPECT_EQ(r.model.sigma[0], 1.0);
}

// Weighted 'randSample' draws K distinct points, however small some
// weights are beside another (drawn one at a time by a running sum, they
// would wait for ever for K distinct points); and, drawn many times,
// in proportion to their weights: point 3 of weights 1 : 1 : 2 : 0 first
// about half the time, point 4 never.
TEST_F(LibraryTest, FitWeightedRandSampleDrawsDistinctPointsByWeight) {
  std::vector<double> X = {0.0, 1.0, 2.0, 3.0};
  Fit_Options o{.mode = Mode::diagonal, .regularization = 1e-3, .start = Start::rand_sample,
                .max_iter = 1, .tol_fun = 0, .weights = {1e13, 1.0, 1.0, 1.0}};
  const Fit_Result tiny = Fit_Under_Test(X.data(), 1, 4, 3, o);
  std::vector<double> drawn = tiny.start.mu;
  std::sort(drawn.begin(), drawn.end());
  EXPECT_TRUE(std::adjacent_find(drawn.begin(), drawn.end()) == drawn.end()) << "distinct";
  o.weights = {1.0, 1.0, 2.0, 0.0};
  int third_first = 0;
  const int draws = 400;
  for (int seed = 0; seed < draws; ++seed) {
    o.seed = static_cast<std::uint64_t>(seed);
    const Fit_Result r = Fit_Under_Test(X.data(), 1, 4, 2, o);
    ASSERT_NE(r.start.mu[0], 3.0);
    ASSERT_NE(r.start.mu[1], 3.0);
    third_first += r.start.mu[0] == 2.0;
  }
  EXPECT_NEAR(third_first, draws / 2.0, 5 * std::sqrt(draws / 4.0));
}

// Weights all alike are no weights to a draw: ones give, seed for seed, the
// start (and so the fit) that the default of 1 each gives, for both draws
// and for the small and the large sample alike; another common weight
// draws the same points by 'randSample' ('plus' weighs its distances by it,
// rounded).
TEST_F(LibraryTest, FitWithEqualWeightsDrawsTheStartOfNoWeights) {
  std::mt19937_64 random(5);
  std::normal_distribution<double> normal;
  for (const int n : {6, 300}) {
    std::vector<double> X(2 * static_cast<size_t>(n));
    for (double &x : X) x = normal(random);
    for (const Start start : {Start::rand_sample, Start::plus})
      for (std::uint64_t seed = 0; seed < 3; ++seed) {
        SCOPED_TRACE(testing::Message() << "n " << n << ", seed " << seed
                                        << (start == Start::plus ? ", plus" : ", randSample"));
        Fit_Options o{.mode = Mode::full, .regularization = 1e-3, .start = start, .max_iter = 2,
                      .tol_fun = 0, .seed = seed};
        const Fit_Result plain = Fit_Under_Test(X.data(), 2, n, 3, o);
        o.weights.assign(static_cast<size_t>(n), 1.0);
        const Fit_Result ones = Fit_Under_Test(X.data(), 2, n, 3, o);
        EXPECT_EQ(ones.start.mu, plain.start.mu);
        EXPECT_EQ(ones.model.mu, plain.model.mu);
        EXPECT_EQ(ones.history, plain.history);
        if (start == Start::rand_sample) {
          o.weights.assign(static_cast<size_t>(n), 3.0);
          EXPECT_EQ(Fit_Under_Test(X.data(), 2, n, 3, o).start.mu, plain.start.mu);
        }
      }
  }
}

}  // namespace
