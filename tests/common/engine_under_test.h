// The engine the library's tests run on: the device this binary was built
// for (the CPU device, or CUDA), or the host engine with
// VELMORA_DEVICE=host, which the gateways read too. CTest runs the suites
// where the two can differ both ways.
#pragma once

#include <cstdlib>
#include <string>

#include "fit.h"
#include "log_mixture.h"

inline velmora_log::Engine Engine_Under_Test() {
  const char *v = std::getenv("VELMORA_DEVICE");
  return v != nullptr && std::string(v) == "host" ? velmora_log::Engine::host
                                                   : velmora_log::Engine::device;
}

inline velmora_log::Fit_Result Fit_Under_Test(const double *X, std::int64_t dim, std::int64_t n,
                                              std::int64_t K, velmora_log::Fit_Options o) {
  o.engine = Engine_Under_Test();
  return velmora_log::Fit(X, dim, n, K, o);
}

inline velmora_log::Statistics Statistics_Under_Test(const velmora_log::Problem &p,
                                                     std::int64_t max_chunk = 0) {
  return velmora_log::Compute_Statistics(p, max_chunk, Engine_Under_Test());
}
