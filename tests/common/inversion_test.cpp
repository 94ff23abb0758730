// Covariance inversion on the host: the Cholesky inverse and log-determinant.
#include <cmath>
#include <limits>
#include <ostream>
#include <vector>

#include "Velmora.h"
#include "common/library_test.h"

namespace {

using Matrix = std::vector<double>;

// A random symmetric positive-definite n x n matrix: B B^T + n I.
Matrix Random_Spd(int n, unsigned seed) {
  const Matrix b = Random_Values(static_cast<size_t>(n) * n, seed);
  Matrix a(static_cast<size_t>(n) * n);
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c) {
      long double s = 0;
      for (int k = 0; k < n; ++k) s += static_cast<long double>(b[r + k * n]) * b[c + k * n];
      a[r + c * n] = static_cast<double>(s) + (r == c ? n : 0);
    }
  return a;
}

class InversionTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    DIAGONAL_ESTIMATE = 0;
  }
};

TEST_F(InversionTest, IdentityInvertsToItselfWithLogDeterminantZero) {
  for (int n : {1, 2, 5}) {
    Matrix a(n * n, 0.0), inv(n * n, -1.0);
    for (int i = 0; i < n; ++i) a[i + i * n] = 1.0;
    EXPECT_EQ(CholeskyInv(a.data(), inv.data(), n, false), 0.0);
    EXPECT_EQ(inv, a);
  }
}

TEST_F(InversionTest, TwoByTwoExample) {
  Matrix a{4, 2, 2, 3}, inv(4);
  const double log_det = CholeskyInv(a.data(), inv.data(), 2, false);
  EXPECT_NEAR(log_det, std::log(8.0), 1e-15);
  const Matrix expected{0.375, -0.25, -0.25, 0.5};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(inv[i], expected[i], 1e-15) << i;
  EXPECT_EQ(a, (Matrix{4, 2, 2, 3}));  // input untouched without in_place

  CholeskyInv(a.data(), inv.data(), 2, true);
  // The factor U = [[2, 1], [0, sqrt 2]] replaces the upper triangle; the
  // strict lower triangle keeps the input.
  EXPECT_EQ(a[0], 2.0);
  EXPECT_EQ(a[2], 1.0);
  EXPECT_EQ(a[3], std::sqrt(2.0));
  EXPECT_EQ(a[1], 2.0);
}

TEST_F(InversionTest, OnlyTheLowerTriangleIsRead) {
  Matrix a{4, 2, 99, 3}, inv(4);  // upper entry 99 ignored
  Matrix sym{4, 2, 2, 3}, inv_sym(4);
  EXPECT_EQ(CholeskyInv(a.data(), inv.data(), 2, false),
            CholeskyInv(sym.data(), inv_sym.data(), 2, false));
  EXPECT_EQ(inv, inv_sym);
  Matrix nan_upper{4, 2, std::numeric_limits<double>::quiet_NaN(), 3};
  CholeskyInv(nan_upper.data(), inv.data(), 2, false);
  EXPECT_EQ(inv, inv_sym);
}

TEST_F(InversionTest, RandomMatricesInvertToTheLongDoubleIdentity) {
  for (int n : {3, 17, 40}) {
    const Matrix a = Random_Spd(n, 40 + n);
    Matrix inv(n * n);
    const double log_det = CholeskyInv(const_cast<double *>(a.data()), inv.data(), n, false);
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        EXPECT_EQ(inv[r + c * n], inv[c + r * n]);  // both triangles written, symmetric
        long double s = 0;
        for (int k = 0; k < n; ++k) s += static_cast<long double>(a[r + k * n]) * inv[k + c * n];
        ASSERT_NEAR(static_cast<double>(s), r == c ? 1.0 : 0.0, 1e-12) << n << ": " << r << "," << c;
      }
    }
    // log det through an independent route: Gaussian elimination in long double.
    std::vector<long double> m(a.begin(), a.end());
    long double ref = 0;
    for (int k = 0; k < n; ++k) {
      ref += std::log(m[k + k * n]);
      for (int r = k + 1; r < n; ++r) {
        const long double f = m[r + k * n] / m[k + k * n];
        for (int c = k; c < n; ++c) m[r + c * n] -= f * m[k + c * n];
      }
    }
    EXPECT_NEAR(log_det, static_cast<double>(ref), 1e-12 * std::fabs(static_cast<double>(ref)));
  }
}

