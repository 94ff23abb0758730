// EM: the starts, the M-step and the factorisations on the host, the
// iterations and the replicates, over the passes of fit_device.
#include "fit.h"

#include <cuda_runtime.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>
#include <queue>
#include <random>
#include <string>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "device.h"
#include "fit_passes.h"
#include "parallel.h"
#include "statistics.h"

namespace velmora_log {

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}


std::string Text(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Text(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

[[noreturn]] void Fit_Failure(const std::string &message) { throw Error("Velmora:fit", message); }

std::string When(Index iteration) {
  return iteration == 0 ? std::string("at the start") : "at iteration " + std::to_string(iteration);
}

Statistics Unpack(const std::vector<double> &totals, const Stat_Layout &layout) {
  Statistics st;
  st.dim = layout.dim;
  st.K = layout.K;
  st.mode = layout.full ? Mode::full : Mode::diagonal;
  const Index dim = layout.dim, second = layout.Second(), pc = layout.Per_Cluster();
  st.weight.resize(static_cast<size_t>(layout.K));
  st.sum.resize(static_cast<size_t>(dim * layout.K));
  st.second.resize(static_cast<size_t>(second * layout.K));
  for (Index k = 0; k < layout.K; ++k) {
    const double *record = totals.data() + k * pc;
    st.weight[k] = record[0];
    std::copy(record + 1, record + 1 + dim, st.sum.begin() + k * dim);
    std::copy(record + 1 + dim, record + pc, st.second.begin() + k * second);
  }
  st.log_likelihood = totals.size() > static_cast<size_t>(layout.Log_Likelihood())
                          ? totals[layout.Log_Likelihood()]
                          : 0.0;
  return st;
}

// The M-step: new centres, covariances about them (from the moments about
// the shift: M/N - d d', d the mean's offset from the shift) with the
// regularisation on every variance, and priors.
Model M_Step(const Statistics &st, const std::vector<double> &shift, double reg, bool shared,
             Index iteration) {
  const Index dim = st.dim, K = st.K;
  const bool full = st.mode == Mode::full;
  const Index block = full ? dim * dim : dim, second = full ? dim * (dim + 1) / 2 : dim;
  double total = 0.0;
  for (Index k = 0; k < K; ++k) total += st.weight[k];
  for (Index k = 0; k < K; ++k)
    if (!(st.weight[k] >= total * std::numeric_limits<double>::epsilon()))
      Fit_Failure(Text("Cluster %lld lost its points %s: its posterior weights sum to %s of %s.",
                       static_cast<long long>(k + 1), When(iteration).c_str(),
                       Number(st.weight[k]).c_str(), Number(total).c_str()));
  Model m;
  m.mu.resize(static_cast<size_t>(dim * K));
  m.sigma.resize(static_cast<size_t>(block * K));
  m.pi.resize(static_cast<size_t>(K));
  Parallel_For(K, static_cast<double>(block), [&](Index k) {
    const double n = st.weight[k];
    const double *s = &st.sum[k * dim], *M = &st.second[k * second];
    double *mu = &m.mu[k * dim], *sigma = &m.sigma[k * block];
    std::vector<double> d(static_cast<size_t>(dim));
    for (Index i = 0; i < dim; ++i) {
      d[i] = s[i] / n;
      mu[i] = shift[k * dim + i] + d[i];
    }
    const double add = shared ? 0.0 : reg;
    if (full) {
      for (Index b = 0; b < dim; ++b)
        for (Index a = 0; a <= b; ++a) {
          const double c = M[b * (b + 1) / 2 + a] / n - d[a] * d[b] + (a == b ? add : 0.0);
          sigma[a + b * dim] = sigma[b + a * dim] = c;
        }
    } else {
      for (Index i = 0; i < dim; ++i) sigma[i] = M[i] / n - d[i] * d[i] + add;
    }
    m.pi[k] = n / total;
  });
  if (shared) {
    // The clusters' covariances pooled by weight, in cluster order.
    std::vector<double> pooled(static_cast<size_t>(block), 0.0);
    for (Index k = 0; k < K; ++k)
      for (Index e = 0; e < block; ++e) pooled[e] += st.weight[k] * m.sigma[k * block + e];
    for (Index e = 0; e < block; ++e) pooled[e] /= total;
    for (Index i = 0; i < dim; ++i) pooled[full ? i + i * dim : i] += reg;
    for (Index k = 0; k < K; ++k) std::copy(pooled.begin(), pooled.end(), m.sigma.begin() + k * block);
  }
  return m;
}

// Factors of a model: each covariance factored on its own, in parallel,
// or the first alone where every cluster has its bits (a shared fit's
// M-step; a shared fit's start may hold K different ones, each of which
// its first E-step uses as given). `bad` is the first cluster whose
// covariance is not positive definite (0-based), or -1; `one`, whether a
// single covariance served every cluster.
struct Factored {
  Factors f;
  Index bad = -1;
  bool one = false;
};

Factored Try_Factor(const Model &m, Index dim, Index K, Mode mode, bool shared) {
  const bool full = mode == Mode::full;
  const Index block = full ? dim * dim : dim;
  Factored out;
  out.one = shared;
  for (Index k = 1; out.one && k < K; ++k)
    out.one = std::memcmp(m.sigma.data(), m.sigma.data() + k * block,
                          static_cast<size_t>(block) * sizeof(double)) == 0;
  const Index distinct = out.one ? 1 : K;
  Factors &f = out.f;
  f.log_weight.resize(static_cast<size_t>(K));
  f.whitening.resize(static_cast<size_t>(block * K));
  std::vector<char> bad(static_cast<size_t>(distinct), 0);
  const double work = full ? static_cast<double>(dim) * dim * dim : static_cast<double>(dim);
  Parallel_For(distinct, work, [&](Index k) {
    const double one = 1.0;  // the prior is added below
    const Problem p{dim, 0, 1, mode, nullptr, &m.mu[k * dim], &m.sigma[k * block], &one};
    try {
      const Factors c = Factorise(p);
      std::copy(c.whitening.begin(), c.whitening.end(), f.whitening.begin() + k * block);
      f.log_weight[k] = c.log_weight[0];
    } catch (const Error &) {
      bad[k] = 1;
    }
  });
  const auto first = std::find(bad.begin(), bad.end(), 1);
  if (first != bad.end()) {
    out.bad = first - bad.begin();
    return out;
  }
  const double common = f.log_weight[0];
  for (Index k = 0; k < K; ++k) {
    if (out.one && k > 0)
      std::copy(f.whitening.begin(), f.whitening.begin() + block, f.whitening.begin() + k * block);
    f.log_weight[k] = std::log(m.pi[k]) + (out.one ? common : f.log_weight[k]);
  }
  return out;
}

// Why a sum of squares overflowed, and the cure: scaling X down helps
// whether the squares or the weights made it large (EM minds the scale of
// neither).
std::string Too_Large(bool weighted) {
  return weighted ? "X's values, with their weights, are too large for the weighted sums of their "
                    "squares to be doubles; scale X down."
                  : "X's values are too large for the sums of their squares to be doubles; "
                    "scale X down.";
}

// The same, where a covariance that is not positive definite ends the fit,
// naming its cluster.
Factors Factor(const Model &m, Index dim, Index K, Mode mode, bool shared, double reg,
               Index iteration, bool weighted) {
  Factored out = Try_Factor(m, dim, K, mode, shared);
  const Index block = mode == Mode::full ? dim * dim : dim;
  if (out.bad >= 0 && !std::all_of(m.sigma.begin() + out.bad * block,
                                   m.sigma.begin() + (out.bad + 1) * block,
                                   [](double v) { return std::isfinite(v); }))
    Fit_Failure(Text("The covariance of %s overflows %s: ",
                     out.one ? "every cluster (shared)"
                             : ("cluster " + std::to_string(out.bad + 1)).c_str(),
                     When(iteration).c_str()) +
                Too_Large(weighted));
  if (out.bad >= 0) {
    // The usual cause named: a coordinate without spread in the cluster (a
    // constant one in the data, or a cluster of one point).
    std::string flat;
    for (Index i = 0; i < dim && flat.empty(); ++i) {
      const double v = m.sigma[out.bad * block + (mode == Mode::full ? i + i * dim : i)];
      if (!(v > 0.0))
        flat = Text(" (its variance along coordinate %lld is %s)", static_cast<long long>(i + 1),
                    Number(v).c_str());
    }
    Fit_Failure(Text("The covariance of %s %s positive definite %s%s; a larger "
                     "'RegularizationValue' (now %s) keeps it so.",
                     out.one ? "every cluster (shared)"
                             : ("cluster " + std::to_string(out.bad + 1)).c_str(),
                     iteration == 0 ? "is not" : "stopped being", When(iteration).c_str(),
                     flat.c_str(), Number(reg).c_str()));
  }
  return std::move(out.f);
}

// How far a mean may move from the shift its moments were taken about, in
// the new covariance's own units (squared), before M/n - d d' is too
// inexact: that difference loses about log2(1 + |d|^2) of the moments'
// bits along the move, so 2^10 keeps at least 42 of 53 (a covariance
// within about 2e-13 of the moments' own accuracy).
constexpr double kFarMove = 1024.0;

// Whether some cluster's new mean lies further than kFarMove from its
// shift, measured with the new model's whitening (an inverse Cholesky
// factor, or inverse standard deviations coordinate by coordinate).
bool Moved_Far(const Model &next, const Factors &f, const std::vector<double> &shift, Index dim,
               Index K, Mode mode) {
  const bool full = mode == Mode::full;
  std::vector<double> d(static_cast<size_t>(dim));
  for (Index k = 0; k < K; ++k) {
    for (Index i = 0; i < dim; ++i) d[i] = next.mu[k * dim + i] - shift[k * dim + i];
    double far = 0.0;
    if (full) {
      const double *W = &f.whitening[k * dim * dim];  // lower triangular, column-major
      for (Index i = 0; i < dim; ++i) {
        double z = 0.0;
        for (Index l = 0; l <= i; ++l) z += W[i + l * dim] * d[l];
        far += z * z;
      }
    } else {
      for (Index i = 0; i < dim; ++i) {
        const double z = d[i] * f.whitening[k * dim + i];
        far = std::max(far, z * z);
      }
    }
    if (!(far <= kFarMove)) return true;
  }
  return false;
}

double Total_Weight(const std::vector<double> &weights, Index n) {
  if (weights.empty()) return static_cast<double>(n);
  double total = 0.0;
  for (double w : weights) total += w;
  return total;
}

// Weights one per point, finite and not negative, and enough of them
// positive for every cluster to hold a point.
void Check_Weights(const std::vector<double> &w, Index n, Index K) {
  if (w.empty()) return;
  if (static_cast<Index>(w.size()) != n)
    throw Error("Velmora:usage", Text("'Weights' must hold one weight per point, %lld; it holds "
                                      "%lld.",
                                      static_cast<long long>(n),
                                      static_cast<long long>(w.size())));
  Index positive = 0;
  for (Index j = 0; j < n; ++j) {
    if (!(w[j] >= 0.0) || !std::isfinite(w[j]))
      throw Error("Velmora:usage", Text("'Weights'(%lld) is %s: every weight must be finite and "
                                        "0 or more.",
                                        static_cast<long long>(j + 1), Number(w[j]).c_str()));
    positive += w[j] > 0.0;
  }
  if (!std::isfinite(std::accumulate(w.begin(), w.end(), 0.0)))
    throw Error("Velmora:usage", "'Weights' sum past the largest double: scale them down.");
  if (positive < K)
    throw Error("Velmora:usage",
                Text("'Weights' must be positive for at least K = %lld points; they are "
                     "positive for %lld.",
                     static_cast<long long>(K), static_cast<long long>(positive)));
  // Below the smallest normal double a weight keeps few of its digits, and
  // so do its products with the posteriors: equal weights of 1e-320 moved
  // a fit's means by 1e-4. Scaled up by any factor they fit the same model.
  if (positive > 0 && *std::max_element(w.begin(), w.end()) < std::numeric_limits<double>::min())
    throw Error("Velmora:usage",
                "'Weights' are all below the smallest normal double (2.2251e-308), where they "
                "lose their digits: scale them up.");
}

std::unique_ptr<Fit_Passes> Make_Passes(Engine engine, const Fit_Data &data) {
  return engine == Engine::host ? Make_Host_Passes(data) : Make_Device_Passes(data);
}

double Uniform(std::mt19937_64 &random) {
  return static_cast<double>(random() >> 11) * 0x1.0p-53;
}

Index Uniform_Index(std::mt19937_64 &random, Index n) {
  return std::min(n - 1, static_cast<Index>(Uniform(random) * static_cast<double>(n)));
}

// What the start's draws pick from. Where every positive weight is the
// same, a uniform draw among the points of positive weight (by their rank
// among them): Weights ones(1, N) then draws, from the same seed, what the
// default of 1 each draws, and a point of weight 0 changes no uniform
// draw, as it changes no weighted one. Otherwise, by weight.
struct Draw_Plan {
  bool by_weight = false;
  std::vector<Index> points;  // uniform: the points of positive weight; empty: all of them
};

Draw_Plan Plan_Draws(const std::vector<double> &w) {
  Draw_Plan plan;
  if (w.empty()) return plan;
  double common = 0.0;
  for (const double v : w) {
    if (!(v > 0.0)) continue;
    if (common == 0.0) common = v;
    if (v != common) {
      plan.by_weight = true;
      return plan;
    }
  }
  if (std::any_of(w.begin(), w.end(), [](double v) { return !(v > 0.0); }))
    for (Index j = 0; j < static_cast<Index>(w.size()); ++j)
      if (w[j] > 0.0) plan.points.push_back(j);
  return plan;
}

// What one fit needs besides the device: the data, the options and a
// random stream shared by its replicates.
class Fitter {
 public:
  Fitter(const Passes_Maker &make, const double *X, Index dim, Index n, Index K,
         const Fit_Options &o)
      : dim_(dim), n_(n), K_(K), o_(o), random_(o.seed),
        weights_(o.weights.empty() ? nullptr : o.weights.data()),
        draw_(o.start == Start::plus || o.start == Start::rand_sample ? Plan_Draws(o.weights)
                                                                     : Draw_Plan{}),
        total_weight_(Total_Weight(o.weights, n)),
        device_(make(Fit_Data{.X = X,
                                            .dim = dim,
                                            .n = n,
                                            .K = K,
                                            .mode = o.mode,
                                            .weights = weights_,
                                            .probability_tolerance = o.probability_tolerance,
                                            .seeding = o.start == Start::plus,
                                            .labels = o.start == Start::labels,
                                            .max_chunk = o.max_chunk,
                                            .stream = o.stream,
                                            .separate_kernels = o.separate_kernels,
                                            .interrupted = o.interrupted})) {}

  // A replicate, or the fit's interrupt in the iteration it came in.
  Fit_Result Replicate(Index r) {
    try {
      return Run_Replicate(r);
    } catch (const Pass_Interrupted &) {
      throw Interrupted(at_, r);
    }
  }

  Fit_Result Run_Replicate(Index r) {
    Check_Interrupt(0, r);
    if (o_.display == Display::iter && o_.replicates > 1) Say(Text("Replicate %lld:\n", Ll(r)));
    extra_passes_ = 0;
    Model model = Start_Model();
    Factors factors = Factors_Of(model, 0);
    Fit_Result result;
    result.replicate = r;
    result.start = model;
    const auto loop = Clock::now();
    for (Index t = 1; t <= o_.max_iter; ++t) {
      Check_Interrupt(t, r);
      device_->Set_Mixture(model.mu, factors);
      const Statistics st = Unpack(device_->Pass(true, {}), device_->layout());
      if (!(st.log_likelihood > -std::numeric_limits<double>::infinity()))
        Lost_Point(t);
      // The rise the stopping rule weighs, and so the one shown: per point
      // (or unit of weight), or against the log-likelihood's own size.
      const double scale = o_.relative_tol_fun ? std::max(1.0, std::fabs(st.log_likelihood))
                                               : total_weight_;
      const double rise = t > 1 ? (st.log_likelihood - result.history.back()) / scale
                                : std::numeric_limits<double>::quiet_NaN();
      const bool settled =
          t > 1 && (o_.relative_tol_fun
                        ? st.log_likelihood - result.history.back() <= o_.tol_fun * scale
                        : o_.tol_fun > 0 && rise < o_.tol_fun);
      result.history.push_back(st.log_likelihood);
      result.iterations = t;
      if (o_.display == Display::iter) {
        if (t == 1)
          Say(o_.relative_tol_fun ? "  iteration       log-likelihood    relative rise\n"
                                  : "  iteration       log-likelihood   rise per point\n");
        Say((t == 1 ? Text("  %9lld  %19.12g", Ll(t), st.log_likelihood)
                    : Text("  %9lld  %19.12g  %15.6g", Ll(t), st.log_likelihood, rise)) +
            device_->Note() + "\n");
      }
      // The posteriors stay those of the mixture set: a pass again about the
      // new means sees the same ones.
      std::tie(model, factors) = Exact_M_Step(st, model.mu, t, [&](const std::vector<double> &mu) {
        return device_->Pass(true, mu);
      });
      if (settled) {
        result.converged = true;
        break;
      }
    }
    result.seconds_per_iteration = Since(loop) / static_cast<double>(result.iterations);
    device_->Set_Mixture(model.mu, factors);
    result.log_likelihood = device_->Pass(false, {})[0];
    result.model = std::move(model);
    result.extra_passes = extra_passes_;
    if (o_.display != Display::off)
      Say(Text("Replicate %lld: %lld iterations, log-likelihood %.12g, %s.\n", Ll(r),
               Ll(result.iterations), result.log_likelihood,
               result.converged ? "converged" : "not converged (MaxIter reached)"));
    return result;
  }

  void Say(const std::string &text) const {
    if (o_.print) o_.print(text);
  }

  const Fit_Plan &plan() const { return device_->plan(); }
  // The sample size: the number of points, or the sum of their weights.
  double total_weight() const { return total_weight_; }

 private:
  static long long Ll(Index v) { return static_cast<long long>(v); }

  // Not a failed replicate, which the others would outlive: the fit ends.
  void Check_Interrupt(Index iteration, Index r) {
    at_ = iteration;
    if (Asked(o_.interrupted)) throw Interrupted(iteration, r);
  }

  Error Interrupted(Index iteration, Index r) const {
    const std::string when =
        iteration == 0 ? "at the start" : Text("at iteration %lld", Ll(iteration));
    return Error("Velmora:interrupted",
                 Text("The fit was interrupted %s of replicate %lld of %lld; it returns nothing.",
                      when.c_str(), Ll(r), Ll(o_.replicates)));
  }

  Factors Factors_Of(const Model &m, Index iteration) const {
    return Factor(m, dim_, K_, o_.mode, o_.shared, o_.regularization, iteration,
                  weights_ != nullptr);
  }

  // The M-step of statistics about `shift`, and its factors. Where a mean
  // moved far against its new covariance (or that covariance came out not
  // positive definite, as cancellation can make it), the statistics are
  // taken again about the new means (`again`, under the same posteriors)
  // and the M-step formed from those, whose offsets are then tiny.
  template <typename Again>
  std::pair<Model, Factors> Exact_M_Step(const Statistics &st, const std::vector<double> &shift,
                                         Index iteration, Again again) {
    Model next = M_Step(st, shift, o_.regularization, o_.shared, iteration);
    Factored first = Try_Factor(next, dim_, K_, o_.mode, o_.shared);
    if (first.bad < 0 && !Moved_Far(next, first.f, shift, dim_, K_, o_.mode))
      return {std::move(next), std::move(first.f)};
    ++extra_passes_;
    const std::vector<double> about = next.mu;
    Model exact = M_Step(Unpack(again(about), device_->layout()), about, o_.regularization,
                         o_.shared, iteration);
    Factors f = Factors_Of(exact, iteration);
    return {std::move(exact), std::move(f)};
  }

  Model Start_Model() {
    switch (o_.start) {
      case Start::parameters: {
        Model m{o_.mu, o_.sigma, o_.pi};
        double total = 0.0;
        for (double p : m.pi) total += p;
        // Priors near the largest double can sum past it: scaled by the
        // largest first, they sum to K at most.
        if (!std::isfinite(total)) {
          const double largest = *std::max_element(m.pi.begin(), m.pi.end());
          total = 0.0;
          for (double &p : m.pi) total += p /= largest;
        }
        for (double &p : m.pi) p /= total;
        return m;
      }
      case Start::labels: return Label_Start();
      case Start::plus:
      case Start::rand_sample: break;
    }
    const std::vector<double> centres = o_.start == Start::plus ? Plus_Centres() : Sample_Centres();
    // Centres from the data, every covariance the data's variance (diagonal),
    // equal priors.
    if (variance_.empty()) variance_ = Data_Variance();
    const bool full = o_.mode == Mode::full;
    const Index block = full ? dim_ * dim_ : dim_;
    Model model{centres, std::vector<double>(static_cast<size_t>(block * K_), 0.0),
                std::vector<double>(static_cast<size_t>(K_), 1.0 / static_cast<double>(K_))};
    for (Index k = 0; k < K_; ++k)
      for (Index i = 0; i < dim_; ++i)
        model.sigma[k * block + (full ? i + i * dim_ : i)] = variance_[i] + o_.regularization;
    return model;
  }

  // The E-step found a point whose density is 0 under every cluster (its
  // log-density -Inf, so its posteriors are not numbers): the holder names
  // it, found from the same factors.
  [[noreturn]] void Lost_Point(Index t) const {
    const Index j = device_->First_Lost();
    if (j >= 0)
      Fit_Failure(Text("The density of point %lld is 0 under every cluster %s (its "
                       "log-density underflows to -Inf): it lies too far from every centre "
                       "for doubles; scale X down, or start nearer the data.",
                       Ll(j + 1), When(t).c_str()));
    Fit_Failure("The log-likelihood is not finite " + When(t) +
                ": X's values are too large for doubles; scale X down.");
  }

  // Whether point j counts in the fit's sums: a weight of 0 leaves it out,
  // also as the point that moments are taken about (a far one would cancel
  // the others' differences away, or overflow their squares).
  bool Counted(Index j) const { return weights_ == nullptr || weights_[j] > 0.0; }

  // The data's variance per coordinate, from moments about the first
  // point that counts, or again about the mean where that point lies so far
  // out that the difference would cancel.
  std::vector<double> Data_Variance() {
    Index first = 0;
    while (first + 1 < n_ && !Counted(first)) ++first;
    std::vector<double> shift = device_->Point(first), variance(static_cast<size_t>(dim_));
    for (int look = 0; look < 2; ++look) {
      const std::vector<double> m = device_->Data_Moments(shift.data());
      bool far = false;
      for (Index i = 0; i < dim_; ++i) {
        const double d = m[1 + i] / m[0];
        variance[i] = m[1 + dim_ + i] / m[0] - d * d;
        far = far || !(d * d <= kFarMove * variance[i]);
        shift[i] += d;
      }
      if (!far) break;
    }
    for (Index i = 0; i < dim_; ++i)
      if (!std::isfinite(variance[i]))
        throw Error("Velmora:data",
                    Text("The variance of coordinate %lld of the data cannot be computed: ",
                         Ll(i + 1)) +
                        Too_Large(weights_ != nullptr));
    return variance;
  }

  void Copy_Point(Index j, double *to) const {
    const std::vector<double> x = device_->Point(j);
    std::copy(x.begin(), x.end(), to);
  }

  // k-means++: the first centre uniformly, each next one with probability
  // proportional to the squared distance to the nearest centre so far: a
  // unit by its sum, then a point of it by its own distance.
  std::vector<double> Plus_Centres() {
    std::vector<double> centres(static_cast<size_t>(dim_ * K_));
    Copy_Point(Draw_Point(), centres.data());
    const Index unit = device_->plan().unit;
    for (Index m = 1; m < K_; ++m) {
      // A pass over X a centre: many clusters take as long as iterations.
      if (m > 1 && Asked(o_.interrupted)) throw Pass_Interrupted();
      const std::vector<double> sums =
          device_->Distance_Pass(centres.data() + (m - 1) * dim_, m == 1);
      double total = 0.0;
      for (double s : sums) total += s;
      Index j = -1;
      if (total > 0.0) {
        const double target = Uniform(random_) * total;
        Index u = -1;
        double before = 0.0;
        for (Index v = 0; v < static_cast<Index>(sums.size()); ++v) {
          if (sums[v] <= 0.0) continue;
          u = v;  // rounding may leave the target past the last sum: keep the last positive unit
          if (before + sums[v] > target) break;
          before += sums[v];
        }
        const Index first = u * unit, count = std::min(unit, n_ - first);
        std::vector<double> d2 = device_->Distances(first, count);
        for (Index i = 0; i < count && weights_ != nullptr; ++i)
          d2[i] = weights_[first + i] == 0.0 ? 0.0 : weights_[first + i] * d2[i];
        double acc = 0.0;
        const double local = target - before;
        for (Index i = 0; i < count; ++i) {
          if (d2[i] <= 0.0) continue;
          j = first + i;
          acc += d2[i];
          if (acc > local) break;
        }
      }
      // Every point sits on a centre: any will do.
      if (j < 0) j = Draw_Point();
      Copy_Point(j, centres.data() + m * dim_);
    }
    return centres;
  }

  // Of the points a uniform draw picks from: their count, and the m-th.
  Index Draw_Count() const {
    return draw_.points.empty() ? n_ : static_cast<Index>(draw_.points.size());
  }
  Index Draw_At(Index m) const { return draw_.points.empty() ? m : draw_.points[m]; }

  // A point drawn uniformly, or in proportion to its weight.
  Index Draw_Point() {
    if (!draw_.by_weight) return Draw_At(Uniform_Index(random_, Draw_Count()));
    if (cumulative_.empty()) {
      cumulative_.resize(static_cast<size_t>(n_));
      double total = 0.0;
      for (Index j = 0; j < n_; ++j) cumulative_[j] = total += weights_[j];
    }
    const double target = Uniform(random_) * cumulative_.back();
    const Index j = std::upper_bound(cumulative_.begin(), cumulative_.end(), target) -
                    cumulative_.begin();
    // Rounding may leave the target at the total: the last weighted point.
    Index k = std::min(j, n_ - 1);
    while (weights_[k] == 0.0) --k;
    return k;
  }

  // K distinct points, uniformly (or in proportion to their weights).
  std::vector<double> Sample_Centres() {
    std::vector<Index> chosen;
    const Index count = Draw_Count();
    if (draw_.by_weight) {
      // Weighted, without replacement, in one pass: each point of positive
      // weight w draws the key log(u) / w, and the K largest keys win.
      // However small a weight beside the others, its point can be drawn,
      // and the draw ends.
      using Keyed = std::pair<double, Index>;
      std::priority_queue<Keyed, std::vector<Keyed>, std::greater<Keyed>> best;
      for (Index j = 0; j < n_; ++j) {
        if (!(weights_[j] > 0.0)) continue;
        const double u = (static_cast<double>(random_() >> 11) + 0.5) * 0x1.0p-53;  // in (0, 1)
        best.emplace(std::log(u) / weights_[j], j);
        if (static_cast<Index>(best.size()) > K_) best.pop();
      }
      for (; !best.empty(); best.pop()) chosen.push_back(best.top().second);
      std::reverse(chosen.begin(), chosen.end());  // largest key first
    } else if (4 * K_ > count) {
      std::vector<Index> all(static_cast<size_t>(count));
      for (Index j = 0; j < count; ++j) all[j] = j;
      for (Index m = 0; m < K_; ++m) {
        std::swap(all[m], all[m + Uniform_Index(random_, count - m)]);
        chosen.push_back(Draw_At(all[m]));
      }
    } else {
      std::unordered_set<Index> seen;
      while (static_cast<Index>(chosen.size()) < K_) {
        const Index j = Uniform_Index(random_, count);
        if (seen.insert(j).second) chosen.push_back(Draw_At(j));
      }
    }
    std::vector<double> centres(static_cast<size_t>(dim_ * K_));
    for (Index m = 0; m < K_; ++m) Copy_Point(chosen[m], centres.data() + m * dim_);
    return centres;
  }

  // The M-step of the labels' hard assignment, about each cluster's first
  // point that counts (its first point where none does).
  Model Label_Start() {
    std::vector<double> shift(static_cast<size_t>(dim_ * K_), 0.0);
    std::vector<char> seen(static_cast<size_t>(K_), 0);  // 1: a point, 2: one that counts
    for (Index j = 0; j < n_; ++j) {
      const Index k = static_cast<Index>(o_.labels[j]);
      const char here = Counted(j) ? 2 : 1;
      if (seen[k] >= here) continue;
      seen[k] = here;
      Copy_Point(j, shift.data() + k * dim_);
    }
    const Statistics st = Unpack(device_->Label_Pass(o_.labels, shift), device_->layout());
    return Exact_M_Step(st, shift, 0, [&](const std::vector<double> &mu) {
             return device_->Label_Pass(o_.labels, mu);
           }).first;
  }

  Index dim_, n_, K_;
  const Fit_Options &o_;
  std::mt19937_64 random_;
  std::vector<double> variance_;
  const double *weights_;            // or null
  Draw_Plan draw_;
  double total_weight_;
  std::vector<double> cumulative_;  // the weights' running sums, once drawn from
  Index extra_passes_ = 0;  // in the replicate under way
  Index at_ = 0;           // the iteration under way (0: the start), for an interrupt
  std::unique_ptr<Fit_Passes> device_;
};


}  // namespace

std::int64_t Free_Parameters(std::int64_t dim, std::int64_t K, Mode mode, bool shared) {
  const std::int64_t per_covariance = mode == Mode::full ? dim * (dim + 1) / 2 : dim;
  return (K - 1) + K * dim + (shared ? 1 : K) * per_covariance;
}

std::vector<double> Point_Of(const Fit_Data &d, Index j) {
  return std::vector<double>(d.X + j * d.dim, d.X + (j + 1) * d.dim);
}

Index First_Lost_Point(const Fit_Data &d, const std::vector<double> &mu, const Factors &f) {
  const bool full = d.mode == Mode::full;
  const Index dim = d.dim, K = d.K, block = full ? dim * dim : dim, kBlock = 4096;
  const Index blocks = Ceil_Div(d.n, kBlock);
  std::vector<Index> first_lost(static_cast<size_t>(blocks), -1);
  Parallel_For(blocks, static_cast<double>(kBlock * K * block), [&](Index b) {
    std::vector<double> diff(static_cast<size_t>(dim));
    for (Index j = b * kBlock; j < std::min(d.n, (b + 1) * kBlock); ++j) {
      if (d.weights != nullptr && d.weights[j] == 0.0) continue;
      bool seen = false;
      for (Index k = 0; k < K && !seen; ++k) {
        const double *W = &f.whitening[k * block];
        for (Index i = 0; i < dim; ++i) diff[i] = d.X[j * dim + i] - mu[k * dim + i];
        double q = 0.0;
        for (Index i = 0; i < dim; ++i) {
          double z = full ? 0.0 : diff[i] * W[i];
          for (Index l = 0; full && l <= i; ++l) z += W[i + l * dim] * diff[l];
          q += z * z;
        }
        seen = f.log_weight[k] - 0.5 * q > -std::numeric_limits<double>::infinity();
      }
      if (!seen) {
        first_lost[b] = j;
        return;
      }
    }
  });
  for (const Index j : first_lost)
    if (j >= 0) return d.first + j;
  return -1;
}

Fit_Result Fit(const double *X, std::int64_t dim, std::int64_t n, std::int64_t K,
               const Fit_Options &o) {
  return Fit(
      [&](const Fit_Data &data) { return Make_Passes(o.engine, data); }, X, dim, n, K, o);
}

Fit_Result Fit(const Passes_Maker &make, const double *X, std::int64_t dim, std::int64_t n,
               std::int64_t K, const Fit_Options &o) {
  if (dim < 1 || K < 1 || n < K || o.max_iter < 1 || o.replicates < 1)
    throw Error("Velmora:usage", "A fit needs dim >= 1, 1 <= K <= N, MaxIter >= 1 and "
                                 "Replicates >= 1.");
  Check_Weights(o.weights, n, K);
  if (!(o.probability_tolerance >= 0.0 && o.probability_tolerance <= 1e-6))
    throw Error("Velmora:usage", "'ProbabilityTolerance' must be between 0 and 1e-6; it is " +
                                     Number(o.probability_tolerance) + ".");
  // A holder made elsewhere says for itself where it runs.
  if (o.engine == Engine::device) Require_Device();
  if (o.start == Start::parameters) {
    // The user's start: refused with the evaluator's own identifiers.
    const Problem p{dim, 0, K, o.mode, nullptr, o.mu.data(), o.sigma.data(), o.pi.data()};
    try {
      Factorise(p);
    } catch (const Error &e) {
      throw Error(e.id(), std::string("In 'Start': ") + e.what());
    }
  }
  Fitter fitter(make, X, dim, n, K, o);
  std::optional<Fit_Result> best;
  std::string first_failure;
  for (Index r = 1; r <= o.replicates; ++r) {
    try {
      Fit_Result result = fitter.Replicate(r);
      if (!best || result.log_likelihood > best->log_likelihood) best = std::move(result);
    } catch (const Error &e) {
      if (e.id() != "Velmora:fit") throw;
      if (first_failure.empty()) first_failure = e.what();
      if (o.display != Display::off)
        fitter.Say("Replicate " + std::to_string(r) + " dropped: " + e.what() + "\n");
    }
  }
  if (!best)
    Fit_Failure(o.replicates == 1 ? first_failure
                                  : "Every one of the " + std::to_string(o.replicates) +
                                        " replicates failed; the first: " + first_failure);
  const double p = static_cast<double>(Free_Parameters(dim, K, o.mode, o.shared));
  best->bic = -2.0 * best->log_likelihood + p * std::log(fitter.total_weight());
  best->aic = -2.0 * best->log_likelihood + 2.0 * p;
  best->resident = fitter.plan().resident;
  best->chunk = fitter.plan().chunk;
  best->unit = fitter.plan().unit;
  if (o.display != Display::off && o.replicates > 1)
    fitter.Say(Text("Kept replicate %lld of %lld: log-likelihood %.12g.\n",
                    static_cast<long long>(best->replicate),
                    static_cast<long long>(o.replicates), best->log_likelihood));
  return std::move(*best);
}

void Statistics::Add(const Statistics &other) {
  for (size_t k = 0; k < weight.size(); ++k) weight[k] += other.weight[k];
  for (size_t e = 0; e < sum.size(); ++e) sum[e] += other.sum[e];
  for (size_t e = 0; e < second.size(); ++e) second[e] += other.second[e];
  log_likelihood += other.log_likelihood;
}

Statistics Compute_Statistics(const Problem &p, std::int64_t max_chunk, Engine engine) {
  if (engine == Engine::device) Require_Device();
  const Factors f = Factorise(p);
  Fit_Data data{p.X, p.dim, p.num_data, p.num_clust, p.mode};
  data.max_chunk = max_chunk;
  const std::unique_ptr<Fit_Passes> device = Make_Passes(engine, data);
  device->Set_Mixture(std::vector<double>(p.Mu, p.Mu + p.dim * p.num_clust), f);
  return Unpack(device->Pass(true, {}), device->layout());
}

}  // namespace velmora_log
