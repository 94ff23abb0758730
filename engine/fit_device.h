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
  std::vector<double> Point(Index j) override { return Point_Of(data_, j); }
  Index First_Lost() override { return First_Lost_Point(data_, mu_, factors_); }

 private:
  struct Chunk {
    Index first = 0, count = 0;
    const double *X = nullptr;  // on the device
    const double *w = nullptr;  // the points' weights there, or null
  };
  struct Slot {
    Device_Array X, R, log_p, workspace, labels, d2, w;
    Pinned_Array x_host, labels_host, w_host;
    Event staged;  // after the slot's uploads: its page-locked buffers may be refilled
    bool pending = false;
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
  // With `log_p`, R holds raw log terms (diagonal mode).
  void Moments(const Chunk &c, const double *R, const double *log_p, const double *shift,
               double *records, cudaStream_t stream);
  void Upload(double *to, const double *from, Index count);
  std::vector<double> Download(const double *from, Index count);
  std::vector<double> Reduce(Index offset, Index stride, Index width);
  void Stage(double *to, const double *from, Index count, Index offset, bool check) const;
  void Wait_For(Slot &s);
  void Upload_X();
  template <typename Work>
  void For_Each_Chunk(Work work, const std::vector<double> *labels);

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
  Device_Array params_, shift_, records_, scratch_, totals_, centre_, centres_, d2_, d2_sums_,
      resident_X_, resident_w_;
  Index seeds_ = 0;  // k-means++ centres so far, in centres_
  Pinned_Array host_;
  std::array<Stream, 2> streams_;
  std::array<Slot, 2> slots_;
  Event ready_, joined_;
  Quiet_Device quiet_;
};

}  // namespace velmora_log
