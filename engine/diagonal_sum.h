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

#include "kernels.h"
#include "log_sum.h"

namespace velmora_log {

// log(sum exp v) = m + log(s), s the sum of exp(v - m), m the largest term.
// m starts finite (the lowest double), so that a -inf term's exp(v - m) is
// 0, not NaN: a point whose terms are all -inf ends with s = 0 and logP
// -inf; a NaN term makes s NaN. A -inf term changes nothing, bit for bit:
// runs past the last cluster are filled with them.
struct Diagonal_Sum {
  double m = -DBL_MAX;
  double s = 0.0;

  // The larger of m and the run's largest term (a NaN term is passed over,
  // and then spoils s).
  template <int C>
  __host__ __device__ __forceinline__ double Top(const double (&v)[C]) const {
    double top = m;
    for (int c = 0; c < C; ++c) top = v[c] > top ? v[c] : top;
    return top;
  }

  // In pairs, then the pairs: a shorter chain than term by term.
  template <int C>
  __host__ __device__ __forceinline__ static double Pair_Sum(double (&w)[C]) {
    for (int width = 1; width < C; width *= 2)
      for (int c = 0; c + width < C; c += 2 * width) w[c] += w[c + width];
    return w[0];
  }

  // The run's terms in cluster order. A term whose bits are the run's
  // largest term's (when that raises m) stands in for m: its own exp(0) = 1
  // is not computed, and s's rescaling exp(m - top) takes its place, so
  // every term costs one exp. Ties give the same bits as taking one of them
  // for m and the others' exp(0) = 1; and where no term raises m, a term
  // equal to it gives exp(m - top) = exp(0) = 1 either way. Bits, not ==:
  // an integer compare keeps the FP64 pipe for the exps, and a +0 against
  // a -0 top (m's own) gives exp(0) = 1 either way too. A +inf term is the
  // one input where this differs from taking a single tie for m: two of them
  // both stand in (s finite, logP +inf), where the other's exp(inf - inf)
  // made s NaN. No term is +inf: it is at most its log-weight, finite for
  // every mixture the library accepts (finite priors, variances above 0).
  template <int C>
  __host__ __device__ __forceinline__ void Add_Run(const double (&v)[C]) {
    const double top = Top(v);
    double w[C], f = 1.0;
    for (int c = 0; c < C; ++c) {
      const bool stands_in = Bits_Of(v[c]) == Bits_Of(top);
      const double e = Exp_Below_Zero((stands_in ? m : v[c]) - top);
      f = stands_in ? e : f;
      w[c] = stands_in ? 1.0 : e;
    }
    s = fma(s, f, Pair_Sum(w));
    m = top;
  }
  // A new sum's first run: what Add_Run gives, without the stand-ins. The
  // s it would rescale is 0, and fma(0, f, w) is w for the finite f it
  // takes, so every term's own exp serves, and a top term's is exp(0) = 1.
  template <int C>
  __host__ __device__ __forceinline__ static Diagonal_Sum Of_Run(const double (&v)[C]) {
    Diagonal_Sum sum;
    const double top = sum.Top(v);
    double w[C];
    for (int c = 0; c < C; ++c) w[c] = Exp_Below_Zero(v[c] - top);
    sum.s = Pair_Sum(w);
    sum.m = top;
    return sum;
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
  __host__ __device__ __forceinline__ Posterior_Shift Shift() const { return {m, log(s)}; }
};

}  // namespace velmora_log
