#include "host_wide.h"

#ifdef __AVX512F__
#include <immintrin.h>
#endif

#include <cstring>

namespace velmora_log::host {

#ifdef __AVX512F__

// Nothing here is shared with the other files: everything the linker
// could take from this file for theirs (an inline function, a template)
// would carry AVX-512 to processors without it. Hence an unnamed
// namespace, and none of host_panels.h's inline functions used.
namespace {

typedef double Octo __attribute__((vector_size(8 * sizeof(double))));

inline Octo Load(const double *from) {
  Octo v;
  std::memcpy(&v, from, sizeof v);
  return v;
}

inline void Store(double *to, Octo v) { std::memcpy(to, &v, sizeof v); }

inline Octo Splat(double w) { return (Octo)_mm512_set1_pd(w); }

inline Octo Fma(Octo a, Octo b, Octo c) {
  return (Octo)_mm512_fmadd_pd((__m512d)a, (__m512d)b, (__m512d)c);
}

// host_panels.cpp's Whiten_Rows, a vector of eight points for one of four.
template <int Q, int R>
inline void Whiten_Rows(const double *W, Index dim, Index a0, const double *d, Octo (&q)[Q]) {
  constexpr int P = 8 * Q;
  Octo y[R][Q] = {};
  for (Index i = 0; i < a0; ++i) {
    Octo a[Q];
    for (int c = 0; c < Q; ++c) a[c] = Load(d + i * P + 8 * c);
    const double *w = W + a0 + i * dim;
    for (int r = 0; r < R; ++r) {
      const Octo b = Splat(w[r]);
      for (int c = 0; c < Q; ++c) y[r][c] = Fma(b, a[c], y[r][c]);
    }
  }
  for (int j = 0; j < R; ++j) {
    Octo a[Q];
    for (int c = 0; c < Q; ++c) a[c] = Load(d + (a0 + j) * P + 8 * c);
    const double *w = W + a0 + (a0 + j) * dim;
    for (int r = j; r < R; ++r) {
      const Octo b = Splat(w[r]);
      for (int c = 0; c < Q; ++c) y[r][c] = Fma(b, a[c], y[r][c]);
    }
  }
  for (int r = 0; r < R; ++r)
    for (int c = 0; c < Q; ++c) q[c] = Fma(y[r][c], y[r][c], q[c]);
}

template <int Q>
void Full_Distances(const double *W, const double *mu, Index dim, const double *x, double *d,
                    double *q, Index p0, Index p1) {
  constexpr int P = 8 * Q;
  static_assert(P <= kWideWhitened, "the centred points fit their scratch");
  for (Index p = p0; p < p1; p += P) {
    for (Index i = 0; i < dim; ++i)
      for (int c = 0; c < Q; ++c)
        Store(d + i * P + 8 * c, Load(x + i * kPanel + p + 8 * c) - Splat(mu[i]));
    Octo s[Q] = {};
    Index a0 = 0;
    for (; a0 + 4 <= dim; a0 += 4) Whiten_Rows<Q, 4>(W, dim, a0, d, s);
    switch (dim - a0) {
      case 3: Whiten_Rows<Q, 3>(W, dim, a0, d, s); break;
      case 2: Whiten_Rows<Q, 2>(W, dim, a0, d, s); break;
      case 1: Whiten_Rows<Q, 1>(W, dim, a0, d, s); break;
      default: break;
    }
    for (int c = 0; c < Q; ++c) Store(q + p + 8 * c, s[c]);
  }
}

}  // namespace

bool Wide_Built() { return true; }

void Full_Distances_Wide(const double *W, const double *mu, Index dim, const double *x,
                         Index width, double *d, double *q) {
  static_assert(kBlock % 8 == 0, "a panel's width is whole vectors of eight");
  const Index wide = width / kWideWhitened * kWideWhitened;
  Full_Distances<3>(W, mu, dim, x, d, q, 0, wide);
  Full_Distances<1>(W, mu, dim, x, d, q, wide, width);
}

#else

bool Wide_Built() { return false; }

void Full_Distances_Wide(const double *W, const double *mu, Index dim, const double *x,
                         Index width, double *d, double *q) {
  Full_Distances_Four(W, mu, dim, x, width, d, q);
}

#endif

}  // namespace velmora_log::host
