// Row and column reductions against plain loops in the kernels' order:
// strided partial values per thread, then their in-order combination.
#include <cfloat>
#include <cmath>
#include <limits>
#include <ostream>
#include <vector>

#include "common/library_test.h"

namespace {

const double kStart = static_cast<double>(FLT_MAX);

double Start(int op) { return op / 2 == 1 ? kStart : op / 2 == 2 ? -kStart : 0.0; }

double Step(int op, double res, double a) {
  switch (op / 2) {
    case 0: return res + a;
    case 1: return std::fmin(a, res);
    case 2: return std::fmax(a, res);
    default: return res + std::exp(a);
  }
}

double Combine(int op, double res, double partial) {
  switch (op / 2) {
    case 1: return std::fmin(partial, res);
    case 2: return std::fmax(partial, res);
    default: return res + partial;
  }
}

// `lanes` threads each fold every lanes-th element of the line, in order.
double Reduce_Line(int op, const std::vector<double> &line, int lanes) {
  double res = Start(op);
  for (int lane = 0; lane < lanes; ++lane) {
    double partial = Start(op);
    for (size_t e = lane; e < line.size(); e += lanes) partial = Step(op, partial, line[e]);
    res = Combine(op, res, partial);
  }
  return res;
}

std::vector<double> Reduce_Ref(int op, const std::vector<double> &a, int rows, int cols) {
  std::vector<double> out;
  if (op % 2 == 0) {
    for (int j = 0; j < cols; ++j)
      out.push_back(Reduce_Line(op, std::vector<double>(a.begin() + j * rows,
                                                        a.begin() + (j + 1) * rows), 32));
  } else {
    for (int i = 0; i < rows; ++i) {
      std::vector<double> line;
      for (int j = 0; j < cols; ++j) line.push_back(a[i + j * rows]);
      out.push_back(Reduce_Line(op, line, 16));
    }
  }
  return out;
}

class ReductionTest : public LibraryTest, public testing::WithParamInterface<Shape> {};

TEST_P(ReductionTest, EveryCodeMatchesThePlainLoopOrder) {
  const auto [rows, cols] = GetParam();
  const size_t n = static_cast<size_t>(rows) * cols;
  const std::vector<double> a = Random_Values(n, 21, -3.0, 3.0);
  for (int op = 0; op <= 7; ++op) {
    const size_t out_n = op % 2 == 0 ? cols : rows;
    DeviceBuffer d_a(a), d_out(out_n, -99.0);
    Matrix_Op(d_a.get(), d_out.get(), rows, cols, 0.0, op);
    const std::vector<double> expected = Reduce_Ref(op, a, rows, cols);
    if (op >= 6)
      EXPECT_TRUE(Close(expected, d_out.download(), 64 * DBL_EPSILON)) << "code " << op;
    else
      EXPECT_TRUE(Same_Bits(expected, d_out.download())) << "code " << op;
    EXPECT_EQ(d_out.first_broken_guard(), 0) << "code " << op;
  }
  EXPECT_TRUE(Errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Shapes, ReductionTest,
                         testing::Values(Shape{1, 1}, Shape{1, 40}, Shape{40, 1}, Shape{17, 33},
                                         Shape{33, 17}, Shape{32, 16}, Shape{65, 31},
                                         Shape{3, 2}, Shape{200, 40}));

TEST_F(LibraryTest, ReductionsOfTheSmallExample) {
  // Columns (1, 2, 3) and (4, 5, 6).
  DeviceBuffer d_a(std::vector<double>{1, 2, 3, 4, 5, 6}), d_col(2), d_row(3);
  Matrix_Op(d_a.get(), d_col.get(), 3, 2, 0.0, 0);
  EXPECT_EQ(d_col.download(), (std::vector<double>{6, 15}));
  Matrix_Op(d_a.get(), d_row.get(), 3, 2, 0.0, 1);
  EXPECT_EQ(d_row.download(), (std::vector<double>{5, 7, 9}));
  Matrix_Op(d_a.get(), d_col.get(), 3, 2, 0.0, 2);
  EXPECT_EQ(d_col.download(), (std::vector<double>{1, 4}));
  Matrix_Op(d_a.get(), d_row.get(), 3, 2, 0.0, 5);
  EXPECT_EQ(d_row.download(), (std::vector<double>{4, 5, 6}));
}

TEST_F(LibraryTest, MinimumAndMaximumStartAtTheLargestFloat) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  DeviceBuffer d_a(std::vector<double>{1e300, 1e300, -1e300, -1e300, nan, nan}), d_out(3);
  Matrix_Op(d_a.get(), d_out.get(), 2, 3, 0.0, 2);
  EXPECT_EQ(d_out.download(), (std::vector<double>{kStart, -1e300, kStart}));
  Matrix_Op(d_a.get(), d_out.get(), 2, 3, 0.0, 4);
  EXPECT_EQ(d_out.download(), (std::vector<double>{1e300, -kStart, -kStart}));
  Matrix_Op(d_a.get(), d_out.get(), 2, 3, 0.0, 0);
  EXPECT_TRUE(std::isnan(d_out.download()[2]));
}

TEST_F(LibraryTest, ColumnsOfNoRowsReduceToTheStartingValue) {
  DeviceBuffer d_a(1), d_out(4, -1.0);
  Matrix_Op(d_a.get(), d_out.get(), 0, 4, 0.0, 0);
  EXPECT_EQ(d_out.download(), std::vector<double>(4, 0.0));
  Matrix_Op(d_a.get(), d_out.get(), 0, 4, 0.0, 2);
  EXPECT_EQ(d_out.download(), std::vector<double>(4, kStart));
}

TEST_F(LibraryTest, AnEmptyTiledDimensionTouchesNothing) {
  DeviceBuffer d_a(4, 1.0), d_out(4, -1.0);
  Matrix_Op(d_a.get(), d_out.get(), 4, 0, 0.0, 0);
  Matrix_Op(d_a.get(), d_out.get(), 0, 4, 0.0, 1);
  EXPECT_EQ(d_out.download(), std::vector<double>(4, -1.0));
  EXPECT_TRUE(d_out.guards_intact());
}

TEST_F(LibraryTest, ReductionsCoverLinesPastOneGridRow) {
  const int cols = 32000 * 16 + 1;
  DeviceBuffer d_a(static_cast<size_t>(cols) * 2, 1.5), d_out(cols, -1.0);
  Matrix_Op(d_a.get(), d_out.get(), 2, cols, 0.0, 0);
  const std::vector<double> out = d_out.download();
  for (int j = 0; j < cols; ++j) ASSERT_EQ(out[j], 3.0) << "column " << j;
  EXPECT_TRUE(d_out.guards_intact());

  const int rows = 32000 * 32 + 1;
  DeviceBuffer d_rows(static_cast<size_t>(rows), 2.0), d_sums(rows, -1.0);
  Matrix_Op(d_rows.get(), d_sums.get(), rows, 1, 0.0, 1);
  const std::vector<double> sums = d_sums.download();
  for (int i = 0; i < rows; ++i) ASSERT_EQ(sums[i], 2.0) << "row " << i;
  EXPECT_TRUE(d_sums.guards_intact());
}

TEST_F(LibraryTest, ReductionRefusesUnknownCodesAndLeavesTheResult) {
  DeviceBuffer d_a(6, 1.0), d_out(3, 9.0);
  for (int op : {8, 100, -1}) {
    Errors.clear();
    test_host::clear();
    Matrix_Op(d_a.get(), d_out.get(), 3, 2, 0.0, op);
    EXPECT_EQ(Error_Texts(), std::vector<std::string>{"Matrix_OP: Invalid Operation"});
    EXPECT_EQ(test_host::console(), "Matrix_OP: Invalid Operation\n");
  }
  EXPECT_EQ(d_out.download(), std::vector<double>(3, 9.0));
}

}  // namespace
