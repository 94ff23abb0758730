// Hostile calls and device faults through the entry point: every call ends
// in a result row or one of our messages, and leaves no device memory.
#include <cpu_device/control.h>

#include <climits>
#include <cstdlib>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "common/library_test.h"
#include "cpu/device_control_test.h"
#include "common/mixture_fixture.h"

namespace control = cpu_device::control;
using test_host::Array;
using test_host::make_array;
using test_host::make_matrix;

namespace {

const char *const kUsagePrefix = "Use [P] = Velmora(X,Mu,Sigma,Pi); (Double)\n";

using RobustnessTest = DeviceControlTest;

// The twin of the Octave fuzz run, over the test host, where the device's
// live allocations can be read after every call.
class Fuzzer {
 public:
  explicit Fuzzer(unsigned seed) : rng_(seed) {}

  std::vector<Array> call(int *nlhs) {
    *nlhs = pick({1, 1, 1, 1, 1, 0, 2});
    if (chance(0.6)) return near_valid();
    std::vector<Array> args;
    const int nrhs = pick({4, 4, 4, 0, 1, 3, 5});
    for (int i = 0; i < nrhs; ++i) args.push_back(random_array());
    return args;
  }

 private:
  int pick(std::initializer_list<int> values) {
    return *(values.begin() + std::uniform_int_distribution<size_t>(0, values.size() - 1)(rng_));
  }
  bool chance(double p) { return std::uniform_real_distribution<>(0, 1)(rng_) < p; }
  double value() {
    switch (pick({0, 0, 0, 0, 1, 2, 3, 4})) {
      case 1: return std::numeric_limits<double>::quiet_NaN();
      case 2: return std::numeric_limits<double>::infinity();
      case 3: return -1.0;
      case 4: return 0.0;
      default: return std::normal_distribution<>(0, 1)(rng_);
    }
  }
  Array filled(std::vector<mwSize> dims, double lo = -1, double hi = 1) {
    Array a = make_array(std::move(dims));
    for (double &x : a->data) x = chance(0.05) ? value() : std::uniform_real_distribution<>(lo, hi)(rng_);
    return a;
  }
  Array random_array() {
    std::vector<mwSize> dims;
    switch (pick({0, 1, 2, 3, 4, 5})) {
      case 0: dims = {0, static_cast<mwSize>(pick({0, 1, 3}))}; break;
      case 1: dims = {1, static_cast<mwSize>(pick({1, 2, 7}))}; break;
      case 2: dims = {static_cast<mwSize>(pick({1, 2, 3})), static_cast<mwSize>(pick({1, 2, 6}))}; break;
      case 3: dims = {2, 2, static_cast<mwSize>(pick({1, 2, 3}))}; break;
      case 4: dims = {2, 1, 2, 2}; break;
      default:  // huge but empty: one dimension past 2^31, the other zero
        dims = chance(0.5) ? std::vector<mwSize>{mwSize{1} << 31, 0}
                           : std::vector<mwSize>{0, (mwSize{1} << 32) + 1};
    }
    Array a = make_array(dims);
    for (double &x : a->data) x = value();
    switch (pick({0, 0, 0, 1, 2, 3})) {
      case 1: a->class_id = mxSINGLE_CLASS; break;
      case 2: a->sparse = true; break;
      case 3: a->complex = true; break;
    }
    return a;
  }
  std::vector<Array> near_valid() {
    const mwSize dim = pick({1, 1, 2, 3, 4}), K = pick({1, 2, 3}), n = pick({0, 1, 5, 17});
    std::vector<Array> args;
    args.push_back(filled({dim, n}, -2, 2));
    args.push_back(filled({dim, K}));
    switch (pick({0, 1, 2})) {
      case 0: args.push_back(filled({dim, K}, 0.1, 2)); break;
      case 1: args.push_back(filled({dim, dim * K}, -1, 1)); break;  // often not positive definite
      default: {
        Array s = make_array({dim, dim, K});
        for (mwSize k = 0; k < K; ++k)
          for (mwSize i = 0; i < dim; ++i) s->data[k * dim * dim + i * dim + i] = 1.0 + k;
        args.push_back(std::move(s));
      }
    }
    args.push_back(filled(chance(0.2) ? std::vector<mwSize>{K, 1} : std::vector<mwSize>{1, K}, 0, 2));
    if (chance(0.5)) args[pick({0, 1, 2, 3})] = random_array();
    return args;
  }

