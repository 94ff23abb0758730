// What the EM driver asks of whatever holds the data: the passes over X
// that form the E-step's sufficient statistics and the starts' sums. The
// device (fit_device) is one such holder; every holder sums in units of a
// fixed number of points counted from the first, so its bits depend on the
// data and the unit alone, never on how the points were split.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fit.h"
#include "log_mixture.h"
#include "statistics.h"

namespace velmora_log {

// How a fit holds X: points per reduction unit and per chunk (chunks start
// on unit boundaries), and whether X stays where the passes run.
struct Fit_Plan {
  Index unit = 0, units = 0, chunk = 0;
  bool resident = false;
};

// The data of a fit and what its passes must be ready for.
struct Fit_Data {
  const double *X = nullptr;  // dim x n, column-major, on the host
  Index dim = 0, n = 0, K = 0;
  Mode mode = Mode::full;
  // Per point, finite and >= 0 (null: every point weighs 1). Every sum a
  // pass returns is weighted: N_k = sum w r, the sums and moments w r (x -
  // shift), the log-likelihood sum w logP, the data's moments and the
  // k-means++ distances w d^2.
  const double *weights = nullptr;
  // Posteriors below it count as 0 in the statistics (not in logP).
  double probability_tolerance = 0;
  bool seeding = false;  // k-means++ distances
  bool labels = false;   // a labels start
  Index max_chunk = 0;   // points per chunk at most (tests); 0: memory decides
  bool stream = false;   // stream X in chunks even where it fits (tests)
  // The E-step and the statistics in kernels of their own even where one
  // kernel takes both (to compare the two).
  bool separate_kernels = false;
  // The index of X's first point among all the data, a multiple of
  // kTreeLeaf where X is one block of them (a worker's); with `partial`,
  // the passes return their tree's nodes (Unit_Tree::Nodes) rather than
  // totals, for the caller to combine with the other blocks'. Host engine
  // only.
  Index first = 0;
  bool partial = false;
  // Asked from the calling thread between the waves of a pass that has
  // several (host engine): true ends the pass with Pass_Interrupted.
  std::function<bool()> interrupted;
};

// A pass that `interrupted` stopped: the fit names the iteration it was in.
struct Pass_Interrupted : std::exception {
  const char *what() const noexcept override { return "a pass was interrupted"; }
};

// Points per leaf of the host engine's reduction tree (unit_tree.h): the
// alignment of the blocks a fit over many workers splits the data into.
constexpr Index kTreeLeaf = 512;

class Fit_Passes {
 public:
  virtual ~Fit_Passes() = default;

  virtual const Fit_Plan &plan() const = 0;
  virtual const Stat_Layout &layout() const = 0;

  // The mixture the next pass evaluates: centres, whitening and
  // log-weights.
  virtual void Set_Mixture(const std::vector<double> &mu, const Factors &f) = 0;

  // One E-step over all points under the mixture set: the statistics
  // (Stat_Layout's record) about `shift` (dim x K; empty: the mixture's
  // centres) and the log-likelihood, or the log-likelihood alone.
  virtual std::vector<double> Pass(bool statistics, const std::vector<double> &shift) = 0;

  // The statistics of a hard assignment (labels 0..K-1 per point) about
  // `shift` (dim x K), without the log-likelihood.
  virtual std::vector<double> Label_Pass(const std::vector<double> &labels,
                                         const std::vector<double> &shift) = 0;

  // Count, sums of (x - shift) and their squares over all points (1 + 2 dim
  // values): what the data's variance comes from.
  virtual std::vector<double> Data_Moments(const double *shift) = 0;

  // k-means++: distances to `centre` folded into the nearest-centre
  // distances (set by the first); returns their sums per unit.
  virtual std::vector<double> Distance_Pass(const double *centre, bool first) = 0;
  // k-means++'s centres so far (dim x m) set at once, their distances not
  // yet found: the next Distance_Pass finds them with its own centre's.
  virtual void Seed_Centres(const std::vector<double> &centres) = 0;
  // The nearest-centre distances of points first .. first + count, at most
  // a unit of them.
  virtual std::vector<double> Distances(Index first, Index count) = 0;

  // Point j (dim values).
  virtual std::vector<double> Point(Index j) = 0;
  // The first point of positive weight whose density is 0 under every
  // cluster of the mixture set (its log-density -Inf), or -1.
  virtual Index First_Lost() = 0;
  // Said after each iteration's line of Display 'iter' (where the passes
  // ran and how long): empty for a holder in this process.
  virtual std::string Note() { return {}; }
};

// What X is held by for a fit: a holder of its own (a device, the host
// engine), or one that reaches blocks of X held elsewhere.
using Passes_Maker = std::function<std::unique_ptr<Fit_Passes>(const Fit_Data &)>;

// The fit of fit.h over X held by what `make` makes (X may be null where
// the holder reaches it elsewhere).
Fit_Result Fit(const Passes_Maker &make, const double *X, std::int64_t dim, std::int64_t n,
               std::int64_t K, const Fit_Options &options);

// Point j of a holder's X, and the first lost point under a mixture (the
// driver's centres and factors), for holders that keep X on the host.
std::vector<double> Point_Of(const Fit_Data &data, Index j);
Index First_Lost_Point(const Fit_Data &data, const std::vector<double> &mu, const Factors &f);

// The holder that runs the passes on the device.
std::unique_ptr<Fit_Passes> Make_Device_Passes(const Fit_Data &data);
// The host engine's: X read where it lies, panels of points over the
// host's cores (host_fit.cpp).
std::unique_ptr<Fit_Passes> Make_Host_Passes(const Fit_Data &data);

}  // namespace velmora_log
