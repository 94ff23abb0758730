// Fixture of the tests that drive the CPU device's control interface: each
// starts from a device with no faults armed and must leave no device memory
// behind.
#pragma once

#include <cpu_device/control.h>

#include "common/library_test.h"

class DeviceControlTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    cpu_device::control::reset();
    live_at_start_ = cpu_device::control::live_allocations();
  }
  void TearDown() override {
    EXPECT_EQ(cpu_device::control::live_allocations(), live_at_start_)
        << "device memory left behind";
    cpu_device::control::reset();
    DIAGONAL_ESTIMATE = 1;
    LibraryTest::TearDown();
  }

 private:
  size_t live_at_start_ = 0;
};
