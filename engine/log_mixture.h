// The log-domain mixture evaluator behind VelmoraLog: log-densities and
// posteriors of a Gaussian mixture for every column of X, in column chunks
// sized from the device's free memory, one fused pass over each chunk.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora_log {

enum class Mode { diagonal, full };

// What runs a problem: the host engine (BLAS on panels of points, on the
// host's cores) or the device (a GPU, or the CPU device that runs the CUDA
// kernels on the CPU, whichever this build was made for).
enum class Engine { host, device };

// How points lie in X and posteriors in R: one per column (X dim x
// num_data, R num_clust x num_data), or one per row, as statistics
// toolboxes keep them (X num_data x dim, R num_data x num_clust).
enum class Layout { columns, rows };

// What a caller asks for. All arrays are column-major doubles on the host.
struct Problem {
  std::int64_t dim = 0, num_data = 0, num_clust = 0;
  Mode mode = Mode::diagonal;
  const double *X = nullptr;      // dim x num_data (or num_data x dim, see layout)
  const double *Mu = nullptr;     // dim x num_clust
  const double *Sigma = nullptr;  // dim x num_clust variances, or num_clust dim x dim blocks
  const double *Pi = nullptr;     // num_clust priors
  Layout layout = Layout::columns;
};

struct Output {
  double *log_p = nullptr;       // num_data log-densities
  double *posteriors = nullptr;  // num_clust x num_data (or its transpose), or null
};

// Points per chunk at most; 0 lets free memory decide. Results do not
// depend on the chunk, bit for bit. `interrupted` (a user's Ctrl-C, say)
// is asked from the calling thread between chunks on the device and
// between panels on the host engine, never before the first: true ends
// the call with Velmora:interrupted (Evaluation_Interrupted), the outputs
// part written.
struct Limits {
  std::int64_t max_chunk = 0;
  std::function<bool()> interrupted;
};

// Where the last call's time went, in seconds. Upload, device and download
// are sums over chunks, measured by device events; chunks overlap, so the
// parts may add up to more than the whole.
struct Timings {
  double prepare = 0;   // parameters packed and uploaded, buffers planned
  double staging = 0;   // host threads copying X into page-locked buffers
  double upload = 0;    // X's chunks, host to device
  double device = 0;    // the kernels
  double download = 0;  // logP and R back to the host
  double total = 0;     // the whole Evaluate call
  std::int64_t chunks = 0;
};

// A value as MATLAB users read it in a message; `digits` enough to tell
// near values apart.
std::string Number(double v, int digits = 6);

// A problem the caller can fix, or a device that failed: `id` is the
// MATLAB identifier ("Velmora:covariance", ...).
class Error : public std::runtime_error {
 public:
  Error(std::string id, const std::string &message)
      : std::runtime_error(message), id_(std::move(id)) {}
  const std::string &id() const { return id_; }

 private:
  std::string id_;
};

// Whether an optional `interrupted` (Limits', a fit's) says so.
inline bool Asked(const std::function<bool()> &interrupted) {
  return interrupted && interrupted();
}

inline Error Evaluation_Interrupted() {
  return Error("Velmora:interrupted", "The evaluation was interrupted; it returns nothing.");
}

// Per cluster, what the device needs: the log of the prior plus the
// Gaussian's log-normaliser, and the whitening of its covariance (inverse
// variances in diagonal mode; the inverse of the lower Cholesky factor in
// full mode, as rows of a dim x (num_clust*dim) matrix W^T).
struct Factors {
  std::vector<double> log_weight;  // num_clust
  std::vector<double> whitening;   // dim x num_clust, or dim x (num_clust*dim)
};

// Checks priors and covariances and factors every covariance, in parallel
// across clusters; throws Error naming the first bad cluster (1-based).
Factors Factorise(const Problem &problem);

class Host_Evaluator;

// Evaluates problems on the device, keeping its buffers from call to call
// (they are released with the evaluator), or on the host engine.
class Evaluator {
 public:
  explicit Evaluator(Engine engine = Engine::device);
  ~Evaluator();
  Evaluator(const Evaluator &) = delete;
  Evaluator &operator=(const Evaluator &) = delete;

  // `factors` are Factorise(problem)'s.
  void Evaluate(const Problem &problem, const Factors &factors, const Output &output,
                const Limits &limits = {});

  // Points per chunk of the last call, and where its time went, for tests
  // and the benchmark.
  std::int64_t last_chunk() const;
  const Timings &last_timings() const;
  Engine engine() const { return host_ ? Engine::host : Engine::device; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::unique_ptr<Host_Evaluator> host_;
};

}  // namespace velmora_log
