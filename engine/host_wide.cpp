#include "host_wide.h"

#ifdef __AVX512F__
#include <immintrin.h>
#endif

#include <cstring>

#include "host_exp.h"
#include "host_whiten.h"

namespace velmora_log::host {

#ifdef __AVX512F__

// Nothing here is shared with the other files: everything the linker
// could take from this file for theirs (an inline function, a template)
// would carry AVX-512 to processors without it. Hence an unnamed
// namespace, and none of host_panels.h's inline functions used.
namespace {

typedef double Octo __attribute__((vector_size(8 * sizeof(double))));

struct Eight_Lanes {
  using V = Octo;
  typedef long long Bits __attribute__((vector_size(8 * sizeof(long long))));
  static constexpr int kCount = 8;
  static V Load(const double *from) {
    V v;
    std::memcpy(&v, from, sizeof v);
    return v;
  }
  static void Store(double *to, V v) { std::memcpy(to, &v, sizeof v); }
  static V Splat(double w) { return (V)_mm512_set1_pd(w); }
  static V Fma(V a, V b, V c) { return (V)_mm512_fmadd_pd((__m512d)a, (__m512d)b, (__m512d)c); }
};

}  // namespace

bool Wide_Built() { return true; }

void Full_Distances_Wide(const double *W, const double *mu, Index dim, const double *x,
                         Index width, double *d, double *q) {
  Whiten_Panel<Eight_Lanes>(W, mu, dim, x, width, d, q);
}

void Exp_Terms_Wide(Index K, bool posteriors, Index width, double *terms, const double *top,
                    double *sum) {
  Exp_Terms<Eight_Lanes>(K, posteriors, width, terms, top, sum);
}

#else

bool Wide_Built() { return false; }

void Full_Distances_Wide(const double *W, const double *mu, Index dim, const double *x,
                         Index width, double *d, double *q) {
  Full_Distances_Four(W, mu, dim, x, width, d, q);
}

void Exp_Terms_Wide(Index K, bool posteriors, Index width, double *terms, const double *top,
                    double *sum) {
  Exp_Terms_Four(K, posteriors, width, terms, top, sum);
}

#endif

}  // namespace velmora_log::host
