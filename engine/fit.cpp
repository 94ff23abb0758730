// EM on the device: the passes over X (resident or streamed), the starts,
// the M-step on the host and the replicates.
#include "fit.h"

#include <cuda_runtime.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include <unistd.h>

#include "device.h"
#include "kernels.h"
#include "parallel.h"
#include "statistics.h"

namespace velmora_log {

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The smallest unit of points a reduction covers, and the most doubles the
// units' records may take together (the unit doubles until they fit).
constexpr Index kMinUnit = 512;
constexpr Index kRecordBudget = Index{1} << 24;

Index Units(Index count, Index unit) { return (count + unit - 1) / unit; }

// Page-locked staging, as the evaluator sizes it.
Index Pinned_Budget() {
  const Index physical = static_cast<Index>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
  return std::clamp<Index>(physical / 16, Index{64} << 20, Index{1} << 30);
}

std::string Number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Inf" : "-Inf";
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
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

// How a fit holds X: on the device for the whole fit, or in chunks staged
// every pass; chunks start on unit boundaries.
struct Plan {
  Index unit = 0, units = 0, chunk = 0;
  bool resident = false;
};

Plan Make_Plan(Index dim, Index n, Index K, Mode mode, bool seeding, Index max_chunk) {
  const bool full = mode == Mode::full;
  const Stat_Layout layout{dim, K, full};
  const Index S = layout.Size();
  Plan plan;
  plan.unit = kMinUnit;
  // The reduction's groups of units stay within a grid's second dimension.
  while (plan.unit < n && (Units(n, plan.unit) * S > kRecordBudget ||
                           Reduce_Scratch(Units(n, plan.unit), 1) > 65535))
    plan.unit *= 2;
  plan.units = Units(n, plan.unit);

  size_t free_bytes = 0, total_bytes = 0;
  Check(cudaMemGetInfo(&free_bytes, &total_bytes), "to report its free memory");
  const double usable = 0.9 * static_cast<double>(free_bytes);
  const Index whitening = full ? dim * dim * K : dim * K;
  const double fixed =
      8.0 * static_cast<double>(dim * K + whitening + K + plan.units * S + S +
                                Reduce_Scratch(plan.units, S) + dim +
                                (seeding ? n + plan.units : 0));
  // Posteriors, logP, the full kernels' workspace and a label, per point.
  const double per_point = 8.0 * static_cast<double>(K + 2 + (full ? Full_Workspace(K, 1) : 0));
  const double x_bytes = 8.0 * static_cast<double>(dim) * static_cast<double>(n);
  const Index least = std::min(n, plan.unit);
  double chunk = 0;
  if (fixed + x_bytes + per_point * static_cast<double>(least) <= usable) {
    plan.resident = true;
    chunk = (usable - fixed - x_bytes) / per_point;
  } else {
    const double per_streamed = 2.0 * (per_point + 8.0 * static_cast<double>(dim));
    chunk = std::min((usable - fixed) / per_streamed,
                     static_cast<double>(std::max(
                         plan.unit, Pinned_Budget() / (16 * (dim + 1)))));
    if (chunk < static_cast<double>(least))
      throw Error("Velmora:memory",
                  "The fit needs at least " +
                      std::to_string(static_cast<Index>(fixed + per_streamed * least)) +
                      " bytes of device memory (" + std::to_string(least) +
                      " points at a time); " + std::to_string(free_bytes) + " are free.");
  }
  // Grids stay within 32 bits.
  const Index per_unit = std::max(Second_Moment_Blocks(dim, K),
                                  ((dim + 1) / 2) * ((K + 3) / 4));
  chunk = std::min({chunk, static_cast<double>(Index{1} << 30),
                    static_cast<double>((Index{1} << 31) / per_unit * plan.unit)});
  if (max_chunk > 0) chunk = std::min(chunk, static_cast<double>(max_chunk));
  plan.chunk = chunk >= static_cast<double>(n)
                   ? n
                   : std::max(plan.unit, static_cast<Index>(chunk) / plan.unit * plan.unit);
  return plan;
}

// A chunk of the data as a pass sees it: its first column, its columns and
// where they are on the device.
struct Chunk {
  Index first = 0, count = 0;
  const double *X = nullptr;
};

struct Slot {
  Device_Array X, R, log_p, workspace, labels;
  Pinned_Array x_host, labels_host;
  Event staged;  // after the slot's uploads: its page-locked buffers may be refilled
  bool pending = false;
};

// Nothing of ours may be in flight when buffers go: declared last among a
// holder's members, it is destroyed first.
struct Quiet_Device {
  ~Quiet_Device() {
    cudaDeviceSynchronize();
    cudaGetLastError();
  }
};

// The device side of a fit: X (resident or staged), the mixture, the
// per-chunk buffers and the units' records, and the passes over them.
class Fit_Device {
 public:
  Fit_Device(const double *X, Index dim, Index n, Index K, Mode mode, bool seeding, bool labels,
             Index max_chunk)
      : X_(X), dim_(dim), n_(n), K_(K), full_(mode == Mode::full), layout_{dim, K, full_},
        plan_(Make_Plan(dim, n, K, mode, seeding, max_chunk)) {
    const Index S = layout_.Size(), C = plan_.chunk;
    const Index whitening = full_ ? dim * dim * K : dim * K;
    params_.Reserve(dim * K + whitening + K);
    records_.Reserve(plan_.units * S);
    scratch_.Reserve(Reduce_Scratch(plan_.units, S));
    totals_.Reserve(S);
    centre_.Reserve(dim);
    if (seeding) {
      d2_.Reserve(n);
      d2_sums_.Reserve(plan_.units);
    }
    for (int l = 0; l < Lanes(); ++l) {
      Slot &s = slots_[l];
      s.R.Reserve(K * C);
      s.log_p.Reserve(C);
      if (full_) s.workspace.Reserve(Full_Workspace(K, C));
      if (labels) {
        s.labels.Reserve(C);
        s.labels_host.Reserve(C);
      }
      if (!plan_.resident) {
        s.X.Reserve(dim * C);
        s.x_host.Reserve(dim * C);
      }
    }
    if (plan_.resident) Upload_X();
  }

