// Fixture and checks shared by the library's tests on every device.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "MatrixOperations_Double.h"
#include "common/device_buffer.h"
#include "host/test_host.h"

// A matrix shape for parameterised cases, printed as "rows x cols".
struct Shape {
  int rows, cols;
};

inline std::ostream &operator<<(std::ostream &os, const Shape &s) {
  return os << s.rows << " x " << s.cols;
}

class LibraryTest : public testing::Test {
 protected:
  void SetUp() override {
    Errors.clear();
    test_host::clear();
  }
  void TearDown() override { Errors.clear(); }

  static std::vector<std::string> Error_Texts() {
    return std::vector<std::string>(Errors.begin(), Errors.end());
  }
};

// Names a parameterised case after its `name` field.
struct By_Name {
  template <typename Case>
  std::string operator()(const testing::TestParamInfo<Case> &info) const {
    return info.param.name;
  }
};

// Names "full" and "diagonal" for tests parameterised by full covariances.
inline std::string Mode_Name(const testing::TestParamInfo<bool> &info) {
  return info.param ? "full" : "diagonal";
}

// Bitwise equality that names the first differing index; NaN equals NaN.
inline testing::AssertionResult Same_Bits(const std::vector<double> &expected,
                                          const std::vector<double> &actual) {
  if (expected.size() != actual.size())
    return testing::AssertionFailure()
           << "sizes differ: " << expected.size() << " vs " << actual.size();
  for (size_t i = 0; i < expected.size(); ++i) {
    const bool both_nan = std::isnan(expected[i]) && std::isnan(actual[i]);
    if (!both_nan && std::memcmp(&expected[i], &actual[i], sizeof(double)) != 0)
      return testing::AssertionFailure() << "first difference at index " << i << ": expected "
                                         << expected[i] << ", got " << actual[i];
  }
  return testing::AssertionSuccess();
}

// Relative closeness for the transcendental results; names the first miss.
inline testing::AssertionResult Close(const std::vector<double> &expected,
                                      const std::vector<double> &actual, double rel) {
  if (expected.size() != actual.size())
    return testing::AssertionFailure() << "sizes differ";
  for (size_t i = 0; i < expected.size(); ++i) {
    const double e = expected[i], a = actual[i];
    if (std::isnan(e) || std::isnan(a)) {
      if (std::isnan(e) && std::isnan(a)) continue;
    } else if (e == a || std::fabs(e - a) <= rel * std::fabs(e)) {
      continue;
    }
    return testing::AssertionFailure() << "first miss at index " << i << ": expected " << e
                                       << ", got " << a;
  }
  return testing::AssertionSuccess();
}
