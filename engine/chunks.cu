// The evaluator's chunk driver: plans chunks from the device's free memory
// and a page-locked staging budget, and pipelines them over two streams, so
// that the upload of one chunk overlaps the kernels of the one before and
// the download of the one before that. Host threads copy between the
// caller's arrays and the page-locked buffers while the device works.
#include <cuda_runtime.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>


#include "device.h"
#include "host_log.h"
#include "kernels.h"
#include "log_mixture.h"
#include "parallel.h"

namespace velmora_log {

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Copies of `rows` runs of `width` doubles between strided arrays, spread
// over host threads when there is enough to copy.
void Copy_Runs(double *to, Index to_stride, const double *from, Index from_stride, Index rows,
               Index width) {
  const Index bytes = rows * width * 8;
  if (bytes == 0) return;  // nothing to copy (a mixture of no coordinates), and maybe no buffers
  const Index threads = std::min<Index>({Host_Cores(), 8, bytes / (Index{4} << 20) + 1});
  if (rows == 1) {
    Parallel_Ranges(width, threads, [&](Index b, Index e) {
      std::memcpy(to + b, from + b, static_cast<size_t>(e - b) * 8);
    });
    return;
  }
  Parallel_Ranges(rows, threads, [&](Index b, Index e) {
    for (Index r = b; r < e; ++r)
      std::memcpy(to + r * to_stride, from + r * from_stride, static_cast<size_t>(width) * 8);
  });
}

}  // namespace

// One of the two pipeline slots: its device and page-locked buffers, and the
// events that time its steps and tell when it may be reused.
struct Slot {
  Device_Array X, log_p, R, workspace;
  Pinned_Array x_host, log_p_host, R_host;
  std::array<Event, 4> marks;  // before upload, after upload, after kernels, after download
  Index first = 0, count = 0;  // the chunk it holds
  bool busy = false;
};

struct Evaluator::Impl {
  Device_Array params;
  std::array<Slot, 2> slots;
  std::array<Stream, 2> streams;
  Index last_chunk = 0;
  Timings timings;

  Index Held() const {
    Index held = params.bytes();
    for (const Slot &s : slots)
      for (const Device_Array *a : {&s.X, &s.log_p, &s.R, &s.workspace}) held += a->bytes();
    return held;
  }
  void Release_All() {
    params.Release();
    for (Slot &s : slots) {
      for (Device_Array *a : {&s.X, &s.log_p, &s.R, &s.workspace}) a->Release();
      for (Pinned_Array *a : {&s.x_host, &s.log_p_host, &s.R_host}) a->Release();
      s.busy = false;
    }
  }
};

Evaluator::Evaluator(Engine engine) {
  if (engine == Engine::host) {
    host_ = std::make_unique<Host_Evaluator>();
    return;
  }
  Require_Device();
  impl_ = std::make_unique<Impl>();
}

Evaluator::~Evaluator() {
  if (impl_) cudaDeviceSynchronize();  // nothing of ours is in flight when it goes
}

std::int64_t Evaluator::last_chunk() const {
  return host_ ? host_->last_chunk() : impl_->last_chunk;
}
const Timings &Evaluator::last_timings() const {
  return host_ ? host_->last_timings() : impl_->timings;
}

