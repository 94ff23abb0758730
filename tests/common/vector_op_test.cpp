// The twelve per-element functions against the C library, special values
// included.
#include <cfloat>
#include <cmath>
#include <limits>
#include <ostream>
#include <vector>

#include "common/library_test.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

double Vector_Op_Ref(int op, double p, double x) {
  switch (op) {
    case 0: return std::fmin(p, x);
    case 1: return std::fmax(p, x);
    case 2: return p + x;
    case 3: return p * x;
    case 4: return p / x;
    case 5: return std::exp(p * x);
    case 6: return std::log(p * x);
    case 7: return std::pow(x, p);
    case 8: return p * std::exp(-0.5 * x);
    case 9: return std::log(std::fmax(p, x));
    case 10: return p - 0.5 * x;
    default: return std::exp(p - 0.5 * x);
  }
}

bool Transcendental(int op) { return op >= 5 && op <= 9 || op == 11; }

std::vector<double> Inputs() {
  std::vector<double> x = Random_Values(1000, 11, -20.0, 20.0);
  for (double s : {0.0, -0.0, 1.0, -1.0, 2.0, 0.5, -4.0, kInf, -kInf, kNaN, 1e300, -1e300,
                   1e-310, 710.0, -746.0, 3.0})
    x.push_back(s);
  return x;
}

class VectorOpTest : public LibraryTest, public testing::WithParamInterface<int> {};

TEST_P(VectorOpTest, MatchesTheCLibraryWithSpecialValues) {
  const int op = GetParam();
  const std::vector<double> x = Inputs();
  for (double p : {1.0, 0.0, -0.5, 2.5, 1e-300, kNaN}) {
    DeviceBuffer d_in(x), d_out(x.size(), -99.0);
    Vector_Op(d_in.get(), d_out.get(), static_cast<int>(x.size()), p, op);
    std::vector<double> expected(x.size());
    for (size_t i = 0; i < x.size(); ++i) expected[i] = Vector_Op_Ref(op, p, x[i]);
    const std::vector<double> out = d_out.download();
    if (Transcendental(op))
      EXPECT_TRUE(Close(expected, out, 4 * DBL_EPSILON)) << "code " << op << ", p " << p;
    else if (op <= 1)  // the sign of a zero minimum or maximum is left open by C99
      EXPECT_TRUE(Close(expected, out, 0.0)) << "code " << op << ", p " << p;
    else
      EXPECT_TRUE(Same_Bits(expected, out)) << "code " << op << ", p " << p;
    EXPECT_TRUE(d_out.guards_intact());
    EXPECT_TRUE(Same_Bits(x, d_in.download()));
  }
  EXPECT_TRUE(Errors.empty());
}

TEST_P(VectorOpTest, InPlaceGivesTheSameResult) {
  const int op = GetParam();
  const std::vector<double> x = Inputs();
  const int n = static_cast<int>(x.size());
  DeviceBuffer d_in(x), d_out(x.size());
  Vector_Op(d_in.get(), d_out.get(), n, 0.75, op);
  Vector_Op(d_in.get(), d_in.get(), n, 0.75, op);
  EXPECT_TRUE(Same_Bits(d_out.download(), d_in.download()));
}

INSTANTIATE_TEST_SUITE_P(Codes, VectorOpTest, testing::Range(0, 12));

struct SpecialCase {
  int op;
  double p, x, expected;
};

inline std::ostream &operator<<(std::ostream &os, const SpecialCase &c) {
  return os << "code " << c.op << " p " << c.p << " x " << c.x;
}

class VectorOpSpecialTest : public LibraryTest, public testing::WithParamInterface<SpecialCase> {};

TEST_P(VectorOpSpecialTest, GivesTheC99Value) {
  const auto [op, p, x, expected] = GetParam();
  DeviceBuffer d(std::vector<double>{x});
  Vector_Op(d.get(), d.get(), 1, p, op);
  EXPECT_TRUE(Same_Bits({expected}, d.download())) << "code " << op << " p " << p << " x " << x;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VectorOpSpecialTest,
    testing::Values(SpecialCase{4, 1.0, 2.0, 0.5}, SpecialCase{4, 1.0, -4.0, -0.25},
                    SpecialCase{4, 1.0, 0.0, kInf}, SpecialCase{4, 1.0, -0.0, -kInf},
                    SpecialCase{11, 0.0, 0.0, 1.0}, SpecialCase{11, 0.0, kInf, 0.0},
                    SpecialCase{11, 0.0, kNaN, kNaN}, SpecialCase{9, 1e-300, kNaN, std::log(1e-300)},
                    SpecialCase{0, 2.0, kNaN, 2.0}, SpecialCase{1, 2.0, kNaN, 2.0},
                    SpecialCase{7, 0.0, kNaN, 1.0}, SpecialCase{7, 0.5, -4.0, kNaN},
                    SpecialCase{6, 1.0, 0.0, -kInf}, SpecialCase{6, 1.0, -1.0, kNaN},
                    SpecialCase{5, 1.0, 710.0, kInf}, SpecialCase{5, 1.0, -746.0, 0.0}));

TEST_F(LibraryTest, VectorOpTouchesNothingPastTheLastElement) {
  DeviceBuffer d_in(513, 2.0), d_out(513, 0.0);
  Vector_Op(d_in.get(), d_out.get(), 513, 1.0, 2);
  EXPECT_EQ(d_out.download(), std::vector<double>(513, 3.0));
  EXPECT_EQ(d_out.first_broken_guard(), 0);
}

TEST_F(LibraryTest, VectorOpCoversElementsPastOneGridRow) {
  const int n = 32000 * 512 + 1;
  DeviceBuffer d(static_cast<size_t>(n), 1.0);
  Vector_Op(d.get(), d.get(), n, 2.0, 3);
  const std::vector<double> out = d.download();
  for (int i = 0; i < n; ++i) ASSERT_EQ(out[i], 2.0) << "element " << i;
  EXPECT_TRUE(d.guards_intact());
}

TEST_F(LibraryTest, VectorOpRefusesUnknownCodesAndLeavesTheOutput) {
  DeviceBuffer d_in(5, 1.0), d_out(5, 9.0);
  for (int op : {12, -1}) {
    test_host::clear();
    Errors.clear();
    Vector_Op(d_in.get(), d_out.get(), 5, 1.0, op);
    EXPECT_EQ(Error_Texts(), std::vector<std::string>{"Vector Op: invalid operation"});
    EXPECT_EQ(test_host::console(), "Vector Op: invalid operation\n");
    EXPECT_EQ(d_out.download(), std::vector<double>(5, 9.0));
  }
}

TEST_F(LibraryTest, VectorOpOfNothingTouchesNothing) {
  DeviceBuffer d(4, 9.0);
  Vector_Op(d.get(), d.get(), 0, 1.0, 2);
  Vector_Op(d.get(), d.get(), -7, 1.0, 2);
  EXPECT_EQ(d.download(), std::vector<double>(4, 9.0));
  EXPECT_TRUE(d.guards_intact());
}

}  // namespace
