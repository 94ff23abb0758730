// The host engine's own guarantees, whatever the binary's device: a point's
// bits do not depend on where it sits in its panel, on the other points or
// on N (every loop does a point's arithmetic alike, whatever the panel's
// width); a fit's bits do not depend on the
// threads or the chunks; weights and the posterior floor weigh the sums as
// Fit_Data says; BLAS gets its thread count back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/env_set.h"
#include "common/fit_fixture.h"
#include "common/library_test.h"
#include "common/log_reference.h"
#include "common/mixture_fixture.h"
#include "fit.h"
#include "fit_passes.h"
// Quad arguments without AVX in this file: the same values, another ABI.
#pragma GCC diagnostic ignored "-Wpsabi"
#include "host_exp.h"
#include "host_wide.h"
#include "log_mixture.h"
#include "unit_tree.h"

extern "C" int openblas_get_num_threads(void);
extern "C" void openblas_set_num_threads(int);

namespace {

using velmora_log::Engine;
using velmora_log::Mode;

Log_Result Host_Evaluate(const Mixture &m, std::int64_t max_chunk = 0) {
  const velmora_log::Problem p = Problem_Of(m);
  Log_Result r{std::vector<double>(m.num_data, std::nan("")),
               std::vector<double>(static_cast<size_t>(m.num_data) * m.num_clust, std::nan(""))};
  velmora_log::Evaluator(Engine::host)
      .Evaluate(p, velmora_log::Factorise(p), {r.log_p.data(), r.R.data()}, {max_chunk});
  return r;
}

// Our thread count, for the calls in its scope.
class Threads_Set {
 public:
  explicit Threads_Set(int n) : env_("OPENBLAS_NUM_THREADS", std::to_string(n).c_str()) {}

