// VelmoraFit's engine: a Gaussian mixture fitted by EM on the device. Each
// iteration makes one pass over X: the E-step's kernels give the
// posteriors, which stay on the device, and the statistics kernels reduce
// them with X to the M-step's sufficient statistics in a fixed order. The
// M-step and the factorisations run on the host, in parallel across
// clusters. X stays on the device when it fits; otherwise it is streamed
// in chunks every iteration.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "log_mixture.h"

namespace velmora_log {

enum class Start { plus, rand_sample, labels, parameters };
enum class Display { off, iter, final };

struct Fit_Options {
  Mode mode = Mode::full;
  bool shared = false;          // one covariance for every cluster
  double regularization = 1e-6;  // added to every variance the M-step forms
  Start start = Start::plus;
  std::vector<double> labels;          // Start::labels: num_data values 0 .. K-1
  std::vector<double> mu, sigma, pi;   // Start::parameters, in the model's layout
  std::int64_t replicates = 1;
  std::int64_t max_iter = 100;
  double tol_fun = 1e-6;  // per point (per unit of weight); 0 runs max_iter iterations
  // fitgmdist's rule instead: stop once an iteration raises the
  // log-likelihood by at most tol_fun x max(1, |log-likelihood|) (0: once
  // it no longer rises).
  bool relative_tol_fun = false;
  // Per point, finite and >= 0, at least K of them positive (empty: 1
  // each): every statistic and the log-likelihood are weighted, so that
  // whole weights fit the data with each point repeated that many times.
  std::vector<double> weights;
  // Posteriors below it count as 0 in the M-step's statistics.
  double probability_tolerance = 0;
  Display display = Display::off;
  std::uint64_t seed = 0;
  std::int64_t max_chunk = 0;  // points per chunk at most (tests); 0: free memory decides
  bool stream = false;         // stream X in chunks even where it fits (tests)
  // The E-step and the statistics in kernels of their own even where one
  // kernel takes both (benchmarks, tests).
  bool separate_kernels = false;
  // The device (a GPU or the CPU device) or the host engine.
  Engine engine = Engine::device;
  // Where Display's lines go, from the calling thread.
  std::function<void(const std::string &)> print;
  // Asked from the calling thread before each replicate, between
  // k-means++'s passes, before each iteration, and on the host engine
  // between the waves of a pass (about 16384 points a thread): true (a
  // user's Ctrl-C, say) ends the fit with Velmora:interrupted and no
  // result.
  std::function<bool()> interrupted;
};

// A mixture: Mu dim x K, Sigma dim x K (diagonal) or K blocks dim x dim
// (full), Pi 1 x K.
struct Model {
  std::vector<double> mu, sigma, pi;
};

struct Fit_Result {
  Model model;
  Model start;                   // the kept replicate's first E-step parameters
  double log_likelihood = 0;     // of the data under `model`
  std::vector<double> history;   // per iteration, under the parameters entering it
  std::int64_t iterations = 0;
  bool converged = false;
  std::int64_t replicate = 0;    // 1-based, the one kept
  // Passes taken again about new means that moved far from the old ones
  // against their covariances (in the kept replicate, its start included).
  std::int64_t extra_passes = 0;
  double bic = 0, aic = 0;
  // How the data were held: on the device for the whole fit, or streamed
  // every pass; points per chunk and per reduction unit.
  bool resident = false;
  std::int64_t chunk = 0, unit = 0;
  double seconds_per_iteration = 0;  // wall time of the EM loop over its iterations
};

// Fits K clusters to X (dim x num_data, column-major, host). Throws Error:
// Velmora:fit when a cluster loses its points or its covariance stops being
// positive definite (with replicates, only when every replicate fails),
// Velmora:data for a non-finite X, Velmora:covariance and Velmora:priors
// for a bad start, Velmora:memory and Velmora:device. Nothing stays
// allocated after it returns or throws.
Fit_Result Fit(const double *X, std::int64_t dim, std::int64_t num_data, std::int64_t K,
               const Fit_Options &options);

// The M-step's sufficient statistics of points under a mixture: per
// cluster, N_k = sum_j r_jk, the weighted sums of (x_j - Mu_k) and the
// weighted second moments about Mu_k (diagonal: dim per cluster; full: the
// upper triangle, column by column), and the log-likelihood. Statistics of
// column blocks of X add.
struct Statistics {
  std::int64_t dim = 0, K = 0;
  Mode mode = Mode::diagonal;
  std::vector<double> weight, sum, second;
  double log_likelihood = 0;

  void Add(const Statistics &other);
};

Statistics Compute_Statistics(const Problem &problem, std::int64_t max_chunk = 0,
                              Engine engine = Engine::device);

// Free parameters of a model, for BIC and AIC.
std::int64_t Free_Parameters(std::int64_t dim, std::int64_t K, Mode mode, bool shared);

}  // namespace velmora_log