  std::mt19937 rng_;
};

bool Allowed_Error(const std::string &message) {
  static const std::string allowed[] = {
      "Invalid dimensions", "Problem with constant memory!",
      "X, Mu, Sigma and Pi must be real, full (not sparse) double arrays.",
      "Every dimension must be below 2^31 (2147483648)."};
  if (message.rfind(kUsagePrefix, 0) == 0) return true;
  for (const std::string &a : allowed)
    if (message == a) return true;
  return false;
}

TEST_F(RobustnessTest, RandomCallsEndInARowOrOneOfOurMessages) {
  const char *env = std::getenv("VELMORA_FUZZ_CALLS");
  const int calls = env != nullptr ? std::atoi(env) : 3000;
  Fuzzer fuzzer(20261207);
  int returned = 0, refused = 0;
  for (int i = 0; i < calls; ++i) {
    int nlhs = 1;
    const std::vector<Array> args = fuzzer.call(&nlhs);
    std::vector<const mxArray *> in;
    for (const Array &a : args) in.push_back(a.get());
    mxArray *out[2] = {nullptr, nullptr};
    test_host::clear();
    try {
      mexFunction(nlhs, out, static_cast<int>(in.size()), in.data());
      ++returned;
      ASSERT_EQ(nlhs, 1) << "call " << i;
      ASSERT_EQ(in.size(), 4u) << "call " << i;
      Array p(out[0]);
      ASSERT_EQ(mxGetM(p.get()), 1u) << "call " << i;
      ASSERT_EQ(mxGetN(p.get()), mxGetN(in[0])) << "call " << i;
    } catch (const test_host::MexError &e) {
      ++refused;
      ASSERT_TRUE(Allowed_Error(e.what())) << "call " << i << ": " << e.what();
    }
    ASSERT_EQ(control::live_allocations(), 0u) << "call " << i;
    ASSERT_TRUE(Errors.empty()) << "call " << i;
    ASSERT_EQ(test_host::evaluated(), std::vector<std::string>{"clear Velmora"}) << "call " << i;
  }
  std::printf("fuzzed %d calls: %d returned, %d refused\n", calls, returned, refused);
  EXPECT_GT(returned, calls / 10);
  EXPECT_GT(refused, calls / 10);
}

// Operands of 2^31-1 elements, the most the kernels index in 32 bits. The
// memory is barely written, so its pages cost nothing and read as zeros. A
// loop counter that steps past the last row or column overflows (the
// sanitizer build reports it) and then reads far outside the operand.
struct LargestOperand {
  const char *name;
  int dim1, dim2, op;
};

inline std::ostream &operator<<(std::ostream &os, const LargestOperand &c) { return os << c.name; }

class LargestOperandTest : public RobustnessTest,
                           public testing::WithParamInterface<LargestOperand> {};

TEST_P(LargestOperandTest, ReductionStopsAtTheLastElement) {
  const LargestOperand c = GetParam();
  control::set_memory(size_t{1} << 36, size_t{1} << 36);
  double *d = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void **>(&d), size_t{INT_MAX} * sizeof(double)),
            cudaSuccess);
  // Fresh pages are zero; an allocator may fill the first few with a pattern.
  cudaMemset(d, 0, 1 << 20);
  DeviceBuffer result(1, -1.0);
  Matrix_Op(d, result.get(), c.dim1, c.dim2, 0.0, c.op);
  cudaFree(d);
  EXPECT_EQ(result.download(), std::vector<double>{0.0});
  EXPECT_TRUE(Errors.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, LargestOperandTest,
    testing::Values(LargestOperand{"ColumnSum", INT_MAX, 1, 0},
                    LargestOperand{"RowSum", 1, INT_MAX, 1}),
    By_Name());

// Every injection point of a run, in turn.
struct SweepCase {
  bool diagonal;
};

inline std::ostream &operator<<(std::ostream &os, const SweepCase &c) {
  return os << (c.diagonal ? "diagonal" : "full");
}

class FaultSweepTest : public RobustnessTest, public testing::WithParamInterface<SweepCase> {
 protected:
  Mixture mixture() const { return Make_Mixture(3, 20, 2, GetParam().diagonal, 77); }

  // Runs the call; returns P, the console in `console`.
  std::vector<double> Run(std::string *console) {
    const Mixture_Arguments args(mixture());
    std::vector<const mxArray *> in = args.all();
    mxArray *out[1] = {nullptr};
    test_host::clear();
    mexFunction(1, out, 4, in.data());
    Array p(out[0]);
    *console = test_host::console();
    return p->data;
  }

  control::Counts Clean_Counts() {
    control::reset();
    std::string console;
    Run(&console);
    control::Counts counts = control::counts();
    control::reset();
    return counts;
  }
};

