// VelmoraLog's evaluator on every device: log-densities and posteriors
// against a long double reference, and the same bits whatever the chunks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <ostream>
#include <vector>

#include "common/env_set.h"
#include "common/library_test.h"
#include "common/log_reference.h"
#include "common/mixture_fixture.h"
#include "kernels.h"
#include "log_mixture.h"

namespace {

using velmora_log::Mode;

constexpr bool kExactMath = VELMORA_TEST_EXACT_MATH;

// The same mixture with its points as rows: X num_data x dim, and R
// num_data x num_clust transposed back for comparison.
Log_Result Evaluate_Rows(const Mixture &m) {
  std::vector<double> xt(m.X.size());
  for (int j = 0; j < m.num_data; ++j)
    for (int i = 0; i < m.dim; ++i) xt[j + static_cast<size_t>(i) * m.num_data] = m.X[j * m.dim + i];
  velmora_log::Problem p = Problem_Of(m);
  p.X = xt.data();
  p.layout = velmora_log::Layout::rows;
  Log_Result rows{std::vector<double>(m.num_data), std::vector<double>(m.num_data * m.num_clust)};
  velmora_log::Evaluator(Engine_Under_Test()).Evaluate(p, velmora_log::Factorise(p),
                                    {rows.log_p.data(), rows.R.data()});
  Log_Result r{rows.log_p, std::vector<double>(rows.R.size())};
  for (int j = 0; j < m.num_data; ++j)
    for (int k = 0; k < m.num_clust; ++k)
      r.R[j * m.num_clust + k] = rows.R[j + static_cast<size_t>(k) * m.num_data];
  return r;
}

// Diagonal covariances written out as full ones.
Mixture As_Full(const Mixture &m) {
  Mixture f = m;
  f.diagonal = false;
  f.Sigma.assign(static_cast<size_t>(m.dim) * m.dim * m.num_clust, 0.0);
  for (int k = 0; k < m.num_clust; ++k)
    for (int i = 0; i < m.dim; ++i)
      f.Sigma[(static_cast<size_t>(k) * m.dim + i) * m.dim + i] = m.Sigma[k * m.dim + i];
  return f;
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

// Tile edges in diagonal mode: 32 resident coordinates, 16 clusters a
// step, 128 points to a block.
INSTANTIATE_TEST_SUITE_P(
    Mixtures, LogAccuracyTest,
    testing::Values(Accuracy{true, 1, 1, 0}, Accuracy{true, 3, 5, 0}, Accuracy{true, 17, 64, 1000},
                    Accuracy{true, 32, 9, 0}, Accuracy{true, 33, 8, 1000},
                    Accuracy{true, 64, 17, 0}, Accuracy{true, 65, 8, 1000},
                    Accuracy{true, 128, 3, 0}, Accuracy{false, 1, 2, 0},
                    Accuracy{false, 3, 5, 1000}, Accuracy{false, 9, 20, 1000},
                    Accuracy{false, 17, 9, 0}, Accuracy{false, 128, 64, 1000}));

// A mixture of no coordinates: every density is 1, so logP is log sum Pi
// and R is Pi normalised, whatever the point; the sweep then has a tile of
// no coordinates, which stages nothing and reads nothing of X.
TEST_F(LibraryTest, NoCoordinatesGiveTheLogOfTheWeightsSum) {
  for (const bool diagonal : {true, false}) {
    SCOPED_TRACE(diagonal ? "diagonal" : "full");
    const Mixture m = Make_Mixture(0, 130, 40, diagonal, 7);
    const Log_Result got = Evaluate(m);
    long double total = 0;
    for (const double w : m.Pi) total += w;
    for (int j = 0; j < m.num_data; ++j) {
      ASSERT_NEAR(got.log_p[j], std::log(static_cast<double>(total)), 1e-14) << "point " << j;
      for (int k = 0; k < m.num_clust; ++k)
        ASSERT_NEAR(got.R[j * m.num_clust + k], m.Pi[k] / static_cast<double>(total), 1e-14)
            << "point " << j << ", cluster " << k;
    }
  }
}

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

// A mixture's form and size, for the tests that run over several.
struct Mixture_Shape {
  bool diagonal;
  int dim, K;
};

std::ostream &operator<<(std::ostream &os, const Mixture_Shape &c) {
  return os << (c.diagonal ? "diagonal" : "full") << ", dim " << c.dim << ", K " << c.K;
}

class LogChunkTest : public LibraryTest, public testing::WithParamInterface<Mixture_Shape> {};

// A point's bits depend on the point and the mixture alone: not on the
// chunks, not on the other points of the call, not on the layout.
TEST_P(LogChunkTest, ResultsAreTheSameBitsWhateverTheSplit) {
  const Mixture_Shape c = GetParam();
  const Mixture m = Make_Mixture(c.dim, 389, c.K, c.diagonal, 61);
  velmora_log::Evaluator evaluator(Engine_Under_Test());
  const Log_Result whole = Evaluate(m, {}, &evaluator);
  ASSERT_EQ(evaluator.last_chunk(), 389);
  for (const std::int64_t max_chunk : {63, 64, 65, 388}) {
    const Log_Result chunked = Evaluate(m, {max_chunk}, &evaluator);
    EXPECT_EQ(evaluator.last_timings().chunks, (389 + max_chunk - 1) / max_chunk);
    EXPECT_TRUE(Same_Bits(whole.log_p, chunked.log_p)) << "chunks of " << max_chunk;
    EXPECT_TRUE(Same_Bits(whole.R, chunked.R)) << "chunks of " << max_chunk;
  }
  // Two calls on column ranges, the first not a multiple of any tile.
  for (const int split : {1, 129}) {
    Mixture head = m, tail = m;
    head.num_data = split;
    head.X.resize(static_cast<size_t>(split) * m.dim);
    tail.num_data = m.num_data - split;
    tail.X.erase(tail.X.begin(), tail.X.begin() + static_cast<long>(split) * m.dim);
    Log_Result parts = Evaluate(head, {}, &evaluator);
    const Log_Result rest = Evaluate(tail, {}, &evaluator);
    parts.log_p.insert(parts.log_p.end(), rest.log_p.begin(), rest.log_p.end());
    parts.R.insert(parts.R.end(), rest.R.begin(), rest.R.end());
    EXPECT_TRUE(Same_Bits(whole.log_p, parts.log_p)) << "split at " << split;
    EXPECT_TRUE(Same_Bits(whole.R, parts.R)) << "split at " << split;
  }
  // Asked for logP alone, the engines skip the posteriors' work (a kernel
  // of its own on the GPU, no division on the host): the same bits.
  const velmora_log::Problem p = Problem_Of(m);
  for (const std::int64_t max_chunk : {0, 64}) {
    std::vector<double> alone(m.num_data, std::numeric_limits<double>::quiet_NaN());
    evaluator.Evaluate(p, velmora_log::Factorise(p), {alone.data(), nullptr}, {max_chunk});
    EXPECT_TRUE(Same_Bits(whole.log_p, alone)) << "logP alone, chunks of " << max_chunk;
  }
  const Log_Result rows = Evaluate_Rows(m);
  EXPECT_TRUE(Same_Bits(whole.log_p, rows.log_p)) << "points as rows";
  EXPECT_TRUE(Same_Bits(whole.R, rows.R)) << "points as rows";
  if (c.diagonal) return;
  // Full mode's CUDA-core kernels stage the points along coordinates or
  // along points too (up to dim 32 from registers held for all clusters).
  const Env_Set cuda_cores("VELMORA_TENSOR_CORES", "off");
  const Log_Result columns = Evaluate(m, {}, &evaluator), cores_rows = Evaluate_Rows(m);
  EXPECT_TRUE(Same_Bits(columns.log_p, cores_rows.log_p)) << "CUDA cores, points as rows";
  EXPECT_TRUE(Same_Bits(columns.R, cores_rows.R)) << "CUDA cores, points as rows";
  const Log_Result cores_chunked = Evaluate(m, {64}, &evaluator);
  EXPECT_TRUE(Same_Bits(columns.log_p, cores_chunked.log_p)) << "CUDA cores, chunks of 64";
  EXPECT_TRUE(Same_Bits(columns.R, cores_chunked.R)) << "CUDA cores, chunks of 64";
}

// Ctrl-C: asked from the calling thread between chunks, and on the host
// engine between its panels too, never before the first; the call ends
// with Velmora:interrupted, and the evaluator's next call is whole.
TEST_F(LibraryTest, AnInterruptEndsTheEvaluationAtTheNextChunkOrPanel) {
  // Two threads on the host engine (the work, some 8e6 operations, earns
  // them): the calling thread's range is 8 panels, the other stops when it
  // sees the interrupt.
  const Env_Set threads("OPENBLAS_NUM_THREADS", "2");
  const Mixture m = Make_Mixture(24, 256 * 16, 3, false, 71);
  velmora_log::Evaluator evaluator(Engine_Under_Test());
  const Log_Result whole = Evaluate(m, {}, &evaluator);
  const velmora_log::Problem p = Problem_Of(m);
  std::vector<std::int64_t> chunks = {256};
  if (Engine_Under_Test() == velmora_log::Engine::host) chunks.push_back(0);
  for (const std::int64_t max_chunk : chunks) {
    int asked = 0;
    const velmora_log::Limits limits{max_chunk, [&asked] { return ++asked == 2; }};
    Log_Result r{std::vector<double>(m.num_data), std::vector<double>(m.num_data * 3)};
    try {
      evaluator.Evaluate(p, velmora_log::Factorise(p), {r.log_p.data(), r.R.data()}, limits);
      ADD_FAILURE() << "the evaluation went on, chunks of " << max_chunk;
    } catch (const velmora_log::Error &e) {
      EXPECT_EQ(e.id(), "Velmora:interrupted");
      EXPECT_STREQ(e.what(), "The evaluation was interrupted; it returns nothing.");
    }
    EXPECT_EQ(asked, 2) << "chunks of " << max_chunk;
    const Log_Result again = Evaluate(m, {}, &evaluator);
    EXPECT_TRUE(Same_Bits(whole.log_p, again.log_p)) << "after the interrupt, chunks of " << max_chunk;
    EXPECT_TRUE(Same_Bits(whole.R, again.R)) << "after the interrupt, chunks of " << max_chunk;
  }
}

// The staging of points reads X along coordinates or along points, by
// which is contiguous: each way at one coordinate, past the resident tile
// with a last tile (or slab) of one coordinate, and at whole tiles; in full
// mode past one pass of rows too (65: a slab kept from pass to pass and
// staged again for the next cluster).
INSTANTIATE_TEST_SUITE_P(Modes, LogChunkTest,
                         testing::Values(Mixture_Shape{true, 1, 3}, Mixture_Shape{true, 17, 5},
                                         Mixture_Shape{true, 33, 16}, Mixture_Shape{true, 64, 37},
                                         Mixture_Shape{false, 9, 20}, Mixture_Shape{false, 17, 5},
                                         Mixture_Shape{false, 25, 17}, Mixture_Shape{false, 33, 3},
                                         Mixture_Shape{false, 64, 37}, Mixture_Shape{false, 65, 2}));

// Each kernel against its plain-loop reference, at the edges of its tiles:
// 128 points and 16 clusters a step, 32 resident coordinates, means staged
// 16 coordinates at a time, two (cluster, coordinate) entries a thread, the
// second for groups 2 and 3 (diagonal: at 17 and 9, group 2 is part past
// the last cluster and group 3 wholly); up to 16 clusters one pass, whose
// sums start from its runs (15, 9, 4, and 16 past the resident
// coordinates), where 17 and more add each run to the last; past 32
// coordinates two steps at once, 8 coordinates of means at a time, the
// second step's entries the second of each thread (at 27 part past the last
// cluster, at 50 the second pass's second step too, and at 33 the last step
// alone); a thread per point in tiles of 16 clusters up to 16 coordinates
// (D = 4, 8, 16), then rows per thread 2 or 4, slabs of 32 coordinates,
// groups of 16 clusters (full); on the tensor cores up to dim 32, three row
// tiles to dim 24 and four past it, the last step of 4 coordinates part
// past dim (17, 25) or whole (24, 32). Exact on the CPU device; a GPU's log
// may differ by an ulp (the exp is the engine's own, the same bits on
// both).
class KernelReferenceTest : public LibraryTest, public testing::WithParamInterface<Mixture_Shape> {};

TEST_P(KernelReferenceTest, LogPIsTheReferenceOfEveryPoint) {
  const Mixture_Shape c = GetParam();
  const Mixture m = Make_Mixture(c.dim, 150, c.K, c.diagonal, 90 + c.dim + c.K);
  const velmora_log::Problem p = Problem_Of(m);
  const velmora_log::Factors f = velmora_log::Factorise(p);
  const velmora_log::Device_Mixture host{m.dim, m.num_clust, m.Mu.data(), f.whitening.data(),
                                        f.log_weight.data()};
  const velmora_log::Device_Points points{m.X.data(), m.num_data, m.dim, 1};
  // Full mode on the tensor cores (where the device has them) and on the
  // CUDA cores, each in its own order.
  for (const char *cores : kCoreSettings) {
    if (c.diagonal && cores != nullptr) continue;
    const Env_Set setting("VELMORA_TENSOR_CORES", cores);
    std::vector<double> want(m.num_data);
    for (int j = 0; j < m.num_data; ++j)
      want[j] = c.diagonal ? velmora_log::Reference_Diagonal(host, points, j)
                           : velmora_log::Reference_Full(host, points, j, velmora_log::Tensor_Cores());
    const Log_Result got = Evaluate(m);
    if (kExactMath) EXPECT_TRUE(Same_Bits(want, got.log_p)) << "cores " << (cores ? cores : "any");
    else EXPECT_TRUE(Close(want, got.log_p, 1e-15)) << "cores " << (cores ? cores : "any");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tiles, KernelReferenceTest,
    testing::Values(Mixture_Shape{true, 1, 1}, Mixture_Shape{true, 16, 15}, Mixture_Shape{true, 17, 9},
                    Mixture_Shape{true, 32, 17},
                    Mixture_Shape{true, 33, 16}, Mixture_Shape{true, 40, 27}, Mixture_Shape{true, 35, 50},
                    Mixture_Shape{true, 65, 33}, Mixture_Shape{true, 129, 4},
                    Mixture_Shape{false, 1, 1}, Mixture_Shape{false, 16, 3}, Mixture_Shape{false, 17, 33}, Mixture_Shape{false, 8, 16}, Mixture_Shape{false, 9, 17},
                    Mixture_Shape{false, 24, 16}, Mixture_Shape{false, 25, 5},
                    Mixture_Shape{false, 32, 2}, Mixture_Shape{false, 33, 1},
                    Mixture_Shape{false, 64, 65}, Mixture_Shape{false, 65, 2},
                    Mixture_Shape{false, 130, 3}));

// W_k is zero above its diagonal, and no full-mode path reads it there
// (staging only the triangle halves a cluster's traffic): NaN in the upper
// triangle changes no bit. Small dims (8), X held in registers on the
// tensor cores (24, 32), slabs and passes past one slab (64) and past 128
// rows (130), on the tensor cores and on the CUDA cores.
TEST_F(LibraryTest, FullModeNeverReadsAboveTheWhiteningsDiagonal) {
  for (const int dim : {8, 24, 32, 64, 130}) {
    const Mixture m = Make_Mixture(dim, 70, 3, false, 40 + dim);
    const velmora_log::Problem p = Problem_Of(m);
    const velmora_log::Factors f = velmora_log::Factorise(p);
    velmora_log::Factors poisoned = f;
    for (int k = 0; k < m.num_clust; ++k)
      for (int c = 1; c < dim; ++c)
        for (int r = 0; r < c; ++r)
          poisoned.whitening[(static_cast<size_t>(k) * dim + c) * dim + r] =
              std::numeric_limits<double>::quiet_NaN();
    for (const char *cores : kCoreSettings) {
      const Env_Set setting("VELMORA_TENSOR_CORES", cores);
      Log_Result want{std::vector<double>(m.num_data),
                      std::vector<double>(static_cast<size_t>(m.num_data) * m.num_clust)};
      Log_Result got = want;
      velmora_log::Evaluator(Engine_Under_Test()).Evaluate(p, f, {want.log_p.data(), want.R.data()});
      velmora_log::Evaluator(Engine_Under_Test()).Evaluate(p, poisoned, {got.log_p.data(), got.R.data()});
      EXPECT_TRUE(Same_Bits(want.log_p, got.log_p)) << "dim " << dim << ", cores " << (cores ? cores : "any");
      EXPECT_TRUE(Same_Bits(want.R, got.R)) << "dim " << dim << ", cores " << (cores ? cores : "any");
    }
  }
}

// Tight clusters far from each other and from the origin (std 1e-4, up to
// 1e5 apart; two of them 2 std apart, so that posteriors are not all 0 or
// 1): nothing may cancel, in either mode, and diagonal covariances passed
// as full ones give the diagonal mode's results. Points lie up to 5 std out,
// where the log-weight (about 9 x dim) and the quadratic term nearly cancel:
// errors scale with those terms, not with logP.
class TightClusterTest : public LibraryTest, public testing::WithParamInterface<int> {};

TEST_P(TightClusterTest, FullModeIsAsExactAsTheReference) {
  const int dim = GetParam(), K = 4;
  Mixture m = Make_Mixture(dim, 120, K, true, 300 + dim);
  const std::vector<double> offsets = Random_Values(static_cast<size_t>(dim) * K, 400 + dim, 0, 1e5);
  for (int k = 0; k < K; ++k)
    for (int i = 0; i < dim; ++i) m.Mu[k * dim + i] = offsets[k * dim + i];
  for (double &s : m.Sigma) s *= 1e-8;
  for (int i = 0; i < dim; ++i) m.Mu[dim + i] = m.Mu[i] + (i == 0 ? 2e-4 : 0.0);
  const std::vector<double> noise = Random_Values(m.X.size(), 500 + dim, -5e-4, 5e-4);
  for (int j = 0; j < m.num_data; ++j)
    for (int i = 0; i < dim; ++i)
      m.X[j * dim + i] = m.Mu[(j % K) * dim + i] + noise[j * dim + i] * (j % 3 == 0 ? 1.0 : 0.2);
  const Mixture full = As_Full(m);
  const Log_Result want = Reference_Log(full), diag = Evaluate(m), got = Evaluate(full);
  const double terms = 0.5 * dim * std::log(1e8);  // the log-weights' size
  bool mixed = false;
  for (int j = 0; j < m.num_data; ++j) {
    const double scale = std::max({1.0, std::fabs(want.log_p[j]), terms});
    ASSERT_NEAR(got.log_p[j], want.log_p[j], 1e-12 * scale) << "point " << j;
    ASSERT_NEAR(got.log_p[j], diag.log_p[j], 1e-13 * scale) << "point " << j;
  }
  for (size_t i = 0; i < want.R.size(); ++i) {
    ASSERT_NEAR(got.R[i], want.R[i], 1e-11) << "cluster " << i % K << ", point " << i / K;
    ASSERT_NEAR(got.R[i], diag.R[i], 1e-13 * terms) << "cluster " << i % K << ", point " << i / K;
    mixed = mixed || (want.R[i] > 0.01 && want.R[i] < 0.99);
  }
  EXPECT_TRUE(mixed) << "some posteriors between 0 and 1";
}

INSTANTIATE_TEST_SUITE_P(Dims, TightClusterTest, testing::Values(2, 17, 64, 128));

// A point with a NaN coordinate gets NaN, one with an infinite coordinate
// -Inf, in both modes; their posteriors are NaN and no other point changes.
// At dim 3 and past the small dims, full mode on the tensor cores (where
// there are some) and on the CUDA cores, up to dim 32 from X held in
// registers (at 17, fragments past dim in the last steps, whose loads would
// read the next point's first coordinates); a second value in the last
// coordinate, past the first slab at dim 40.
TEST_F(LibraryTest, NonFinitePointsSpoilOnlyThemselves) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  const std::vector<std::vector<double>> spoilt = {{nan}, {inf}, {-inf}, {inf, nan}, {inf, -inf}};
  const std::vector<bool> is_nan = {true, false, false, true, false};
  struct Setting {
    int dim;
    const char *cores;
  };
  for (const Setting at : {Setting{3, nullptr}, Setting{17, nullptr}, Setting{24, nullptr}, Setting{24, "off"},
                           Setting{40, nullptr}, Setting{40, "off"}}) {
    const int dim = at.dim;
    const Env_Set setting("VELMORA_TENSOR_CORES", at.cores);
    const Mixture clean = Make_Mixture(dim, 40, 5, true, 95);
    for (const bool diagonal : {true, false}) {
      if (diagonal && at.cores != nullptr) continue;  // the setting is full mode's
      SCOPED_TRACE(testing::Message() << "dim " << dim << (diagonal ? ", diagonal" : ", full")
                                      << (at.cores ? ", CUDA cores" : ""));
      Mixture m = diagonal ? clean : As_Full(clean);
      const Log_Result before = Evaluate(m);
      for (size_t s = 0; s < spoilt.size(); ++s)
        for (size_t i = 0; i < spoilt[s].size(); ++i)
          m.X[(7 * s + 2) * dim + i * (dim - 1)] = spoilt[s][i];
      const Log_Result after = Evaluate(m);
      for (int j = 0; j < m.num_data; ++j) {
        const bool hit = j % 7 == 2 && j / 7 < static_cast<int>(spoilt.size());
        if (!hit) {
          EXPECT_TRUE(Same_Bits({before.log_p[j]}, {after.log_p[j]})) << "point " << j;
          continue;
        }
        if (is_nan[j / 7]) EXPECT_TRUE(std::isnan(after.log_p[j])) << "point " << j;
        else EXPECT_EQ(after.log_p[j], -inf) << "point " << j;
        for (int k = 0; k < m.num_clust; ++k)
          EXPECT_TRUE(std::isnan(after.R[j * m.num_clust + k])) << "point " << j << ", cluster " << k;
      }
    }
  }
}


}  // namespace

namespace {

// A finite point whose distance to a centre overflows is infinitely far in
// both modes, not NaN where a full factor's zeros meet the overflow.
TEST_F(LibraryTest, OverflowingDistancesAreInfiniteInBothModes) {
  Mixture m = Make_Mixture(2, 2, 2, true, 97);
  m.X = {1e308, 1e308, 0.5, 0.5};
  m.Mu = {-1e308, 0.0, 1e308, 0.0};
  for (const Mixture &mode : {m, As_Full(m)}) {
    const Log_Result r = Evaluate(mode);
    EXPECT_EQ(r.log_p[0], -std::numeric_limits<double>::infinity())
        << (mode.diagonal ? "diagonal" : "full");
  }
}

// Points 1e3 and 1e9 standard deviations from K clusters that share one
// centre, one covariance and one prior: each posterior is 1/K and each
// column sums to 1, to a few ulps, in every kernel family (small dims,
// whitening on the CUDA cores and the tensor cores, one group of clusters
// and several; diagonal resident and in two steps, one step and several).
// The posteriors were exp(term - logP): at 1e9 out (logP near -1e18, whose
// ulp is 128) logP rounded the log of the sum away and every posterior
// was 1; at 1e3 out they were off by about 1e-10.
TEST_F(LibraryTest, FarPointsGetPosteriorsThatSumToOne) {
  for (const double far : {1e3, 1e9})
    for (const Mixture_Shape shape :
         {Mixture_Shape{true, 3, 4}, Mixture_Shape{true, 3, 20}, Mixture_Shape{true, 40, 20},
          Mixture_Shape{false, 3, 4}, Mixture_Shape{false, 3, 20}, Mixture_Shape{false, 20, 4},
          Mixture_Shape{false, 20, 40}, Mixture_Shape{false, 28, 4}, Mixture_Shape{false, 40, 4},
          Mixture_Shape{false, 40, 20}})
      for (const char *cores : kCoreSettings) {
        if (shape.diagonal && cores != nullptr) continue;
        const Env_Set setting("VELMORA_TENSOR_CORES", cores);
        SCOPED_TRACE(testing::Message() << shape << ", " << far << " out"
                                        << (cores ? ", CUDA cores" : ""));
        const int n = 150, K = shape.K;
        const Log_Result r =
            Evaluate(Far_From_Alike_Clusters(shape.dim, n, K, shape.diagonal, far, 230));
        for (int j = 0; j < n; ++j) {
          double sum = 0.0;
          for (int k = 0; k < K; ++k) {
            const double post = r.R[static_cast<size_t>(j) * K + k];
            ASSERT_NEAR(post, 1.0 / K, 4e-16 / K) << "point " << j << ", cluster " << k;
            sum += post;
          }
          ASSERT_NEAR(sum, 1.0, 4e-16 * K) << "point " << j;
        }
      }
}

// A mixture without clusters gives every point -inf and writes no posterior,
// though R is asked for and the evaluator still holds the posteriors' buffer
// of an earlier call: each kernel then meets a tile of no clusters (past the
// small dims a block's group is empty), along clusters, as R is K x N.
TEST_F(LibraryTest, NoClustersGiveMinusInfWithPosteriorsAsked) {
  const double inf = std::numeric_limits<double>::infinity();
  for (const bool diagonal : {true, false})
    for (const int dim : {3, 20, 40}) {
      SCOPED_TRACE(testing::Message() << (diagonal ? "diagonal" : "full") << ", dim " << dim);
      velmora_log::Evaluator evaluator(Engine_Under_Test());
      const Mixture some = Make_Mixture(dim, 70, 2, true, 99);
      Mixture m = diagonal ? some : As_Full(some);
      Evaluate(m, {}, &evaluator);
      m.num_clust = 0;
      m.Mu.clear();
      m.Sigma.clear();
      m.Pi.clear();
      const velmora_log::Problem p = Problem_Of(m);
      std::vector<double> log_p(m.num_data, 0.0);
      double past_r = 7.0;  // R holds nothing: this stays
      evaluator.Evaluate(p, velmora_log::Factorise(p), {log_p.data(), &past_r});
      for (int j = 0; j < m.num_data; ++j) EXPECT_EQ(log_p[j], -inf) << "point " << j;
      EXPECT_EQ(past_r, 7.0);
    }
}

// More cluster groups than a grid has rows (65535 x 16 clusters): the groups
// continue along the grid's third dimension.
TEST_F(LibraryTest, FullModeClustersPastOneGridRow) {
  const int K = 65535 * 16 + 17;
  Mixture m = Make_Mixture(1, 3, 1, false, 98);
  m.num_clust = K;
  m.Mu.assign(K, 0.0);
  m.Sigma.assign(K, 1.0);
  m.Pi.assign(K, 1.0);
  m.Mu[K - 1] = 1.0;  // the last group's last cluster: the one a short grid would miss
  const velmora_log::Problem p = Problem_Of(m);
  std::vector<double> log_p(3);
  velmora_log::Evaluator(Engine_Under_Test()).Evaluate(p, velmora_log::Factorise(p), {log_p.data(), nullptr});
  for (int j = 0; j < 3; ++j) {
    const double x = m.X[j], log_2pi = std::log(2 * M_PI);
    const double want = std::log((K - 1) * std::exp(-0.5 * x * x) +
                                 std::exp(-0.5 * (x - 1) * (x - 1))) - 0.5 * log_2pi;
    EXPECT_NEAR(log_p[j], want, 1e-9) << "point " << j;
  }
}

// The whitening factor against the textbook loops (Cholesky by rows, W by
// forward substitution, one product subtracted at a time): the same bits,
// across the vector widths' edges and on near-singular covariances, where
// any other order of the subtractions shows.
void Plain_Whitening(const double *sigma, int dim, double *w, double *log_det) {
  std::vector<double> L(static_cast<size_t>(dim) * dim, 0.0);
  const auto at = [dim](int r, int c) { return r + static_cast<size_t>(c) * dim; };
  *log_det = 0.0;
  for (int j = 0; j < dim; ++j) {
    double s = sigma[at(j, j)];
    for (int l = 0; l < j; ++l) s -= L[at(j, l)] * L[at(j, l)];
    L[at(j, j)] = std::sqrt(s);
    *log_det += 2.0 * std::log(L[at(j, j)]);
    for (int i = j + 1; i < dim; ++i) {
      double v = sigma[at(i, j)];
      for (int l = 0; l < j; ++l) v -= L[at(i, l)] * L[at(j, l)];
      L[at(i, j)] = v / L[at(j, j)];
    }
  }
  std::fill(w, w + static_cast<size_t>(dim) * dim, 0.0);
  for (int c = 0; c < dim; ++c) {
    w[at(c, c)] = 1.0 / L[at(c, c)];
    for (int i = c + 1; i < dim; ++i) {
      double v = 0.0;
      for (int l = c; l < i; ++l) v -= L[at(i, l)] * w[at(l, c)];
      w[at(i, c)] = v / L[at(i, i)];
    }
  }
}

TEST(FactoriseTest, WhiteningIsThePlainLoopsBitForBit) {
  for (const int dim : {1, 2, 3, 4, 5, 7, 8, 9, 16, 31, 33, 64, 130}) {
    Mixture m = Make_Mixture(dim, 1, 2, false, 70 + dim);
    // Cluster 2 nearly singular: a rank-one matrix plus 1e-9 of the identity.
    double *near = m.Sigma.data() + static_cast<size_t>(dim) * dim;
    for (int c = 0; c < dim; ++c)
      for (int r = 0; r < dim; ++r)
        near[r + static_cast<size_t>(c) * dim] = (1.0 + 0.1 * r) * (1.0 + 0.1 * c) + (r == c ? 1e-9 : 0.0);
    const velmora_log::Factors f = velmora_log::Factorise(Problem_Of(m));
    for (int k = 0; k < 2; ++k) {
      std::vector<double> want(static_cast<size_t>(dim) * dim);
      double log_det = 0.0;
      Plain_Whitening(m.Sigma.data() + static_cast<size_t>(k) * dim * dim, dim, want.data(), &log_det);
      const std::vector<double> got(f.whitening.begin() + static_cast<std::ptrdiff_t>(k) * dim * dim,
                                    f.whitening.begin() + static_cast<std::ptrdiff_t>(k + 1) * dim * dim);
      EXPECT_TRUE(Same_Bits(want, got)) << "dim " << dim << ", cluster " << k + 1;
      const double log_weight = std::log(m.Pi[k]) - 0.5 * log_det -
                                0.5 * dim * 1.8378770664093454835606594728112;
      EXPECT_EQ(log_weight, f.log_weight[k]) << "dim " << dim << ", cluster " << k + 1;
    }
  }
}

// Of two asymmetric pairs, the message names the first below the
// diagonal in column order, (4,1) before (3,2), though the factorisation
// reads the triangle by rows.
TEST(FactoriseTest, NamesTheFirstAsymmetricEntryInColumnOrder) {
  Mixture m = Make_Mixture(4, 1, 2, false, 75);
  double *second = m.Sigma.data() + 16;
  for (int e = 0; e < 16; ++e) second[e] = e % 5 == 0 ? 2.0 : 0.25;
  second[2 + 1 * 4] += 1e-3;  // Sigma(3,2,2)
  second[3 + 0 * 4] -= 1e-3;  // Sigma(4,1,2)
  try {
    velmora_log::Factorise(Problem_Of(m));
    ADD_FAILURE() << "an asymmetric covariance was taken";
  } catch (const velmora_log::Error &e) {
    EXPECT_EQ(e.id(), "Velmora:covariance");
    EXPECT_STREQ(e.what(), "The covariance of cluster 2 is not symmetric: Sigma(4,1,2) is 0.249 but "
                           "Sigma(1,4,2) is 0.25.");
  }
}

}  // namespace
