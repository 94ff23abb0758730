// The MATLAB call as users meet it: accepted forms, refusals and their
// messages, and the module's unloading on every way out.
#include <cpu_device/control.h>
#include <cublas.h>

#include <ostream>
#include <string>
#include <vector>

#include "common/library_test.h"
#include "cpu/device_control_test.h"

namespace control = cpu_device::control;
using test_host::Array;
using test_host::make_array;
using test_host::make_matrix;

namespace {

const std::string kUsage =
    "Use [P] = Velmora(X,Mu,Sigma,Pi); (Double)\n"
    "Where X(dim x num_data) holds the data, Mu(dim x num_clust) holds the cluster centers, "
    "Sigma holds the covariance matrices, Pi(1 x dim) or (dim x 1) holds the mixture priors.\n"
    "For Diagonal estimates, pass Sigma as Vectors(dim x num_clust) representing the "
    "diagonals.\n"
    "For full covariance estimates, pass Sigma as (dim x dim * num_clust) or (dim x dim x "
    "num_clust).\n";

class EntryPointTest : public DeviceControlTest {
 protected:
  // The message of the MATLAB error the call raises, or "" if none.
  static std::string Error_Of(int nlhs, std::vector<const mxArray *> in) {
    mxArray *out[2] = {nullptr, nullptr};
    try {
      mexFunction(nlhs, out, static_cast<int>(in.size()), in.data());
    } catch (const test_host::MexError &e) {
      return e.what();
    }
    for (mxArray *a : out) mxDestroyArray(a);
    return "";
  }
};

struct Inputs {
  Array x = make_matrix(2, 3, {0, 0, 1, 1, 2, 2});
  Array mu = make_matrix(2, 2, {0, 0, 1, 1});
  Array sigma = make_matrix(2, 2, {1, 1, 1, 1});
  Array pi = make_matrix(1, 2, {0.5, 0.5});
  std::vector<const mxArray *> all() const { return {x.get(), mu.get(), sigma.get(), pi.get()}; }
};

TEST_F(EntryPointTest, WrongCallFormsGiveTheUsageTextAfterUnloading) {
  const Inputs in;
  std::vector<const mxArray *> three = in.all(), five = in.all();
  three.pop_back();
  five.push_back(in.x.get());
  EXPECT_EQ(Error_Of(0, in.all()), kUsage);
  EXPECT_EQ(Error_Of(2, in.all()), kUsage);
  EXPECT_EQ(Error_Of(1, three), kUsage);
  EXPECT_EQ(Error_Of(1, five), kUsage);
  EXPECT_EQ(Error_Of(1, {}), kUsage);
  EXPECT_EQ(test_host::evaluated(), std::vector<std::string>(5, "clear Velmora"));
  EXPECT_EQ(test_host::console(), "");
}

TEST_F(EntryPointTest, EveryInputMustBeDouble) {
  for (int position = 0; position < 4; ++position) {
    Inputs in;
    Array *arrays[] = {&in.x, &in.mu, &in.sigma, &in.pi};
    (*arrays[position])->class_id = mxSINGLE_CLASS;
    test_host::clear();
    EXPECT_EQ(Error_Of(1, in.all()), kUsage) << "input " << position;
    EXPECT_EQ(test_host::evaluated(), std::vector<std::string>{"clear Velmora"});
  }
}

TEST_F(EntryPointTest, SparseAndComplexInputsAreRefusedClearly) {
  for (bool sparse : {true, false}) {
    Inputs in;
    (sparse ? in.sigma->sparse : in.x->complex) = true;
    EXPECT_EQ(Error_Of(1, in.all()),
              "X, Mu, Sigma and Pi must be real, full (not sparse) double arrays.");
  }
}

TEST_F(EntryPointTest, SizesBeyond32BitsAreRefusedClearly) {
  for (const std::vector<mwSize> &dims :
       {std::vector<mwSize>{0, (mwSize{1} << 32) + 1}, std::vector<mwSize>{mwSize{1} << 31, 0}}) {
    Inputs in;
    in.x = make_array(dims);
    EXPECT_EQ(Error_Of(1, in.all()), "Every dimension must be below 2^31 (2147483648).");
  }
}

TEST_F(EntryPointTest, UnreachableConstantMemoryComesBeforeAnyShapeCheck) {
  control::fail_symbol_address();
  Inputs good, bad;
  bad.pi = make_matrix(3, 3);
  EXPECT_EQ(Error_Of(1, good.all()), "Problem with constant memory!");
  EXPECT_EQ(Error_Of(1, bad.all()), "Problem with constant memory!");
  EXPECT_EQ(test_host::evaluated(), std::vector<std::string>(2, "clear Velmora"));
}

struct ShapeCase {
  const char *name;
  std::vector<mwSize> mu, sigma, pi;
};

inline std::ostream &operator<<(std::ostream &os, const ShapeCase &c) { return os << c.name; }

class InvalidShapeTest : public EntryPointTest, public testing::WithParamInterface<ShapeCase> {};

TEST_P(InvalidShapeTest, IsRefusedWithInvalidDimensions) {
  const ShapeCase c = GetParam();
  Inputs in;  // X is 2 x 3
  in.mu = make_array(c.mu);
  in.sigma = make_array(c.sigma);
  in.pi = make_array(c.pi);
  EXPECT_EQ(Error_Of(1, in.all()), "Invalid dimensions");
  EXPECT_EQ(test_host::evaluated(), std::vector<std::string>{"clear Velmora"});
  EXPECT_EQ(control::counts().mallocs, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, InvalidShapeTest,
    testing::Values(ShapeCase{"PiTwoRows", {2, 2}, {2, 2}, {2, 2}},
                    ShapeCase{"PiWrongLength", {2, 2}, {2, 2}, {1, 3}},
                    ShapeCase{"MuWrongRows", {3, 2}, {3, 2}, {1, 2}},
                    ShapeCase{"DiagonalSigmaWrongRows", {2, 2}, {3, 2}, {1, 2}},
                    ShapeCase{"FullSigmaWrongRows", {2, 2}, {3, 4}, {1, 2}},
                    ShapeCase{"FullSigmaTooFewBlocks", {2, 2}, {2, 3}, {1, 2}},
                    ShapeCase{"FullSigmaTooManyBlocks", {2, 2}, {2, 6}, {1, 2}},
                    ShapeCase{"FullSigmaNoRows", {2, 2}, {0, 5}, {1, 2}}),
    By_Name());

TEST_F(EntryPointTest, AcceptedShapes) {
  // A column of priors; one cluster with a 1 x 1 prior; a full covariance
  // with a truncated remainder of columns.
  for (const auto &[sigma, pi] : std::vector<std::pair<std::vector<mwSize>, std::vector<mwSize>>>{
           {{2, 2}, {2, 1}}, {{2, 5}, {1, 2}}, {{2, 4}, {1, 2}}}) {
    Inputs in;
    in.sigma = make_array(sigma, std::vector<double>(sigma[0] * sigma[1], 1.0));
    in.pi = make_array(pi, {0.5, 0.5});
    EXPECT_EQ(Error_Of(1, in.all()), "");
  }
  Inputs one;
  one.mu = make_matrix(2, 1, {0, 0});
  one.sigma = make_matrix(2, 1, {1, 1});
  one.pi = make_matrix(1, 1, {1.0});
  EXPECT_EQ(Error_Of(1, one.all()), "");
}

TEST_F(EntryPointTest, SuccessfulCallUnloadsOnceAfterShuttingCublasDown) {
  const Inputs in;
  mxArray *out[1] = {nullptr};
  std::vector<const mxArray *> args = in.all();
  mexFunction(1, out, 4, args.data());
  Array p(out[0]);
  EXPECT_EQ(mxGetN(p.get()), 3u);
  EXPECT_EQ(test_host::evaluated(), std::vector<std::string>{"clear Velmora"});
  // CUBLAS is shut down: a call now reports that it is not initialised.
  double x = 1, y = 1;
  cublasDaxpy(1, 1.0, &x, 1, &y, 1);
  EXPECT_EQ(cublasGetError(), CUBLAS_STATUS_NOT_INITIALIZED);
}

TEST_F(EntryPointTest, ModeFollowsTheColumnsOfSigma) {
  // dim 1: a 1 x K Sigma is diagonal mode and gives the same numbers as full.
  Inputs in;
  in.x = make_matrix(1, 3, {0.0, 0.5, 1.0});
  in.mu = make_matrix(1, 2, {0.0, 1.0});
  in.sigma = make_matrix(1, 2, {2.0, 0.5});
  in.pi = make_matrix(1, 2, {0.5, 0.5});
  EXPECT_EQ(Error_Of(1, in.all()), "");
  EXPECT_EQ(DIAGONAL_ESTIMATE, 1);
}

}  // namespace
