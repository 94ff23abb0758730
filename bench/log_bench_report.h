// The VelmoraLog benchmark's results: one row per case and output (logP
// alone, or with the posteriors R), where the call's time went and how far
// each part is from its bound. log_bench.csv takes each row as it is
// measured; log_bench.md is written again, whole, after every row, so that
// a run stopped at its limit keeps both tables up to its last row.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "device_rates.h"

namespace bench {

struct Row {
  char name = '?';
  bool diagonal = true, posteriors = false;
  std::int64_t N = 0, dim = 0, K = 0, max_chunk = 0, chunks = 0;
  std::string error;  // set when the call failed; the times are then zero

  // Medians over `calls` calls, in seconds: the host factorisation, the
  // evaluator's own parts (zero where it reports none), Evaluate as a
  // whole, and the whole call (factorisation and Evaluate).
  int calls = 0;
  double factorise = 0, prepare = 0, staging = 0, upload = 0, device = 0, download = 0;
  double evaluate = 0, call = 0;
  double call_min = 0, call_p10 = 0, call_p90 = 0, call_max = 0;
  double velmora = 0;  // one call of Velmora on the same data; 0 when not run

  // Bounds, in seconds.
  double x_up_pinned = 0, x_up_pageable = 0, fp64_floor = 0;
  double out_down_pinned = 0, out_down_pageable = 0, round_trip = 0;
  double bound_pinned() const;
  double bound_pageable() const;
};

// FP64 instructions per point and cluster of the path a mode runs: in
// diagonal mode a subtraction, a multiplication and an FMA per coordinate;
// in full mode dim subtractions, the triangular product's dim(dim+1)/2 FMAs
// and dim FMAs of the square sum. The one exp and log are not counted.
double Fp64_Instructions_Per_Pair(bool diagonal, std::int64_t dim);

// Fills a row's bounds from the problem's sizes and the measured rates.
void Set_Bounds(Row &row, const Rates &rates);

class Report {
 public:
  Report(const std::string &dir, const Rates &rates);
  ~Report();
  Report(const Report &) = delete;
  Report &operator=(const Report &) = delete;
  bool ok() const { return csv_ != nullptr; }
  void Add(const Row &row);

 private:
  void Write_Markdown() const;
  std::string md_path_;
  Rates rates_;
  std::FILE *csv_ = nullptr;
  std::vector<Row> rows_;
};

}  // namespace bench
