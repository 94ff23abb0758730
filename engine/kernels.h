// The kernel families of the evaluator, as the chunk driver (and the fit)
// enqueue them. Every launcher only enqueues work on its stream; a point's
// results depend on the point and the mixture alone, never on how many
// points a launch covers or where they sit in X.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

namespace velmora_log {

using Index = std::int64_t;

// A mixture as the kernels read it, in device memory.
struct Device_Mixture {
  Index dim = 0, K = 0;
  const double *mu = nullptr;         // dim x K
  // Diagonal mode: dim x K inverse standard deviations. Full mode: K blocks
  // of dim x dim, column-major, each the inverse W_k of the lower Cholesky
  // factor of Sigma_k (zero above the diagonal), so that
  // (x - mu)' Sigma_k^-1 (x - mu) = ||W_k (x - mu)||^2.
  const double *whitening = nullptr;
  const double *log_w = nullptr;      // K: log Pi_k - log det(Sigma_k)/2 - dim log(2 pi)/2
};

// Points on the device: coordinate i of point j at X[j * point_stride +
// i * coord_stride] (dim x count: strides dim and 1; count x dim: 1 and count).
struct Device_Points {
  const double *X = nullptr;
  Index count = 0, point_stride = 0, coord_stride = 1;
};

// logP for each point, and optionally the posteriors: R(k, j) at
// R[j * point_stride + k * cluster_stride]. Where R receives raw log terms
// (the diagonal launcher's `raw_terms`), `shift`, if given, receives each
// point's Posterior_Shift (top, log_sum) at 2j, 2j + 1.
struct Device_Results {
  double *log_p = nullptr;
  double *R = nullptr;
  Index point_stride = 0, cluster_stride = 1;
  double *shift = nullptr;
};

// Diagonal mode sums a point's log terms in four groups, cluster k in group
// (k / 4) % 4, merged in group order; whatever must give the diagonal
// evaluator's bits groups them so.
constexpr int kDiagonalGroups = 4, kDiagonalRun = 4;
__host__ __device__ inline int Diagonal_Group(Index k) {
  return static_cast<int>(k / kDiagonalRun % kDiagonalGroups);
}

// A point with a NaN coordinate gets NaN logP; one with an infinite (and no
// NaN) coordinate gets -Inf, as its density is 0; the posteriors of both are
// NaN. Other points are not affected.
// With `raw_terms`, R receives each point's log terms log w_k - q_k / 2
// unnormalised, in the one sweep that forms logP: for a consumer that
// normalises them itself (the Posterior_Shift in out.shift gives the
// posteriors' bits), where a second sweep would cost as much again.
void Launch_Diagonal(const Device_Mixture &m, const Device_Points &x, const Device_Results &out,
                     cudaStream_t stream, bool raw_terms = false);

// Whether full mode's kernel runs on the FP64 tensor cores of the current
// device: compute capability 8.0 or later, unless VELMORA_TENSOR_CORES is
// off (or 0, or false), which keeps it on the CUDA cores.
bool Tensor_Cores();

// The tensor cores' instruction, chained twice, on `warps` warps'
// fragments (device memory; a and b: 2 x 32 warps, c and d: 64 warps,
// Mma_Probe_Kernel in full.cu): what a GPU's arithmetic is, against the
// fused multiply-adds the kernels' references follow. Only where
// Tensor_Cores().
void Launch_Mma_Probe(const double *a, const double *b, const double *c, double *d, Index warps,
                      cudaStream_t stream);

// Doubles of device workspace that Launch_Full needs for `count` points.
Index Full_Workspace(Index dim, Index K, Index count);
void Launch_Full(const Device_Mixture &m, const Device_Points &x, const Device_Results &out,
                 double *workspace, cudaStream_t stream);

// Plain-loop references of one point's logP on the host (arrays in host
// memory), in each kernel's order of operations: on the CPU device the
// kernels give the same bits; on a GPU, log (libdevice's) may differ by an
// ulp. The exp is the engine's own (Exp_Below_Zero), the same bits on both.
// Full mode's order depends on whether its kernel runs on the tensor cores
// (Tensor_Cores()).
double Reference_Diagonal(const Device_Mixture &m, const Device_Points &x, Index j);
double Reference_Full(const Device_Mixture &m, const Device_Points &x, Index j, bool tensor);

}  // namespace velmora_log
