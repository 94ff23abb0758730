// The host engine's own guarantees, whatever the binary's device: a point's
// bits do not depend on where it sits in its panel, on the other points or
// on N (every loop sees whole panels); a fit's bits do not depend on the
// threads or the chunks; weights and the posterior floor weigh the sums as
// Fit_Data says; BLAS gets its thread count back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "common/fit_fixture.h"
#include "common/library_test.h"
#include "common/log_reference.h"
#include "common/mixture_fixture.h"
#include "fit.h"
#include "fit_passes.h"
// Quad arguments without AVX in this file: the same values, another ABI.
#pragma GCC diagnostic ignored "-Wpsabi"
#include "host_exp.h"
#include "log_mixture.h"

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
  explicit Threads_Set(int n) {
    if (const char *v = std::getenv("OPENBLAS_NUM_THREADS")) saved_ = v, had_ = true;
    setenv("OPENBLAS_NUM_THREADS", std::to_string(n).c_str(), 1);
  }
  ~Threads_Set() {
    if (had_) setenv("OPENBLAS_NUM_THREADS", saved_.c_str(), 1);
    else unsetenv("OPENBLAS_NUM_THREADS");
  }

 private:
  std::string saved_;
  bool had_ = false;
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

// The log-sum-exp's exp against long double: within one ulp over the
// whole range (subnormal results and the edges where 2^k needs two steps
// included), 1 at 0, 0 below -745.2 and at -inf, NaN kept; each lane its own.
TEST(HostExpTest, WithinOneUlpOfLongDoubleAndExactAtTheEdges) {
  using velmora_log::host::Quad;
  std::vector<double> xs = {0.0,     -0.0,   -1e-300, -0.3465, -0.3467, -708.39, -708.4,
                            -744.44, -745.0, -745.13, -745.2,  -707.75, -693.2,  -50.0};
  const std::vector<double> spread = Random_Values(40000, 160, -745.2, 0.0),
                            near = Random_Values(4000, 161, -1.0, 0.0);
  xs.insert(xs.end(), spread.begin(), spread.end());
  xs.insert(xs.end(), near.begin(), near.end());
  double worst = 0.0, at = 0.0;
  for (size_t i = 0; i + 4 <= xs.size(); i += 4) {
    const Quad e = velmora_log::host::Exp_Non_Positive(Quad{xs[i], xs[i + 1], xs[i + 2], xs[i + 3]});
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
  const Quad edges = velmora_log::host::Exp_Non_Positive(
      Quad{0.0, -745.21, -1.0 / 0.0, std::numeric_limits<double>::quiet_NaN()});
  EXPECT_EQ(edges[0], 1.0);
  EXPECT_TRUE(edges[1] == 0.0 && !std::signbit(edges[1]));
  EXPECT_TRUE(edges[2] == 0.0 && !std::signbit(edges[2]));
  EXPECT_TRUE(std::isnan(edges[3]));
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
