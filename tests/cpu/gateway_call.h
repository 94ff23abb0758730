// A gateway called as the host calls it, over the test host: its outputs,
// or the error it raised, with no output left behind by a failed call.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "cpu/device_control_test.h"
#include "host/test_host.h"

struct Gateway_Outcome {
  std::string id, message;
  std::vector<test_host::Array> out;
};

template <typename Gateway>
Gateway_Outcome Call_Gateway(Gateway gateway, int nlhs, std::vector<const mxArray *> in) {
  Gateway_Outcome o;
  mxArray *out[2] = {nullptr, nullptr};
  try {
    gateway(nlhs, out, static_cast<int>(in.size()), in.data());
  } catch (const test_host::MexError &e) {
    o.id = e.id;
    o.message = e.what();
    EXPECT_EQ(out[0], nullptr) << "an output left behind by a failed call";
    EXPECT_EQ(out[1], nullptr);
  }
  for (mxArray *a : out)
    if (a != nullptr) o.out.emplace_back(a);
  return o;
}

// The tests of one gateway: its calls, and the module unloaded after each
// test (it keeps its buffers until then).
template <auto Gateway>
class Gateway_Test : public DeviceControlTest {
 protected:
  void TearDown() override {
    test_host::unload();
    DeviceControlTest::TearDown();
  }

  using Outcome = Gateway_Outcome;

  static Outcome Call(int nlhs, std::vector<const mxArray *> in) {
    return Call_Gateway(Gateway, nlhs, std::move(in));
  }
  static Outcome Call(int nlhs, const std::vector<test_host::Array> &in) {
    std::vector<const mxArray *> raw;
    for (const test_host::Array &a : in) raw.push_back(a.get());
    return Call(nlhs, std::move(raw));
  }
};

// A call a gateway must refuse: how its arguments are made, the outputs
// asked for, and the error it must raise.
template <typename Make_Arguments>
struct Refusal_Case {
  const char *name;
  Make_Arguments args;
  int nlhs;
  const char *id;
  std::string message;
};

template <typename Make_Arguments>
std::ostream &operator<<(std::ostream &os, const Refusal_Case<Make_Arguments> &r) {
  return os << r.name;
}