  const Plan &plan() const { return plan_; }
  const Stat_Layout &layout() const { return layout_; }

  // The mixture the next pass evaluates: centres (also the shift of the
  // statistics), whitening and log-weights.
  void Set_Mixture(const std::vector<double> &mu, const Factors &f) {
    std::vector<double> host(mu);
    host.insert(host.end(), f.whitening.begin(), f.whitening.end());
    host.insert(host.end(), f.log_weight.begin(), f.log_weight.end());
    Upload(params_.get(), host.data(), static_cast<Index>(host.size()));
  }

  // One E-step over all points under the mixture set: the statistics about
  // its centres and the log-likelihood, or the log-likelihood alone.
  std::vector<double> Pass(bool statistics) {
    const Index S = layout_.Size();
    const Device_Mixture mixture{dim_, K_, params_.get(), params_.get() + dim_ * K_,
                                 params_.get() + dim_ * K_ + (full_ ? dim_ * dim_ : dim_) * K_};
    For_Each_Chunk(
        [&](const Chunk &c, Slot &s, cudaStream_t stream) {
          const Device_Points points{c.X, c.count, dim_, 1};
          const Device_Results results{s.log_p.get(), statistics ? s.R.get() : nullptr, K_, 1};
          if (full_) Launch_Full(mixture, points, results, s.workspace.get(), stream);
          else Launch_Diagonal(mixture, points, results, stream);
          double *records = records_.get() + c.first / plan_.unit * S;
          Launch_Unit_Sums(s.log_p.get(), c.count, plan_.unit, records + layout_.Log_Likelihood(),
                           S, stream);
          if (statistics) Moments(c, s.R.get(), mixture.mu, records, stream);
        },
        nullptr);
    return statistics ? Reduce(0, S, S) : Reduce(layout_.Log_Likelihood(), S, 1);
  }

