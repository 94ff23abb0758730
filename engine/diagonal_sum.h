// Diagonal mode's log-sum-exp: a point's terms come a run of kDiagonalRun
// clusters at a time, and the run's largest term is found before any exp,
// so that a run costs one exp a term and no divergent branch, whether or
// not it raises the point's largest term. The kernel (diagonal.cu), its
// reference and the fit's small-dims kernel all sum through this, so that
// they agree bit for bit.
#pragma once

#include <cuda_runtime.h>

#include <cfloat>
#include <cmath>
#include <cstring>

#include "kernels.h"
#include "log_sum.h"

namespace velmora_log {

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

// exp(r) = 1 + r + r^2 g(r), g a near-minimax (Chebyshev) fit of degree 9
// on |r| <= 0.3468, highest power first: within 0.6 ulp on the range. On a
// GPU in constant memory, where an FMA reads its operand directly: as
// literals they would sit in registers across the callers' loops.
#define VELMORA_EXP_POLY                                                                  \
  {0x1.af38d53857513p-26, 0x1.2891a8c1d838dp-22, 0x1.71de0d9c145d0p-19, 0x1.a019b8ef67c6cp-16, \
   0x1.a01a01a7c8d47p-13, 0x1.6c16c17893833p-10, 0x1.11111111109adp-7,  0x1.5555555553d4fp-5,  \
   0x1.5555555555556p-3,  0x1.0000000000001p-1}
constexpr int kExpPolyTerms = 10;
constexpr double kExpPolyHost[kExpPolyTerms] = VELMORA_EXP_POLY;
#ifdef __CUDACC__
static __constant__ double kExpPolyDevice[kExpPolyTerms] = VELMORA_EXP_POLY;
#endif
#undef VELMORA_EXP_POLY

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
  // high word), so the high word tells it.
  const bool nan = (high & 0x7fffffffu) > 0x7ff00000u;
  // p is in [0.7, 1.42]: adding k to its exponent keeps it normal down to
  // k = -1021. Unsigned: out of range (a result the select drops) it wraps.
  // Word by word: built as one 64-bit integer, the add took a carry chain.
  const double scaled = Double_Of_Words(High_Word(p) + ((low - kBias) << 20), Low_Word(p));
  return in ? scaled : nan ? y : 0.0;
}

// log(sum exp v) = m + log(s), s the sum of exp(v - m), m the largest term.
// m starts finite (the lowest double), so that a -inf term's exp(v - m) is
// 0, not NaN: a point whose terms are all -inf ends with s = 0 and logP
// -inf; a NaN term makes s NaN. A -inf term changes nothing, bit for bit:
// runs past the last cluster are filled with them.
struct Diagonal_Sum {
  double m = -DBL_MAX;
  double s = 0.0;

  // The run's terms in cluster order. A term whose bits are the run's
  // largest term's (when that raises m) stands in for m: its own exp(0) = 1
  // is not computed, and s's rescaling exp(m - top) takes its place, so
  // every term costs one exp. Ties give the same bits as taking one of them
  // for m and the others' exp(0) = 1; and where no term raises m, a term
  // equal to it gives exp(m - top) = exp(0) = 1 either way. Bits, not ==:
  // an integer compare keeps the FP64 pipe for the exps, and a +0 against
  // a -0 top (m's own) gives exp(0) = 1 either way too.
  template <int C>
  __host__ __device__ __forceinline__ void Add_Run(const double (&v)[C]) {
    double top = m;
    for (int c = 0; c < C; ++c) top = v[c] > top ? v[c] : top;  // false for NaN, which then spoils s
    double w[C], f = 1.0;
    for (int c = 0; c < C; ++c) {
      const bool stands_in = Bits_Of(v[c]) == Bits_Of(top);
      const double e = Exp_Below_Zero((stands_in ? m : v[c]) - top);
      f = stands_in ? e : f;
      w[c] = stands_in ? 1.0 : e;
    }
    // In pairs, then the pairs: a shorter chain than term by term.
    for (int width = 1; width < C; width *= 2)
      for (int c = 0; c + width < C; c += 2 * width) w[c] += w[c + width];
    s = fma(s, f, w[0]);
    m = top;
  }
  // Another partial sum, as if its terms had been added here.
  __host__ __device__ __forceinline__ void Merge(const Diagonal_Sum &o) {
    const bool up = o.m > m;
    const double e = Exp_Below_Zero(up ? m - o.m : o.m - m);
    s = up ? fma(s, e, o.s) : fma(o.s, e, s);
    m = up ? o.m : m;
  }
  // -inf when every term was (no cluster can have produced the point).
  __host__ __device__ __forceinline__ double Value() const { return s == 0.0 ? kMinusInf : m + log(s); }
};

}  // namespace velmora_log
