// exp of a vector's non-positive values at once (four lanes, or eight in
// host_wide.cpp), for the log-sum-exp's terms
// (each term less the point's largest): within one ulp of the true value
// (libm's exp is within about half of one), an argument of 0 gives 1
// exactly, one below -745.2 gives 0 (as exp does: 2^-1075 rounds to 0) and
// NaN stays NaN. The same vector arithmetic wherever it builds, so its bits
// do not depend on the point's place or the threads.
#pragma once

#include "exp_poly.h"
#include "host_lanes.h"
#include "host_panels.h"

namespace velmora_log::host {
namespace {

// Lanes: as host_lanes.h's Four_Lanes, with Bits its integers lane by lane.
template <typename Lanes>
inline typename Lanes::V Exp_Lanes(typename Lanes::V v) {
  using V = typename Lanes::V;
  using Bits = typename Lanes::Bits;
  // v = k ln 2 + r with k whole and |r| <= ln 2 / 2 (a little more where
  // v log2(e) rounds across a half): 0x1.8p52 + y rounds y to a whole
  // number, which the low bits of the sum then hold.
  const double shifter = 0x1.8p52;
  // Below -745.2 the result is 0 (the select at the end): the lanes work
  // on 0 meanwhile, not on -745.2, whose exp is subnormal and costs x86 a
  // microcode assist (about 20 ns a value) in every such term of a point
  // far from the other clusters, the usual case under a fitted mixture.
  const V low = v < -745.2 ? V{} : v;  // also NaN: fixed below
  const V y = (low * 0x1.71547652b82fep0 + shifter), k = y - shifter;
  V r = Lanes::Fma(k, V{} - 0x1.62e42fefa39efp-1, low);
  r = Lanes::Fma(k, V{} - 0x1.abc9e3b39803fp-56, r);
  // exp(r) = 1 + r + r^2 g(r), with the kernels' polynomial g.
  V p = V{} + kExpPolyHost[0];
  for (int n = 1; n < kExpPolyTerms; ++n) p = Lanes::Fma(p, r, V{} + kExpPolyHost[n]);
  p = Lanes::Fma(p, r, V{} + 1.0);
  p = Lanes::Fma(p, r, V{} + 1.0);
  // p 2^k: below 2^-1000 in two steps, so that only the last (into the
  // subnormals) rounds.
  const Bits ki = (Bits)y - (Bits)(V{} + shifter);
  const Bits split = ki < -1000 ? Bits{} - 64 : Bits{};
  const V first = (V)((ki - split + 1023) << 52), second = (V)((split + 1023) << 52);
  const V e = p * first * second;
  const V nan_or_e = v != v ? v : e;
  return v < -745.2 ? V{} : nan_or_e;
}

// The log-sum-exp's middle: for clusters 0 .. K, over the panel's points
// 0 .. width (whole vectors), e = exp(term - top), into the term's place
// with `posteriors`, and added to sum in cluster order.
template <typename Lanes>
void Exp_Terms(Index K, bool posteriors, Index width, double *terms, const double *top,
               double *sum) {
  static_assert(kBlock % Lanes::kCount == 0, "a panel's width is whole vectors");
  using V = typename Lanes::V;
  for (Index k = 0; k < K; ++k) {
    double *t = terms + k * kPanel;
    for (Index p = 0; p < width; p += Lanes::kCount) {
      const V e = Exp_Lanes<Lanes>(Lanes::Load(t + p) - Lanes::Load(top + p));
      if (posteriors) Lanes::Store(t + p, e);
      Lanes::Store(sum + p, Lanes::Load(sum + p) + e);
    }
  }
}

}  // namespace
}  // namespace velmora_log::host
