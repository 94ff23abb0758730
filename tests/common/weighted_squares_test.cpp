// Weighted sums of squares, per column and per row, in the kernels' exact
// order of summation.
#include <ostream>
#include <vector>

#include "common/library_test.h"

namespace {

// Per column: 32 strided lanes down the column, then lanes 0..31 in order.
std::vector<double> Per_Column_Ref(const std::vector<double> &a, const std::vector<double> &c,
                                   const std::vector<double> &w, double scale, int rows,
                                   int cols) {
  std::vector<double> out(cols);
  for (int j = 0; j < cols; ++j) {
    double lanes[32];
    for (int t = 0; t < 32; ++t) {
      double res = 0.0;
      for (int i = t; i < rows; i += 32) {
        const double d = a[i + j * rows] - c[i];
        res = res + w[i] * (d * d);
      }
      lanes[t] = res;
    }
    double s = lanes[0];
    for (int t = 1; t < 32; ++t) s = s + lanes[t];
    out[j] = scale * s;
  }
  return out;
}

// Per row: each block of 16 columns summed in order and scaled, then the
// blocks' partial sums in the row reduction's order (16 lanes).
std::vector<double> Per_Row_Ref(const std::vector<double> &a, const std::vector<double> &c,
                                const std::vector<double> &w, double scale, int rows,
                                int cols) {
  const int blocks = (cols + 15) / 16;
  std::vector<double> out(rows);
  for (int i = 0; i < rows; ++i) {
    std::vector<double> partial(blocks);
    for (int b = 0; b < blocks; ++b) {
      double terms[16];
      for (int m = 0; m < 16; ++m) {
        const int j = b * 16 + m;
        terms[m] = 0.0;
        if (j < cols) {
          const double d = a[i + j * rows] - c[i];
          terms[m] = w[j] * (d * d);
        }
      }
      double s = terms[0];
      for (int m = 1; m < 16; ++m) s = s + terms[m];
      partial[b] = scale * s;
    }
    double res = 0.0;
    for (int lane = 0; lane < 16; ++lane) {
      double p = 0.0;
      for (int b = lane; b < blocks; b += 16) p = p + partial[b];
      res = res + p;
    }
    out[i] = res;
  }
  return out;
}

struct Case {
  int rows, cols;
  double scale;
};

inline std::ostream &operator<<(std::ostream &os, const Case &c) {
  return os << c.rows << " x " << c.cols << " scale " << c.scale;
}

class WeightedSquaresTest : public LibraryTest, public testing::WithParamInterface<Case> {};

TEST_P(WeightedSquaresTest, PerColumnMatchesThePlainLoopOrder) {
  const auto [rows, cols, scale] = GetParam();
  const size_t n = static_cast<size_t>(rows) * cols;
  const std::vector<double> a = Random_Values(n, 31), c = Random_Values(rows, 32);
  const std::vector<double> w = Random_Values(rows, 33, 0.1, 2.0);
  DeviceBuffer d_a(a), d_c(c), d_w(w), d_out(cols, -99.0);
  Sum_Weighted_Squares(d_a.get(), d_c.get(), d_w.get(), nullptr, d_out.get(), scale, rows, cols,
                       false, false);
  EXPECT_TRUE(Same_Bits(Per_Column_Ref(a, c, w, scale, rows, cols), d_out.download()));
  EXPECT_EQ(d_out.first_broken_guard(), 0);
  EXPECT_TRUE(Errors.empty());
}

TEST_P(WeightedSquaresTest, PerRowMatchesThePlainLoopOrder) {
  const auto [rows, cols, scale] = GetParam();
  const size_t n = static_cast<size_t>(rows) * cols;
  const int blocks = (cols + 15) / 16;
  const std::vector<double> a = Random_Values(n, 34), c = Random_Values(rows, 35);
  const std::vector<double> w = Random_Values(cols, 36, 0.1, 2.0);
  DeviceBuffer d_a(a), d_c(c), d_w(w), d_partial(static_cast<size_t>(rows) * blocks, -5.0);
  DeviceBuffer d_out(rows, -99.0);
  Sum_Weighted_Squares(d_a.get(), d_c.get(), d_w.get(), d_partial.get(), d_out.get(), scale,
                       rows, cols, true, true);
  EXPECT_TRUE(Same_Bits(Per_Row_Ref(a, c, w, scale, rows, cols), d_out.download()));
  EXPECT_EQ(d_out.first_broken_guard(), 0);
  EXPECT_EQ(d_partial.first_broken_guard(), 0);
  EXPECT_TRUE(Errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Shapes, WeightedSquaresTest,
                         testing::Values(Case{1, 1, 1.0}, Case{1, 40, 1.0}, Case{40, 1, 1.0},
                                         Case{17, 33, 1.0}, Case{33, 17, 0.5}, Case{32, 16, 1.0},
                                         Case{64, 48, 2.0}, Case{100, 300, 1.0}));

TEST_F(LibraryTest, UnitWeightsAndZeroCentreGiveSquaredNorms) {
  DeviceBuffer d_a(std::vector<double>{1, 2, 3, 4}), d_c(2, 0.0), d_ones(2, 1.0);
  DeviceBuffer d_cols(2), d_rows(2), d_partial(2);
  Sum_Weighted_Squares(d_a.get(), d_c.get(), d_ones.get(), nullptr, d_cols.get(), 1.0, 2, 2,
                       false, false);
  EXPECT_EQ(d_cols.download(), (std::vector<double>{5, 25}));
  Sum_Weighted_Squares(d_a.get(), d_c.get(), d_ones.get(), d_partial.get(), d_rows.get(), 1.0, 2,
                       2, true, true);
  EXPECT_EQ(d_rows.download(), (std::vector<double>{10, 20}));
}

TEST_F(LibraryTest, PerColumnWithNoRowsGivesZeros) {
  DeviceBuffer d_a(1), d_c(1), d_w(1), d_out(5, -1.0);
  Sum_Weighted_Squares(d_a.get(), d_c.get(), d_w.get(), nullptr, d_out.get(), 3.0, 0, 5, false,
                       false);
  EXPECT_EQ(d_out.download(), std::vector<double>(5, 0.0));
}

TEST_F(LibraryTest, InfiniteWeightOnAnExactRowGivesNaN) {
  DeviceBuffer d_a(std::vector<double>{1, 5, 1, 6}), d_c(std::vector<double>{1, 0});
  DeviceBuffer d_w(std::vector<double>{INFINITY, 1.0}), d_out(2);
  Sum_Weighted_Squares(d_a.get(), d_c.get(), d_w.get(), nullptr, d_out.get(), 1.0, 2, 2, false,
                       false);
  const std::vector<double> out = d_out.download();
  EXPECT_TRUE(std::isnan(out[0]) && std::isnan(out[1]));
}

TEST_F(LibraryTest, MismatchedFlagsAreRefusedAndWriteNothing) {
  DeviceBuffer d_a(4, 1.0), d_out(2, 9.0);
  for (const bool first : {false, true}) {
    Errors.clear();
    test_host::clear();
    Sum_Weighted_Squares(d_a.get(), d_a.get(), d_a.get(), d_a.get(), d_out.get(), 1.0, 2, 2,
                         first, !first);
    EXPECT_EQ(Error_Texts(),
              std::vector<std::string>{"Sum_Weighted_Squares: this operation is not supported!"});
    EXPECT_EQ(test_host::console(), "Sum_Weighted_Squares: this operation is not supported!\n");
  }
  EXPECT_EQ(d_out.download(), std::vector<double>(2, 9.0));
}

TEST_F(LibraryTest, NoColumnsTouchNothingInEitherMode) {
  DeviceBuffer d_a(4, 1.0), d_partial(4, 8.0), d_out(4, 9.0);
  Sum_Weighted_Squares(d_a.get(), d_a.get(), d_a.get(), nullptr, d_out.get(), 1.0, 4, 0, false,
                       false);
  Sum_Weighted_Squares(d_a.get(), d_a.get(), d_a.get(), d_partial.get(), d_out.get(), 1.0, 4, 0,
                       true, true);
  EXPECT_EQ(d_out.download(), std::vector<double>(4, 9.0));
  EXPECT_EQ(d_partial.download(), std::vector<double>(4, 8.0));
}

TEST_F(LibraryTest, WeightedSquaresCoverColumnsPastOneGridRow) {
  const int cols = 32000 * 16 + 1;
  std::vector<double> a(cols);
  for (int j = 0; j < cols; ++j) a[j] = j % 7;
  DeviceBuffer d_a(a), d_c(std::vector<double>{1.0}), d_w(std::vector<double>{2.0});
  DeviceBuffer d_out(cols, -1.0);
  Sum_Weighted_Squares(d_a.get(), d_c.get(), d_w.get(), nullptr, d_out.get(), 1.0, 1, cols,
                       false, false);
  const std::vector<double> out = d_out.download();
  for (int j = 0; j < cols; ++j) ASSERT_EQ(out[j], 2.0 * (j % 7 - 1) * (j % 7 - 1)) << j;
  EXPECT_TRUE(d_out.guards_intact());

  // Per row: 32001 blocks in a grid of 32000 x 2, one partial column each.
  const int blocks = 32000 * 2;
  DeviceBuffer d_ones(cols, 1.0), d_partial(blocks, -3.0), d_row(1, -1.0);
  Sum_Weighted_Squares(d_a.get(), d_c.get(), d_ones.get(), d_partial.get(), d_row.get(), 1.0, 1,
                       cols, true, true);
  double expected = 0.0;
  for (int j = 0; j < cols; ++j) expected += (j % 7 - 1) * (j % 7 - 1);
  EXPECT_EQ(d_row.download()[0], expected);  // small integers: exact in any order
  EXPECT_TRUE(d_partial.guards_intact());
}

}  // namespace
