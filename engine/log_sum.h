// Helpers both kernel families (and their host references) share: an exp for the log-sum-exp's
// terms that gives the same bits on every device, the running log-sum-exp of a point over
// clusters, and what a point with a non-finite coordinate gets.
#pragma once

#include <cuda_runtime.h>

#include <cmath>
#include <cstring>

#include "exp_poly.h"
#include "kernels.h"

namespace velmora_log {

constexpr double kMinusInf = -__builtin_huge_val();

__host__ __device__ __forceinline__ Index Min(Index a, Index b) { return a < b ? a : b; }
__host__ __device__ __forceinline__ int Min(int a, int b) { return a < b ? a : b; }
// The exponent of the smallest power of two at least v (v >= 1): staging
// loops split an index by shift and mask with it, not by a division.
__host__ __device__ __forceinline__ int Shift_Covering(int v) {
  int shift = 0;
  while ((1 << shift) < v) ++shift;
  return shift;
}

// The entries (c, p) of a tile of R, `width` clusters by `points` points,
// dealt to thread t of kT in turn along whichever of clusters and points is
// contiguous in R, so that a warp's stores are coalesced: entry e is
// (e % width, e / width) along clusters, (e / points, e % points) along
// points. Thread t divides once, then steps its pair by kT with a carry:
// a division per entry cost as much as the exp it feeds. An empty tile (a
// mixture without clusters) deals nothing, and divides by nothing.
template <int kT, class Body>
__host__ __device__ __forceinline__ void For_Tile_Entries(int t, bool by_cluster, int width,
                                                          int points, Body body) {
  if (width <= 0 || points <= 0) return;
  const int inner = by_cluster ? width : points, rows = by_cluster ? points : width;
  const int lo_step = kT % inner, hi_step = kT / inner;
  for (int lo = t % inner, hi = t / inner; hi < rows;) {
    body(by_cluster ? lo : hi, by_cluster ? hi : lo);
    lo += lo_step;
    hi += hi_step;
    if (lo >= inner) lo -= inner, ++hi;
  }
}

__host__ __device__ __forceinline__ long long Bits_Of(double x) {
#ifdef __CUDA_ARCH__
  return __double_as_longlong(x);
#else
  long long b;
  std::memcpy(&b, &x, sizeof b);
  return b;
#endif
}

__host__ __device__ __forceinline__ double Double_Of(long long b) {
#ifdef __CUDA_ARCH__
  return __longlong_as_double(b);
#else
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
#endif
}

__host__ __device__ __forceinline__ unsigned High_Word(double x) {
  return static_cast<unsigned>(static_cast<unsigned long long>(Bits_Of(x)) >> 32);
}

__host__ __device__ __forceinline__ unsigned Low_Word(double x) {
  return static_cast<unsigned>(static_cast<unsigned long long>(Bits_Of(x)));
}

__host__ __device__ __forceinline__ double Double_Of_Words(unsigned high, unsigned low) {
#ifdef __CUDA_ARCH__
  return __hiloint2double(static_cast<int>(high), static_cast<int>(low));
#else
  return Double_Of(static_cast<long long>((static_cast<unsigned long long>(high) << 32) | low));
#endif
}

// The polynomial on a GPU in constant memory, where an FMA reads its
// operand directly: as literals they would sit in registers across the
// callers' loops.
#ifdef __CUDACC__
static __constant__ double kExpPolyDevice[kExpPolyTerms] = VELMORA_EXP_POLY;
#endif

// exp(a) for a <= 0 (a term less the largest), within about one ulp: the
// same arithmetic on every device, so a point's bits do not depend on it.
// exp(0) is 1 exactly; -inf and any a below about -708.05 (where k drops
// under -1021, results under about 2^-1021.5) give 0: such a term is below
// an ulp of the sum, which holds the largest term's 1. NaN stays NaN. An
// a > 0 comes out right while exp(a) is finite (a below about 709.78);
// past that the result means nothing (NaN, or a number of either sign, not
// inf or 0). No caller's a is above 0: logP, rounded, is at least its
// largest term, and a run's largest term is taken off its others. Only
// the reduction and the polynomial use the FP64 pipe; the range and the
// scaling by 2^k are 32-bit integer work on the high word alone.
__host__ __device__ __forceinline__ double Exp_Below_Zero(double a) {
  // a = k ln 2 + r, |r| <= ln 2 / 2: 0x1.8p52 + 1021 + a log2(e) rounds to
  // a whole number, whose low word holds k + 1021. While 0 <= k + 1021 <
  // 2^32 the high word is the shifter's own, so that one comparison finds
  // the k from -1021 up, where 2^k p is a normal number.
  constexpr unsigned kBias = 1021;
  const double shifter = 0x1.8p52 + kBias;
  const double y = fma(a, 0x1.71547652b82fep0, shifter);
  const double k = y - shifter;
  double r = fma(k, -0x1.62e42fefa39efp-1, a);
  r = fma(k, -0x1.abc9e3b39803fp-56, r);
#ifdef __CUDA_ARCH__
  const double *const poly = kExpPolyDevice;
#else
  const double *const poly = kExpPolyHost;
#endif
  double p = poly[0];
  for (int n = 1; n < kExpPolyTerms; ++n) p = fma(p, r, poly[n]);
  p = fma(p, r, 1.0);
  p = fma(p, r, 1.0);
  const unsigned high = High_Word(y), low = Low_Word(y);
  const bool in = high == High_Word(shifter);
  // A NaN a gives a quiet NaN y (the FMA sets the quiet bit, which is in the
  // high word), so the high word tells it, and alone (low word 0) is NaN.
  const bool nan = (high & 0x7fffffffu) > 0x7ff00000u;
  // p is in [0.7, 1.42]: adding k to its exponent keeps it normal down to
  // k = -1021. Unsigned: out of range (a result the select drops) it wraps.
  // Word by word: built as one 64-bit integer, the add took a carry chain;
  // and three selects of words, where two of doubles took four.
  const unsigned scaled_high = High_Word(p) + ((low - kBias) << 20);
  return Double_Of_Words(in ? scaled_high : nan ? high : 0u, in ? Low_Word(p) : 0u);
}

// What a point's posteriors are formed from: exp((v - top) - log_sum) for
// its term v, top its largest term and log_sum the log of its sum of
// exp(v - top), held apart. Their sum, logP, rounds log_sum away once |top|
// passes 2^53 (a point some 1e8 standard deviations from every centre), and
// exp(v - logP) erred by about eps |logP| (posteriors summing to 2 there);
// v - top is exact where it matters (v near top). Both parts reach 0: no
// term is above top, and the sum holds top's own 1.
struct Posterior_Shift {
  double top = 0.0, log_sum = 0.0;

