// The log-domain mixture evaluator behind VelmoraLog: log-densities and
// posteriors of a Gaussian mixture for every column of X, in column chunks
// sized from the device's free memory, one fused pass over each chunk.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora_log {

enum class Mode { diagonal, full };

// What a caller asks for. All arrays are column-major doubles on the host.
struct Problem {
  std::int64_t dim = 0, num_data = 0, num_clust = 0;
  Mode mode = Mode::diagonal;
  const double *X = nullptr;      // dim x num_data
  const double *Mu = nullptr;     // dim x num_clust
  const double *Sigma = nullptr;  // dim x num_clust variances, or num_clust dim x dim blocks
  const double *Pi = nullptr;     // num_clust priors
};

struct Output {
  double *log_p = nullptr;       // num_data log-densities
  double *posteriors = nullptr;  // num_clust x num_data, or null when not wanted
};

// Columns per chunk and per product panel; 0 lets free memory decide the
// chunk. Results do not depend on the chunk; in full mode chunks are whole
// panels, so that every product has the same shape.
struct Limits {
  std::int64_t max_chunk = 0;
  std::int64_t panel = 2048;
};

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

// Evaluates problems on the device, keeping its buffers from call to call;
// they are released with the evaluator.
class Evaluator {
 public:
  Evaluator();
  ~Evaluator();
  Evaluator(const Evaluator &) = delete;
  Evaluator &operator=(const Evaluator &) = delete;

  // `factors` are Factorise(problem)'s.
  void Evaluate(const Problem &problem, const Factors &factors, const Output &output,
                const Limits &limits = {});

  // Columns per chunk of the last call, for tests and the benchmark.
  std::int64_t last_chunk() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora_log
