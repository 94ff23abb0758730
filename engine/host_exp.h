// exp of four non-positive values at once, for the log-sum-exp's terms
// (each term less the point's largest): within one ulp of the true value
// (libm's exp is within about half of one), an argument of 0 gives 1
// exactly, one below -745.2 gives 0 (as exp does: 2^-1075 rounds to 0) and
// NaN stays NaN. The same vector arithmetic wherever it builds, so its bits
// do not depend on the point's place or the threads.
#pragma once

#include "exp_poly.h"
#include "host_panels.h"

namespace velmora_log::host {

typedef long long Quad_Bits __attribute__((vector_size(4 * sizeof(long long))));

inline Quad Exp_Non_Positive(Quad v) {
  // v = k ln 2 + r with k whole and |r| <= ln 2 / 2 (a little more where
  // v log2(e) rounds across a half): 0x1.8p52 + y rounds y to a whole
  // number, which the low bits of the sum then hold.
  const double shifter = 0x1.8p52;
  // Below -745.2 the result is 0 (the select at the end): the lanes work
  // on 0 meanwhile, not on -745.2, whose exp is subnormal and costs x86 a
  // microcode assist (about 20 ns a value) in every such term of a point
  // far from the other clusters, the usual case under a fitted mixture.
  const Quad low = v < -745.2 ? Quad{} : v;  // also NaN: fixed below
  const Quad y = (low * 0x1.71547652b82fep0 + shifter), k = y - shifter;
  Quad r = Fma(k, Quad{} - 0x1.62e42fefa39efp-1, low);
  r = Fma(k, Quad{} - 0x1.abc9e3b39803fp-56, r);
  // exp(r) = 1 + r + r^2 g(r), with the kernels' polynomial g.
  Quad p = Quad{} + kExpPolyHost[0];
  for (int n = 1; n < kExpPolyTerms; ++n) p = Fma(p, r, Quad{} + kExpPolyHost[n]);
  p = Fma(p, r, Quad{} + 1.0);
  p = Fma(p, r, Quad{} + 1.0);
  // p 2^k: below 2^-1000 in two steps, so that only the last (into the
  // subnormals) rounds.
  const Quad_Bits ki = (Quad_Bits)y - (Quad_Bits)(Quad{} + shifter);
  const Quad_Bits split = ki < -1000 ? Quad_Bits{} - 64 : Quad_Bits{};
  const Quad first = (Quad)((ki - split + 1023) << 52), second = (Quad)((split + 1023) << 52);
  const Quad e = p * first * second;
  const Quad nan_or_e = v != v ? v : e;
  return v < -745.2 ? Quad{} : nan_or_e;
}

}  // namespace velmora_log::host
