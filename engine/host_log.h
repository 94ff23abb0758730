// VelmoraLog on the host engine: the evaluator's contract (log-densities
// and optional posteriors, points as columns or rows, non-finite points
// marked, a point's bits independent of the chunks and of the other
// points) in panels of points over the host's cores.
#pragma once

#include <cstdint>

#include "log_mixture.h"

namespace velmora_log {

class Host_Evaluator {
 public:
  // `factors` are Factorise(problem)'s.
  void Evaluate(const Problem &problem, const Factors &factors, const Output &output,
                const Limits &limits);
  std::int64_t last_chunk() const { return last_chunk_; }
  // Only the whole call and the chunks: there is no device to time.
  const Timings &last_timings() const { return timings_; }

 private:
  std::int64_t last_chunk_ = 0;
  Timings timings_;
};

}  // namespace velmora_log
