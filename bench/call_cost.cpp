// The fixed cost of a call as MATLAB and Octave users pay it. The module is
// loaded as a shared library, as a MATLAB host loads a MEX file, with this
// program's test host standing in for MATLAB's MEX API. Velmora is loaded,
// called and unloaded for every call, since it has itself cleared after
// each; VelmoraLog is loaded once and stays.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/test_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using Gateway = void (*)(int, mxArray *[], int, const mxArray *[]);

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Module {
  void *handle = nullptr;
  Gateway gateway = nullptr;
  explicit Module(const std::string &path) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
      std::exit(1);
    }
    gateway = reinterpret_cast<Gateway>(dlsym(handle, "mexFunction"));
    if (gateway == nullptr) {
      std::fprintf(stderr, "%s has no mexFunction\n", path.c_str());
      std::exit(1);
    }
  }
  Module(const Module &) = delete;
  Module &operator=(const Module &) = delete;
  ~Module() {
    test_host::unload();  // what the module registered with mexAtExit
    dlclose(handle);
  }
};

// A mixture of N points, dim 8, 4 diagonal clusters.
struct Call {
  test_host::Array X, Mu, Sigma, Pi;
  explicit Call(mwSize n)
      : X(test_host::make_matrix(8, n)), Mu(test_host::make_matrix(8, 4)),
        Sigma(test_host::make_matrix(8, 4, std::vector<double>(32, 1.0))),
        Pi(test_host::make_matrix(1, 4, {0.25, 0.25, 0.25, 0.25})) {
    for (size_t i = 0; i < X->data.size(); ++i) X->data[i] = static_cast<double>(i % 7) / 7;
  }
  void operator()(Gateway g) const {
    const mxArray *in[] = {X.get(), Mu.get(), Sigma.get(), Pi.get()};
    mxArray *out[1] = {nullptr};
    test_host::clear();
    g(1, out, 4, in);
    mxDestroyArray(out[0]);
  }
};

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: velmora_call_cost VELMORA_MODULE VELMORALOG_MODULE [CALLS [LARGE_N]]\n");
    return 2;
  }
  const int calls = argc > 3 ? std::atoi(argv[3]) : 20;
  const mwSize large = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 1000000;
  std::printf("\nCost of a call as users pay it (a host of ours loads the module as MATLAB "
              "does; mean of %d calls):\n\n", calls);
  for (const mwSize n : {mwSize{1000}, large}) {
    const Call call(n);
    // Velmora: every call loads the module, sets the device up and unloads.
    double velmora = 0;
    for (int c = 0; c < calls; ++c) {
      const auto start = Clock::now();
      Module m(argv[1]);
      call(m.gateway);
      velmora += Since(start);
    }
    velmora /= calls;
    // VelmoraLog: the first call pays the set-up, the others reuse it.
    Module log_module(argv[2]);
    auto start = Clock::now();
    call(log_module.gateway);
    const double first = Since(start);
    start = Clock::now();
    for (int c = 0; c < calls; ++c) call(log_module.gateway);
    const double later = Since(start) / calls;
    std::printf("- N=%lu, dim 8, K 4: Velmora %.3f ms a call (load, call, unload); VelmoraLog "
                "%.3f ms the first call, %.3f ms each after\n",
                static_cast<unsigned long>(n), 1e3 * velmora, 1e3 * first, 1e3 * later);
    std::fflush(stdout);
  }
  return 0;
}