  // The statistics of a hard assignment (labels 0..K-1 per point) about
  // `shift` (dim x K).
  std::vector<double> Label_Pass(const std::vector<double> &labels,
                                 const std::vector<double> &shift) {
    Upload(params_.get(), shift.data(), dim_ * K_);
    const Index S = layout_.Size();
    For_Each_Chunk(
        [&](const Chunk &c, Slot &s, cudaStream_t stream) {
          Launch_One_Hot(s.labels.get(), c.count, K_, s.R.get(), stream);
          Moments(c, s.R.get(), params_.get(), records_.get() + c.first / plan_.unit * S, stream);
        },
        &labels);
    return Reduce(0, S, layout_.Log_Likelihood());
  }

  // Count, sums of (x - shift) and their squares over all points: what the
  // data's variance comes from.
  std::vector<double> Data_Moments(const double *shift) {
    Upload(centre_.get(), shift, dim_);
    const Index S = layout_.Size();
    For_Each_Chunk(
        [&](const Chunk &c, Slot &, cudaStream_t stream) {
          Launch_Moments({c.X, dim_, c.count, plan_.unit}, nullptr, centre_.get(), 1, true,
                         records_.get() + c.first / plan_.unit * S, S, 1 + 2 * dim_, stream);
        },
        nullptr);
    return Reduce(0, S, 1 + 2 * dim_);
  }

  // k-means++: distances to `centre` folded into the nearest-centre
  // distances; returns their sums per unit.
  std::vector<double> Distance_Pass(const double *centre, bool first) {
    Upload(centre_.get(), centre, dim_);
    For_Each_Chunk(
        [&](const Chunk &c, Slot &, cudaStream_t stream) {
          double *d2 = d2_.get() + c.first;
          Launch_Distances(c.X, dim_, c.count, centre_.get(), first, d2, stream);
          Launch_Unit_Sums(d2, c.count, plan_.unit, d2_sums_.get() + c.first / plan_.unit, 1,
                           stream);
        },
        nullptr);
    return Download(d2_sums_.get(), plan_.units);
  }

  std::vector<double> Distances(Index first, Index count) {
    return Download(d2_.get() + first, count);
  }

 private:
  int Lanes() const { return plan_.resident ? 1 : 2; }

  void Moments(const Chunk &c, const double *R, const double *shift, double *records,
               cudaStream_t stream) {
    const Unit_Points x{c.X, dim_, c.count, plan_.unit};
    const Index S = layout_.Size(), per_cluster = layout_.Per_Cluster();
    Launch_Moments(x, R, shift, K_, !full_, records, S, per_cluster, stream);
    if (full_) Launch_Second_Moments(x, R, shift, K_, records, S, per_cluster, stream);
  }

  // Small uploads go on the first stream, before the pass that reads them.
  void Upload(double *to, const double *from, Index count) {
    Check(cudaMemcpyAsync(to, from, static_cast<size_t>(count) * 8, cudaMemcpyHostToDevice,
                          streams_[0].get()),
          "to copy parameters to it");
  }

  std::vector<double> Download(const double *from, Index count) {
    host_.Reserve(std::max<Index>(count, 1));
    Check(cudaMemcpyAsync(host_.get(), from, static_cast<size_t>(count) * 8,
                          cudaMemcpyDeviceToHost, streams_[0].get()),
          "to copy results back");
    Check(cudaStreamSynchronize(streams_[0].get()), "while fitting");
    return std::vector<double>(host_.get(), host_.get() + count);
  }

  // Entries offset .. offset + width of every unit's record, summed in unit
  // order, to the host.
  std::vector<double> Reduce(Index offset, Index stride, Index width) {
    Launch_Reduce_Units(records_.get() + offset, plan_.units, stride, width, scratch_.get(),
                        totals_.get(), streams_[0].get());
    return Download(totals_.get(), width);
  }

