// An environment variable set (or unset, for null) for the calls in a
// scope, and restored after them.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

class Env_Set {
 public:
  Env_Set(const char *name, const char *value) : name_(name) {
    if (const char *v = std::getenv(name)) saved_ = v;
    if (value != nullptr) setenv(name, value, 1);
    else unsetenv(name);
  }
  Env_Set(const Env_Set &) = delete;
  Env_Set &operator=(const Env_Set &) = delete;
  ~Env_Set() {
    if (saved_) setenv(name_.c_str(), saved_->c_str(), 1);
    else unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// Full mode's kernels on the CUDA cores ("off"), or on the tensor cores
// where the device has them (null): the settings a test of both takes.
inline const char *const kCoreSettings[] = {nullptr, "off"};
