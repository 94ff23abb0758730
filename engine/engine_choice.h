// Which engine a gateway's call runs on, from VELMORA_DEVICE: host, or the
// device this build was made for (cpu-device, or cuda). Unset or empty, the
// device where a GPU answers (the CUDA build), and the host engine
// elsewhere (always, in the CPU device's build).
#pragma once

#include "log_mixture.h"

namespace velmora_log {

// Throws Error: Velmora:usage for a value that names no engine,
// Velmora:device for a device this build does not have.
Engine Engine_From_Environment();

}  // namespace velmora_log
