// The device side of a fit: X on the device for the whole fit when it fits
// (else staged chunk by chunk through page-locked buffers every pass), the
// mixture, the per-chunk buffers and the units' records, and the passes
// over them. Every pass ends with one synchronisation, which brings its
// sums back to the host.
#pragma once

#include <cuda_runtime.h>

#include <array>
#include <memory>
#include <cstdint>
#include <vector>

#include "device.h"
#include "fit_passes.h"
#include "log_mixture.h"
#include "statistics.h"
#include "unit_tree.h"

namespace velmora_log {

class Fit_Device final : public Fit_Passes {
 public:
  explicit Fit_Device(const Fit_Data &data);
  Fit_Device(const Fit_Device &) = delete;
  Fit_Device &operator=(const Fit_Device &) = delete;

  const Fit_Plan &plan() const override { return plan_; }
  const Stat_Layout &layout() const override { return layout_; }

  void Set_Mixture(const std::vector<double> &mu, const Factors &f) override;
  std::vector<double> Pass(bool statistics, const std::vector<double> &shift) override;
  std::vector<double> Label_Pass(const std::vector<double> &labels,
                                 const std::vector<double> &shift) override;
  std::vector<double> Data_Moments(const double *shift) override;
  std::vector<double> Distance_Pass(const double *centre, bool first) override;
  std::vector<double> Distances(Index first, Index count) override;
  void Seed_Centres(const std::vector<double> &centres) override;
  std::vector<double> Point(Index j) override { return Point_Of(data_, j); }
  Index First_Lost() override { return First_Lost_Point(data_, mu_, factors_); }

 private:
  struct Chunk {
    Index first = 0, count = 0;
    const double *X = nullptr;  // on the device
    const double *w = nullptr;  // the points' weights there, or null
  };
  struct Slot {
    Device_Array X, R, log_p, posterior_shift, workspace, labels, d2, w;
    // The chunk's units' records, and its leaves' (the tree's levels go
    // back and forth between the two); the tree nodes the chunk leaves for
    // the host, in nodes_host once the slot's stream is done.
    Device_Array records, leaves;
    Pinned_Array x_host, labels_host, w_host, nodes_host;
    struct Node {
      Index level, index, at;  // at: its place in nodes_host, in records
    };
    std::vector<Node> nodes;  // in leaf order
    Index width = 0;
    Event staged;  // after the slot's uploads: its page-locked buffers may be refilled
    bool pending = false;
  };
  // Which entries of each unit's record a pass sums: width from offset,
  // records stride apart (width 0: none).
  struct Summed {
    Index offset = 0, stride = 0, width = 0;
  };
  // Nothing of ours may be in flight when buffers go: declared last, it is
  // destroyed first.
  struct Quiet_Device {
    ~Quiet_Device();
  };

  int Lanes() const { return plan_.resident ? 1 : 2; }
  Unit_Points Points_Of(const Chunk &c) const {
    return {c.X, dim_, c.count, plan_.unit, c.w, floor_};
  }
  // With `posterior_shift` (two a point), R holds raw log terms (diagonal
  // mode).
  void Moments(const Chunk &c, const double *R, const double *posterior_shift, const double *shift,
               double *records, cudaStream_t stream);
  void Upload(double *to, const double *from, Index count);
  std::vector<double> Download(const double *from, Index count);
  // The chunk's leaves summed along the tree on the device, in the slot's
  // stream, and the nodes it leaves queued for the host.
  void Chunk_Tree(const Chunk &c, Slot &s, cudaStream_t stream, const Summed &sum);
  // A slot's queued nodes pushed into the tree, once its stream is done.
  void Collect(Slot &s, cudaStream_t stream, Unit_Tree &tree);
  void Stage(double *to, const double *from, Index count, Index offset, bool check) const;
  void Wait_For(Slot &s);
  void Upload_X();
  // The pass's sums: the tree's total, or its nodes for a block's caller.
  template <typename Work>
  std::vector<double> For_Each_Chunk(Work work, const std::vector<double> *labels,
                                     const Summed &sum);

  const double *X_;
  Fit_Data data_;
  std::vector<double> mu_;  // the mixture set, on the host too
  Factors factors_;
  Index dim_, n_, K_;
  bool full_;
  bool one_kernel_;  // the E-step and the statistics in one kernel
  Stat_Layout layout_;
  const double *weights_;  // on the host, or null
  double floor_;           // posteriors below it count as 0
  Fit_Plan plan_;
  bool checked_ = false;  // every element of X has been seen finite
  Device_Array params_, shift_, centre_, centres_, d2_, d2_sums_, resident_X_, resident_w_;
  Index seeds_ = 0;  // k-means++ centres so far, in centres_
  bool seeded_ = false;  // set at once: the resident distances are not theirs yet
  Pinned_Array host_;
  std::array<Stream, 2> streams_;
  std::array<Slot, 2> slots_;
  Event ready_, joined_;
  Quiet_Device quiet_;
};

}  // namespace velmora_log
