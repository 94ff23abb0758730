// Device side of the evaluator: chunk planning, buffers kept from call to
// call, and the fused kernels, in the order reference, kernel, launcher.
#include <cuda_runtime.h>
#include <cublas_v2.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "log_mixture.h"

namespace velmora_log {

namespace {

using Index = std::int64_t;

[[noreturn]] void Device_Failure(const char *what, const std::string &detail) {
  throw Error("Velmora:device", std::string("The device failed ") + what + ": " + detail + ".");
}

void Check(cudaError_t status, const char *what) {
  if (status != cudaSuccess) Device_Failure(what, cudaGetErrorString(status));
}

}  // namespace

// A device allocation that follows its owner.
class Device_Array {
 public:
  Device_Array() = default;
  Device_Array(const Device_Array &) = delete;
  Device_Array &operator=(const Device_Array &) = delete;
  ~Device_Array() { Release(); }

  // Holds at least `count` doubles afterwards; the contents are not kept.
  void Reserve(Index count) {
    if (count <= capacity_) return;
    Release();
    void *p = nullptr;
    const cudaError_t status = cudaMalloc(&p, static_cast<size_t>(count) * sizeof(double));
    if (status != cudaSuccess) {
      cudaGetLastError();  // an allocation failure is not sticky
      throw Error("Velmora:memory", "The device could not allocate " +
                                        std::to_string(count * sizeof(double)) + " bytes.");
    }
    data_ = static_cast<double *>(p);
    capacity_ = count;
  }
  void Release() {
    if (data_ != nullptr) cudaFree(data_);
    data_ = nullptr;
    capacity_ = 0;
  }
  double *get() const { return data_; }
  Index bytes() const { return capacity_ * static_cast<Index>(sizeof(double)); }
  bool Holds(Index count) const { return count <= capacity_; }