  // Copies X's elements into a page-locked buffer over host threads; the
  // first time each element is seen, it must be finite.
  void Stage(double *to, const double *from, Index count, Index offset, bool check) const {
    const Index threads = std::min<Index>({Host_Cores(), 8, count / (Index{1} << 19) + 1});
    std::mutex mutex;
    Index first_bad = -1;
    Parallel_Ranges(count, threads, [&](Index b, Index e) {
      constexpr Index kRun = 4096;  // checked while still in cache
      for (Index r = b; r < e; r += kRun) {
        const Index end = std::min(e, r + kRun);
        std::memcpy(to + r, from + r, static_cast<size_t>(end - r) * 8);
        if (!check) continue;
        for (Index i = r; i < end; ++i)
          if (!std::isfinite(to[i])) {
            std::lock_guard lock(mutex);
            if (first_bad < 0 || i < first_bad) first_bad = i;
            return;
          }
      }
    });
    if (first_bad < 0) return;
    const Index g = offset + first_bad;
    throw Error("Velmora:data", "X(" + std::to_string(g % dim_ + 1) + "," +
                                    std::to_string(g / dim_ + 1) + ") is " + Number(from[first_bad]) +
                                    ": every coordinate of the data must be finite.");
  }

  void Wait_For(Slot &s) {
    if (s.pending) Check(cudaEventSynchronize(s.staged.get()), "while fitting");
    s.pending = false;
  }

  // X onto the device once, in pieces through both slots' page-locked
  // buffers, checked as it goes.
  void Upload_X() {
    const Index total = dim_ * n_;
    const Index piece = std::max<Index>(1, std::min(total, Pinned_Budget() / 16));
    resident_X_.Reserve(total);
    for (Slot &s : slots_) s.x_host.Reserve(piece);
    Index index = 0;
    for (Index e0 = 0; e0 < total; e0 += piece, ++index) {
      Slot &s = slots_[index % 2];
      const cudaStream_t stream = streams_[index % 2].get();
      Wait_For(s);
      const Index count = std::min(piece, total - e0);
      Stage(s.x_host.get(), X_ + e0, count, e0, true);
      Check(cudaMemcpyAsync(resident_X_.get() + e0, s.x_host.get(), static_cast<size_t>(count) * 8,
                            cudaMemcpyHostToDevice, stream),
            "to copy data to it");
      s.staged.Record(stream);
      s.pending = true;
    }
    for (Slot &s : slots_) {
      Wait_For(s);
      s.x_host.Release();
    }
    checked_ = true;
  }

  // Runs work(chunk, slot, stream) for the chunks of X in order. Streamed
  // chunks alternate between two slots and streams, so that one chunk's
  // staging and upload overlap the kernels of the one before.
  template <typename Work>
  void For_Each_Chunk(Work work, const std::vector<double> *labels) {
    const int lanes = Lanes();
    if (lanes == 2) {
      // The second stream starts after what the first has queued.
      ready_.Record(streams_[0].get());
      Check(cudaStreamWaitEvent(streams_[1].get(), ready_.get()), "to order its streams");
    }
    Index index = 0;
    for (Index first = 0; first < n_; first += plan_.chunk, ++index) {
      Slot &s = slots_[index % lanes];
      const cudaStream_t stream = streams_[index % lanes].get();
      const Index count = std::min(plan_.chunk, n_ - first);
      if (!plan_.resident || labels != nullptr) {
        Wait_For(s);
        if (!plan_.resident) {
          Stage(s.x_host.get(), X_ + first * dim_, dim_ * count, first * dim_, !checked_);
          Check(cudaMemcpyAsync(s.X.get(), s.x_host.get(), static_cast<size_t>(dim_ * count) * 8,
                                cudaMemcpyHostToDevice, stream),
                "to copy data to it");
        }
        if (labels != nullptr) {
          std::memcpy(s.labels_host.get(), labels->data() + first, static_cast<size_t>(count) * 8);
          Check(cudaMemcpyAsync(s.labels.get(), s.labels_host.get(), static_cast<size_t>(count) * 8,
                                cudaMemcpyHostToDevice, stream),
                "to copy data to it");
        }
        s.staged.Record(stream);
        s.pending = true;
      }
      work(Chunk{first, count, plan_.resident ? resident_X_.get() + first * dim_ : s.X.get()}, s,
           stream);
    }
    if (lanes == 2) {
      joined_.Record(streams_[1].get());
      Check(cudaStreamWaitEvent(streams_[0].get(), joined_.get()), "to order its streams");
    }
    checked_ = true;
  }

