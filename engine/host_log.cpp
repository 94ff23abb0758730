// The host engine's evaluator: chunks of at most Limits::max_chunk points
// (all of them by default), each cut into panels that the host's threads
// share in contiguous ranges. Nothing but the outputs grows with the data.
#include "host_log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "host_panels.h"
#include "parallel.h"

namespace velmora_log {

namespace {

using host::Index;
using host::kPanel;

// Points with a NaN coordinate get NaN, those with an infinite one -inf
// (their density is 0), and NaN posteriors both: decided from the point,
// since whitening by a full factor mixes +inf and -inf into NaN.
void Mark_Non_Finite(Index dim, Index K, Index count, host::Panel_Work &w) {
  double *flag = w.top.data();  // 0 finite, 1 infinite, 2 NaN
  std::fill(flag, flag + kPanel, 0.0);
  for (Index i = 0; i < dim; ++i)
    for (Index p = 0; p < count; ++p) {
      const double v = w.x[i * kPanel + p];
      const double f = v != v ? 2.0 : std::fabs(v) == std::numeric_limits<double>::infinity();
      flag[p] = std::max(flag[p], f);
    }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (Index p = 0; p < count; ++p) {
    if (flag[p] == 0.0) continue;
    w.log_p[p] = flag[p] == 2.0 ? nan : -std::numeric_limits<double>::infinity();
    for (Index k = 0; k < K; ++k) w.terms[k * kPanel + p] = nan;
  }
}

}  // namespace

void Host_Evaluator::Evaluate(const Problem &p, const Factors &f, const Output &out,
                              const Limits &limits) {
  const auto start = std::chrono::steady_clock::now();
  timings_ = Timings{};
  const Index dim = p.dim, K = p.num_clust, n = p.num_data;
  const bool rows = p.layout == Layout::rows;
  if (n == 0) return;
  const Index chunk = limits.max_chunk > 0 ? std::min<Index>(limits.max_chunk, n) : n;
  last_chunk_ = chunk;
  const host::Panel_Mixture m{dim,  K, p.mode == Mode::full, p.Mu, f.whitening.data(),
                              f.log_weight.data()};
  const Index point_stride = rows ? 1 : dim, coord_stride = rows ? n : 1;
  // A thread for every 1.5e6 operations or so (an exp counted as 60):
  // starting one with its scratch cost 50-80 us a call on a 2-core
  // machine, more than a small call's whole work.
  const double per_point =
      static_cast<double>(K) * ((p.mode == Mode::full ? dim * (dim + 1) : 3 * dim) + 60);
  const Index threads = host::Threads();
  // An interrupt is asked for on the calling thread alone (Octave's count
  // of Ctrl-Cs is its own), between its panels; the others see `stop` at
  // their next panel.
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> stop = false;
  for (Index j0 = 0; j0 < n; j0 += chunk) {
    if (j0 > 0 && Asked(limits.interrupted)) throw Evaluation_Interrupted();
    const Index count = std::min(chunk, n - j0), panels = (count + kPanel - 1) / kPanel;
    const auto by_work = static_cast<Index>(static_cast<double>(count) * per_point / 1.5e6);
    Parallel_Ranges(panels, std::min({threads, panels, std::max<Index>(1, by_work)}),
                    [&](Index b, Index e) {
      host::Panel_Work w;
      w.Reserve(dim, K);
      const bool asks = std::this_thread::get_id() == caller;
      for (Index panel = b; panel < e; ++panel) {
        if (panel > b && asks && Asked(limits.interrupted)) stop = true;
        if (stop.load(std::memory_order_relaxed)) return;
        const Index first = j0 + panel * kPanel, c = std::min(kPanel, j0 + count - first);
        host::Load_Panel(p.X, point_stride, coord_stride, dim, first, c, w, true);
        host::Log_Terms(m, w);
        host::Log_Sum_Exp(K, out.posteriors != nullptr, w);
        Mark_Non_Finite(dim, K, c, w);
        std::copy(w.log_p.begin(), w.log_p.begin() + c, out.log_p + first);
        if (out.posteriors == nullptr) continue;
        const double *r = w.terms.data();
        if (rows)
          for (Index k = 0; k < K; ++k)
            std::copy(r + k * kPanel, r + k * kPanel + c, out.posteriors + k * n + first);
        else
          // Point by point, so that the output (far larger than the cache)
          // is written along memory; the panel's posteriors are read
          // across, from the cache.
          for (Index q = 0; q < c; ++q) {
            double *to = out.posteriors + (first + q) * K;
            for (Index k = 0; k < K; ++k) to[k] = r[k * kPanel + q];
          }
      }
    });
    if (stop) throw Evaluation_Interrupted();
    ++timings_.chunks;
  }
  timings_.total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace velmora_log