 private:
  double *data_ = nullptr;
  Index capacity_ = 0;
};

namespace {

// The running log-sum-exp of one point: log(sum exp v) = m + log(s), with
// m the largest term so far and s the sum of exp(v - m).
constexpr double kMinusInf = -__builtin_huge_val();

struct Log_Sum {
  double m = kMinusInf;
  double s = 0.0;
  __device__ void Add(double v) {
    if (v > m) {
      s = s * exp(m - v) + 1.0;
      m = v;
    } else if (v != kMinusInf) {
      s += exp(v - m);  // a NaN term makes the sum NaN
    }
  }
  // -inf when every term was (no cluster can have produced the point).
  __device__ double Value() const { return s == 0.0 ? kMinusInf : m + log(s); }
};

// Turns the raw log terms of a point, stored in r, into posteriors.
__device__ void Normalise(double *r, Index num_clust, double log_p) {
  for (Index k = 0; k < num_clust; ++k) r[k] = exp(r[k] - log_p);
}

// ---------------------------------------------------------------------------
// Diagonal mode: one thread per point, the point's coordinates resident in
// shared memory when dim fits a tile; cluster means and inverse variances
// staged tile by tile and shared by the block.

constexpr int kPoints = 64;        // threads, and points, per block
constexpr int kDimTile = 64;       // coordinates per tile
constexpr int kClusterTile = 8;    // clusters whose sums a thread keeps at once

struct Diagonal_Args {
  const double *X;        // dim x n
  const double *Mu;       // dim x K
  const double *W;        // dim x K inverse variances
  const double *log_w;    // K
  double *log_p;          // n
  double *R;              // K x n, or null
  Index n, dim, K;
};

__device__ void Load_Points(const Diagonal_Args &a, double (*xs)[kPoints + 1], Index j0,
                            Index d0) {
  // Consecutive threads read consecutive coordinates of one column.
  for (int l = static_cast<int>(threadIdx.x); l < kDimTile * kPoints; l += kPoints) {
    const int i = l % kDimTile, p = l / kDimTile;
    const Index gi = d0 + i, gj = j0 + p;
    xs[i][p] = gi < a.dim && gj < a.n ? a.X[gj * a.dim + gi] : 0.0;
  }
}

__global__ void Log_Diagonal_Kernel(Diagonal_Args a) {
  __shared__ double xs[kDimTile][kPoints + 1];
  __shared__ double mus[kClusterTile][kDimTile];
  __shared__ double ws[kClusterTile][kDimTile];
  const int t = static_cast<int>(threadIdx.x);
  const Index j0 = static_cast<Index>(blockIdx.x) * kPoints, j = j0 + t;
  const bool resident = a.dim <= kDimTile;
  if (resident) Load_Points(a, xs, j0, 0);
  Log_Sum sum;
  for (Index k0 = 0; k0 < a.K; k0 += kClusterTile) {
    double acc[kClusterTile] = {};
    for (Index d0 = 0; d0 < a.dim; d0 += kDimTile) {
      __syncthreads();  // the previous tiles are no longer read
      if (!resident) Load_Points(a, xs, j0, d0);
      for (int l = t; l < kClusterTile * kDimTile; l += kPoints) {
        const int c = l / kDimTile, i = l % kDimTile;
        const Index k = k0 + c, gi = d0 + i;
        const bool in = k < a.K && gi < a.dim;
        mus[c][i] = in ? a.Mu[k * a.dim + gi] : 0.0;
        ws[c][i] = in ? a.W[k * a.dim + gi] : 0.0;
      }
      __syncthreads();
      const int width = a.dim - d0 < kDimTile ? static_cast<int>(a.dim - d0) : kDimTile;
      for (int i = 0; i < width; ++i) {
        const double x = xs[i][t];
        for (int c = 0; c < kClusterTile; ++c) {
          const double d = x - mus[c][i];
          acc[c] += ws[c][i] * (d * d);
        }
      }
    }
    if (j < a.n) {
      for (int c = 0; c < kClusterTile && k0 + c < a.K; ++c) {
        const double v = a.log_w[k0 + c] - 0.5 * acc[c];
        sum.Add(v);
        if (a.R != nullptr) a.R[j * a.K + k0 + c] = v;
      }
    }
  }
  if (j >= a.n) return;
  const double log_p = sum.Value();
  a.log_p[j] = log_p;
  if (a.R != nullptr) Normalise(a.R + j * a.K, a.K, log_p);
}

// ---------------------------------------------------------------------------
// Full mode: Xc = X - c for the chunk (c the mean of the centres, so that
// data far from the origin lose no accuracy), Y = Xc^T W^T per panel by one
// product, then one kernel that forms ||Y_k - b_k||^2 per point and
// cluster, with b_k = W_k (mu_k - c), and log-sum-exps.

constexpr int kThreads = 128;

__global__ void Centre_Kernel(const double *X, const double *c, double *Xc, Index dim,
                              Index n, Index padded) {
  const Index e = static_cast<Index>(blockIdx.x) * kThreads + threadIdx.x;
  if (e >= dim * padded) return;
  const Index i = e % dim, j = e / dim;
  Xc[e] = j < n ? X[e] - c[i] : 0.0;  // padding columns are zero
}

struct Full_Args {
  const double *Y;      // panel x (K*dim): row p is point p's whitened coordinates
  const double *b;      // K*dim whitened centres
  const double *log_w;  // K
  double *log_p;        // the panel's first point
  double *R;            // K x points from the panel's first point, or null
  Index points, panel, dim, K;
};

__global__ void Log_Full_Kernel(Full_Args a) {
  const Index p = static_cast<Index>(blockIdx.x) * kThreads + threadIdx.x;
  if (p >= a.points) return;
  Log_Sum sum;
  for (Index k = 0; k < a.K; ++k) {
    const double *y = a.Y + p + k * a.dim * a.panel;  // consecutive points, consecutive doubles
    const double *b = a.b + k * a.dim;
    double q = 0.0;
    for (Index i = 0; i < a.dim; ++i) {
      const double d = y[i * a.panel] - b[i];
      q += d * d;
    }
    const double v = a.log_w[k] - 0.5 * q;
    sum.Add(v);
    if (a.R != nullptr) a.R[p * a.K + k] = v;
  }
  const double log_p = sum.Value();
  a.log_p[p] = log_p;
  if (a.R != nullptr) Normalise(a.R + p * a.K, a.K, log_p);
}

unsigned int Blocks(Index units, int per_block) {
  return static_cast<unsigned int>((units + per_block - 1) / per_block);
}

template <typename Kernel, typename... Args>
void Launch(Kernel kernel, Index units, int per_block, Args... args) {
  if (units <= 0) return;
  cudaLaunchConfig_t config = {};
  config.gridDim = dim3(Blocks(units, per_block), 1, 1);
  config.blockDim = dim3(static_cast<unsigned int>(per_block), 1, 1);
  Check(cudaLaunchKernelEx(&config, kernel, args...), "to launch a kernel");
}

}  // namespace

struct Evaluator::Impl {
  cublasHandle_t blas = nullptr;
  Device_Array params, X, Xc, Y, log_p, R;
  Index last_chunk = 0;
  Timings timings;

