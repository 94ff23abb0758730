// The device side of a fit: X on the device for the whole fit when it fits
// (else staged chunk by chunk through page-locked buffers every pass), the
// mixture, the per-chunk buffers and the units' records, and the passes
// over them. Every pass ends with one synchronisation, which brings its
// sums back to the host.
#pragma once

#include <cuda_runtime.h>

#include <array>
#include <cstdint>
#include <vector>

#include "device.h"
#include "log_mixture.h"
#include "statistics.h"

namespace velmora_log {

// How a fit holds X: points per reduction unit and per chunk (chunks start
// on unit boundaries), and whether X stays on the device.
struct Fit_Plan {
  Index unit = 0, units = 0, chunk = 0;
  bool resident = false;
};

class Fit_Device {
 public:
  // `seeding`: room for k-means++ distances; `labels`: for a labels start.
  // max_chunk > 0 caps the points per chunk; `stream` streams X even where
  // it fits.
  // `separate_kernels`: the E-step and the statistics in kernels of their
  // own even where one kernel takes both (to compare the two).
  Fit_Device(const double *X, Index dim, Index n, Index K, Mode mode, bool seeding, bool labels,
             Index max_chunk, bool stream = false, bool separate_kernels = false);
  Fit_Device(const Fit_Device &) = delete;
  Fit_Device &operator=(const Fit_Device &) = delete;

  const Fit_Plan &plan() const { return plan_; }
  const Stat_Layout &layout() const { return layout_; }

  // The mixture the next pass evaluates: centres (also the shift of the
  // statistics), whitening and log-weights.
  void Set_Mixture(const std::vector<double> &mu, const Factors &f);

  // One E-step over all points under the mixture set: the statistics about
  // its centres and the log-likelihood (Stat_Layout's record), or the
  // log-likelihood alone.
  std::vector<double> Pass(bool statistics);

  // The statistics of a hard assignment (labels 0..K-1 per point) about
  // `shift` (dim x K), without the log-likelihood.
  std::vector<double> Label_Pass(const std::vector<double> &labels,
                                 const std::vector<double> &shift);

  // Count, sums of (x - shift) and their squares over all points (1 + 2 dim
  // values): what the data's variance comes from.
  std::vector<double> Data_Moments(const double *shift);

  // k-means++: distances to `centre` folded into the nearest-centre
  // distances (set by the first); returns their sums per unit.
  std::vector<double> Distance_Pass(const double *centre, bool first);
  // The nearest-centre distances of points first .. first + count.
  std::vector<double> Distances(Index first, Index count);

 private:
  struct Chunk {
    Index first = 0, count = 0;
    const double *X = nullptr;  // on the device
  };
  struct Slot {
    Device_Array X, R, log_p, workspace, labels;
    Pinned_Array x_host, labels_host;
    Event staged;  // after the slot's uploads: its page-locked buffers may be refilled
    bool pending = false;
  };
  // Nothing of ours may be in flight when buffers go: declared last, it is
  // destroyed first.
  struct Quiet_Device {
    ~Quiet_Device();
  };

  int Lanes() const { return plan_.resident ? 1 : 2; }
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
  Index dim_, n_, K_;
  bool full_;
  bool one_kernel_;  // the E-step and the statistics in one kernel
  Stat_Layout layout_;
  Fit_Plan plan_;
  bool checked_ = false;  // every element of X has been seen finite
  Device_Array params_, records_, scratch_, totals_, centre_, d2_, d2_sums_, resident_X_;
  Pinned_Array host_;
  std::array<Stream, 2> streams_;
  std::array<Slot, 2> slots_;
  Event ready_, joined_;
  Quiet_Device quiet_;
};

}  // namespace velmora_log
