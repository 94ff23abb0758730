// VELMORA_DEVICE as the gateways read it in the CPU device's build: host by
// default, the CPU device when named, and exact refusals of the rest.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "engine_choice.h"

namespace {

using velmora_log::Engine;

class EngineChoiceTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const char *v = std::getenv("VELMORA_DEVICE")) saved_ = v;
  }
  void TearDown() override {
    if (saved_) setenv("VELMORA_DEVICE", saved_->c_str(), 1);
    else unsetenv("VELMORA_DEVICE");
  }
  static void Set(const char *v) {
    if (v == nullptr) unsetenv("VELMORA_DEVICE");
    else setenv("VELMORA_DEVICE", v, 1);
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(EngineChoiceTest, HostByDefaultAndTheCpuDeviceWhenNamed) {
  for (const char *v : {static_cast<const char *>(nullptr), "", "host", "HOST"}) {
    Set(v);
    EXPECT_EQ(velmora_log::Engine_From_Environment(), Engine::host) << (v ? v : "unset");
  }
  for (const char *v : {"cpu-device", "cpu", "CPU-Device"}) {
    Set(v);
    EXPECT_EQ(velmora_log::Engine_From_Environment(), Engine::device) << v;
  }
}

TEST_F(EngineChoiceTest, RefusesWhatNamesNoEngineOrADeviceThisBuildLacks) {
  const struct {
    const char *value, *id, *message;
  } cases[] = {
      {"gpu", "Velmora:usage",
       "VELMORA_DEVICE is 'gpu': it must be host, cpu-device or cuda, or unset (the GPU where one "
       "answers, else the host engine)."},
      {"cuda", "Velmora:device",
       "VELMORA_DEVICE is 'cuda', but this is the CPU device's build of the module: use the CUDA "
       "build for it, or VELMORA_DEVICE=host."},
  };
  for (const auto &c : cases) {
    Set(c.value);
    try {
      velmora_log::Engine_From_Environment();
      ADD_FAILURE() << c.value << " was taken";
    } catch (const velmora_log::Error &e) {
      EXPECT_EQ(e.id(), c.id);
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

}  // namespace
