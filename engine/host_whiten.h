// Full mode's squared whitened distances of a panel's points from one
// cluster, written once for vectors of any width: host_panels.cpp takes
// them four lanes wide, host_wide.cpp eight (built for AVX-512). All of it
// has internal linkage, so that the linker never takes one file's copy,
// and its instructions, for the other's.
#pragma once

#include "host_panels.h"

namespace velmora_log::host {
namespace {

// Lanes: a vector type V of kCount doubles, and its Load, Store, Splat
// (a value in every lane) and Fma (a * b + c rounded once, lane by lane).
//
// W lower triangular (column-major): Q vectors of points at a time,
// centred into `d` (dim x Q kCount, in L1), W d formed R rows at a time in
// registers, each row summed over its coordinates in order and squared
// into the point's sum row by row in order, so that a point's bits depend
// on it alone, not on how many points share a block, how many rows, or
// the lanes' count. Three vectors by four rows keep twelve sums in flight:
// the FMA's latency of four cycles on two pipes wants eight at least, and
// two by four stalled on it (about 15% slower, measured at dim 32 and 64
// with four lanes; with eight, two, four or five vectors were no faster
// than three).
template <typename Lanes, int Q, int R>
inline void Whiten_Rows(const double *W, Index dim, Index a0, const double *d,
                        typename Lanes::V (&q)[Q]) {
  using V = typename Lanes::V;
  constexpr int L = Lanes::kCount, P = L * Q;
  V y[R][Q] = {};
  for (Index i = 0; i < a0; ++i) {
    V a[Q];
    for (int c = 0; c < Q; ++c) a[c] = Lanes::Load(d + i * P + L * c);
    const double *w = W + a0 + i * dim;
    for (int r = 0; r < R; ++r) {
      const V b = Lanes::Splat(w[r]);
      for (int c = 0; c < Q; ++c) y[r][c] = Lanes::Fma(b, a[c], y[r][c]);
    }
  }
  // The block's own triangle: row a0 + r takes coordinates up to a0 + r.
  for (int j = 0; j < R; ++j) {
    V a[Q];
    for (int c = 0; c < Q; ++c) a[c] = Lanes::Load(d + (a0 + j) * P + L * c);
    const double *w = W + a0 + (a0 + j) * dim;
    for (int r = j; r < R; ++r) {
      const V b = Lanes::Splat(w[r]);
      for (int c = 0; c < Q; ++c) y[r][c] = Lanes::Fma(b, a[c], y[r][c]);
    }
  }
  for (int r = 0; r < R; ++r)
    for (int c = 0; c < Q; ++c) q[c] = Lanes::Fma(y[r][c], y[r][c], q[c]);
}

// Points p0 .. p1 (whole blocks of Q vectors) of the panel.
template <typename Lanes, int Q>
void Whiten_Points(const double *W, const double *mu, Index dim, const double *x, double *d,
                   double *q, Index p0, Index p1) {
  using V = typename Lanes::V;
  constexpr int L = Lanes::kCount, P = L * Q;
  static_assert(P <= kWhitenedAtOnce, "the centred points fit their scratch");
  for (Index p = p0; p < p1; p += P) {
    for (Index i = 0; i < dim; ++i)
      for (int c = 0; c < Q; ++c)
        Lanes::Store(d + i * P + L * c,
                     Lanes::Load(x + i * kPanel + p + L * c) - Lanes::Splat(mu[i]));
    V s[Q] = {};
    Index a0 = 0;
    for (; a0 + 4 <= dim; a0 += 4) Whiten_Rows<Lanes, Q, 4>(W, dim, a0, d, s);
    switch (dim - a0) {
      case 3: Whiten_Rows<Lanes, Q, 3>(W, dim, a0, d, s); break;
      case 2: Whiten_Rows<Lanes, Q, 2>(W, dim, a0, d, s); break;
      case 1: Whiten_Rows<Lanes, Q, 1>(W, dim, a0, d, s); break;
      default: break;
    }
    for (int c = 0; c < Q; ++c) Lanes::Store(q + p + L * c, s[c]);
  }
}

// The panel's points 0 .. width (whole blocks of kBlock): three vectors at
// a time, the rest one at a time.
template <typename Lanes>
void Whiten_Panel(const double *W, const double *mu, Index dim, const double *x, Index width,
                  double *d, double *q) {
  static_assert(kBlock % Lanes::kCount == 0, "a panel's width is whole vectors");
  constexpr Index three = 3 * Lanes::kCount;
  const Index wide = width / three * three;
  Whiten_Points<Lanes, 3>(W, mu, dim, x, d, q, 0, wide);
  Whiten_Points<Lanes, 1>(W, mu, dim, x, d, q, wide, width);
}

}  // namespace
}  // namespace velmora_log::host
