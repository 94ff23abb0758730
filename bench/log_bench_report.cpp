#include "log_bench_report.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace bench {

namespace {

std::string Format(const char *format, double v) {
  char text[64];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

std::string Ms(double seconds) { return Format("%.3g", 1e3 * seconds); }

// A part the evaluator did not report reads "n/a", not 0 ms.
std::string Part(double seconds) { return seconds > 0 ? Ms(seconds) : "n/a"; }

std::string Ratio(double time, double bound) {
  return time > 0 && bound > 0 ? Format("%.2fx", time / bound) : "n/a";
}

std::string Csv_Ratio(double time, double bound) {
  return time > 0 && bound > 0 ? Format("%.4g", time / bound) : "";
}

const char *Mode(const Row &r) { return r.diagonal ? "diag" : "full"; }

}  // namespace

double Row::bound_pinned() const {
  return round_trip + std::max({x_up_pinned, fp64_floor, out_down_pinned});
}

double Row::bound_pageable() const {
  return round_trip + std::max({x_up_pageable, fp64_floor, out_down_pageable});
}

double Fp64_Instructions_Per_Pair(bool diagonal, std::int64_t dim) {
  const double d = static_cast<double>(dim);
  return diagonal ? 3 * d : d + d * (d + 1) / 2 + d;
}

void Set_Bounds(Row &row, const Rates &rates) {
  const double points = static_cast<double>(row.N);
  const double x_bytes = 8 * points * static_cast<double>(row.dim);
  const double out_bytes = 8 * points * (1 + (row.posteriors ? static_cast<double>(row.K) : 0));
  row.x_up_pinned = x_bytes / rates.up_pinned;
  row.x_up_pageable = x_bytes / rates.up_pageable;
  row.out_down_pinned = out_bytes / rates.down_pinned;
  row.out_down_pageable = out_bytes / rates.down_pageable;
  row.fp64_floor = Fp64_Instructions_Per_Pair(row.diagonal, row.dim) * points *
                   static_cast<double>(row.K) / rates.fp64_fma;
  row.round_trip = rates.round_trip;
}

Report::Report(const std::string &dir, const Rates &rates)
    : md_path_(dir + "/log_bench.md"), rates_(rates) {
  csv_ = std::fopen((dir + "/log_bench.csv").c_str(), "w");
  if (csv_ == nullptr) return;
  std::fprintf(csv_,
               "case,mode,N,dim,K,R,max_chunk,chunks,calls,factorise_s,prepare_s,staging_s,"
               "upload_s,device_s,download_s,evaluate_s,call_s,call_min_s,call_p10_s,call_p90_s,"
               "call_max_s,velmora_s,x_up_pinned_s,x_up_pageable_s,fp64_floor_s,"
               "out_down_pinned_s,out_down_pageable_s,round_trip_s,bound_pinned_s,"
               "bound_pageable_s,call_to_bound_pinned,call_to_bound_pageable,upload_to_bound,"
               "device_to_floor,download_to_bound,error\n");
  std::fflush(csv_);
  Write_Markdown();
}

Report::~Report() {
  if (csv_ != nullptr) std::fclose(csv_);
}

void Report::Add(const Row &r) {
  rows_.push_back(r);
  std::string error = r.error;
  std::replace(error.begin(), error.end(), ',', ';');
  std::replace(error.begin(), error.end(), '\n', ' ');
  std::fprintf(csv_, "%c,%s,%lld,%lld,%lld,%d,%lld,%lld,%d", r.name, Mode(r),
               static_cast<long long>(r.N), static_cast<long long>(r.dim),
               static_cast<long long>(r.K), r.posteriors ? 1 : 0,
               static_cast<long long>(r.max_chunk), static_cast<long long>(r.chunks), r.calls);
  for (const double v : {r.factorise, r.prepare, r.staging, r.upload, r.device, r.download,
                         r.evaluate, r.call, r.call_min, r.call_p10, r.call_p90, r.call_max,
                         r.velmora, r.x_up_pinned, r.x_up_pageable, r.fp64_floor,
                         r.out_down_pinned, r.out_down_pageable, r.round_trip, r.bound_pinned(),
                         r.bound_pageable()})
    std::fprintf(csv_, ",%.6g", v);
  std::fprintf(csv_, ",%s,%s,%s,%s,%s,%s\n", Csv_Ratio(r.call, r.bound_pinned()).c_str(),
               Csv_Ratio(r.call, r.bound_pageable()).c_str(),
               Csv_Ratio(r.upload, r.x_up_pinned).c_str(),
               Csv_Ratio(r.device, r.fp64_floor).c_str(),
               Csv_Ratio(r.download, r.out_down_pinned).c_str(), error.c_str());
  std::fflush(csv_);
  Write_Markdown();
}

void Report::Write_Markdown() const {
  // Written aside and renamed, so that a reader never sees half a file.
  const std::string partial = md_path_ + ".partial";
  std::FILE *md = std::fopen(partial.c_str(), "w");
  if (md == nullptr) return;
  const Rates &q = rates_;
  std::fprintf(
      md,
      "Measured here: host to device %.1f GB/s pageable, %.1f GB/s pinned; device to host "
      "%.1f GB/s pageable, %.1f GB/s pinned; FP64 on the CUDA cores %.3g TFLOP/s (an FMA "
      "kernel, 2 flops an FMA); DGEMM %.3g TFLOP/s on random data (no DGEMM runs in "
      "VelmoraLog: for Velmora's full mode); a round trip (8 bytes up, an empty kernel, 8 "
      "bytes down) %.1f us.\n\n"
      "Every time is the median of the calls counted, in ms (case e: 200 calls after 20 "
      "warm-up calls; the others one to three, within about a second, after one); p10-p90 is "
      "the spread of the whole call. "
      "Upload, device and download are the evaluator's own sums over chunks (device events); "
      "chunks overlap, so the parts may add up to more than the call. n/a: the evaluator "
      "reported no such part. Outputs go into host arrays already paged in.\n\n"
      "### Where a call's time goes (ms, medians)\n\n"
      "| case | mode | N | dim | K | R | chunks | calls | factorise | prepare | staging | "
      "upload | device | download | Evaluate | whole call | p10-p90 | Velmora |\n"
      "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n",
      q.up_pageable / 1e9, q.up_pinned / 1e9, q.down_pageable / 1e9, q.down_pinned / 1e9,
      2 * q.fp64_fma / 1e12, q.dgemm / 1e12, q.round_trip * 1e6);
  for (const Row &r : rows_) {
    std::fprintf(md, "| %c | %s | %lld | %lld | %lld | %s | %lld | %d |", r.name, Mode(r),
                 static_cast<long long>(r.N), static_cast<long long>(r.dim),
                 static_cast<long long>(r.K), r.posteriors ? "yes" : "no",
                 static_cast<long long>(r.chunks), r.calls);
    if (!r.error.empty()) {
      std::string error = r.error;
      std::replace(error.begin(), error.end(), '|', '/');
      std::fprintf(md, " failed: %s |%s\n", error.c_str(), std::string(9, '|').c_str());
      continue;
    }
    std::fprintf(md, " %s | %s | %s | %s | %s | %s | %s | %s | %s-%s | %s |\n",
                 Ms(r.factorise).c_str(), Part(r.prepare).c_str(), Part(r.staging).c_str(),
                 Part(r.upload).c_str(), Part(r.device).c_str(), Part(r.download).c_str(),
                 Part(r.evaluate).c_str(), Ms(r.call).c_str(), Ms(r.call_p10).c_str(),
                 Ms(r.call_p90).c_str(), r.velmora > 0 ? Ms(r.velmora).c_str() : "");
  }
  std::fprintf(
      md,
      "\n### Against the one-pass bound (ms; ratios are time / bound)\n\n"
      "The bound is the round trip plus the largest of X's upload, the FP64 floor and the "
      "outputs' download, once with the pinned rates and once with the pageable ones. The FP64 "
      "floor counts the products' FP64 instructions per point and cluster (diagonal: a "
      "subtraction, a multiplication and an FMA per coordinate; full: dim subtractions, "
      "dim(dim+1)/2 FMAs of the triangular product, dim FMAs of the square sum; exp and log "
      "not counted) at the CUDA cores' FMA rate.\n\n"
      "| case | R | X up pinned | X up pageable | FP64 floor | out down pinned | out down "
      "pageable | round trip | bound pinned | bound pageable | call / bound pinned | call / "
      "bound pageable | upload / X up pinned | device / FP64 floor | download / out down "
      "pinned |\n|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Row &r : rows_)
    std::fprintf(md, "| %c | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n",
                 r.name, r.posteriors ? "yes" : "no", Ms(r.x_up_pinned).c_str(),
                 Ms(r.x_up_pageable).c_str(), Ms(r.fp64_floor).c_str(),
                 Ms(r.out_down_pinned).c_str(), Ms(r.out_down_pageable).c_str(),
                 Ms(r.round_trip).c_str(), Ms(r.bound_pinned()).c_str(),
                 Ms(r.bound_pageable()).c_str(), Ratio(r.call, r.bound_pinned()).c_str(),
                 Ratio(r.call, r.bound_pageable()).c_str(), Ratio(r.upload, r.x_up_pinned).c_str(),
                 Ratio(r.device, r.fp64_floor).c_str(),
                 Ratio(r.download, r.out_down_pinned).c_str());
  std::fclose(md);
  std::rename(partial.c_str(), md_path_.c_str());
}

}  // namespace bench
