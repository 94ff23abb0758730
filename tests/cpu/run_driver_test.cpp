// The run driver's console and resources, with the CPU device's memory
// figures and faults under the test's control.
#include <cpu_device/control.h>
#include <sys/resource.h>
#include <unistd.h>
#include <cublas.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "Velmora.h"
#include "common/library_test.h"
#include "common/mixture_fixture.h"
#include "cpu/device_control_test.h"
#include "cpu/host_allocation.h"

namespace control = cpu_device::control;

namespace {

const std::string kTiming = "Velmora finished, total time: [0-9]+\\.000000 seconds\n";

class RunDriverTest : public DeviceControlTest {
 protected:
  void SetUp() override {
    DeviceControlTest::SetUp();
    cublasInit();
  }
  void TearDown() override {
    cublasShutdown();
    DeviceControlTest::TearDown();
  }

  // GMM on a small mixture; returns P.
  std::vector<double> Run(const Mixture &m) {
    DIAGONAL_ESTIMATE = m.diagonal ? 1 : 0;
    Mixture copy = m;
    std::vector<double> p(m.num_data, 0.0);
    GMM(copy.X.data(), m.dim, m.num_data, m.num_clust, copy.Mu.data(), copy.Sigma.data(),
        copy.Pi.data(), p.data());
    return p;
  }
};

struct Budget {
  bool diagonal;
  long long required, essential, temp;
};

inline std::ostream &operator<<(std::ostream &os, const Budget &b) {
  return os << (b.diagonal ? "diagonal" : "full");
}

class BudgetTest : public RunDriverTest, public testing::WithParamInterface<Budget> {};

TEST_P(BudgetTest, RequiredEqualToFreeRunsOneByteLessRefuses) {
  const Budget b = GetParam();
  const Mixture m = Make_Mixture(2, 10, 3, b.diagonal, 3);

  control::set_memory(b.required, 4'000'000'000);
  const std::vector<double> p = Run(m);
  EXPECT_TRUE(std::regex_match(
      test_host::console(),
      std::regex("Total memory on the device: 4000 MB, Memory available: 0 MB, Required memory: "
                 "0 MB\n" + kTiming)))
      << test_host::console();
  EXPECT_NE(p, std::vector<double>(10, 0.0));
  EXPECT_EQ(control::counts().mallocs, b.diagonal ? 5 : 6);

  test_host::clear();
  control::set_memory(b.required - 1, 4'000'000'000);
  EXPECT_EQ(Run(m), std::vector<double>(10, 0.0));
  EXPECT_EQ(test_host::console(),
            "Total memory on the device: 4000 MB, Memory available: 0 MB, Required memory: 0 MB\n"
            "Error, the data does not fit in GPU memory: requires " +
                std::to_string(b.required) + " bytes(" + std::to_string(b.essential) +
                " essential, " + std::to_string(b.temp) + " temp), " +
                std::to_string(b.required - 1) + " bytes available\n");
}

INSTANTIATE_TEST_SUITE_P(Modes, BudgetTest,
                         testing::Values(Budget{false, 704, 384, 320},
                                         Budget{true, 496, 336, 160}));

TEST_F(RunDriverTest, MemoryLineShowsWholeMegabytes) {
  control::set_memory(2'999'999'999, 16'000'000'000);
  Run(Make_Mixture(40, 20'000, 1, true, 4));  // 12,960,640 bytes
  EXPECT_EQ(test_host::console().substr(0, 88),
            "Total memory on the device: 16000 MB, Memory available: 2999 MB, Required memory: "
            "12 MB\n");
}

TEST_F(RunDriverTest, FailedMemoryQueryEndsTheRunQuietly) {
  control::fail_mem_info();
  EXPECT_EQ(Run(Make_Mixture(2, 5, 1, true, 5)), std::vector<double>(5, 0.0));
  EXPECT_EQ(test_host::console(), "Error querying the device for free memory!\n");
  EXPECT_EQ(control::counts().mallocs, 0);
}

struct AllocationFailure {
  bool diagonal;
  int failing;
};

inline std::ostream &operator<<(std::ostream &os, const AllocationFailure &a) {
  return os << (a.diagonal ? "diagonal" : "full") << ", allocation " << a.failing;
}

class AllocationFailureTest : public RunDriverTest,
                              public testing::WithParamInterface<AllocationFailure> {};

TEST_P(AllocationFailureTest, ReleasesWhatWasAllocatedAndLeavesPZero) {
  const auto [diagonal, failing] = GetParam();
  control::set_memory(1'000'000'000, 2'000'000'000);
  control::fail_malloc(failing);
  EXPECT_EQ(Run(Make_Mixture(3, 7, 2, diagonal, 6)), std::vector<double>(7, 0.0));
  EXPECT_EQ(test_host::console(),
            "Total memory on the device: 2000 MB, Memory available: 1000 MB, Required memory: 0 "
            "MB\nError occured allocating memory\n");
  EXPECT_EQ(control::counts().mallocs, failing);
}

INSTANTIATE_TEST_SUITE_P(Points, AllocationFailureTest,
                         testing::Values(AllocationFailure{true, 1}, AllocationFailure{true, 3},
                                         AllocationFailure{true, 4}, AllocationFailure{true, 5},
                                         AllocationFailure{false, 1}, AllocationFailure{false, 2},
                                         AllocationFailure{false, 4}, AllocationFailure{false, 6}));

TEST_F(RunDriverTest, OperandsOf2To31ElementsAreRefusedBeforeAnyAllocation) {
  DIAGONAL_ESTIMATE = 1;
  double x = 0, mu = 0, sigma = 1, pi = 1, p = 0;
  GMM(&x, 65536, 32768, 1, &mu, &sigma, &pi, &p);  // 2^31 elements in X
  const std::string console = test_host::console();
  EXPECT_NE(console.find("Required memory: 34361 MB"), std::string::npos) << console;
  EXPECT_NE(console.find("Error, the data is too large for the device: an operand of 2147483648 "
                         "elements, at most 2147483647 allowed\n"),
            std::string::npos)
      << console;
  EXPECT_EQ(control::counts().mallocs, 0);
  EXPECT_EQ(p, 0.0);
}

TEST_F(RunDriverTest, ErrorsArePrintedInOrderAndDrained) {
  Mixture m = Make_Mixture(2, 4, 2, true, 7);
  m.Sigma[0] = 0.0;  // cluster 0: log-determinant -inf
  control::fail_cublas(1, CUBLAS_STATUS_EXECUTION_FAILED);  // cluster 0's sum
  Run(m);
  EXPECT_TRUE(std::regex_match(
      test_host::console(),
      std::regex("Total memory[^\n]*\nCUBLAS error in Velmora Sum\n"
                 "THE FOLLOWING ERRORS OCCURED:\nERR: GaussPDF: Invalid Determinant\n"
                 "ERR: GaussPDF: invalid Denum Gauss\nERR: Velmora Sum\n" + kTiming)))
      << test_host::console();
  EXPECT_TRUE(Errors.empty());
}

TEST_F(RunDriverTest, CleanRunPrintsNoErrorHeader) {
  Run(Make_Mixture(2, 4, 2, false, 8));
  EXPECT_TRUE(std::regex_match(test_host::console(), std::regex("Total memory[^\n]*\n" + kTiming)))
      << test_host::console();
}

TEST_F(RunDriverTest, EachBadClusterFailsItsFactorisationOnceAndTheRunFinishes) {
  Mixture m = Make_Mixture(2, 6, 3, false, 9);
  for (int k : {0, 2}) {
    double *s = &m.Sigma[k * 4];
    s[0] = 1, s[1] = 2, s[2] = 2, s[3] = 1;  // not positive definite
  }
  const std::vector<double> p = Run(m);
  EXPECT_TRUE(std::regex_match(
      test_host::console(),
      std::regex("Total memory[^\n]*\nCholesky failed\nCholesky failed\n" + kTiming)))
      << test_host::console();
  for (double v : p) EXPECT_TRUE(std::isnan(v));  // never garbage from unwritten memory
}

TEST_F(RunDriverTest, ComputesTheSameDensitiesAsTheEntryPoint) {
  const Mixture m = Make_Mixture(3, 40, 3, true, 10);
  EXPECT_LE(Largest_Relative_Error(Reference_Densities(m), Run(m)), 1e-12);
}

// Runs where a dimension is zero: every per-point buffer still holds a
// value per point, so the run must neither crash nor write past a buffer.
struct EmptyCase {
  const char *name;
  int dim, num_data, num_clust;
  bool diagonal;
};

inline std::ostream &operator<<(std::ostream &os, const EmptyCase &c) { return os << c.name; }

class EmptyDimensionTest : public RunDriverTest, public testing::WithParamInterface<EmptyCase> {};

TEST_P(EmptyDimensionTest, EachPointGetsTheSumOfThePriorsTimesAZeroDimensionalDensity) {
  const EmptyCase c = GetParam();
  const Mixture m = Make_Mixture(c.dim, c.num_data, c.num_clust, c.diagonal, 12);
  control::set_memory(1'000'000, 2'000'000);
  const std::vector<double> p = Run(m);
  // No dimensions: every density is 1, so P is the sum of the priors; no
  // clusters: P stays zero.
  double expected = 0.0;
  if (c.dim == 0)
    for (double pi : m.Pi) expected += pi;
  ASSERT_EQ(p.size(), static_cast<size_t>(c.num_data));
  for (double v : p) EXPECT_NEAR(v, expected, 1e-15 * std::fabs(expected));
  EXPECT_NE(test_host::console().find("Velmora finished"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, EmptyDimensionTest,
    testing::Values(EmptyCase{"NoDimensionsDiagonal", 0, 3, 2, true},
                    EmptyCase{"NoDimensionsFull", 0, 3, 2, false},
                    EmptyCase{"NoDimensionsManyPoints", 0, 1000, 1, true},
                    EmptyCase{"NoPointsDiagonal", 2, 0, 2, true},
                    EmptyCase{"NoPointsFull", 2, 0, 2, false},
                    EmptyCase{"NoClustersDiagonal", 2, 3, 0, true},
                    EmptyCase{"NoClustersFull", 2, 3, 0, false}),
    By_Name());

// The host's arrays of a run come after the device's buffers: running out
// of host memory must release those as a device failure would.
class HostAllocationTest : public RunDriverTest, public testing::WithParamInterface<int> {
 protected:
  void TearDown() override {
    host_allocation::reset();
    RunDriverTest::TearDown();
  }
};

TEST_P(HostAllocationTest, FailedHostArrayEndsTheRunLikeADeviceAllocation) {
  control::set_memory(1'000'000'000, 2'000'000'000);
  host_allocation::fail_array_new(GetParam());
  EXPECT_EQ(Run(Make_Mixture(3, 7, 2, false, 13)), std::vector<double>(7, 0.0));
  EXPECT_EQ(test_host::console(),
            "Total memory on the device: 2000 MB, Memory available: 1000 MB, Required memory: 0 "
            "MB\nError occured allocating memory\n");
}

INSTANTIATE_TEST_SUITE_P(InversesAndLogDets, HostAllocationTest, testing::Values(1, 2));

TEST_F(RunDriverTest, FailedCopyInTheFactorisationIsAnAllocationFailureNotACholeskyOne) {
  host_allocation::fail_array_new(3);  // after the run's two arrays: cluster 0's copy
  const std::vector<double> p = Run(Make_Mixture(2, 4, 2, false, 14));
  host_allocation::reset();
  EXPECT_TRUE(std::regex_match(
      test_host::console(),
      std::regex("Total memory[^\n]*\nCholeskyInv: could not allocate memory\n"
                 "THE FOLLOWING ERRORS OCCURED:\nERR: GaussPDF: Invalid Determinant\n"
                 "ERR: GaussPDF: invalid Denum Gauss\n" + kTiming)))
      << test_host::console();
  for (double v : p) EXPECT_TRUE(std::isnan(v));
}

// Clusters are inverted on several cores: the same bits as one after the
// other, and the console text in cluster order from the calling thread.
TEST_F(RunDriverTest, InversionOverSeveralCoresGivesTheSameBitsAndOrderedMessages) {
  constexpr int dim = 80, K = 24, block = dim * dim;  // enough work for the threads
  Mixture m = Make_Mixture(dim, 1, K, false, 16);
  for (int k : {5, 20}) m.Sigma[static_cast<size_t>(k) * block] = -1.0;  // not positive definite
  DIAGONAL_ESTIMATE = 0;
  elements_one_sigma = block;
  std::vector<double> inv(m.Sigma.size()), log_dets(K), one_inv(m.Sigma.size()), one_log(K);
  for (int k = 0; k < K; ++k)
    Invert_Sigmas(&m.Sigma[k * block], &one_inv[k * block], &one_log[k], dim);
  test_host::clear();
  Invert_All_Sigmas(m.Sigma.data(), inv.data(), log_dets.data(), dim, K);
  EXPECT_TRUE(Same_Bits(one_inv, inv));
  EXPECT_TRUE(Same_Bits(one_log, log_dets));
  EXPECT_EQ(test_host::console(), "Cholesky failed\nCholesky failed\n");
  EXPECT_FALSE(test_host::printed_off_main_thread());
}

using RunDriverDeathTest = RunDriverTest;

TEST_F(RunDriverDeathTest, DeviceFailureAfterTheUploadsIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Mixture m = Make_Mixture(2, 4, 1, true, 11);
  EXPECT_EXIT(
      {
        control::fail_next_sync(cudaErrorLaunchFailure);
        Run(m);
      },
      testing::ExitedWithCode(255),
      "Velmora\\.cu\\([0-9]+\\) : cudaSafeCall\\(\\) Runtime API error : unspecified launch "
      "failure\\.\n");
}

// Runs a 200 MB diagonal mixture with 250 MB of address space to spare;
// true if the run reported its allocation failure and left P zero.
bool Run_Under_Address_Space_Limit() {
  Mixture m = Make_Mixture(8, 1'500'000, 2, true, 15);
  std::vector<double> p(m.num_data, 0.0);
  long pages = 0;
  if (FILE *f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  const rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (rlim_t{250} << 20);
  const rlimit address_space{limit, limit};
  setrlimit(RLIMIT_AS, &address_space);
  DIAGONAL_ESTIMATE = 1;
  GMM(m.X.data(), m.dim, m.num_data, m.num_clust, m.Mu.data(), m.Sigma.data(), m.Pi.data(),
      p.data());
  const bool reported =
      test_host::console().find("Error occured allocating memory\n") != std::string::npos;
  return reported && std::all_of(p.begin(), p.end(), [](double v) { return v == 0.0; });
}

// Octave users without a GPU run the CPU device inside their session: when
// the host's memory is short it must answer as a device without memory
// does, never end the process. Here the run's buffers would fit under the
// limit, but not together with the fibers its kernels need.
TEST_F(RunDriverDeathTest, UnderAnAddressSpaceLimitTheRunReportsItsAllocationFailure) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit allows";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(Run_Under_Address_Space_Limit() ? 0 : 1), testing::ExitedWithCode(0),
              "");
}

}  // namespace
