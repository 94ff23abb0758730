// The device side of a fit: the plan, the staging of X, and the passes.
#include "fit_device.h"

#include <cuda_runtime.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <mutex>
#include <string>
#include <vector>


#include "kernels.h"
#include "parallel.h"

namespace velmora_log {

namespace {

// Points per unit (a leaf of the tree is kTreeLeaf / kUnit units), and
// the most doubles a chunk's records and leaves may take together (chunks
// shrink until they fit).
constexpr Index kUnit = 512;
constexpr Index kUnitsPerLeaf = kTreeLeaf / kUnit;
static_assert(kTreeLeaf % kUnit == 0, "whole units in a leaf");
constexpr Index kRecordBudget = Index{1} << 24;
// The tree nodes one chunk of `leaves` leaves leaves for the host at most.
Index Max_Nodes(Index leaves) {
  Index levels = 1;
  while ((Index{1} << levels) < leaves) ++levels;
  return 2 * levels + 2;
}



// Units from the size of the records; X resident when it fits beside
// everything else with one unit of per-point buffers, else two streamed
// slots; chunks from the free memory, in whole units.
// `keeps_points`: passes keep posteriors and logP per point (the one-kernel
// pass keeps neither, and there only a labels start needs posteriors).
Fit_Plan Make_Plan(Index dim, Index n, Index K, Mode mode, bool seeding, bool keeps_points,
                   bool weighted, Index max_chunk, bool stream) {
  const bool full = mode == Mode::full;
  const Stat_Layout layout{dim, K, full};
  const Index S = layout.Size();
  Fit_Plan plan;
  plan.unit = kUnit;
  plan.units = Ceil_Div(n, plan.unit);
  // A chunk's records and leaves, (kUnitsPerLeaf + 1) S doubles a leaf.
  const Index leaves_by_records =
      std::max<Index>(1, kRecordBudget / ((kUnitsPerLeaf + 1) * S));

  size_t free_bytes = 0, total_bytes = 0;
  Check(cudaMemGetInfo(&free_bytes, &total_bytes), "to report its free memory");
  const double usable = 0.9 * static_cast<double>(free_bytes);
  const Index whitening = full ? dim * dim * K : dim * K;
  // k-means++ keeps every point's nearest-centre distance where X is
  // resident; streamed, it finds them again each pass from the centres so
  // far, a chunk at a time, so that seeding needs no memory that grows
  // with N.
  const double fixed = 8.0 * static_cast<double>(dim * K + whitening + K + dim + dim * K +
                                                 (seeding ? plan.units : 0));
  const double seeds = seeding ? 8.0 * static_cast<double>(n) : 0.0;
  // Posteriors, logP, the full kernels' workspace or diagonal mode's
  // posterior shift, and a label, per point; and its weight.
  const double per_point =
      (keeps_points
           ? 8.0 * static_cast<double>(K + 2 + (full ? Full_Workspace(dim, K, 1) : 2))
           : 0.0) +
      (weighted ? 8.0 : 0.0) +
      8.0 * static_cast<double>((kUnitsPerLeaf + 1) * S) / static_cast<double>(kTreeLeaf);
  const double x_bytes = 8.0 * static_cast<double>(dim) * static_cast<double>(n);
  const Index least = std::min(n, kTreeLeaf);
  double chunk = 0;
  if (!stream && fixed + x_bytes + seeds + per_point * static_cast<double>(least) <= usable) {
    plan.resident = true;
    chunk = per_point > 0 ? (usable - fixed - x_bytes - seeds) / per_point : static_cast<double>(n);
  } else {
    const double per_streamed = 2.0 * (per_point + 8.0 * static_cast<double>(dim) +
                                       (seeding ? 8.0 : 0.0));
    chunk = std::min((usable - fixed) / per_streamed,
                     static_cast<double>(std::max(
                         kTreeLeaf, Pinned_Budget() / (16 * (dim + 1)))));
    if (chunk < static_cast<double>(least))
      throw Error("Velmora:memory",
                  "The fit needs at least " +
                      std::to_string(static_cast<Index>(fixed + per_streamed * least)) +
                      " bytes of device memory (" + std::to_string(least) +
                      " points at a time); " + std::to_string(free_bytes) + " are free.");
  }
  // Grids stay within 32 bits, and the tree's levels within a grid's
  // second dimension.
  chunk = std::min({chunk, static_cast<double>(Index{1} << 30),
                    static_cast<double>((Index{1} << 31) / Statistics_Blocks(dim, K) *
                                        plan.unit),
                    static_cast<double>(std::min<Index>(leaves_by_records, 32768) * kTreeLeaf)});
  if (max_chunk > 0) chunk = std::min(chunk, static_cast<double>(max_chunk));
  if (chunk >= static_cast<double>(n)) {
    plan.chunk = n;
  } else {
    // A power of two of leaves: a whole chunk is one node of the tree.
    plan.chunk = kTreeLeaf;
    while (2.0 * static_cast<double>(plan.chunk) <= chunk) plan.chunk *= 2;
  }
  return plan;
}

}  // namespace

Fit_Device::Quiet_Device::~Quiet_Device() {
  cudaDeviceSynchronize();
  cudaGetLastError();
}

std::unique_ptr<Fit_Passes> Make_Device_Passes(const Fit_Data &data) {
  return std::make_unique<Fit_Device>(data);
}

Fit_Device::Fit_Device(const Fit_Data &d)
    : X_(d.X), data_(d), dim_(d.dim), n_(d.n), K_(d.K), full_(d.mode == Mode::full),
      one_kernel_(!d.separate_kernels && Fused_Fits(d.dim, d.K, full_)), layout_{d.dim, d.K, full_},
      weights_(d.weights), floor_(d.probability_tolerance),
      plan_(Make_Plan(d.dim, d.n, d.K, d.mode, d.seeding, d.labels || !one_kernel_,
                      d.weights != nullptr, d.max_chunk, d.stream)) {
  if (d.first % kTreeLeaf != 0)
    throw std::logic_error("a block of a fit starts on a leaf of its tree");
  const Index dim = d.dim, n = d.n, K = d.K;
  const bool seeding = d.seeding, labels = d.labels;
  const Index S = layout_.Size(), C = plan_.chunk;
  const Index whitening = full_ ? dim * dim * K : dim * K;
  params_.Reserve(dim * K + whitening + K);
  shift_.Reserve(dim * K);
  centre_.Reserve(dim);
  if (seeding) {
    centres_.Reserve(dim * K);
    if (plan_.resident) d2_.Reserve(n);
    d2_sums_.Reserve(plan_.units);
  }
  const Index chunk_units = Ceil_Div(C, kUnit), chunk_leaves = Ceil_Div(C, kTreeLeaf);
  for (int l = 0; l < Lanes(); ++l) {
    Slot &s = slots_[l];
    s.records.Reserve(chunk_units * S);
    s.leaves.Reserve(chunk_leaves * S);
    s.nodes_host.Reserve(Max_Nodes(chunk_leaves) * S);
    if (labels || !one_kernel_) {
      s.R.Reserve(K * C);
      s.log_p.Reserve(C);
      if (!full_ && !one_kernel_) s.posterior_shift.Reserve(2 * C);
      if (full_) s.workspace.Reserve(Full_Workspace(dim, K, C));
    }
    if (seeding && !plan_.resident) s.d2.Reserve(C);
    if (labels) {
      s.labels.Reserve(C);
      s.labels_host.Reserve(C);
    }
    if (!plan_.resident) {
      s.X.Reserve(dim * C);
      s.x_host.Reserve(dim * C);
      if (weights_ != nullptr) {
        s.w.Reserve(C);
        s.w_host.Reserve(C);
      }
    }
  }
  if (plan_.resident) {
    Upload_X();
    if (weights_ != nullptr) {
      resident_w_.Reserve(n);
      Upload(resident_w_.get(), weights_, n);
    }
  }
}

// Runs work(chunk, slot, stream) for the chunks of X in order, and sums
// the entries `sum` names of the units' records: each chunk's leaves along
// the tree on the device, the nodes it leaves pushed on the host in chunk
// order. Streamed chunks alternate between two slots and streams, so that
// one chunk's staging and upload overlap the kernels of the one before.
template <typename Work>
std::vector<double> Fit_Device::For_Each_Chunk(Work work, const std::vector<double> *labels,
                                               const Summed &sum) {
  const int lanes = Lanes();
  if (lanes == 2) {
    // The second stream starts after what the first has queued.
    ready_.Record(streams_[0].get());
    Check(cudaStreamWaitEvent(streams_[1].get(), ready_.get()), "to order its streams");
  }
  Unit_Tree tree(std::max<Index>(1, sum.width));
  std::deque<int> queued;  // lanes whose chunk's nodes wait, in chunk order
  Index index = 0;
  for (Index first = 0; first < n_; first += plan_.chunk, ++index) {
    const int lane = static_cast<int>(index % lanes);
    Slot &s = slots_[lane];
    const cudaStream_t stream = streams_[lane].get();
    // The slot's last chunk's nodes, and those of every chunk before it.
    while (std::find(queued.begin(), queued.end(), lane) != queued.end()) {
      Collect(slots_[queued.front()], streams_[queued.front()].get(), tree);
      queued.pop_front();
    }
    const Index count = std::min(plan_.chunk, n_ - first);
    // A value per point of the chunk, through a page-locked buffer.
    const auto send = [&](Device_Array &to, Pinned_Array &via, const double *from) {
      std::memcpy(via.get(), from + first, static_cast<size_t>(count) * 8);
      Check(cudaMemcpyAsync(to.get(), via.get(), static_cast<size_t>(count) * 8,
                            cudaMemcpyHostToDevice, stream),
            "to copy data to it");
    };
    if (!plan_.resident || labels != nullptr) {
      Wait_For(s);
      if (!plan_.resident) {
        Stage(s.x_host.get(), X_ + first * dim_, dim_ * count, first * dim_, !checked_);
        Check(cudaMemcpyAsync(s.X.get(), s.x_host.get(), static_cast<size_t>(dim_ * count) * 8,
                              cudaMemcpyHostToDevice, stream),
              "to copy data to it");
        if (weights_ != nullptr) send(s.w, s.w_host, weights_);
      }
      if (labels != nullptr) send(s.labels, s.labels_host, labels->data());
      s.staged.Record(stream);
      s.pending = true;
    }
    const double *w = weights_ == nullptr ? nullptr
                      : plan_.resident    ? resident_w_.get() + first
                                          : s.w.get();
    const Chunk c{first, count, plan_.resident ? resident_X_.get() + first * dim_ : s.X.get(), w};
    work(c, s, stream);
    if (sum.width > 0) {
      Chunk_Tree(c, s, stream, sum);
      queued.push_back(lane);
    }
  }
  for (; !queued.empty(); queued.pop_front())
    Collect(slots_[queued.front()], streams_[queued.front()].get(), tree);
  if (lanes == 2) {
    joined_.Record(streams_[1].get());
    Check(cudaStreamWaitEvent(streams_[0].get(), joined_.get()), "to order its streams");
  }
  checked_ = true;
  if (sum.width == 0) return {};
  return data_.partial ? tree.Nodes() : tree.Total();
}

// The chunk's leaves [lo, hi) (among all the data's) go up the tree level by
// level: a node whose sibling lies outside the chunk is left for the host
// (copied out before the next level overwrites it), the others paired.
void Fit_Device::Chunk_Tree(const Chunk &c, Slot &s, cudaStream_t stream, const Summed &sum) {
  const Index width = sum.width;
  Launch_Leaf_Sums(s.records.get() + sum.offset, Ceil_Div(c.count, kUnit), kUnitsPerLeaf,
                   sum.stride, width, s.leaves.get(), stream);
  double *level_at[2] = {s.leaves.get(), s.records.get()};
  int b = 0;
  Index lo = (data_.first + c.first) / kTreeLeaf, hi = lo + Ceil_Div(c.count, kTreeLeaf);
  std::vector<Slot::Node> left, right;
  const auto leave = [&](std::vector<Slot::Node> &to, Index level, Index node, const double *from) {
    const Index at = static_cast<Index>(left.size() + right.size());
    Check(cudaMemcpyAsync(s.nodes_host.get() + at * width, from, static_cast<size_t>(width) * 8,
                          cudaMemcpyDeviceToHost, stream),
          "to copy results back");
    to.push_back({level, node, at});
  };
  for (Index level = 0; lo < hi; ++level) {
    const double *nodes = level_at[b];
    if (lo % 2 != 0) {
      leave(left, level, lo, nodes);
      nodes += width;
      ++lo;
    }
    if (lo < hi && hi % 2 != 0) {
      --hi;
      leave(right, level, hi, nodes + (hi - lo) * width);
    }
    if (lo >= hi) break;
    Launch_Pair_Sums(nodes, (hi - lo) / 2, width, level_at[1 - b], stream);
    b = 1 - b;
    lo /= 2;
    hi /= 2;
  }
  s.nodes = std::move(left);
  s.nodes.insert(s.nodes.end(), right.rbegin(), right.rend());
  s.width = width;
}

void Fit_Device::Collect(Slot &s, cudaStream_t stream, Unit_Tree &tree) {
  Check(cudaStreamSynchronize(stream), "while fitting");
  for (const Slot::Node &node : s.nodes)
    tree.Push(node.level, node.index, s.nodes_host.get() + node.at * s.width);
  s.nodes.clear();
}

void Fit_Device::Set_Mixture(const std::vector<double> &mu, const Factors &f) {
  mu_ = mu;
  factors_ = f;
  std::vector<double> host(mu);
  host.insert(host.end(), f.whitening.begin(), f.whitening.end());
  host.insert(host.end(), f.log_weight.begin(), f.log_weight.end());
  Upload(params_.get(), host.data(), static_cast<Index>(host.size()));
}

std::vector<double> Fit_Device::Pass(bool statistics, const std::vector<double> &shift) {
  const Index S = layout_.Size();
  const Device_Mixture mixture{dim_, K_, params_.get(), params_.get() + dim_ * K_,
                               params_.get() + dim_ * K_ + (full_ ? dim_ * dim_ : dim_) * K_};
  const double *about = mixture.mu;
  if (statistics && !shift.empty()) {
    Upload(shift_.get(), shift.data(), dim_ * K_);
    about = shift_.get();
  }
  return For_Each_Chunk(
      [&](const Chunk &c, Slot &s, cudaStream_t stream) {
        double *records = s.records.get();
        if (one_kernel_) {
          Launch_Fused(mixture, Points_Of(c), about, layout_, statistics, records, stream);
          return;
        }
        const Device_Points points{c.X, c.count, dim_, 1};
        const Device_Results results{s.log_p.get(), statistics ? s.R.get() : nullptr, K_, 1,
                                     statistics && !full_ ? s.posterior_shift.get() : nullptr};
        // Diagonal posteriors are normalised as the moments read them, which
        // spares the evaluator the second sweep over the clusters.
        if (full_) Launch_Full(mixture, points, results, s.workspace.get(), stream);
        else Launch_Diagonal(mixture, points, results, stream, true);
        Launch_Unit_Sums(s.log_p.get(), c.w, c.count, plan_.unit,
                         records + layout_.Log_Likelihood(), S, stream);
        if (statistics)
          Moments(c, s.R.get(), full_ ? nullptr : s.posterior_shift.get(), about, records, stream);
      },
      nullptr, statistics ? Summed{0, S, S} : Summed{layout_.Log_Likelihood(), S, 1});
}

std::vector<double> Fit_Device::Label_Pass(const std::vector<double> &labels,
                               const std::vector<double> &shift) {
  Upload(params_.get(), shift.data(), dim_ * K_);
  const Index S = layout_.Size();
  return For_Each_Chunk(
      [&](const Chunk &c, Slot &s, cudaStream_t stream) {
        Launch_One_Hot(s.labels.get(), c.count, K_, s.R.get(), stream);
        Moments(c, s.R.get(), nullptr, params_.get(), s.records.get(), stream);
      },
      &labels, Summed{0, S, layout_.Log_Likelihood()});
}

std::vector<double> Fit_Device::Data_Moments(const double *shift) {
  Upload(centre_.get(), shift, dim_);
  const Index S = layout_.Size();
  return For_Each_Chunk(
      [&](const Chunk &c, Slot &s, cudaStream_t stream) {
        Launch_Moments(Points_Of(c), nullptr, nullptr, centre_.get(), 1, true, s.records.get(), S,
                       1 + 2 * dim_, stream);
      },
      nullptr, Summed{0, S, 1 + 2 * dim_});
}

std::vector<double> Fit_Device::Distance_Pass(const double *centre, bool first) {
  if (first) seeds_ = 0;
  Upload(centres_.get() + seeds_ * dim_, centre, dim_);
  const Index m = ++seeds_;
  // Resident, the distances so far wait on the device, unless the centres
  // before this one were set at once.
  const Index from = plan_.resident && !seeded_ ? m - 1 : 0;
  seeded_ = false;
  For_Each_Chunk(
      [&](const Chunk &c, Slot &s, cudaStream_t stream) {
        double *d2 = plan_.resident ? d2_.get() + c.first : s.d2.get();
        Launch_Distances(c.X, dim_, c.count, centres_.get(), from, m, d2, stream);
        Launch_Unit_Sums(d2, c.w, c.count, plan_.unit, d2_sums_.get() + c.first / plan_.unit, 1,
                         stream);
      },
      nullptr, Summed{});
  return Download(d2_sums_.get(), plan_.units);
}

void Fit_Device::Seed_Centres(const std::vector<double> &centres) {
  seeds_ = static_cast<Index>(centres.size()) / dim_;
  if (seeds_ > 0) Upload(centres_.get(), centres.data(), seeds_ * dim_);
  seeded_ = true;
}

std::vector<double> Fit_Device::Distances(Index first, Index count) {
  if (plan_.resident) return Download(d2_.get() + first, count);
  // Streamed: these points' distances again, from every centre so far.
  Slot &s = slots_[0];
  Wait_For(s);
  Stage(s.x_host.get(), X_ + first * dim_, dim_ * count, first * dim_, false);
  const cudaStream_t stream = streams_[0].get();
  Check(cudaMemcpyAsync(s.X.get(), s.x_host.get(), static_cast<size_t>(dim_ * count) * 8,
                        cudaMemcpyHostToDevice, stream),
        "to copy data to it");
  Launch_Distances(s.X.get(), dim_, count, centres_.get(), 0, seeds_, s.d2.get(), stream);
  return Download(s.d2.get(), count);
}

void Fit_Device::Moments(const Chunk &c, const double *R, const double *posterior_shift,
                         const double *shift, double *records, cudaStream_t stream) {
  const Unit_Points x = Points_Of(c);
  const Index S = layout_.Size(), per_cluster = layout_.Per_Cluster();
  const bool summed = full_ && Launch_Second_Moments(x, R, shift, K_, records, S, per_cluster, stream);
  if (!summed)
    Launch_Moments(x, R, posterior_shift, shift, K_, !full_, records, S, per_cluster, stream);
}

// Small uploads go on the first stream, before the pass that reads them.
void Fit_Device::Upload(double *to, const double *from, Index count) {
  Check(cudaMemcpyAsync(to, from, static_cast<size_t>(count) * 8, cudaMemcpyHostToDevice,
                        streams_[0].get()),
        "to copy parameters to it");
}

std::vector<double> Fit_Device::Download(const double *from, Index count) {
  host_.Reserve(std::max<Index>(count, 1));
  Check(cudaMemcpyAsync(host_.get(), from, static_cast<size_t>(count) * 8,
                        cudaMemcpyDeviceToHost, streams_[0].get()),
        "to copy results back");
  Check(cudaStreamSynchronize(streams_[0].get()), "while fitting");
  return std::vector<double>(host_.get(), host_.get() + count);
}

// Copies X's elements into a page-locked buffer over host threads; the
// first time each element is seen, it must be finite.
void Fit_Device::Stage(double *to, const double *from, Index count, Index offset, bool check) const {
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
                                  std::to_string(data_.first + g / dim_ + 1) + ") is " +
                                  Number(from[first_bad]) +
                                  ": every coordinate of the data must be finite.");
}

void Fit_Device::Wait_For(Slot &s) {
  if (s.pending) Check(cudaEventSynchronize(s.staged.get()), "while fitting");
  s.pending = false;
}

// X onto the device once, in pieces through both slots' page-locked
// buffers, checked as it goes.
void Fit_Device::Upload_X() {
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

}  // namespace velmora_log