 private:
  Env_Set env_;
};

struct Place_Case {
  bool diagonal;
  int dim, K;
};

std::ostream &operator<<(std::ostream &os, const Place_Case &c) {
  return os << (c.diagonal ? "diagonal" : "full") << ", dim " << c.dim << ", K " << c.K;
}

class HostPlacementTest : public LibraryTest, public testing::WithParamInterface<Place_Case> {};

// Three probe points, alone and at panel offsets 0, 1, 255 (the last
// column of a panel), 256 and 300 of a batch of 700 other points, and in
// batches cut by chunks: the same logP and R bits everywhere.
TEST_P(HostPlacementTest, APointsBitsDoNotDependOnItsPlaceOrTheOtherPoints) {
  const Place_Case c = GetParam();
  const Mixture others = Make_Mixture(c.dim, 700, c.K, c.diagonal, 120 + c.dim);
  Mixture probes = Make_Mixture(c.dim, 3, c.K, c.diagonal, 120 + c.dim);
  probes.X = Random_Values(static_cast<size_t>(3) * c.dim, 7 + c.dim, -2.0, 2.0);
  const Log_Result alone = Host_Evaluate(probes);
  for (int probe = 0; probe < 3; ++probe) {
    const std::vector<double> x(probes.X.begin() + probe * c.dim,
                                probes.X.begin() + (probe + 1) * c.dim);
    for (const int at : {0, 1, 255, 256, 300}) {
      Mixture batch = others;
      std::copy(x.begin(), x.end(), batch.X.begin() + static_cast<long>(at) * c.dim);
      for (const std::int64_t chunk : {0, 100}) {
        const Log_Result r = Host_Evaluate(batch, chunk);
        EXPECT_TRUE(Same_Bits({alone.log_p[probe]}, {r.log_p[at]}))
            << "probe " << probe << " at " << at << ", chunks of " << chunk;
        const std::vector<double> want(alone.R.begin() + probe * c.K,
                                       alone.R.begin() + (probe + 1) * c.K),
            got(r.R.begin() + static_cast<long>(at) * c.K, r.R.begin() + (at + 1L) * c.K);
        EXPECT_TRUE(Same_Bits(want, got)) << "probe " << probe << " at " << at;
      }
    }
  }
}

// Small dims, BLAS's blocking of the triangle (dim 17, 64, 130), and
// clusters past 16.
INSTANTIATE_TEST_SUITE_P(Shapes, HostPlacementTest,
                         testing::Values(Place_Case{true, 3, 5}, Place_Case{true, 65, 17},
                                         Place_Case{false, 3, 5}, Place_Case{false, 17, 20},
                                         Place_Case{false, 64, 3}, Place_Case{false, 130, 2}));

class HostFitThreadsTest : public LibraryTest, public testing::WithParamInterface<bool> {};

// k-means++ (distances and unit sums), the E-steps and the second moments
// on 1, 2 and 3 threads, resident or in chunks of 256 and 4096 points (a
// block of eight panels per wave, and two, over two full blocks and a
// partial one): one set of bits.
TEST_P(HostFitThreadsTest, FitBitsDoNotDependOnThreadsOrChunks) {
  const bool full = GetParam();
  const int dim = 33, K = 4, n = 4700;
  const Cluster_Data d = Make_Clusters(dim, n, K, 6.0, 1.0, 30.0, full, 131);
  velmora_log::Fit_Options o{.mode = full ? Mode::full : Mode::diagonal, .max_iter = 4,
                             .tol_fun = 0, .seed = 5, .engine = Engine::host};
  velmora_log::Fit_Result first;
  bool have = false;
  for (const int threads : {1, 2, 3}) {
    const Threads_Set set(threads);
    for (const std::int64_t chunk : {0, 256, 4096}) {
      o.max_chunk = chunk;
      o.stream = chunk > 0;
      const velmora_log::Fit_Result r = velmora_log::Fit(d.X.data(), dim, n, K, o);
      EXPECT_EQ(r.resident, chunk == 0);
      if (!have) {
        first = r;
        have = true;
        continue;
      }
      const std::string where =
          std::to_string(threads) + " threads, chunks of " + std::to_string(chunk);
      EXPECT_TRUE(Same_Bits(first.start.mu, r.start.mu)) << where;
      EXPECT_TRUE(Same_Bits(first.model.mu, r.model.mu)) << where;
      EXPECT_TRUE(Same_Bits(first.model.sigma, r.model.sigma)) << where;
      EXPECT_TRUE(Same_Bits(first.model.pi, r.model.pi)) << where;
      EXPECT_TRUE(Same_Bits(first.history, r.history)) << where;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, HostFitThreadsTest, testing::Bool(), Mode_Name);

// Weights and the posterior floor against long double sums over reference
// posteriors: N_k = sum w r, sums and moments w r (x - mu), the
// log-likelihood sum w logP, posteriors under the floor counted as 0.
class HostWeightsTest : public LibraryTest, public testing::WithParamInterface<bool> {};

TEST_P(HostWeightsTest, WeightsAndTheFloorWeighEverySum) {
  const bool full = GetParam();
  const int dim = 5, K = 3, n = 600;
  const double floor = 1e-3;
  const Mixture m = Make_Mixture(dim, n, K, !full, 140);
  const std::vector<double> w = Random_Values(n, 141, 0.0, 3.0);
  const velmora_log::Problem p = Problem_Of(m);
  velmora_log::Fit_Data data{.X = m.X.data(), .dim = dim, .n = n, .K = K,
                             .mode = full ? Mode::full : Mode::diagonal, .weights = w.data(),
                             .probability_tolerance = floor};
  const auto passes = velmora_log::Make_Host_Passes(data);
  passes->Set_Mixture(m.Mu, velmora_log::Factorise(p));
  const std::vector<double> got = passes->Pass(true, {});
  const velmora_log::Stat_Layout &layout = passes->layout();

  std::vector<long double> R;
  Reference_E_Step(m.X, n, To_Long(dim, K, full, m.Mu, m.Sigma, m.Pi), R);
  const Log_Result log_ref = Reference_Log(m);
  long double log_l = 0;
  for (int j = 0; j < n; ++j) log_l += w[j] * static_cast<long double>(log_ref.log_p[j]);
  EXPECT_NEAR(got[layout.Log_Likelihood()], static_cast<double>(log_l), 1e-12 * std::fabs(log_l));
  bool floored = false;
  for (int k = 0; k < K; ++k) {
    const double *record = got.data() + k * layout.Per_Cluster();
    long double N = 0, s0 = 0, m00 = 0;
    for (int j = 0; j < n; ++j) {
      long double r = R[static_cast<size_t>(j) * K + k];
      floored = floored || (r > 0 && r < floor);
      if (r < floor) r = 0;
      const long double d0 = static_cast<long double>(m.X[j * dim]) - m.Mu[k * dim];
      N += w[j] * r;
      s0 += w[j] * r * d0;
      m00 += w[j] * r * d0 * d0;
    }
    EXPECT_NEAR(record[0], static_cast<double>(N), 1e-12 * n) << "cluster " << k;
    EXPECT_NEAR(record[1], static_cast<double>(s0), 1e-12 * n) << "cluster " << k;
    EXPECT_NEAR(record[1 + dim], static_cast<double>(m00), 1e-12 * n) << "cluster " << k;
  }
  EXPECT_TRUE(floored) << "some posteriors fall under the floor";
}

INSTANTIATE_TEST_SUITE_P(Modes, HostWeightsTest, testing::Bool(), Mode_Name);

// A third cluster, as wide as 1e5 of the others and with a prior of
// e^-700.5, gets posteriors near 2e-310 (subnormal) from every point:
// the fit's sums give it exactly nothing, where they used to sum those
// posteriors at a microcode assist each; logP is the log-only pass's, and
// the two clusters alike share the points.
class HostSubnormalTest : public LibraryTest, public testing::WithParamInterface<bool> {};

TEST_P(HostSubnormalTest, PosteriorsBelowTheSmallestNormalDoubleWeighNothing) {
  const bool full = GetParam();
  const int n = 600;
  Mixture m;
  m.dim = 1, m.num_data = n, m.num_clust = 3, m.diagonal = !full;
  m.X = Random_Values(n, 170, -1.0, 1.0);
  m.Mu = {0.0, 0.0, 0.0};
  m.Sigma = {1.0, 1.0, 1e10};
  m.Pi = {1.0, 1.0, std::exp(-700.5)};
  const velmora_log::Problem p = Problem_Of(m);
  velmora_log::Fit_Data data{.X = m.X.data(), .dim = 1, .n = n, .K = 3,
                             .mode = full ? Mode::full : Mode::diagonal};
  const auto passes = velmora_log::Make_Host_Passes(data);
  passes->Set_Mixture(m.Mu, velmora_log::Factorise(p));
  const std::vector<double> got = passes->Pass(true, {}), log_only = passes->Pass(false, {});
  const velmora_log::Stat_Layout &layout = passes->layout();
  const double *third = got.data() + 2 * layout.Per_Cluster();
  for (int e = 0; e < layout.Per_Cluster(); ++e) EXPECT_EQ(third[e], 0.0) << "entry " << e;
  EXPECT_EQ(got[layout.Log_Likelihood()], log_only[0]);
  EXPECT_EQ(got[0], got[layout.Per_Cluster()]);  // the two alike take half each
  EXPECT_NEAR(got[0], n / 2.0, 1e-9);

  const Log_Result ref = Reference_Log(m);
  EXPECT_GT(ref.R[2], 0.0) << "the third cluster's posteriors are there to drop";
  EXPECT_LT(ref.R[2], std::numeric_limits<double>::min());
}

INSTANTIATE_TEST_SUITE_P(Modes, HostSubnormalTest, testing::Bool(), Mode_Name);

// The log-sum-exp's exp against long double: within one ulp over the
// whole range (subnormal results and the edges where 2^k needs two steps
// included), 1 at 0, 0 below -745.2 and at -inf, NaN kept; each lane its own.
TEST(HostExpTest, WithinOneUlpOfLongDoubleAndExactAtTheEdges) {
  using velmora_log::host::Quad;
  const auto exp4 = velmora_log::host::Exp_Lanes<velmora_log::host::Four_Lanes>;
  std::vector<double> xs = {0.0,     -0.0,   -1e-300, -0.3465, -0.3467, -708.39, -708.4,
                            -744.44, -745.0, -745.13, -745.2,  -707.75, -693.2,  -50.0};
  const std::vector<double> spread = Random_Values(40000, 160, -745.2, 0.0),
                            near = Random_Values(4000, 161, -1.0, 0.0);
  xs.insert(xs.end(), spread.begin(), spread.end());
  xs.insert(xs.end(), near.begin(), near.end());
  double worst = 0.0, at = 0.0;
  for (size_t i = 0; i + 4 <= xs.size(); i += 4) {
    const Quad e = exp4(Quad{xs[i], xs[i + 1], xs[i + 2], xs[i + 3]});
    for (int l = 0; l < 4; ++l) {
      const long double ref = std::exp(static_cast<long double>(xs[i + l]));
      const double lib = std::exp(xs[i + l]);
      const double ulp = lib == 0.0 ? 4.9406564584124654e-324
                                    : std::nextafter(lib, 1.0 / 0.0) - lib;
      const double err = static_cast<double>(std::fabs(e[l] - ref)) / ulp;
      if (err > worst) worst = err, at = xs[i + l];
    }
  }
  EXPECT_LE(worst, 1.0) << "at " << at;
  const Quad edges = exp4(
      Quad{0.0, -745.21, -1.0 / 0.0, std::numeric_limits<double>::quiet_NaN()});
  EXPECT_EQ(edges[0], 1.0);
  EXPECT_TRUE(edges[1] == 0.0 && !std::signbit(edges[1]));
  EXPECT_TRUE(edges[2] == 0.0 && !std::signbit(edges[2]));
  EXPECT_TRUE(std::isnan(edges[3]));
}

// Full mode's whitening eight lanes wide gives the bits of four lanes, at
// every width a panel takes (whole blocks of three vectors and the rest a
// vector at a time) and at every dim around the four rows of W a step,
// with points far from their centre and W's entries of mixed scales.
// Skipped where the running processor or the build has no AVX-512.
TEST(HostWideTest, EightLanesGiveTheBitsOfFour) {
  using namespace velmora_log::host;
  if (!Wide_Lanes()) GTEST_SKIP() << "no AVX-512 here";
  for (const Index dim : {1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 33, 64}) {
    const size_t n = static_cast<size_t>(dim);
    const std::vector<double> W0 = Random_Values(n * n, 900 + dim, -3.0, 3.0),
                              mu = Random_Values(n, 950 + dim, 1e3, 1e3 + 1.0),
                              x = Random_Values(n * kPanel, 990 + dim, 0.0, 2e3);
    std::vector<double> W(W0.size(), 0.0);  // lower triangular, rows of mixed scales
    for (Index c = 0; c < dim; ++c)
      for (Index r = c; r < dim; ++r)
        W[r + c * dim] = W0[r + c * dim] * std::ldexp(1.0, static_cast<int>(r % 5) - 2);
    std::vector<double> d(static_cast<size_t>(dim * kWhitenedAtOnce)), four(kPanel), eight(kPanel);
    for (const Index width : {8, 16, 24, 32, 40, 48, 56, 248, 256}) {
      std::fill(four.begin(), four.end(), -1.0);
      std::fill(eight.begin(), eight.end(), -2.0);
      Full_Distances_Four(W.data(), mu.data(), dim, x.data(), width, d.data(), four.data());
      Full_Distances_Wide(W.data(), mu.data(), dim, x.data(), width, d.data(), eight.data());
      ASSERT_TRUE(Same_Bits(std::vector<double>(four.begin(), four.begin() + width),
                            std::vector<double>(eight.begin(), eight.begin() + width)))
          << "dim " << dim << ", width " << width;
      // Nothing written past the width.
      const auto untouched = [&](const std::vector<double> &q, double fill) {
        return std::all_of(q.begin() + width, q.end(), [&](double v) { return v == fill; });
      };
      EXPECT_TRUE(untouched(four, -1.0) && untouched(eight, -2.0)) << "width " << width;
    }
  }
}

// The log-sum-exp's exps eight lanes wide give the bits of four: terms
// and sums, with and without posteriors, over every width remainder, with
// terms from 0 down past the subnormal results, -inf and NaN among them.
TEST(HostWideTest, ExpsInEightLanesGiveTheBitsOfFour) {
  using namespace velmora_log::host;
  if (!Wide_Lanes()) GTEST_SKIP() << "no AVX-512 here";
  constexpr Index K = 3;
  std::vector<double> terms = Random_Values(K * kPanel, 77, -760.0, 0.0);
  const std::vector<double> near = Random_Values(kPanel, 78, -2.0, 0.0);
  for (Index p = 0; p < kPanel; ++p) {
    if (p % 7 == 0) terms[p] = near[p];  // sums of several terms of weight
    if (p % 11 == 3) terms[kPanel + p] = -std::numeric_limits<double>::infinity();
    if (p % 13 == 5) terms[2 * kPanel + p] = std::numeric_limits<double>::quiet_NaN();
  }
  std::vector<double> top(kPanel);
  for (Index p = 0; p < kPanel; ++p)
    top[p] = std::max({terms[p], terms[kPanel + p], p % 13 == 5 ? 0.0 : terms[2 * kPanel + p]});
  for (const bool posteriors : {false, true})
    for (const Index width : {8, 16, 24, 120, 256}) {
      std::vector<double> t4 = terms, t8 = terms, s4(kPanel, 0.0), s8(kPanel, 0.0);
      Exp_Terms_Four(K, posteriors, width, t4.data(), top.data(), s4.data());
      Exp_Terms_Wide(K, posteriors, width, t8.data(), top.data(), s8.data());
      ASSERT_TRUE(Same_Bits(s4, s8)) << "sums, width " << width;
      ASSERT_TRUE(Same_Bits(t4, t8)) << "terms, width " << width << ", posteriors " << posteriors;
    }
}

// The caller's BLAS thread setting is what it was afterwards (the host
// engine calls no BLAS inside its threads).
TEST_F(LibraryTest, HostEngineGivesBlasItsThreadCountBack) {
  openblas_set_num_threads(2);
  Host_Evaluate(Make_Mixture(40, 600, 3, false, 150));
  EXPECT_EQ(openblas_get_num_threads(), 2);
}

}  // namespace

namespace {

// The data are checked before any pass, with the device's words.
TEST_F(LibraryTest, HostFitNamesTheFirstNonFiniteCoordinate) {
  Cluster_Data d = Make_Clusters(2, 3000, 2, 6.0, 1.0, 10.0, true, 61);
  d.X[2 * 2500 + 1] = -INFINITY;
  d.X[2 * 2700] = NAN;
  try {
    velmora_log::Fit(d.X.data(), 2, 3000, 2, {.engine = Engine::host});
    FAIL() << "the fit went on";
  } catch (const velmora_log::Error &e) {
    EXPECT_EQ(e.id(), "Velmora:data");
    EXPECT_EQ(std::string(e.what()),
              "X(2,2501) is -Inf: every coordinate of the data must be finite.");
  }
}

}  // namespace

namespace {

// The pairwise tree over leaves 0 .. leaves-1 by its definition: a node is
// left + right, a missing right child passes the left one up.
std::vector<double> Tree_Reference(const std::vector<std::vector<double>> &leaf, size_t lo,
                                   size_t size) {
  if (lo >= leaf.size()) return {};
  if (size == 1) return leaf[lo];
  std::vector<double> left = Tree_Reference(leaf, lo, size / 2),
                      right = Tree_Reference(leaf, lo + size / 2, size / 2);
  for (size_t e = 0; e < right.size(); ++e) left[e] = left[e] + right[e];
  return left;
}

}  // namespace

// Sums whose bits hang on the order (1e16 beside ones): the whole tree, and
// the nodes of any runs of leaves pushed beside one another, give the
// definition's bits; a run out of order is refused.
TEST(UnitTreeTest, AnySplitOfTheLeavesGivesThePairwiseTreeSum) {
  const std::int64_t width = 3;
  for (const size_t leaves : {1u, 2u, 3u, 5u, 8u, 13u, 37u}) {
    std::vector<std::vector<double>> leaf(leaves);
    const std::vector<double> v = Random_Values(leaves * width, 170 + leaves, -1.0, 1.0);
    for (size_t l = 0; l < leaves; ++l)
      for (std::int64_t e = 0; e < width; ++e)
        leaf[l].push_back(v[l * width + e] * (e == 0 && l % 3 == 0 ? 1e16 : 1.0));
    size_t span = 1;
    while (span < leaves) span *= 2;
    const std::vector<double> want = Tree_Reference(leaf, 0, span);
    std::mt19937 cut(leaves);
    for (int split = 0; split < 6; ++split) {
      velmora_log::Unit_Tree whole(width);
      size_t l = 0;
      while (l < leaves) {
        const size_t run = split == 0 ? leaves : 1 + cut() % (leaves - l);
        velmora_log::Unit_Tree part(width);
        for (size_t r = l; r < l + run; ++r) part.Push(0, static_cast<std::int64_t>(r), leaf[r].data());
        whole.Push_Nodes(part.Nodes());
        l += run;
      }
      EXPECT_EQ(whole.next_leaf(), static_cast<std::int64_t>(leaves));
      EXPECT_TRUE(Same_Bits(whole.Total(), want)) << leaves << " leaves, split " << split;
    }
  }
  velmora_log::Unit_Tree tree(1);
  const double one = 1.0;
  tree.Push(0, 4, &one);
  EXPECT_THROW(tree.Push(0, 6, &one), std::logic_error);
  EXPECT_THROW(tree.Push(1, 2, &one), std::logic_error);  // starts at leaf 4 again
}

// Each holder's passes over blocks of whole leaves (as a fit over workers
// splits X), their nodes pushed in block order: the bits of its passes over
// all of X, for the E-step, the labels' and the data's moments and
// k-means++; points and the first lost point by their index among all. The
// device's in chunks of one and two leaves too, whose edges fall inside
// blocks and across the tree's nodes.
struct Blocks_Case {
  bool full;
  Engine engine;
  std::int64_t chunk;
};

std::ostream &operator<<(std::ostream &os, const Blocks_Case &c) {
  return os << (c.full ? "full" : "diagonal") << (c.engine == Engine::host ? ", host" : ", device")
            << ", chunks of " << c.chunk;
}

std::string Blocks_Name(const testing::TestParamInfo<Blocks_Case> &info) {
  return std::string(info.param.full ? "full" : "diagonal") +
         (info.param.engine == Engine::host ? "_host" : "_device") + "_chunk" +
         std::to_string(info.param.chunk);
}

class HostBlocksTest : public LibraryTest, public testing::WithParamInterface<Blocks_Case> {};

TEST_P(HostBlocksTest, BlocksOfWholeLeavesGiveTheWholeBits) {
  const bool full = GetParam().full;
  const auto make = [&](const velmora_log::Fit_Data &data) {
    velmora_log::Fit_Data d = data;
    d.max_chunk = GetParam().chunk;
    d.stream = d.max_chunk > 0;
    return GetParam().engine == Engine::host ? velmora_log::Make_Host_Passes(d)
                                             : velmora_log::Make_Device_Passes(d);
  };
  const int dim = 6, K = 3;
  const std::int64_t leaf = velmora_log::kTreeLeaf, n = 3 * leaf + 700;
  const Cluster_Data d = Make_Clusters(dim, n, K, 6.0, 1.0, 1e4, full, 180);
  const Mixture m = Make_Mixture(dim, 1, K, !full, 181);
  std::vector<double> labels(static_cast<size_t>(n)), w = Random_Values(n, 182, 0.0, 2.0);
  for (std::int64_t j = 0; j < n; ++j) labels[j] = static_cast<double>(j % K);
  std::vector<double> mu = d.X;
  mu.resize(static_cast<size_t>(dim * K));
  velmora_log::Problem p = Problem_Of(m);
  p.Mu = mu.data();
  const velmora_log::Factors f = velmora_log::Factorise(p);
  velmora_log::Fit_Data all{.X = d.X.data(), .dim = dim, .n = n, .K = K,
                            .mode = full ? Mode::full : Mode::diagonal, .weights = w.data(),
                            .seeding = true, .labels = true};
  const auto run = [&](velmora_log::Fit_Data data, const std::vector<double> &labels_of) {
    const auto passes = make(data);
    passes->Set_Mixture(mu, f);
    std::vector<std::vector<double>> out{passes->Pass(true, {}), passes->Pass(false, {}),
                                         passes->Label_Pass(labels_of, mu),
                                         passes->Data_Moments(mu.data()),
                                         passes->Distance_Pass(mu.data(), true),
                                         passes->Distance_Pass(mu.data() + dim, false),
                                         passes->Point(data.n - 1)};
    // A unit at a time, as the draw asks for them.
    std::vector<double> d2;
    for (std::int64_t j = 0, unit = passes->plan().unit; j < data.n; j += unit) {
      const std::vector<double> some = passes->Distances(j, std::min(unit, data.n - j));
      d2.insert(d2.end(), some.begin(), some.end());
    }
    out.push_back(d2);
    return out;
  };
  const std::vector<std::vector<double>> want = run(all, labels);
  const std::vector<std::int64_t> edges = {0, leaf, 3 * leaf, n};
  std::vector<velmora_log::Unit_Tree> trees;
  for (const std::int64_t width : {want[0].size(), size_t{1}, want[2].size(), want[3].size()})
    trees.emplace_back(width);
  std::vector<double> sums, sums2, d2;
  for (size_t b = 0; b + 1 < edges.size(); ++b) {
    velmora_log::Fit_Data block = all;
    block.X = d.X.data() + edges[b] * dim;
    block.weights = w.data() + edges[b];
    block.n = edges[b + 1] - edges[b];
    block.first = edges[b];
    block.partial = true;
    const auto got = run(block, std::vector<double>(labels.begin() + edges[b],
                                                     labels.begin() + edges[b + 1]));
    for (size_t t = 0; t < trees.size(); ++t) trees[t].Push_Nodes(got[t]);
    sums.insert(sums.end(), got[4].begin(), got[4].end());
    sums2.insert(sums2.end(), got[5].begin(), got[5].end());
    d2.insert(d2.end(), got[7].begin(), got[7].end());
    EXPECT_TRUE(Same_Bits(got[6], velmora_log::Point_Of(all, edges[b + 1] - 1))) << "block " << b;
  }
  for (size_t t = 0; t < trees.size(); ++t)
    EXPECT_TRUE(Same_Bits(trees[t].Total(), want[t])) << "sum " << t;
  // The first centre set at once, then the second's pass: the sums of the
  // two passes one after the other.
  const auto seeded = make(all);
  seeded->Seed_Centres(std::vector<double>(mu.begin(), mu.begin() + dim));
  EXPECT_TRUE(Same_Bits(seeded->Distance_Pass(mu.data() + dim, false), want[5]));
  EXPECT_TRUE(Same_Bits(sums, want[4]) && Same_Bits(sums2, want[5]) && Same_Bits(d2, want[7]));

  // A point far out in the last block: named by its index among all.
  std::vector<double> far = d.X;
  far[(n - 5) * dim] = 1e200;
  velmora_log::Fit_Data last = all;
  last.X = far.data() + 3 * leaf * dim;
  last.weights = w.data() + 3 * leaf;
  last.n = n - 3 * leaf;
  last.first = 3 * leaf;
  w[n - 5] = 1.0;
  const auto passes = make(last);
  passes->Set_Mixture(mu, f);
  EXPECT_EQ(passes->First_Lost(), n - 5);
}

INSTANTIATE_TEST_SUITE_P(Holders, HostBlocksTest,
                         testing::Values(Blocks_Case{false, Engine::host, 0},
                                         Blocks_Case{true, Engine::host, 0},
                                         Blocks_Case{false, Engine::device, 0},
                                         Blocks_Case{true, Engine::device, 0},
                                         Blocks_Case{true, Engine::device, 512},
                                         Blocks_Case{false, Engine::device, 1024}),
                         Blocks_Name);

// The data's moments, whose variances start every covariance of a fit from
// drawn centres: the weighted count, sums and squares about the shift,
// against long double, on either engine and in chunks; data far from the
// origin, weights from 0 to 2. The passes' block test compares runs with
// each other, which a count or weight off by the same rule in each passes.
TEST_F(LibraryTest, DataMomentsAreTheWeightedSumsAboutTheShift) {
  const int dim = 5;
  const std::int64_t n = 1300;
  std::vector<double> X = Random_Values(static_cast<size_t>(dim * n), 190, -1.0, 1.0);
  const std::vector<double> w = Random_Values(n, 191, 0.0, 2.0);
  for (double &x : X) x += 1e4;
  std::vector<double> shift(X.begin(), X.begin() + dim);
  for (double &s : shift) s += 0.25;
  long double N = 0;
  std::vector<long double> sum(dim, 0.0L), square(dim, 0.0L);
  for (std::int64_t j = 0; j < n; ++j) {
    N += w[j];
    for (int i = 0; i < dim; ++i) {
      const long double d = static_cast<long double>(X[j * dim + i]) - shift[i];
      sum[i] += w[j] * d;
      square[i] += w[j] * d * d;
    }
  }
  for (const Blocks_Case c : {Blocks_Case{false, Engine::host, 0}, Blocks_Case{false, Engine::device, 0},
                              Blocks_Case{false, Engine::device, 512}}) {
    SCOPED_TRACE(testing::PrintToString(c));
    const velmora_log::Fit_Data d{.X = X.data(), .dim = dim, .n = n, .K = 2, .mode = Mode::diagonal,
                                  .weights = w.data(), .max_chunk = c.chunk, .stream = c.chunk > 0};
    const auto passes = c.engine == Engine::host ? velmora_log::Make_Host_Passes(d)
                                                 : velmora_log::Make_Device_Passes(d);
    const std::vector<double> m = passes->Data_Moments(shift.data());
    ASSERT_EQ(m.size(), static_cast<size_t>(1 + 2 * dim));
    EXPECT_NEAR(m[0], static_cast<double>(N), 1e-12 * static_cast<double>(N));
    for (int i = 0; i < dim; ++i) {
      EXPECT_NEAR(m[1 + i], static_cast<double>(sum[i]), 1e-12 * static_cast<double>(N)) << i;
      EXPECT_NEAR(m[1 + dim + i], static_cast<double>(square[i]), 1e-12 * static_cast<double>(N)) << i;
    }
  }
}
