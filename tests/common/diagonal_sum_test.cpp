// The log-sum-exps' exp (log_sum.h) against long double over the whole
// range a term can take, and the ends of that range; diagonal mode's run
// against a plain long double log-sum-exp, whichever term of a run is the
// largest and wherever the -inf and NaN terms fall.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "diagonal_sum.h"

namespace {

using velmora_log::Diagonal_Sum;
using velmora_log::Exp_Below_Zero;

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(DiagonalSumTest, ExpIsWithinAnUlpDownToTheSmallestNormal) {
  double worst = 0.0;
  // Every reduction interval k, at its middle and near both ends, and
  // the rounding boundaries between them; above 0 too, up to where exp
  // overflows, as the header promises.
  for (int k = 1023; k >= -1021; --k)
    for (const double f : {-0.5, -0.4999, -0.25, 0.0, 0.3, 0.4999, 0.5}) {
      const double a = (k + f) * 0.69314718055994530942;
      if (a < -1021 * 0.69314718055994530942) continue;
      const long double want = std::exp(static_cast<long double>(a));
      const double got = Exp_Below_Zero(a);
      worst = std::max(worst, static_cast<double>(std::fabs((got - want) / want)));
    }
  EXPECT_LT(worst, 1.5 * DBL_EPSILON);
}

TEST(DiagonalSumTest, ExpEndsOfTheRange) {
  EXPECT_EQ(Exp_Below_Zero(0.0), 1.0);
  EXPECT_EQ(Exp_Below_Zero(-0.0), 1.0);
  EXPECT_EQ(Exp_Below_Zero(-kInf), 0.0);
  EXPECT_EQ(Exp_Below_Zero(-1e300), 0.0);
  EXPECT_EQ(Exp_Below_Zero(-3e9), 0.0);  // k past what 32 bits hold
  EXPECT_EQ(Exp_Below_Zero(-710.0), 0.0);  // below 2^-1021: under an ulp of any sum
  EXPECT_GT(Exp_Below_Zero(-707.0), 0.0);
  EXPECT_TRUE(std::isnan(Exp_Below_Zero(std::nan(""))));
  // NaN is told from the high word alone: a signalling NaN whose payload
  // is all in the low word must still come out NaN, not 0.
  const unsigned long long signalling = 0x7ff0000000000001ull;
  double s;
  std::memcpy(&s, &signalling, sizeof s);
  EXPECT_TRUE(std::isnan(Exp_Below_Zero(s)));
  EXPECT_EQ(Exp_Below_Zero(0x1p-60), 1.0);
}

long double Plain_Log_Sum(const std::vector<double> &v) {
  long double top = -kInf, s = 0;
  for (const double x : v) top = std::max(top, static_cast<long double>(x));
  if (top == -kInf) return -kInf;
  for (const double x : v) s += std::exp(static_cast<long double>(x) - top);
  return top + std::log(s);
}

// Runs of four in every order of a large, a middle and small terms, so
// that the largest sits at each place, rises within a run and across runs.
TEST(DiagonalSumTest, RunsGiveTheLogSumExpWhereverTheLargestFalls) {
  const double values[] = {-3.0, 40.0, -700.5, 12.25, 40.0, -kInf, 39.5, -1e5};
  for (int shift = 0; shift < 8; ++shift) {
    std::vector<double> v;
    for (int i = 0; i < 12; ++i) v.push_back(values[(i * 5 + shift) % 8] - i * 0.125);
    Diagonal_Sum sum, left, right;
    for (int r = 0; r < 3; ++r) {
      const double run[4] = {v[4 * r], v[4 * r + 1], v[4 * r + 2], v[4 * r + 3]};
      sum.Add_Run(run);
      (r == 1 ? right : left).Add_Run(run);
    }
    const long double want = Plain_Log_Sum(v);
    EXPECT_NEAR(sum.Value(), static_cast<double>(want), 4e-16 * std::fabs(want)) << "shift " << shift;
    left.Merge(right);  // runs 0 and 2, then run 1: the same sum
    EXPECT_NEAR(left.Value(), static_cast<double>(want), 4e-16 * std::fabs(want)) << "shift " << shift;
  }
}

// A new sum's first run skips the stand-ins: every run of four drawn from
// ties, signed zeros, the ends of the range, -inf and NaN must give
// Add_Run's bits on a new sum.
TEST(DiagonalSumTest, FirstRunHasAddRunsBits) {
  const double values[] = {-kInf, -DBL_MAX, -0.0, 0.0, 1.5, -700.5, -745.0, 40.0, 709.0, std::nan("")};
  constexpr int kCount = sizeof values / sizeof values[0];
  int differ = 0;
  for (int e = 0; e < kCount * kCount * kCount * kCount; ++e) {
    const double run[4] = {values[e % kCount], values[e / kCount % kCount],
                           values[e / (kCount * kCount) % kCount], values[e / (kCount * kCount * kCount)]};
    Diagonal_Sum added;
    added.Add_Run(run);
    const Diagonal_Sum first = Diagonal_Sum::Of_Run(run);
    const bool same_s = velmora_log::Bits_Of(first.s) == velmora_log::Bits_Of(added.s) ||
                        (std::isnan(first.s) && std::isnan(added.s));
    if (velmora_log::Bits_Of(first.m) != velmora_log::Bits_Of(added.m) || !same_s) {
      if (differ++ < 3)
        ADD_FAILURE() << "run " << run[0] << ", " << run[1] << ", " << run[2] << ", " << run[3] << ": m "
                      << first.m << " vs " << added.m << ", s " << first.s << " vs " << added.s;
    }
  }
  EXPECT_EQ(differ, 0);
}

TEST(DiagonalSumTest, MinusInfinityTermsChangeNothingAndNaNSpoils) {
  Diagonal_Sum with, without;
  const double a[4] = {1.5, -2.0, 7.0, 0.25}, b[4] = {3.0, -kInf, -kInf, -kInf};
  with.Add_Run(a);
  with.Add_Run(b);
  without.Add_Run(a);
  without.Add_Run(b);
  const double filled[4] = {-kInf, -kInf, -kInf, -kInf};
  with.Add_Run(filled);  // a run past the last cluster
  EXPECT_EQ(velmora_log::Bits_Of(with.Value()), velmora_log::Bits_Of(without.Value()));
  EXPECT_EQ(velmora_log::Bits_Of(with.s), velmora_log::Bits_Of(without.s));

  Diagonal_Sum none;
  none.Add_Run(filled);
  EXPECT_EQ(none.Value(), -kInf) << "every term -inf: the density is 0";
  Diagonal_Sum merged;
  merged.Merge(none);
  EXPECT_EQ(merged.Value(), -kInf);

  const double nan = std::nan("");
  for (int at = 0; at < 4; ++at) {
    double run[4] = {-1.0, 5.0, -kInf, 2.0};
    run[at] = nan;
    Diagonal_Sum s;
    s.Add_Run(a);
    s.Add_Run(run);
    EXPECT_TRUE(std::isnan(s.Value())) << "NaN at " << at;
  }
}

}  // namespace
