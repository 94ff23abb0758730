// Failure paths of the library's surface operations, reached through the CPU
// device's fault injection.
#include <cpu_device/control.h>

#include <cmath>
#include <string>
#include <vector>

#include "Velmora.h"
#include "common/library_test.h"
#include "cpu/device_control_test.h"

namespace control = cpu_device::control;

namespace {

using SurfaceFailureTest = DeviceControlTest;

TEST_F(SurfaceFailureTest, SumVectorFailuresReturnMinusOneWithTheirEntryAndLeakNothing) {
  DeviceBuffer d(std::vector<double>{1, 2, 3});
  const size_t live = control::live_allocations();
  struct Fault {
    void (*arm)();
    const char *entry;
  } faults[] = {{[] { control::fail_malloc(1); }, "Sum_Vector: Could not allocate memory"},
                {[] { control::fail_symbol_copy(1); }, "Sum_Vector: Could not copy symbol"},
                {[] { control::fail_memcpy(1, cudaMemcpyDeviceToHost); },
                 "Sum_Vector: Could not copy memory back"}};
  for (int round = 0; round < 20; ++round) {
    for (const Fault &f : faults) {
      Errors.clear();
      f.arm();
      EXPECT_EQ(Sum_Vector(d.get(), 3), -1.0);
      EXPECT_EQ(Error_Texts(), std::vector<std::string>{f.entry});
    }
    EXPECT_EQ(Sum_Vector(d.get(), 3), 6.0);
  }
  EXPECT_EQ(test_host::console(), "");  // entries only, never a console line
  EXPECT_EQ(control::live_allocations(), live);
}

TEST_F(SurfaceFailureTest, CalcInverseFirstCopyFailureLeavesTheBlock) {
  for (int diagonal : {0, 1}) {
    DIAGONAL_ESTIMATE = diagonal;
    Errors.clear();
    test_host::clear();
    DeviceBuffer d(std::vector<double>{4, 2, 2, 3});
    control::fail_memcpy(1, cudaMemcpyDeviceToHost);
    EXPECT_TRUE(std::isnan(CalcInverse(d.get(), 2)));
    EXPECT_EQ(d.download(), (std::vector<double>{4, 2, 2, 3}));
    EXPECT_EQ(test_host::console(), "CalcInverse: mem copy failed!\n");
    EXPECT_EQ(Error_Texts(), std::vector<std::string>{"CalcInverse: mem copy failed!"});
  }
}

TEST_F(SurfaceFailureTest, CalcInverseSecondCopyFailureIsReportedAndReturnsTheLogDet) {
  DIAGONAL_ESTIMATE = 0;
  DeviceBuffer d(std::vector<double>{4, 2, 2, 3});
  control::fail_memcpy(1, cudaMemcpyHostToDevice);
  EXPECT_NEAR(CalcInverse(d.get(), 2), std::log(8.0), 1e-15);
  EXPECT_EQ(test_host::console(), "CalcInverse: mem copy 2 failed!\n");
  EXPECT_EQ(Error_Texts(), std::vector<std::string>{"CalcInverse: mem copy 2 failed!"});
}

TEST_F(SurfaceFailureTest, CheckMatrixCopyFailureCountsNothing) {
  DeviceBuffer d(std::vector<double>{NAN});
  control::fail_memcpy(1, cudaMemcpyDeviceToHost);
  Check_Matrix(d.get(), 1, 1, "X");
  EXPECT_EQ(test_host::console(), "Check Matrix: could not copy array!: X\n");
  EXPECT_EQ(Error_Texts(), std::vector<std::string>{"Check Matrix: could not copy array!"});
}

// Nor does a window print what it could not read (its buffer's zeros).
TEST_F(SurfaceFailureTest, ShowMatCopyFailurePrintsNoElements) {
  DeviceBuffer d(std::vector<double>{1, 2});
  control::fail_memcpy(1, cudaMemcpyDeviceToHost);
  Show_Mat(d.get(), 1, 2, "X");
  EXPECT_EQ(test_host::console(), "Show Mat: could not copy array!: X\n");
  EXPECT_EQ(Error_Texts(), std::vector<std::string>{"Show Mat: could not copy array!"});
}

// Two negative sizes multiply into a positive count: each is tested alone.
TEST_F(SurfaceFailureTest, CheckMatrixWithANegativeSizeTouchesNothing) {
  DeviceBuffer d(std::vector<double>{NAN});
  const int copies = control::counts().memcpys;
  for (const Shape s : {Shape{-2, -3}, Shape{-1, 1}, Shape{1, -1}}) {
    Check_Matrix(d.get(), s.rows, s.cols, "N");
    EXPECT_EQ(control::counts().memcpys, copies) << s;
  }
  EXPECT_EQ(test_host::console(), "");
  EXPECT_TRUE(Errors.empty());
}

TEST_F(SurfaceFailureTest, SendToMatlabCopyFailureStillCallsDebugFromMex) {
  DeviceBuffer d(4, 1.0);
  control::fail_memcpy(1, cudaMemcpyDeviceToHost);
  Send_To_Matlab(d.get(), 2, 2);
  EXPECT_EQ(test_host::console(), "Send_To_Matlab: could not copy back MEM FOR MATLAB!\n");
  EXPECT_EQ(Error_Texts(),
            std::vector<std::string>{"Send_To_Matlab: Could not copy back MEM FOR MATLAB!"});
  EXPECT_EQ(test_host::calls().size(), 1u);
}

}  // namespace