  // logP: the sum's Value(), bit for bit (-inf where the sum is 0).
  __host__ __device__ __forceinline__ double Log_P() const { return top + log_sum; }
  // For a point whose logP came out as log_p: where that is not a number
  // (a non-finite coordinate), exp(v - logP), as its posteriors always
  // were (NaN).
  __host__ __device__ __forceinline__ Posterior_Shift For(double log_p) const {
    return log_p - log_p == 0.0 ? *this : Posterior_Shift{log_p, 0.0};
  }
  __host__ __device__ __forceinline__ double Posterior(double v) const {
    return Exp_Below_Zero((v - top) - log_sum);
  }
};

// log(sum exp v) = m + log(s), with m the largest term so far and s the sum
// of exp(v - m). One exp per term and no divergent branch: the larger of v
// and m decides by selects which side is rescaled. The exp's argument,
// -|v - m|, is never above 0: Exp_Below_Zero's, about 27 instructions where
// libdevice's exp took about 69, and the same bits on the host.
struct Log_Sum {
  double m = kMinusInf;
  double s = 0.0;

  __host__ __device__ __forceinline__ void Add(double v) {
    const bool up = v > m;                   // false for NaN, which then spoils s
    const double e = Exp_Below_Zero(-fabs(v - m));  // NaN for v == m == -inf: dropped below
    const double below = v == kMinusInf ? 0.0 : e;
    s = up ? fma(s, e, 1.0) : s + below;
    m = up ? v : m;
  }
  // Another partial sum, as if its terms had been added here.
  __host__ __device__ __forceinline__ void Merge(const Log_Sum &o) {
    if (o.s == 0.0) return;  // it saw only -inf terms
    const bool up = o.m > m;
    const double e = Exp_Below_Zero(-fabs(o.m - m));
    const double mine = m == kMinusInf ? 0.0 : e;
    s = up ? fma(s, mine, o.s) : fma(o.s, e, s);
    m = up ? o.m : m;
  }
  // -inf when every term was (no cluster can have produced the point).
  __host__ __device__ __forceinline__ double Value() const { return s == 0.0 ? kMinusInf : m + log(s); }
  __host__ __device__ __forceinline__ Posterior_Shift Shift() const { return {m, log(s)}; }
};

// NaN for a point with a NaN coordinate, -inf for one with an infinite
// coordinate (its density is 0), and `log_p` otherwise. Whitening by a full
// factor mixes +inf and -inf into NaN, so this is decided from the point.
__host__ __device__ __forceinline__ double Non_Finite_Point(const Device_Points &x, Index j, Index dim,
                                                   double log_p) {
  bool nan = false, inf = false;
  for (Index i = 0; i < dim; ++i) {
    const double v = x.X[j * x.point_stride + i * x.coord_stride];
    nan = nan || v != v;
    inf = inf || fabs(v) == __builtin_huge_val();
  }
  return nan ? ::nan("") : inf ? kMinusInf : log_p;
}

// Point j's logP from its sum's shift (Non_Finite_Point's where a
// coordinate is not finite), and `shift` made the one its posteriors take.
__host__ __device__ __forceinline__ double Point_Log_P(const Device_Points &x, Index j, Index dim,
                                                       Posterior_Shift &shift) {
  const double log_p = Non_Finite_Point(x, j, dim, shift.Log_P());
  shift = shift.For(log_p);
  return log_p;
}

}  // namespace velmora_log
