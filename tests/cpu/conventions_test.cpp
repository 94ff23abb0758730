// The library's shared failure paths, reached through the CPU device's
// fault injection.
#include <cpu_device/control.h>
#include <cublas.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "common/library_test.h"
#include "cpu/device_control_test.h"

namespace control = cpu_device::control;

namespace {

using ConventionsTest = DeviceControlTest;

using ConventionsDeathTest = ConventionsTest;

// A device failure found at either synchronisation ends the process with
// status 255 and names the library's file and the line of the check.
TEST_F(ConventionsDeathTest, DeviceFailureAtASynchronisationIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DeviceBuffer d(4, 1.0);
  const char *pattern =
      "MatrixOperations_Double\\.cu\\([0-9]+\\) : cudaSafeCall\\(\\) Runtime API error : "
      "unspecified launch failure\\.\n";
  EXPECT_EXIT(
      {
        control::fail_next_sync(cudaErrorLaunchFailure);
        Vector_Op(d.get(), d.get(), 4, 1.0, 2);
      },
      testing::ExitedWithCode(255), pattern);
}

// Runs `body` in a child process and returns what it wrote on standard
// error; `status` receives its exit status.
std::string Stderr_Of(const std::function<void()> &body, int *status) {
  control::set_workers(1);  // a forked child has no pool threads
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 2);
    close(fds[0]);
    body();
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(fds[0]);
  waitpid(pid, status, 0);
  return text;
}

// A user's report of a fatal message must tell which operation failed, and
// on which side of its launch.
TEST_F(ConventionsTest, EveryOperationsChecksNameTheirOwnLines) {
  DeviceBuffer d(4, 1.0);
  const std::function<void()> operations[] = {
      [&] { Vector_Op(d.get(), d.get(), 4, 1.0, 2); },
      [&] { Matrix_Op(d.get(), d.get(), 2, 2, 0.0, 0); },
      [&] { Tikhonov_Diagonal_Regularization(d.get(), d.get(), 2, 1.0); }};
  const std::regex form("MatrixOperations_Double\\.cu\\(([0-9]+)\\) : cudaSafeCall\\(\\) Runtime "
                        "API error : unspecified launch failure\\.\n");
  std::vector<std::string> lines;
  for (const auto &operation : operations) {
    for (int sync = 1; sync <= 2; ++sync) {
      int status = 0;
      const std::string message = Stderr_Of(
          [&] {
            control::fail_sync(sync, cudaErrorLaunchFailure);
            operation();
          },
          &status);
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 255);
      std::smatch line;
      // regex_search: the sanitizer build may add a warning of its own.
      ASSERT_TRUE(std::regex_search(message, line, form)) << message;
      lines.push_back(line[1].str());
    }
  }
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(std::unique(lines.begin(), lines.end()), lines.end()) << "a line is shared";
}

TEST_F(ConventionsTest, CublasFailureIsReportedOnceUnderItsLabel) {
  cublasInit();
  double x = 1.0, y = 1.0;
  control::fail_cublas(1, CUBLAS_STATUS_EXECUTION_FAILED);
  cublasDaxpy(1, 1.0, &x, 1, &y, 1);
  checkStatusCUBLAS("Velmora Sum");
  checkStatusCUBLAS("Velmora Sum");
  cublasShutdown();
  EXPECT_EQ(test_host::console(), "CUBLAS error in Velmora Sum\n");
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_STREQ(Errors.front(), "Velmora Sum");
}

TEST_F(ConventionsTest, NoCublasFailureReportsNothing) {
  cublasInit();
  double x = 1.0, y = 1.0;
  cublasDaxpy(1, 1.0, &x, 1, &y, 1);
  checkStatusCUBLAS("Velmora Sum");
  cublasShutdown();
  EXPECT_EQ(test_host::console(), "");
  EXPECT_TRUE(Errors.empty());
}

// A failed write of the parameter block: one report, no launch, the output
// untouched, whichever of the writes failed.
struct WriteFailure {
  const char *entry;
  int writes;
  void (*call)(double *in, double *out);
};

inline std::ostream &operator<<(std::ostream &os, const WriteFailure &w) {
  return os << w.entry;
}

class WriteFailureTest : public ConventionsTest,
                         public testing::WithParamInterface<WriteFailure> {};

TEST_P(WriteFailureTest, ReportsOnceAndLaunchesNothing) {
  const WriteFailure w = GetParam();
  for (int failing = 1; failing <= w.writes; ++failing) {
    Errors.clear();
    test_host::clear();
    DeviceBuffer in(64, 1.0), out(64, 9.0);
    control::reset();
    control::fail_symbol_copy(failing);
    w.call(in.get(), out.get());
    EXPECT_EQ(control::counts().symbol_copies, failing) << "later writes are not attempted";
    EXPECT_EQ(control::counts().launches, 0) << "write " << failing;
    EXPECT_EQ(Error_Texts(), std::vector<std::string>{w.entry}) << "write " << failing;
    EXPECT_EQ(test_host::console(), std::string(w.entry) + "\n");
    EXPECT_EQ(out.download(), std::vector<double>(64, 9.0));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Wrappers, WriteFailureTest,
    testing::Values(
        WriteFailure{"ElementWise_Matrix_Matrix: could not copy symbol!", 3,
                     [](double *in, double *out) { ElementWise_Matrix_Matrix(in, in, out, 8, 8, 0); }},
        WriteFailure{"Elementwise_Matrix_Vector: Could not copy to symbol!", 4,
                     [](double *in, double *out) {
                       Elementwise_Matrix_Vector(in, in, out, 8, 8, false, 0);
                     }},
        WriteFailure{"Vector Op: could not copy to symbol!", 3,
                     [](double *in, double *out) { Vector_Op(in, out, 64, 1.0, 2); }},
        WriteFailure{"Matrix_OP: could not copy symbol!", 3,
                     [](double *in, double *out) { Matrix_Op(in, out, 8, 8, 0.0, 0); }},
        WriteFailure{"Sum_Weighted_Squares: could not copy to symbol!", 3,
                     [](double *in, double *out) {
                       Sum_Weighted_Squares(in, in, in, nullptr, out, 1.0, 8, 8, false, false);
                     }},
        WriteFailure{"Transpose: could not copy symbol!", 2,
                     [](double *in, double *out) { Transpose(in, out, 8, 8); }},
        WriteFailure{"Vector_Convert: could not copy to symbol!", 2,
                     [](double *in, double *out) { Vector_Convert(in, out, 64, 1); }},
        WriteFailure{"Tikhonov Regularization: could not copy symbol!", 2,
                     [](double *in, double *out) {
                       Tikhonov_Diagonal_Regularization(in, out, 8, 1.0);
                     }}));

TEST_F(ConventionsTest, RefusedCodeAndFailedWriteAreReportedInOrder) {
  DeviceBuffer d(8, 1.0);
  control::fail_symbol_copy(1);
  Vector_Op(d.get(), d.get(), 8, 1.0, 99);
  EXPECT_EQ(Error_Texts(), (std::vector<std::string>{"Vector Op: invalid operation",
                                                     "Vector Op: could not copy to symbol!"}));
}

TEST_F(ConventionsTest, EmptyOperandsLaunchNothing) {
  DeviceBuffer d(8, 1.0);
  Vector_Op(d.get(), d.get(), 0, 1.0, 2);
  ElementWise_Matrix_Matrix(d.get(), d.get(), d.get(), 8, 0, 0);
  Matrix_Op(d.get(), d.get(), 8, 0, 0.0, 0);
  EXPECT_EQ(control::counts().launches, 0);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

}  // namespace
