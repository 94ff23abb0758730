// The library operations the evaluation does not call: transpose, vector
// sum, conversion, Tikhonov regularisation and the device block inverse.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "Velmora.h"
#include "common/library_test.h"

namespace {

class TransposeTest : public LibraryTest, public testing::WithParamInterface<Shape> {};

TEST_P(TransposeTest, MatchesPlainLoopsAndTwiceGivesBackA) {
  const auto [rows, cols] = GetParam();
  const size_t n = static_cast<size_t>(rows) * cols;
  const std::vector<double> a = Random_Values(n, 51);
  DeviceBuffer d_a(a), d_b(n, -99.0), d_back(n, -99.0);
  Transpose(d_a.get(), d_b.get(), rows, cols);
  std::vector<double> expected(n);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) expected[c + cols * r] = a[r + rows * c];
  EXPECT_TRUE(Same_Bits(expected, d_b.download()));
  EXPECT_EQ(d_b.first_broken_guard(), 0);
  Transpose(d_b.get(), d_back.get(), cols, rows);
  EXPECT_TRUE(Same_Bits(a, d_back.download()));
  EXPECT_TRUE(Errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Shapes, TransposeTest,
                         testing::Values(Shape{1, 1}, Shape{1, 40}, Shape{40, 1}, Shape{17, 33},
                                         Shape{33, 17}, Shape{16, 16}, Shape{64, 48}));

TEST_F(LibraryTest, TransposeRefusesTooLargeOrSameBuffers) {
  DeviceBuffer d_a(8, 1.0), d_b(8, 9.0);
  struct Refusal {
    double *a;
    int rows, cols;
    const char *entry;
  } refusals[] = {{d_a.get(), 512001, 1, "Transpose: matrix too large!"},
                  {d_a.get(), 1, 512001, "Transpose: matrix too large!"},
                  {d_b.get(), 2, 4, "Transpose: A and B should not be the same!"}};
  for (const Refusal &r : refusals) {
    Errors.clear();
    test_host::clear();
    Transpose(r.a, d_b.get(), r.rows, r.cols);
    EXPECT_EQ(Error_Texts(), std::vector<std::string>{r.entry});
    EXPECT_EQ(test_host::console(), std::string(r.entry) + "\n");
  }
  EXPECT_EQ(d_b.download(), std::vector<double>(8, 9.0));
}

TEST_F(LibraryTest, TransposeAcceptsTheLargestDimension) {
  const int n = 512000;
  std::vector<double> a(n);
  for (int i = 0; i < n; ++i) a[i] = i;
  DeviceBuffer d_a(a), d_b(n, -1.0);
  Transpose(d_a.get(), d_b.get(), n, 1);
  EXPECT_TRUE(Same_Bits(a, d_b.download()));  // n x 1 into 1 x n: same memory order
  EXPECT_TRUE(Errors.empty());
}

// ((V0 + V32) + V1) + V2 + ... + V31: the sum's order, exactly.
double Sum_Vector_Ref(const std::vector<double> &v) {
  double partial[32] = {};
  for (size_t i = 0; i < v.size(); ++i) partial[i % 32] = partial[i % 32] + v[i];
  double total = partial[0];
  for (int m = 1; m < 32; ++m) total = total + partial[m];
  return total;
}

TEST_F(LibraryTest, SumVectorAddsInItsFixedOrder) {
  for (int n : {1, 2, 31, 32, 33, 100, 1000}) {
    std::vector<double> v = Random_Values(n, 60 + n, -1e10, 1e10);
    v[0] = 1e16;  // makes the order visible in the last bits
    DeviceBuffer d(v);
    const double sum = Sum_Vector(d.get(), n);
    EXPECT_TRUE(Same_Bits({Sum_Vector_Ref(v)}, {sum})) << "n " << n;
  }
  EXPECT_TRUE(Errors.empty());
}

TEST_F(LibraryTest, SumVectorEdgeValues) {
  DeviceBuffer d_negzero(std::vector<double>{-0.0}), d_minus_one(std::vector<double>{-0.5, -0.5});
  const double zero = Sum_Vector(d_negzero.get(), 1);
  EXPECT_EQ(zero, 0.0);
  EXPECT_FALSE(std::signbit(zero));
  EXPECT_EQ(Sum_Vector(d_negzero.get(), 0), 0.0);
  EXPECT_EQ(Sum_Vector(d_negzero.get(), -4), 0.0);
  EXPECT_EQ(Sum_Vector(d_minus_one.get(), 2), -1.0);
  EXPECT_TRUE(Errors.empty());  // a true -1.0 is no failure
}

TEST_F(LibraryTest, ConversionWidensExactlyAndNarrowsToNearestEven) {
  const float floats[] = {0.1f, -3.5f, 1e-40f, std::numeric_limits<float>::infinity()};
  double *d_f = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void **>(&d_f), sizeof floats), cudaSuccess);
  cudaMemcpy(d_f, floats, sizeof floats, cudaMemcpyHostToDevice);
  DeviceBuffer d_wide(4);
  Vector_Convert(d_f, d_wide.get(), 4, 0);
  const std::vector<double> wide = d_wide.download();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(wide[i], static_cast<double>(floats[i])) << i;

  const double nan = std::numeric_limits<double>::quiet_NaN();
  // 1 + 2^-24 lies halfway between two floats: ties go to the even one, 1.
  const std::vector<double> doubles{0.1, 1e39, -1e39, nan, 1.0 + std::ldexp(1.0, -24)};
  DeviceBuffer d_d(doubles);
  float narrow[5] = {};
  Vector_Convert(d_d.get(), d_f, 4, 1);  // the float buffer holds 4
  cudaMemcpy(narrow, d_f, 4 * sizeof(float), cudaMemcpyDeviceToHost);
  EXPECT_EQ(narrow[0], 0.1f);
  EXPECT_EQ(narrow[1], std::numeric_limits<float>::infinity());
  EXPECT_EQ(narrow[2], -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(narrow[3]));
  DeviceBuffer d_tie(std::vector<double>{doubles[4]});
  Vector_Convert(d_tie.get(), d_f, 1, 1);
  cudaMemcpy(narrow, d_f, sizeof(float), cudaMemcpyDeviceToHost);
  EXPECT_EQ(narrow[0], 1.0f);
  cudaFree(d_f);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(LibraryTest, ConversionRefusesBadCodesAndLeavesB) {
  DeviceBuffer d_a(4, 1.0), d_b(4, 9.0);
  for (int code : {2, -1}) {
    Errors.clear();
    test_host::clear();
    Vector_Convert(d_a.get(), d_b.get(), 4, code);
    EXPECT_EQ(test_host::console(), "Vector_Convert: Invalid Conversion!\n");
    EXPECT_EQ(Error_Texts(), std::vector<std::string>{"Vector_Convert: INVALID CONVERSION"});
  }
  EXPECT_EQ(d_b.download(), std::vector<double>(4, 9.0));
}