struct FailureCase {
  Matrix a;
  int n;
};

inline std::ostream &operator<<(std::ostream &os, const FailureCase &c) {
  return os << c.n << " x " << c.n;
}

class CholeskyFailureTest : public InversionTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(CholeskyFailureTest, ReportsOnceLeavesInvAndInputUntouched) {
  Matrix a = GetParam().a;
  const int n = GetParam().n;
  Matrix inv(n * n, 7.0);
  EXPECT_EQ(CholeskyInv(a.data(), inv.data(), n, false), -1.0);
  EXPECT_EQ(test_host::console(), "Cholesky failed\n");
  EXPECT_EQ(inv, Matrix(n * n, 7.0));
  EXPECT_EQ(a, GetParam().a);
  EXPECT_TRUE(Errors.empty());
}

INSTANTIATE_TEST_SUITE_P(NotPositiveDefinite, CholeskyFailureTest,
                         testing::Values(FailureCase{{1, 2, 2, 1}, 2},         // s = -3 at i = 1
                                         FailureCase{{1, 1, 1, 1}, 2},         // zero pivot
                                         FailureCase{{-1}, 1},
                                         FailureCase{{1, 1, 1, 1, 1, 1, 1, 1, 1}, 3}));

TEST_F(InversionTest, NaNInTheLowerTrianglePropagatesWithoutFailing) {
  Matrix a{4, std::numeric_limits<double>::quiet_NaN(), 2, 3}, inv(4);
  EXPECT_TRUE(std::isnan(CholeskyInv(a.data(), inv.data(), 2, false)));
  EXPECT_TRUE(std::isnan(inv[3]));
  EXPECT_EQ(test_host::console(), "");
}

TEST_F(InversionTest, EmptyMatrixHasLogDeterminantZero) {
  double a = 5.0, inv = 7.0;
  EXPECT_EQ(CholeskyInv(&a, &inv, 0, false), 0.0);
  EXPECT_EQ(inv, 7.0);
}

TEST_F(InversionTest, DiagonalModeTakesReciprocalsAndSumsLogs) {
  DIAGONAL_ESTIMATE = 1;
  const double e2 = std::exp(2.0);
  Matrix sigma{1.0, e2, 4.0}, inv(3);
  double log_det = 0;
  Invert_Sigmas(sigma.data(), inv.data(), &log_det, 3);
  EXPECT_EQ(log_det, (0.0 + std::log(1.0)) + std::log(e2) + std::log(4.0));
  EXPECT_NEAR(log_det, 2.0 + std::log(4.0), 1e-15);
  EXPECT_EQ(inv, (Matrix{1.0, 1.0 / e2, 0.25}));
  Matrix zero{0.0}, inv0(1);
  Invert_Sigmas(zero.data(), inv0.data(), &log_det, 1);
  EXPECT_EQ(log_det, -INFINITY);
  EXPECT_EQ(inv0[0], INFINITY);
}

TEST_F(InversionTest, FullModeFailureLeavesAnInverseOfNaN) {
  Matrix sigma{1, 2, 2, 1}, inv(4, 7.0);
  double log_det = 0;
  Invert_Sigmas(sigma.data(), inv.data(), &log_det, 2);
  EXPECT_EQ(log_det, -1.0);
  for (double v : inv) EXPECT_TRUE(std::isnan(v));
  EXPECT_EQ(test_host::console(), "Cholesky failed\n");
}

}  // namespace
