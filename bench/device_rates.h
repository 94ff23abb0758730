// The ceilings a VelmoraLog call is measured against, each measured on the
// device at hand: copy rates both ways from pageable and page-locked host
// memory, the FP64 rate of the CUDA cores, the DGEMM rate, and the fixed
// cost of a round trip.
#pragma once

#include <cstdint>

namespace bench {

struct Rates {
  double up_pageable = 0, up_pinned = 0;      // bytes per second, host to device
  double down_pageable = 0, down_pinned = 0;  // bytes per second, device to host
  double fp64_fma = 0;    // FMA instructions per second on the CUDA cores (2 flops each)
  double dgemm = 0;       // flops per second of a square DGEMM on random data
  double round_trip = 0;  // seconds: an 8-byte upload, an empty kernel, an 8-byte download
};

// `small` keeps every measurement tiny, for the CPU device.
Rates Measure_Rates(bool small);

}  // namespace bench
