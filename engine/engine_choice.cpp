// The engine from the environment; one rule for every gateway.
#include "engine_choice.h"

#include <cuda_runtime.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

namespace velmora_log {

namespace {

// The CPU device's headers stand in for the CUDA toolkit's only in its
// build.
#if __has_include(<cpu_device/control.h>)
constexpr bool kCpuDeviceBuild = true;
#else
constexpr bool kCpuDeviceBuild = false;
#endif

bool Gpu_Answers() {
  if (kCpuDeviceBuild) return false;
  int devices = 0;
  const bool answers = cudaGetDeviceCount(&devices) == cudaSuccess && devices > 0;
  cudaGetLastError();
  return answers;
}

}  // namespace

Engine Engine_From_Environment() {
  const char *set = std::getenv("VELMORA_DEVICE");
  std::string v = set != nullptr ? set : "";
  std::transform(v.begin(), v.end(), v.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (v.empty()) return Gpu_Answers() ? Engine::device : Engine::host;
  if (v == "host") return Engine::host;
  // "cpu" is what the package's build takes for the CPU device's build.
  const bool cpu_device = v == "cpu-device" || v == "cpu";
  if (!cpu_device && v != "cuda")
    throw Error("Velmora:usage", "VELMORA_DEVICE is '" + std::string(set) +
                                     "': it must be host, cpu-device or cuda, or unset (the GPU "
                                     "where one answers, else the host engine).");
  if (cpu_device != kCpuDeviceBuild)
    throw Error("Velmora:device",
                "VELMORA_DEVICE is '" + std::string(set) + "', but this is the " +
                    (kCpuDeviceBuild ? "CPU device's" : "CUDA") +
                    " build of the module: use the " + (kCpuDeviceBuild ? "CUDA" : "CPU device's") +
                    " build for it, or VELMORA_DEVICE=host.");
  return Engine::device;
}

}  // namespace velmora_log
