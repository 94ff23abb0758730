// Element-wise matrix-matrix and matrix-vector operations against plain
// loops, over shapes that break block and chunk edges.
#include <ostream>
#include <string>
#include <vector>

#include "common/library_test.h"

namespace {

std::string Shape_Name(const testing::TestParamInfo<Shape> &info) {
  return std::to_string(info.param.rows) + "x" + std::to_string(info.param.cols);
}

const Shape kShapes[] = {{1, 1},  {1, 40},  {40, 1},  {17, 33}, {33, 17}, {32, 16},
                         {33, 16}, {32, 17}, {3, 5},  {1000, 3}, {64, 64}};

double Matrix_Matrix_Ref(int op, double a, double b) {
  switch (op) {
    case 0: return a + b;
    case 1: return a - b;
    case 2: return a * b;
    default: return a / b;
  }
}

double Matrix_Vector_Ref(int op, double a, double w) {
  switch (op) {
    case 0: return w + a;
    case 1: return a - w;
    case 2: return w * a;
    default: return w * (a * a);
  }
}

class MatrixMatrixTest : public LibraryTest, public testing::WithParamInterface<Shape> {};

TEST_P(MatrixMatrixTest, EveryCodeMatchesPlainLoopsAndStaysInBounds) {
  const auto [rows, cols] = GetParam();
  const size_t n = static_cast<size_t>(rows) * cols;
  const std::vector<double> a = Random_Values(n, 1), b = Random_Values(n, 2);
  for (int op = 0; op <= 3; ++op) {
    DeviceBuffer d_a(a), d_b(b), d_c(n, -99.0);
    ElementWise_Matrix_Matrix(d_a.get(), d_b.get(), d_c.get(), rows, cols, op);
    std::vector<double> expected(n);
    for (size_t i = 0; i < n; ++i) expected[i] = Matrix_Matrix_Ref(op, a[i], b[i]);
    EXPECT_TRUE(Same_Bits(expected, d_c.download())) << "code " << op;
    EXPECT_EQ(d_c.first_broken_guard(), 0) << "code " << op;
    EXPECT_TRUE(Same_Bits(a, d_a.download()));
  }
  EXPECT_TRUE(Errors.empty());
}

TEST_P(MatrixMatrixTest, ResultMayOverwriteEitherOperand) {
  const auto [rows, cols] = GetParam();
  const size_t n = static_cast<size_t>(rows) * cols;
  const std::vector<double> a = Random_Values(n, 3), b = Random_Values(n, 4);
  std::vector<double> expected(n);
  for (size_t i = 0; i < n; ++i) expected[i] = a[i] * b[i];
  DeviceBuffer d_a(a), d_b(b);
  ElementWise_Matrix_Matrix(d_a.get(), d_b.get(), d_b.get(), rows, cols, 2);
  EXPECT_TRUE(Same_Bits(expected, d_b.download()));
  d_b.upload(b);
  ElementWise_Matrix_Matrix(d_a.get(), d_b.get(), d_a.get(), rows, cols, 2);
  EXPECT_TRUE(Same_Bits(expected, d_a.download()));
  EXPECT_TRUE(d_a.guards_intact() && d_b.guards_intact());
}

INSTANTIATE_TEST_SUITE_P(Shapes, MatrixMatrixTest, testing::ValuesIn(kShapes), Shape_Name);

struct VectorCase {
  Shape shape;
  bool per_column;
};

class MatrixVectorTest : public LibraryTest, public testing::WithParamInterface<VectorCase> {};

TEST_P(MatrixVectorTest, EveryCodeMatchesPlainLoopsAndStaysInBounds) {
  const auto [shape, per_column] = GetParam();
  const auto [rows, cols] = shape;
  const size_t n = static_cast<size_t>(rows) * cols;
  const std::vector<double> a = Random_Values(n, 5);
  const std::vector<double> v = Random_Values(per_column ? cols : rows, 6);
  for (int op : {0, 1, 2, 4}) {
    DeviceBuffer d_a(a), d_v(v), d_c(n, -99.0);
    Elementwise_Matrix_Vector(d_a.get(), d_v.get(), d_c.get(), rows, cols, per_column, op);
    std::vector<double> expected(n);
    for (int j = 0; j < cols; ++j)
      for (int i = 0; i < rows; ++i)
        expected[i + j * rows] = Matrix_Vector_Ref(op, a[i + j * rows], v[per_column ? j : i]);
    EXPECT_TRUE(Same_Bits(expected, d_c.download())) << "code " << op;
    EXPECT_EQ(d_c.first_broken_guard(), 0) << "code " << op;
    EXPECT_TRUE(d_v.guards_intact());
  }
  EXPECT_TRUE(Errors.empty());
}

TEST_P(MatrixVectorTest, ResultMayOverwriteTheMatrix) {
  const auto [shape, per_column] = GetParam();
  const auto [rows, cols] = shape;
  const size_t n = static_cast<size_t>(rows) * cols;
  const std::vector<double> a = Random_Values(n, 7), v = Random_Values(per_column ? cols : rows, 8);
  DeviceBuffer d_a(a), d_v(v), d_c(n);
  Elementwise_Matrix_Vector(d_a.get(), d_v.get(), d_c.get(), rows, cols, per_column, 1);
  Elementwise_Matrix_Vector(d_a.get(), d_v.get(), d_a.get(), rows, cols, per_column, 1);
  EXPECT_TRUE(Same_Bits(d_c.download(), d_a.download()));
}

std::vector<VectorCase> Vector_Cases() {
  std::vector<VectorCase> cases;
  for (const Shape &s : kShapes) {
    cases.push_back({s, false});
    cases.push_back({s, true});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Shapes, MatrixVectorTest, testing::ValuesIn(Vector_Cases()),
                         [](const testing::TestParamInfo<VectorCase> &info) {
                           return std::to_string(info.param.shape.rows) + "x" +
                                  std::to_string(info.param.shape.cols) +
                                  (info.param.per_column ? "_per_column" : "_per_row");
                         });

TEST_F(LibraryTest, SquareOfTheElementIsFormedBeforeTheVectorProduct) {
  DeviceBuffer d_a(std::vector<double>{-3.0, -3.0}), d_v(std::vector<double>{2.0, 0.5});
  Elementwise_Matrix_Vector(d_a.get(), d_v.get(), d_a.get(), 1, 2, true, 4);
  EXPECT_EQ(d_a.download(), (std::vector<double>{18.0, 4.5}));
}

TEST_F(LibraryTest, DivisionByZeroIsStoredNotReported) {
  DeviceBuffer d_a(std::vector<double>{1.0, -1.0, 0.0}), d_b(std::vector<double>{0.0, 0.0, 0.0});
  ElementWise_Matrix_Matrix(d_a.get(), d_b.get(), d_a.get(), 3, 1, 3);
  const std::vector<double> c = d_a.download();
  EXPECT_EQ(c[0], INFINITY);
  EXPECT_EQ(c[1], -INFINITY);
  EXPECT_TRUE(std::isnan(c[2]));
  EXPECT_TRUE(Errors.empty());
}

// One column past a full grid row: the last column is done by the first
// block of the second row. Few such cases, they are slow on the CPU device.
TEST_F(LibraryTest, ColumnsPastOneGridRowAreAllCovered) {
  const int cols = 32000 * 16 + 1;
  std::vector<double> a(cols), b(cols);
  for (int j = 0; j < cols; ++j) {
    a[j] = j;
    b[j] = 0.5;
  }
  DeviceBuffer d_a(a), d_b(b), d_c(cols, -1.0);
  ElementWise_Matrix_Matrix(d_a.get(), d_b.get(), d_c.get(), 1, cols, 0);
  const std::vector<double> c = d_c.download();
  for (int j = 0; j < cols; ++j) ASSERT_EQ(c[j], j + 0.5) << "column " << j;
  EXPECT_TRUE(d_c.guards_intact());

  DeviceBuffer d_v(std::vector<double>{2.0});
  Elementwise_Matrix_Vector(d_a.get(), d_v.get(), d_c.get(), 1, cols, false, 2);
  const std::vector<double> m = d_c.download();
  for (int j = 0; j < cols; ++j) ASSERT_EQ(m[j], 2.0 * j) << "column " << j;
}

TEST_F(LibraryTest, RowsPastOneGridRowAreAllCovered) {
  const int rows = 32000 * 32 + 1;
  std::vector<double> a(rows * 2);
  for (int i = 0; i < rows * 2; ++i) a[i] = i;
  DeviceBuffer d_a(a), d_v(std::vector<double>{1.0, 3.0}), d_c(a.size(), -1.0);
  Elementwise_Matrix_Vector(d_a.get(), d_v.get(), d_c.get(), rows, 2, true, 0);
  const std::vector<double> c = d_c.download();
  for (int i = 0; i < rows * 2; ++i) ASSERT_EQ(c[i], a[i] + (i < rows ? 1.0 : 3.0)) << i;
  EXPECT_TRUE(d_c.guards_intact());
}

struct RefusedCode {
  int op;
  const char *entry;
};

inline std::ostream &operator<<(std::ostream &os, const RefusedCode &c) {
  return os << "code " << c.op << ": " << c.entry;
}

class RefusedCodeTest : public LibraryTest, public testing::WithParamInterface<RefusedCode> {};

TEST_P(RefusedCodeTest, IsReportedOnceAndWritesNothing) {
  const auto [op, entry] = GetParam();
  DeviceBuffer d_a(std::vector<double>{1, 2, 3, 4, 5, 6}), d_b(std::vector<double>{1, 2, 3});
  DeviceBuffer d_c(6, 7.0);
  if (std::string(entry).rfind("ElementWise", 0) == 0)
    ElementWise_Matrix_Matrix(d_a.get(), d_a.get(), d_c.get(), 3, 2, op);
  else
    Elementwise_Matrix_Vector(d_a.get(), d_b.get(), d_c.get(), 3, 2, false, op);
  EXPECT_EQ(Error_Texts(), std::vector<std::string>{entry});
  EXPECT_EQ(test_host::console(), std::string(entry) + "\n");
  EXPECT_EQ(d_c.download(), std::vector<double>(6, 7.0));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, RefusedCodeTest,
    testing::Values(RefusedCode{4, "ElementWise_Matrix_Matrix: Invalid Operation!"},
                    RefusedCode{-1, "ElementWise_Matrix_Matrix: Invalid Operation!"},
                    RefusedCode{6, "Elementwise_Matrix_Vector: Invalid operation!"},
                    RefusedCode{-1, "Elementwise_Matrix_Vector: Invalid operation!"},
                    RefusedCode{3, "Elementwise_Matrix_Vector: Try Inverting the vector first!"},
                    RefusedCode{5, "Elementwise_Matrix_Vector: Try Inverting the vector first!"}));

TEST_F(LibraryTest, EmptyOrNegativeShapesTouchNothing) {
  DeviceBuffer d_a(4, 1.0), d_c(4, 7.0);
  for (const Shape s : {Shape{0, 4}, Shape{4, 0}, Shape{-1, 4}, Shape{4, -3}}) {
    ElementWise_Matrix_Matrix(d_a.get(), d_a.get(), d_c.get(), s.rows, s.cols, 0);
    Elementwise_Matrix_Vector(d_a.get(), d_a.get(), d_c.get(), s.rows, s.cols, true, 0);
    Elementwise_Matrix_Vector(d_a.get(), d_a.get(), d_c.get(), s.rows, s.cols, false, 0);
  }
  EXPECT_EQ(d_c.download(), std::vector<double>(4, 7.0));
  EXPECT_TRUE(d_c.guards_intact());
  EXPECT_TRUE(Errors.empty());
}

}  // namespace