TEST_F(LibraryTest, ConversionCoversEveryElementOfSeveralBlocks) {
  const int n = 513 * 3;
  std::vector<double> v(n);
  for (int i = 0; i < n; ++i) v[i] = i + 0.25;
  DeviceBuffer d_v(v), d_f(n), d_back(n, -1.0);  // d_f holds n floats in n doubles' room
  Vector_Convert(d_v.get(), d_f.get(), n, 1);
  Vector_Convert(d_f.get(), d_back.get(), n, 0);
  EXPECT_TRUE(Same_Bits(v, d_back.download()));
  EXPECT_TRUE(d_back.guards_intact());
}

class TikhonovTest : public LibraryTest, public testing::WithParamInterface<int> {};

TEST_P(TikhonovTest, RaisesTheDiagonalOnlyInPlaceOrNot) {
  const int n = GetParam();
  std::vector<double> a = Random_Values(static_cast<size_t>(n) * n, 70 + n);
  a[0] = -0.0;
  std::vector<double> expected = a;
  for (int i = 0; i < n; ++i) expected[i + n * i] = a[i + n * i] + 0.0;
  DeviceBuffer d_a(a), d_b(a.size(), -99.0);
  Tikhonov_Diagonal_Regularization(d_a.get(), d_b.get(), n, 0.0);
  EXPECT_TRUE(Same_Bits(expected, d_b.download()));  // -0.0 on the diagonal becomes +0.0
  EXPECT_TRUE(d_b.guards_intact());
  for (int i = 0; i < n; ++i) expected[i + n * i] = a[i + n * i] + 2.5;
  Tikhonov_Diagonal_Regularization(d_a.get(), d_a.get(), n, 2.5);
  EXPECT_TRUE(Same_Bits(expected, d_a.download()));
}

INSTANTIATE_TEST_SUITE_P(Orders, TikhonovTest, testing::Values(1, 17, 33, 40));

TEST_F(LibraryTest, SurfaceOperationsOfNothingTouchNothing) {
  DeviceBuffer d_a(16, 1.0), d_b(16, 9.0);
  for (int n : {0, -3}) {
    Transpose(d_a.get(), d_b.get(), n, 4);
    Transpose(d_a.get(), d_b.get(), 4, n);
    Tikhonov_Diagonal_Regularization(d_a.get(), d_b.get(), n, 1.0);
    Vector_Convert(d_a.get(), d_b.get(), n, 1);
  }
  EXPECT_EQ(d_b.download(), std::vector<double>(16, 9.0));
  EXPECT_TRUE(d_b.guards_intact());
  EXPECT_TRUE(Errors.empty());
}

class CalcInverseTest : public LibraryTest {
 protected:
  void TearDown() override {
    DIAGONAL_ESTIMATE = 1;
    LibraryTest::TearDown();
  }
};

TEST_F(CalcInverseTest, FullBlockBecomesItsInverse) {
  DIAGONAL_ESTIMATE = 0;
  elements_one_sigma = 4;
  DeviceBuffer d(std::vector<double>{4, 2, 2, 3});
  EXPECT_NEAR(CalcInverse(d.get(), 2), std::log(8.0), 1e-15);
  const std::vector<double> inv = d.download(), expected{0.375, -0.25, -0.25, 0.5};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(inv[i], expected[i], 1e-15) << i;
  EXPECT_TRUE(Errors.empty());
}

TEST_F(CalcInverseTest, DiagonalBlockBecomesItsReciprocals) {
  DIAGONAL_ESTIMATE = 1;
  elements_one_sigma = 2;
  DeviceBuffer d(std::vector<double>{1, 4});
  EXPECT_EQ(CalcInverse(d.get(), 2), std::log(4.0));
  EXPECT_EQ(d.download(), (std::vector<double>{1, 0.25}));
  EXPECT_EQ(CalcInverse(d.get(), 0), 0.0);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(CalcInverseTest, FailedFactorisationWritesNaNToTheDevice) {
  DIAGONAL_ESTIMATE = 0;
  DeviceBuffer d(std::vector<double>{1, 2, 2, 1});
  EXPECT_EQ(CalcInverse(d.get(), 2), -1.0);
  for (double v : d.download()) EXPECT_TRUE(std::isnan(v));
  EXPECT_EQ(test_host::console(), "Cholesky failed\n");
}

}  // namespace