void Evaluator::Evaluate(const Problem &p, const Factors &f, const Output &out,
                         const Limits &limits) {
  if (host_) {
    host_->Evaluate(p, f, out, limits);
    return;
  }
  const auto call_start = Clock::now();
  Impl &m = *impl_;
  m.timings = Timings{};
  const bool full = p.mode == Mode::full, rows = p.layout == Layout::rows;
  const Index dim = p.dim, K = p.num_clust, n = p.num_data;
  const bool want_r = out.posteriors != nullptr;
  if (n == 0) return;

  // The mixture, in one upload: centres, whitening, log-weights.
  std::vector<double> host;
  host.reserve(static_cast<size_t>(dim * K) + f.whitening.size() + f.log_weight.size());
  host.insert(host.end(), p.Mu, p.Mu + dim * K);
  host.insert(host.end(), f.whitening.begin(), f.whitening.end());
  host.insert(host.end(), f.log_weight.begin(), f.log_weight.end());
  const Index param_count = static_cast<Index>(host.size());

  // Points per chunk, from the free memory (counting what this evaluator
  // holds, which it gives back before growing) and the staging budget.
  size_t free_bytes = 0, total_bytes = 0;
  Check(cudaMemGetInfo(&free_bytes, &total_bytes), "to report its free memory");
  const Index usable = static_cast<Index>((static_cast<double>(free_bytes) + m.Held()) * 0.9);
  const Index out_per_point = 1 + (want_r ? K : 0);
  const Index ws_per_point = full ? Full_Workspace(dim, K, 1) : 0;
  const Index device_per_point = 2 * 8 * (dim + out_per_point + ws_per_point);
  const Index pinned_per_point = 2 * 8 * (dim + out_per_point);
  const Index fixed = param_count * 8;
  Index chunk = device_per_point > 0 ? (usable - fixed) / device_per_point : n;
  chunk = std::min(chunk, std::max<Index>(1, Pinned_Budget() / pinned_per_point));
  if (limits.max_chunk > 0) chunk = std::min(chunk, limits.max_chunk);
  // Grids stay within 32 bits.
  chunk = std::min({chunk, n, Index{1} << 30});
  if (chunk < 1 || usable < fixed)
    throw Error("Velmora:memory",
                "Not even one column fits in the device's free memory: the call needs " +
                    std::to_string(fixed + device_per_point) + " bytes, " +
                    std::to_string(free_bytes) + " are free.");
  m.last_chunk = chunk;

  try {
    // When anything must grow, everything is given back first, so that
    // held buffers do not crowd out new ones.
    const auto device_needs = [&](Slot &s) {
      return std::array<std::pair<Device_Array *, Index>, 4>{
          {{&s.X, dim * chunk}, {&s.log_p, chunk}, {&s.R, want_r ? K * chunk : 0},
           {&s.workspace, ws_per_point * chunk}}};
    };
    const auto pinned_needs = [&](Slot &s) {
      return std::array<std::pair<Pinned_Array *, Index>, 3>{
          {{&s.x_host, dim * chunk}, {&s.log_p_host, chunk}, {&s.R_host, want_r ? K * chunk : 0}}};
    };
    bool grow = !m.params.Holds(param_count);
    for (Slot &s : m.slots) {
      for (const auto &[a, count] : device_needs(s)) grow = grow || !a->Holds(count);
      for (const auto &[a, count] : pinned_needs(s)) grow = grow || !a->Holds(count);
    }
    if (grow) m.Release_All();
    m.params.Reserve(param_count);
    for (Slot &s : m.slots) {
      for (const auto &[a, count] : device_needs(s)) a->Reserve(count);
      for (const auto &[a, count] : pinned_needs(s)) a->Reserve(count);
    }
    Check(cudaMemcpyAsync(m.params.get(), host.data(), static_cast<size_t>(param_count) * 8,
                          cudaMemcpyHostToDevice, m.streams[0].get()),
          "to copy the mixture to it");
    const Device_Mixture mixture{dim, K, m.params.get(), m.params.get() + dim * K,
                                 m.params.get() + dim * K + static_cast<Index>(f.whitening.size())};
    // The second stream's first chunk must not run before the mixture is there.
    Event mixture_ready;
    mixture_ready.Record(m.streams[0].get());
    Check(cudaStreamWaitEvent(m.streams[1].get(), mixture_ready.get()), "to order its streams");
    m.timings.prepare = Since(call_start);

    // A slot's chunk, once its download is done: the step times, and its
    // results from the page-locked buffers into the caller's arrays.
    const auto finish = [&](Slot &s) {
      if (!s.busy) return;
      s.busy = false;
      Check(cudaEventSynchronize(s.marks[3].get()), "while evaluating");
      m.timings.upload += Seconds(s.marks[0], s.marks[1]);
      m.timings.device += Seconds(s.marks[1], s.marks[2]);
      m.timings.download += Seconds(s.marks[2], s.marks[3]);
      const auto start = Clock::now();
      std::memcpy(out.log_p + s.first, s.log_p_host.get(), static_cast<size_t>(s.count) * 8);
      if (want_r) {
        if (rows) Copy_Runs(out.posteriors + s.first, n, s.R_host.get(), s.count, K, s.count);
        else Copy_Runs(out.posteriors + s.first * K, 0, s.R_host.get(), 0, 1, K * s.count);
      }
      m.timings.staging += Since(start);
    };

    Index index = 0;
    for (Index j0 = 0; j0 < n; j0 += chunk, ++index) {
      // Below, what is in flight is waited for and the buffers given back.
      if (j0 > 0 && Asked(limits.interrupted)) throw Evaluation_Interrupted();
      Slot &s = m.slots[index % 2];
      const cudaStream_t stream = m.streams[index % 2].get();
      finish(s);
      s.first = j0;
      s.count = std::min(chunk, n - j0);
      const Index c = s.count;
      const auto start = Clock::now();
      if (rows) Copy_Runs(s.x_host.get(), c, p.X + j0, n, dim, c);
      else Copy_Runs(s.x_host.get(), 0, p.X + j0 * dim, 0, 1, dim * c);
      m.timings.staging += Since(start);

      s.marks[0].Record(stream);
      Check(cudaMemcpyAsync(s.X.get(), s.x_host.get(), static_cast<size_t>(dim * c) * 8,
                            cudaMemcpyHostToDevice, stream),
            "to copy data to it");
      s.marks[1].Record(stream);
      const Device_Points points{s.X.get(), c, rows ? 1 : dim, rows ? c : 1};
      const Device_Results results{s.log_p.get(), want_r ? s.R.get() : nullptr, rows ? 1 : K,
                                   rows ? c : 1};
      if (full) Launch_Full(mixture, points, results, s.workspace.get(), stream);
      else Launch_Diagonal(mixture, points, results, stream);
      s.marks[2].Record(stream);
      Check(cudaMemcpyAsync(s.log_p_host.get(), s.log_p.get(), static_cast<size_t>(c) * 8,
                            cudaMemcpyDeviceToHost, stream),
            "to copy results back");
      if (want_r)
        Check(cudaMemcpyAsync(s.R_host.get(), s.R.get(), static_cast<size_t>(K * c) * 8,
                              cudaMemcpyDeviceToHost, stream),
              "to copy results back");
      s.marks[3].Record(stream);
      s.busy = true;
      ++m.timings.chunks;
    }
    // The older chunk first, so that results land in order.
    finish(m.slots[index % 2]);
    finish(m.slots[(index + 1) % 2]);
  } catch (...) {
    // Nothing may be in flight into buffers about to go, and no slot may
    // keep a chunk for the next call to copy out. A failed device holds
    // nothing of ours afterwards; memory that ran short (the device's or
    // the host's) is given back too, so that the session can use it.
    cudaDeviceSynchronize();
    m.Release_All();
    cudaGetLastError();
    throw;
  }
  m.timings.total = Since(call_start);
}

}  // namespace velmora_log
