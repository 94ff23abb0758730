// The CPU suite runs on the CPU device unless VELMORA_DEVICE names the host
// engine: set before any test, for the gateways, whose own default in this
// build is the host engine.
#include <cstdlib>

namespace {
const int kDeviceByDefault = setenv("VELMORA_DEVICE", "cpu-device", 0);
}  // namespace
