// The host engine's building blocks: panels of a fixed number of points,
// held coordinate by coordinate (a coordinate's values for the panel's
// points side by side, so that loops over points vectorise), each cluster's
// log terms over a panel, and the log-sum-exp of a panel's points.
//
// A panel holds kPanel points' room; its loops cover its width (kPanel,
// or a few points' whole blocks), the points past the data zero. A point's
// arithmetic is the same sequence of operations wherever it sits in its
// panel and whatever the width, so its bits depend on the point and the
// mixture alone. Sums over a panel's points (the fit's, over whole panels)
// run in kLanes interleaved lanes, folded in a fixed order.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#ifdef __AVX__
#include <immintrin.h>
#endif

namespace velmora_log::host {

using Index = std::int64_t;

constexpr Index kPanel = 256;
constexpr Index kLanes = 8;
static_assert(kPanel % kLanes == 0, "whole lanes in a panel");
// A narrow panel's width is a whole number of these: the diagonal
// distances take eight points at a time, the full ones three vectors' lanes
// (twelve or 24), then a vector's.
constexpr Index kBlock = 8;
// The most points full mode's whitening centres at a time (three vectors
// of eight): Panel_Work::d holds them.
constexpr Index kWhitenedAtOnce = 24;
static_assert(kPanel % kBlock == 0 && kBlock % 4 == 0, "whole blocks in a panel");

// Threads of our own: OPENBLAS_NUM_THREADS, else OMP_NUM_THREADS, else the
// host's cores.
Index Threads();

// A mixture as the panels read it: centres dim x K, whitening (inverse
// standard deviations dim x K, or K lower triangular inverse Cholesky
// factors dim x dim, column-major) and log-weights.
struct Panel_Mixture {
  Index dim = 0, K = 0;
  bool full = false;
  const double *mu = nullptr, *whitening = nullptr, *log_w = nullptr;
};

// A panel's scratch, kept by a thread from panel to panel.
struct Panel_Work {
  // The points that the panel's loops cover: kPanel, or for a call of a few
  // points those rounded up to whole blocks of kBlock. A point's arithmetic
  // is the same for every width.
  Index width = kPanel;
  std::vector<double> x;      // dim x kPanel: coordinate i of point p at x[i * kPanel + p]
  std::vector<double> d;      // dim x kWhitenedAtOnce: points centred, in full mode
  std::vector<double> terms;  // K x kPanel log terms, then exp(term - max)
  std::vector<double> top, sum, log_p;  // kPanel each
  void Reserve(Index dim, Index K);
};

// Points first .. first + count of X into w.x, zeros after them up to the
// panel's width: kPanel, or with `narrow` count rounded up to kBlock (the
// evaluator's; the fit's sums run over whole panels). X holds point j's
// coordinate i at X[j * point_stride + i * coord_stride].
void Load_Panel(const double *X, Index point_stride, Index coord_stride, Index dim, Index first,
                Index count, Panel_Work &w, bool narrow = false);

// terms(k, p) = log_w[k] - q / 2 with q the squared whitened distance of
// point p from centre k: the centre subtracted first, then whitened
// (by the triangular factor in full mode) and squared.
// A q that overflowed to NaN is infinite.
void Log_Terms(const Panel_Mixture &m, Panel_Work &w);

// Per point: log_p = log sum_k exp(terms(k, p)), and with `posteriors`
// terms(k, p) becomes the posterior exp(term - max) / sum (without, the
// terms are left as they were: the division is a third of the work). A
// point whose every term is -inf gets -inf and NaN posteriors (points with
// a NaN or infinite coordinate are the caller's to mark).
void Log_Sum_Exp(Index K, bool posteriors, Panel_Work &w);

// sum over the panel's points of a[p] * b[p], in lanes folded in order.
double Lane_Dot(const double *a, const double *b);

// kLanes consecutive points' values, for sums in lanes: two vectors of
// four, which AVX2 holds in two registers (a single vector of eight makes
// the compiler spill it to the stack at every step).
typedef double Quad __attribute__((vector_size(4 * sizeof(double))));
static_assert(kLanes == 8, "Lanes holds two Quads");

struct Lanes {
  Quad lo = {}, hi = {};
  double operator[](int i) const { return i < 4 ? lo[i] : hi[i - 4]; }
  Lanes &operator+=(const Lanes &b) {
    lo += b.lo;
    hi += b.hi;
    return *this;
  }
};

inline Lanes operator+(const Lanes &a, const Lanes &b) { return {a.lo + b.lo, a.hi + b.hi}; }
inline Lanes operator*(const Lanes &a, const Lanes &b) { return {a.lo * b.lo, a.hi * b.hi}; }
inline Lanes operator*(const Lanes &a, double b) { return {a.lo * b, a.hi * b}; }
inline Lanes operator-(const Lanes &a, double b) { return {a.lo - b, a.hi - b}; }

inline Quad Load_Quad(const double *from) {
  Quad v;
  __builtin_memcpy(&v, from, sizeof v);
  return v;
}

inline void Store_Quad(double *to, Quad v) { __builtin_memcpy(to, &v, sizeof v); }

// a * b + c rounded once, four at a time.
inline Quad Fma(Quad a, Quad b, Quad c) {
#ifdef __FMA__
  return (Quad)_mm256_fmadd_pd((__m256d)a, (__m256d)b, (__m256d)c);
#else
  return Quad{std::fma(a[0], b[0], c[0]), std::fma(a[1], b[1], c[1]), std::fma(a[2], b[2], c[2]),
              std::fma(a[3], b[3], c[3])};
#endif
}

inline Lanes Load_Lanes(const double *from) { return {Load_Quad(from), Load_Quad(from + 4)}; }

inline void Store_Lanes(double *to, const Lanes &v) {
  Store_Quad(to, v.lo);
  Store_Quad(to + 4, v.hi);
}

// Folds kLanes partial sums in a fixed order.
template <typename Acc>
inline double Fold(const Acc &acc) {
  return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

}  // namespace velmora_log::host