  ~Impl() {
    if (blas != nullptr) cublasDestroy(blas);
  }

  void Upload(Device_Array &to, const double *from, Index count) {
    if (count > 0)
      Check(cudaMemcpy(to.get(), from, static_cast<size_t>(count) * sizeof(double),
                       cudaMemcpyHostToDevice),
            "to copy data to it");
  }
  void Download(double *to, const Device_Array &from, Index count) {
    if (count > 0)
      Check(cudaMemcpy(to, from.get(), static_cast<size_t>(count) * sizeof(double),
                       cudaMemcpyDeviceToHost),
            "to copy results back");
  }

  void Release_All() {
    for (Device_Array *a : {&params, &X, &Xc, &Y, &log_p, &R}) a->Release();
  }
};

Evaluator::Evaluator() : impl_(std::make_unique<Impl>()) {
  int devices = 0;
  const cudaError_t status = cudaGetDeviceCount(&devices);
  if (status != cudaSuccess || devices == 0)
    throw Error("Velmora:device", std::string("No usable CUDA device: ") +
                                      (status != cudaSuccess ? cudaGetErrorString(status)
                                                             : "none found") +
                                      ".");
  if (cublasCreate(&impl_->blas) != CUBLAS_STATUS_SUCCESS)
    throw Error("Velmora:device", "cuBLAS could not be initialised on the device.");
}

Evaluator::~Evaluator() = default;

std::int64_t Evaluator::last_chunk() const { return impl_->last_chunk; }
const Timings &Evaluator::last_timings() const { return impl_->timings; }

void Evaluator::Evaluate(const Problem &p, const Factors &f, const Output &out,
                         const Limits &limits) {
  Impl &m = *impl_;
  const bool full = p.mode == Mode::full;
  const Index dim = p.dim, K = p.num_clust, n = p.num_data;
  const bool want_r = out.posteriors != nullptr;
  if (n == 0) return;

  // Per call: centres, whitening, log-weights and (full) centring point and
  // whitened centres, in one upload.
  std::vector<double> centre(static_cast<size_t>(dim), 0.0), host;
  const Index whitening = static_cast<Index>(f.whitening.size());
  host.reserve(static_cast<size_t>(dim * K + whitening + K + dim + dim * K));
  host.insert(host.end(), p.Mu, p.Mu + dim * K);
  host.insert(host.end(), f.whitening.begin(), f.whitening.end());
  host.insert(host.end(), f.log_weight.begin(), f.log_weight.end());
  if (full) {
    for (Index k = 0; k < K; ++k)
      for (Index i = 0; i < dim; ++i) centre[i] += p.Mu[k * dim + i];
    for (double &c : centre) c /= static_cast<double>(K > 0 ? K : 1);
    host.insert(host.end(), centre.begin(), centre.end());
    // b_k = W_k (mu_k - c); W_k(i, l) is at whitening[l + (k*dim + i)*dim].
    for (Index k = 0; k < K; ++k)
      for (Index i = 0; i < dim; ++i) {
        double v = 0.0;
        for (Index l = 0; l <= i; ++l)
          v += f.whitening[l + (k * dim + i) * dim] * (p.Mu[k * dim + l] - centre[l]);
        host.push_back(v);
      }
  }
  const Index param_count = static_cast<Index>(host.size());

  // The chunk from the free memory, counting what this evaluator holds.
  size_t free_bytes = 0, total_bytes = 0;
  Check(cudaMemGetInfo(&free_bytes, &total_bytes), "to report its free memory");
  Index held = 0;
  for (const Device_Array *a : {&m.params, &m.X, &m.Xc, &m.Y, &m.log_p, &m.R}) held += a->bytes();
  const Index usable = static_cast<Index>((static_cast<double>(free_bytes) + held) * 0.9);
  const Index per_column = (dim + 1 + (want_r ? K : 0) + (full ? dim : 0)) * 8;
  Index panel = full ? std::max<Index>(1, std::min<Index>(2048, n)) : 1;
  // Many large clusters: narrower panels rather than no room for data.
  while (full && panel > 1 && panel * K * dim * 8 > usable / 2) panel /= 2;
  const Index fixed = param_count * 8 + (full ? panel * K * dim * 8 : 0);
  Index chunk = per_column > 0 ? (usable - fixed) / per_column : n;
  if (limits.max_chunk > 0) chunk = std::min(chunk, limits.max_chunk);
  // Sizes handed to cuBLAS and grids stay within 32 bits.
  chunk = std::min({chunk, n, Index{1} << 30});
  if (chunk < 1)
    throw Error("Velmora:memory",
                "Not even one column fits in the device's free memory: the call needs " +
                    std::to_string(fixed + per_column) + " bytes, " +
                    std::to_string(free_bytes) + " are free.");
  if (full) {
    // Whole panels: every product has the same shape, so that the bits of
    // a point do not depend on where the chunks fall.
    if (chunk < panel) panel = chunk;
    else if (chunk < n) chunk -= chunk % panel;
  }
  m.last_chunk = chunk;
  const Index padded = full ? (chunk + panel - 1) / panel * panel : chunk;

  try {
    const std::pair<Device_Array *, Index> needs[] = {
        {&m.params, param_count},       {&m.X, dim * chunk},
        {&m.log_p, chunk},              {&m.R, want_r ? K * chunk : 0},
        {&m.Xc, full ? dim * padded : 0}, {&m.Y, full ? panel * K * dim : 0}};
    // The plan counted what is held as free: when anything must grow,
    // everything is given back first, so that old buffers do not crowd
    // out new ones.
    for (const auto &[array, count] : needs)
      if (!array->Holds(count)) m.Release_All();
    for (const auto &[array, count] : needs) array->Reserve(count);
    m.Upload(m.params, host.data(), param_count);
    const double *d_mu = m.params.get(), *d_w = d_mu + dim * K;
    const double *d_log_w = d_w + whitening, *d_centre = d_log_w + K, *d_b = d_centre + dim;

    for (Index j0 = 0; j0 < n; j0 += chunk) {
      const Index cols = std::min(chunk, n - j0);
      m.Upload(m.X, p.X + j0 * dim, dim * cols);
      double *d_r = want_r ? m.R.get() : nullptr;
      if (!full) {
        Launch(Log_Diagonal_Kernel, cols, kPoints,
               Diagonal_Args{m.X.get(), d_mu, d_w, d_log_w, m.log_p.get(), d_r, cols, dim, K});
      } else {
        const Index panels = (cols + panel - 1) / panel;
        Launch(Centre_Kernel, dim * panels * panel, kThreads, m.X.get(), d_centre, m.Xc.get(),
               dim, cols, panels * panel);
        for (Index q = 0; q < panels; ++q) {
          if (dim > 0 && K > 0) {
            const double one = 1.0, zero = 0.0;
            const cublasStatus_t s =
                cublasDgemm(m.blas, CUBLAS_OP_T, CUBLAS_OP_N, static_cast<int>(panel),
                            static_cast<int>(K * dim), static_cast<int>(dim), &one,
                            m.Xc.get() + q * panel * dim, static_cast<int>(dim), d_w,
                            static_cast<int>(dim), &zero, m.Y.get(), static_cast<int>(panel));
            if (s != CUBLAS_STATUS_SUCCESS)
              Device_Failure("in a matrix product", "cuBLAS status " + std::to_string(s));
          }
          const Index first = q * panel;
          Launch(Log_Full_Kernel, std::min(panel, cols - first), kThreads,
                 Full_Args{m.Y.get(), d_b, d_log_w, m.log_p.get() + first,
                           d_r != nullptr ? d_r + first * K : nullptr,
                           std::min(panel, cols - first), panel, dim, K});
        }
      }
      Check(cudaDeviceSynchronize(), "while evaluating");
      m.Download(out.log_p + j0, m.log_p, cols);
      if (want_r) m.Download(out.posteriors + j0 * K, m.R, K * cols);
    }
  } catch (const Error &) {
    // A failed device holds nothing of ours afterwards; memory that ran
    // short is given back too, so that the session can use it.
    m.Release_All();
    cudaGetLastError();
    throw;
  }
}

}  // namespace velmora_log
