// Printing, checking and handing device matrices to MATLAB: the exact text
// a user sees.
#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "common/library_test.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST_F(LibraryTest, WholeMatrixIsPrintedRowByRowWithTrailingBlanks) {
  DeviceBuffer d(std::vector<double>{1, 4, 2, 5, 3, 6});
  Show_Mat(d.get(), 2, 3, "M");
  EXPECT_EQ(test_host::console(),
            "Elements of M (0:1,0:2) are: \n1.000000 2.000000 3.000000 \n"
            "4.000000 5.000000 6.000000 \n");
  EXPECT_TRUE(Errors.empty());
}

TEST_F(LibraryTest, VectorsPrintOnOneLine) {
  DeviceBuffer d(std::vector<double>{0.5, -2, 7});
  Show_Vec(d.get(), 3, "v");
  EXPECT_EQ(test_host::console(), "Elements of v (0:0,0:2) are: \n0.500000 -2.000000 7.000000 \n");
  test_host::clear();
  Show_Vec(d.get(), 3, 1, 2, "v");
  EXPECT_EQ(test_host::console(), "Elements of v (0:0,1:2) are: \n-2.000000 7.000000 \n");
}

TEST_F(LibraryTest, WindowsPrintTheirPartOnly) {
  DeviceBuffer d(std::vector<double>{1, 4, 2, 5, 3, 6});
  Show_Mat(d.get(), 2, 3, 1, 1, 1, 2, "M");
  EXPECT_EQ(test_host::console(), "Elements of M (1:1,1:2) are: \n5.000000 6.000000 \n");
  test_host::clear();
  Show_Mat(d.get(), 2, 3, 1, 0, 0, 2, "M");  // r0 > r1: the header only
  EXPECT_EQ(test_host::console(), "Elements of M (1:0,0:2) are: \n");
  test_host::clear();
  Show_Mat(d.get(), 2, 3, 0, 1, 2, 1, "M");  // c0 > c1: an empty line per row
  EXPECT_EQ(test_host::console(), "Elements of M (0:1,2:1) are: \n\n\n");
  test_host::clear();
  Show_Mat(d.get(), 0, 3, "E");
  EXPECT_EQ(test_host::console(), "Elements of E (0:-1,0:2) are: \n");
  EXPECT_TRUE(Errors.empty());
}

TEST_F(LibraryTest, FloatMatricesPrintLikeDoubles) {
  const float values[] = {1.5f, -0.25f};
  float *d = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void **>(&d), sizeof values), cudaSuccess);
  cudaMemcpy(d, values, sizeof values, cudaMemcpyHostToDevice);
  Show_MatF(d, 1, 2, 0, 0, 0, 1, "F");
  cudaFree(d);
  EXPECT_EQ(test_host::console(), "Elements of F (0:0,0:1) are: \n1.500000 -0.250000 \n");
}

struct Window {
  int r0, r1, c0, c1;
};

inline std::ostream &operator<<(std::ostream &os, const Window &w) {
  return os << "rows " << w.r0 << ":" << w.r1 << " cols " << w.c0 << ":" << w.c1;
}

class InvalidWindowTest : public LibraryTest, public testing::WithParamInterface<Window> {};

TEST_P(InvalidWindowTest, IsReportedAndReadsNothing) {
  const auto [r0, r1, c0, c1] = GetParam();
  DeviceBuffer d(6, 1.0);
  Show_Mat(d.get(), 2, 3, r0, r1, c0, c1, "W");
  Show_MatF(reinterpret_cast<float *>(d.get()), 2, 3, r0, r1, c0, c1, "W");
  EXPECT_EQ(test_host::console(), "Show Mat: Invalid Request for W\nShow Mat: Invalid Request for W\n");
  EXPECT_EQ(Error_Texts(),
            (std::vector<std::string>{"Show Mat: Invalid Request", "Show Mat: Invalid Request"}));
}

INSTANTIATE_TEST_SUITE_P(Windows, InvalidWindowTest,
                         testing::Values(Window{-1, 0, 0, 0}, Window{0, 2, 0, 0},
                                         Window{0, 0, -1, 0}, Window{0, 0, 0, 3}));

// An empty matrix with a negative size prints its header, as any empty
// matrix does; two negative sizes, whose product counts elements that are
// not there, are refused without a read.
TEST_F(LibraryTest, NegativeSizesPrintAnEmptyMatrixAndRefuseACount) {
  DeviceBuffer d(4, 1.0);
  Show_Mat(d.get(), 0, -1, "Z");
  Show_Mat(d.get(), -1, -1, "N");
  EXPECT_EQ(test_host::console(),
            "Elements of Z (0:-1,0:-2) are: \nShow Mat: Invalid Request for N\n");
  EXPECT_EQ(Error_Texts(), (std::vector<std::string>{"Show Mat: Invalid Request"}));
}

TEST_F(LibraryTest, CheckMatrixReportsInfinitiesAndNaNsWithTheCallersText) {
  static const char kName[] = "T";
  DeviceBuffer d(std::vector<double>{0.0, -0.0, kInf, kNaN});
  Check_Matrix(d.get(), 2, 2, kName);
  EXPECT_EQ(test_host::console(), "Zeros(2), Infs(1), Nans(1): T\n");
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors.front(), kName);  // the pointer itself, not a copy
}

TEST_F(LibraryTest, CheckMatrixIsSilentWithoutInfinitiesOrNaNs) {
  DeviceBuffer zeros(std::vector<double>{0.0, -0.0, 1.0}), minus_inf(std::vector<double>{-kInf});
  Check_Matrix(zeros.get(), 1, 3, "Z");
  Check_Matrix(zeros.get(), 0, 3, "E");
  EXPECT_EQ(test_host::console(), "");
  EXPECT_TRUE(Errors.empty());
  Check_Matrix(minus_inf.get(), 1, 1, "I");
  EXPECT_EQ(test_host::console(), "Zeros(0), Infs(1), Nans(0): I\n");
}

TEST_F(LibraryTest, SendToMatlabHandsACopyToDebugFromMex) {
  DeviceBuffer d(std::vector<double>{1, 2, 3, 4, 5, 6});
  Send_To_Matlab(d.get(), 3, 2);
  const std::vector<test_host::Call> calls = test_host::calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].name, "Debug_From_Mex");
  ASSERT_EQ(calls[0].inputs.size(), 1u);
  EXPECT_EQ(calls[0].inputs[0].dims, (std::vector<mwSize>{3, 2}));
  EXPECT_EQ(calls[0].inputs[0].data, (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(Errors.empty());
}

}  // namespace