TEST_P(FaultSweepTest, EveryAllocationFailureReleasesEverything) {
  const int mallocs = Clean_Counts().mallocs;
  ASSERT_EQ(mallocs, GetParam().diagonal ? 5 : 6);
  for (int i = 1; i <= mallocs; ++i) {
    control::reset();
    control::fail_malloc(i);
    std::string console;
    EXPECT_EQ(Run(&console), std::vector<double>(20, 0.0)) << "allocation " << i;
    EXPECT_NE(console.find("Error occured allocating memory\n"), std::string::npos);
    EXPECT_EQ(control::live_allocations(), 0u) << "allocation " << i;
  }
}

TEST_P(FaultSweepTest, EveryParameterWriteFailureIsListedAndTheRunFinishes) {
  const int writes = Clean_Counts().symbol_copies;
  ASSERT_GT(writes, 0);
  const std::regex listed("THE FOLLOWING ERRORS OCCURED:\nERR: [^\n]*(could not copy|Could not copy)[^\n]*\n");
  for (int i = 1; i <= writes; ++i) {
    control::reset();
    control::fail_symbol_copy(i);
    std::string console;
    const std::vector<double> p = Run(&console);
    EXPECT_TRUE(std::regex_search(console, listed)) << "write " << i << ":\n" << console;
    EXPECT_NE(console.find("Velmora finished"), std::string::npos) << "write " << i;
    EXPECT_EQ(p.size(), 20u);
    EXPECT_EQ(control::live_allocations(), 0u) << "write " << i;
  }
}

// A copy that fails ends the run like a failed allocation, named on the
// console, with P all zero and no timing line: unexamined, a failed upload
// had the run evaluate stale device memory and report it finished.
TEST_P(FaultSweepTest, EveryCopyFailureEndsTheRunCleanly) {
  const int copies = Clean_Counts().memcpys;
  ASSERT_EQ(copies, 5);  // X, Mu, inverses, the zero row up; P down
  for (int i = 1; i <= copies; ++i) {
    control::reset();
    control::fail_memcpy(i, cudaMemcpyDefault);
    std::string console;
    const std::vector<double> p = Run(&console);
    const std::string said = i == copies ? "Error, the results could not be copied from the device\n"
                                         : "Error, the data could not be copied to the device\n";
    EXPECT_NE(console.find(said), std::string::npos) << "copy " << i << ":\n" << console;
    EXPECT_EQ(console.find("Velmora finished"), std::string::npos) << "copy " << i;
    EXPECT_EQ(p, std::vector<double>(20, 0.0)) << "copy " << i;
    EXPECT_EQ(control::live_allocations(), 0u) << "copy " << i;
  }
}

TEST_P(FaultSweepTest, EveryCublasFailureIsReportedUnderItsLabel) {
  const int cublas_calls = Clean_Counts().cublas_calls;
  ASSERT_EQ(cublas_calls, GetParam().diagonal ? 2 : 4);
  for (int i = 1; i <= cublas_calls; ++i) {
    control::reset();
    control::fail_cublas(i, CUBLAS_STATUS_EXECUTION_FAILED);
    std::string console;
    Run(&console);
    const bool product = !GetParam().diagonal && i % 2 == 1;
    const std::string label = product ? "MahalanobisDistance mult 1" : "Velmora Sum";
    EXPECT_NE(console.find("CUBLAS error in " + label + "\n"), std::string::npos) << console;
    EXPECT_NE(console.find("ERR: " + label + "\n"), std::string::npos) << console;
    EXPECT_EQ(control::live_allocations(), 0u);
  }
}

TEST_P(FaultSweepTest, FailedMemoryQueryLeavesPZero) {
  control::fail_mem_info();
  std::string console;
  EXPECT_EQ(Run(&console), std::vector<double>(20, 0.0));
  EXPECT_EQ(console, "Error querying the device for free memory!\n");
}

using FaultSweepDeathTest = FaultSweepTest;

TEST_P(FaultSweepDeathTest, DeviceErrorAtEverySynchronisationIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const int syncs = Clean_Counts().syncs;
  ASSERT_GT(syncs, 0);
  for (int i = 1; i <= syncs; ++i) {
    EXPECT_EXIT(
        {
          control::fail_sync(i, cudaErrorLaunchFailure);
          std::string console;
          Run(&console);
        },
        testing::ExitedWithCode(255),
        "(Velmora|MatrixOperations_Double)\\.cu\\([0-9]+\\) : cudaSafeCall\\(\\) Runtime API "
        "error : unspecified launch failure\\.\n")
        << "synchronisation " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultSweepTest, testing::Values(SweepCase{true}, SweepCase{false}));
INSTANTIATE_TEST_SUITE_P(Modes, FaultSweepDeathTest,
                         testing::Values(SweepCase{true}, SweepCase{false}));

}  // namespace
