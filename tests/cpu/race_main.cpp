// The race check's test program: the suites that run on every device, over
// kernels compiled for the check. A race found during a test fails that
// test with the report.
#include <cpu_device/control.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

class Race_Failures : public testing::EmptyTestEventListener {
  void OnTestEnd(const testing::TestInfo &) override {
    for (const std::string &report : cpu_device::control::take_race_reports())
      ADD_FAILURE() << report;
  }
};

}  // namespace

int main(int argc, char **argv) {
  // The program exists for the check: on unless the environment says 0.
  setenv("CPU_DEVICE_RACE_CHECK", "1", 0);
  cpu_device::control::reset();
  testing::InitGoogleTest(&argc, argv);
  // After the printer: a test's end reaches listeners in reverse order, so
  // the printer learns of the failure added here.
  testing::UnitTest::GetInstance()->listeners().Append(new Race_Failures);
  return RUN_ALL_TESTS();
}
