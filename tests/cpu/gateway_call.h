// A gateway called as the host calls it, over the test host: its outputs,
// or the error it raised, with no output left behind by a failed call.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