  const double *X_;
  Index dim_, n_, K_;
  bool full_;
  Stat_Layout layout_;
  Plan plan_;
  bool checked_ = false;  // every element of X has been seen finite
  Device_Array params_, records_, scratch_, totals_, centre_, d2_, d2_sums_, resident_X_;
  Pinned_Array host_;
  std::array<Stream, 2> streams_;
  std::array<Slot, 2> slots_;
  Event ready_, joined_;
  Quiet_Device quiet_;
};

Statistics Unpack(const std::vector<double> &totals, const Stat_Layout &layout, Mode mode) {
  Statistics st;
  st.dim = layout.dim;
  st.K = layout.K;
  st.mode = mode;
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

// Runs body(k) for every cluster over the host's cores when the work is
// worth threads; a cluster's arithmetic never depends on the threads.
template <typename Body>
void For_Clusters(Index K, double work_per_cluster, Body body) {
  const Index by_work = static_cast<Index>(static_cast<double>(K) * work_per_cluster / 2e5) + 1;
  Parallel_Ranges(K, std::min(Host_Cores(), by_work), [&](Index b, Index e) {
    for (Index k = b; k < e; ++k) body(k);
  });
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
  For_Clusters(K, static_cast<double>(block), [&](Index k) {
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

// Factors of a model the fit formed: each covariance (one when shared)
// factored on its own, in parallel, so that a failure names its cluster.
Factors Factor(const Model &m, Index dim, Index K, Mode mode, bool shared, double reg,
               Index iteration) {
  const bool full = mode == Mode::full;
  const Index block = full ? dim * dim : dim, distinct = shared ? 1 : K;
  Factors f;
  f.log_weight.resize(static_cast<size_t>(K));
  f.whitening.resize(static_cast<size_t>(block * K));
  std::vector<char> bad(static_cast<size_t>(distinct), 0);
  const double work = full ? static_cast<double>(dim) * dim * dim : static_cast<double>(dim);
  For_Clusters(distinct, work, [&](Index k) {
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
  if (first != bad.end())
    Fit_Failure(Text("The covariance of %s stopped being positive definite %s; a larger "
                     "'RegularizationValue' (now %s) keeps it so.",
                     shared ? "every cluster (shared)"
                            : ("cluster " + std::to_string(first - bad.begin() + 1)).c_str(),
                     When(iteration).c_str(), Number(reg).c_str()));
  const double common = f.log_weight[0];
  for (Index k = 0; k < K; ++k) {
    if (shared && k > 0)
      std::copy(f.whitening.begin(), f.whitening.begin() + block, f.whitening.begin() + k * block);
    f.log_weight[k] = std::log(m.pi[k]) + (shared ? common : f.log_weight[k]);
  }
  return f;
}

double Uniform(std::mt19937_64 &random) {
  return static_cast<double>(random() >> 11) * 0x1.0p-53;
}

Index Uniform_Index(std::mt19937_64 &random, Index n) {
  return std::min(n - 1, static_cast<Index>(Uniform(random) * static_cast<double>(n)));
}

// What one fit needs besides the device: the data, the options and a
// random stream shared by its replicates.
class Fitter {
 public:
  Fitter(const double *X, Index dim, Index n, Index K, const Fit_Options &o)
      : X_(X), dim_(dim), n_(n), K_(K), o_(o), random_(o.seed),
        device_(X, dim, n, K, o.mode, o.start == Start::plus, o.start == Start::labels,
                o.max_chunk) {}

  Fit_Result Replicate(Index r) {
    if (o_.display == Display::iter && o_.replicates > 1) Say(Text("Replicate %lld:\n", Ll(r)));
    Model model = Start_Model();
    Factors factors = Factors_Of(model, 0);
    Fit_Result result;
    result.replicate = r;
    result.start = model;
    const auto loop = Clock::now();
    for (Index t = 1; t <= o_.max_iter; ++t) {
      device_.Set_Mixture(model.mu, factors);
      const Statistics st = Unpack(device_.Pass(true), device_.layout(), o_.mode);
      const double rise = t > 1 ? (st.log_likelihood - result.history.back()) / static_cast<double>(n_)
                                : std::numeric_limits<double>::quiet_NaN();
      result.history.push_back(st.log_likelihood);
      result.iterations = t;
      if (o_.display == Display::iter) {
        if (t == 1) Say("  iteration       log-likelihood   rise per point\n");
        Say(t == 1 ? Text("  %9lld  %19.12g\n", Ll(t), st.log_likelihood)
                   : Text("  %9lld  %19.12g  %15.6g\n", Ll(t), st.log_likelihood, rise));
      }
      model = M_Step(st, model.mu, o_.regularization, o_.shared, t);
      factors = Factors_Of(model, t);
      if (o_.tol_fun > 0 && t > 1 && rise < o_.tol_fun) {
        result.converged = true;
        break;
      }
    }
    result.seconds_per_iteration = Since(loop) / static_cast<double>(result.iterations);
    device_.Set_Mixture(model.mu, factors);
    result.log_likelihood = device_.Pass(false)[0];
    result.model = std::move(model);
    if (o_.display != Display::off)
      Say(Text("Replicate %lld: %lld iterations, log-likelihood %.12g, %s.\n", Ll(r),
               Ll(result.iterations), result.log_likelihood,
               result.converged ? "converged" : "not converged (MaxIter reached)"));
    return result;
  }

  void Say(const std::string &text) const {
    if (o_.print) o_.print(text);
  }

  const Plan &plan() const { return device_.plan(); }

 private:
  static long long Ll(Index v) { return static_cast<long long>(v); }

  Factors Factors_Of(const Model &m, Index iteration) const {
    return Factor(m, dim_, K_, o_.mode, o_.shared, o_.regularization, iteration);
  }

  Model Start_Model() {
    switch (o_.start) {
      case Start::parameters: {
        Model m{o_.mu, o_.sigma, o_.pi};
        double total = 0.0;
        for (double p : m.pi) total += p;
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
    if (variance_.empty()) {
      const std::vector<double> m = device_.Data_Moments(X_);  // about the first point
      variance_.resize(static_cast<size_t>(dim_));
      for (Index i = 0; i < dim_; ++i) {
        const double d = m[1 + i] / m[0];
        variance_[i] = m[1 + dim_ + i] / m[0] - d * d;
      }
    }
    const bool full = o_.mode == Mode::full;
    const Index block = full ? dim_ * dim_ : dim_;
    Model model{centres, std::vector<double>(static_cast<size_t>(block * K_), 0.0),
                std::vector<double>(static_cast<size_t>(K_), 1.0 / static_cast<double>(K_))};
    for (Index k = 0; k < K_; ++k)
      for (Index i = 0; i < dim_; ++i)
        model.sigma[k * block + (full ? i + i * dim_ : i)] = variance_[i] + o_.regularization;
    return model;
  }

  void Copy_Point(Index j, double *to) const { std::copy(X_ + j * dim_, X_ + (j + 1) * dim_, to); }

  // k-means++: the first centre uniformly, each next one with probability
  // proportional to the squared distance to the nearest centre so far: a
  // unit by its sum, then a point of it by its own distance.
  std::vector<double> Plus_Centres() {
    std::vector<double> centres(static_cast<size_t>(dim_ * K_));
    Copy_Point(Uniform_Index(random_, n_), centres.data());
    const Index unit = device_.plan().unit;
    for (Index m = 1; m < K_; ++m) {
      const std::vector<double> sums =
          device_.Distance_Pass(centres.data() + (m - 1) * dim_, m == 1);
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
        const std::vector<double> d2 = device_.Distances(first, count);
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
      if (j < 0) j = Uniform_Index(random_, n_);
      Copy_Point(j, centres.data() + m * dim_);
    }
    return centres;
  }

  // K distinct points, uniformly.
  std::vector<double> Sample_Centres() {
    std::vector<Index> chosen;
    if (4 * K_ > n_) {
      std::vector<Index> all(static_cast<size_t>(n_));
      for (Index j = 0; j < n_; ++j) all[j] = j;
      for (Index m = 0; m < K_; ++m) {
        std::swap(all[m], all[m + Uniform_Index(random_, n_ - m)]);
        chosen.push_back(all[m]);
      }
    } else {
      std::unordered_set<Index> seen;
      while (static_cast<Index>(chosen.size()) < K_) {
        const Index j = Uniform_Index(random_, n_);
        if (seen.insert(j).second) chosen.push_back(j);
      }
    }
    std::vector<double> centres(static_cast<size_t>(dim_ * K_));
    for (Index m = 0; m < K_; ++m) Copy_Point(chosen[m], centres.data() + m * dim_);
    return centres;
  }

  // The M-step of the labels' hard assignment, about each cluster's first
  // point.
  Model Label_Start() {
    std::vector<double> shift(static_cast<size_t>(dim_ * K_), 0.0);
    std::vector<char> seen(static_cast<size_t>(K_), 0);
    for (Index j = 0; j < n_; ++j) {
      const Index k = static_cast<Index>(o_.labels[j]);
      if (seen[k]) continue;
      seen[k] = 1;
      Copy_Point(j, shift.data() + k * dim_);
    }
    const Statistics st = Unpack(device_.Label_Pass(o_.labels, shift), device_.layout(), o_.mode);
    return M_Step(st, shift, o_.regularization, o_.shared, 0);
  }

  const double *X_;
  Index dim_, n_, K_;
  const Fit_Options &o_;
  std::mt19937_64 random_;
  std::vector<double> variance_;
  Fit_Device device_;
};

void Require_Device() {
  int devices = 0;
  const cudaError_t status = cudaGetDeviceCount(&devices);
  if (status != cudaSuccess || devices == 0) {
    cudaGetLastError();
    throw Error("Velmora:device", std::string("No usable CUDA device: ") +
                                      (status != cudaSuccess ? cudaGetErrorString(status)
                                                             : "none found") +
                                      ".");
  }
}

}  // namespace

std::int64_t Free_Parameters(std::int64_t dim, std::int64_t K, Mode mode, bool shared) {
  const std::int64_t per_covariance = mode == Mode::full ? dim * (dim + 1) / 2 : dim;
  return (K - 1) + K * dim + (shared ? 1 : K) * per_covariance;
}

Fit_Result Fit(const double *X, std::int64_t dim, std::int64_t n, std::int64_t K,
               const Fit_Options &o) {
  if (dim < 1 || K < 1 || n < K || o.max_iter < 1 || o.replicates < 1)
    throw Error("Velmora:usage", "A fit needs dim >= 1, 1 <= K <= N, MaxIter >= 1 and "
                                 "Replicates >= 1.");
  Require_Device();
  if (o.start == Start::parameters) {
    // The user's start: refused with the evaluator's own identifiers.
    const Problem p{dim, 0, K, o.mode, nullptr, o.mu.data(), o.sigma.data(), o.pi.data()};
    try {
      Factorise(p);
    } catch (const Error &e) {
      throw Error(e.id(), std::string("In 'Start': ") + e.what());
    }
  }
  Fitter fitter(X, dim, n, K, o);
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
  best->bic = -2.0 * best->log_likelihood + p * std::log(static_cast<double>(n));
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

Statistics Compute_Statistics(const Problem &p, std::int64_t max_chunk) {
  Require_Device();
  const Factors f = Factorise(p);
  Fit_Device device(p.X, p.dim, p.num_data, p.num_clust, p.mode, false, false, max_chunk);
  device.Set_Mixture(std::vector<double>(p.Mu, p.Mu + p.dim * p.num_clust), f);
  return Unpack(device.Pass(true), device.layout(), p.mode);
}

}  // namespace velmora_log
