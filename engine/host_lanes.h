// Four lanes of doubles (AVX2, or what the build has) as the loops written
// once for any width take them (host_whiten.h, host_exp.h); host_wide.cpp
// has eight. Internal linkage, as theirs.
#pragma once

#include "host_panels.h"

namespace velmora_log::host {
namespace {

struct Four_Lanes {
  using V = Quad;
  typedef long long Bits __attribute__((vector_size(4 * sizeof(long long))));
  static constexpr int kCount = 4;
  static V Load(const double *from) { return Load_Quad(from); }
  static void Store(double *to, V v) { Store_Quad(to, v); }
  static V Splat(double w) { return Quad{w, w, w, w}; }
  static V Fma(V a, V b, V c) { return host::Fma(a, b, c); }
};

}  // namespace
}  // namespace velmora_log::host
