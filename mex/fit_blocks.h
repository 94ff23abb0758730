// A fit over blocks of X held by workers: each worker keeps its block in a
// session of its own process (read from shard files where it owns them),
// and the caller's EM driver reaches the blocks through a function it is
// given, which asks every worker for its block's part of a pass and hands
// back the replies. The blocks start on leaves of the reduction tree, so
// the caller's sums are the same bits as one holder's over all of X.
#pragma once

#include <mex.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fit_passes.h"

namespace velmora_mex {

using Index = std::int64_t;

// Shard files: the 8 bytes "VELMORA1", the rows (dim) and columns (points)
// as little-endian unsigned 64-bit integers, then the values as
// little-endian doubles, column by column.
struct Shard_Size {
  Index rows = 0, cols = 0;
};
// Throws Velmora:shard naming the file where it is missing, unreadable or
// not a shard.
Shard_Size Read_Shard_Size(const std::string &path);
// Points offset .. offset + count of the shards taken one after another,
// dim values each, into out; throws Velmora:shard for a shard of other
// dim or too short, and Velmora:data naming the file and element of the
// first value that is not finite.
void Read_Shard_Points(const std::vector<std::string> &paths, Index dim, Index offset, Index count,
                       double *out);

// A worker's block read from its shards again for every pass, a chunk of
// `chunk` points (whole leaves) at a time, for blocks larger than its
// memory: points skip .. skip + count of the shards, then the dim x m
// `extra` points. Each chunk is a holder of its own made by `make` (its
// Fit_Data's first and partial set), whose nodes add up to the block's
// (data.partial: the passes return nodes). The k-means++ centres so far
// are kept and replayed on each chunk's holder.
std::unique_ptr<velmora_log::Fit_Passes> Make_Shard_Passes(
    std::vector<std::string> paths, Index skip, Index count, std::vector<double> extra,
    const velmora_log::Fit_Data &data, Index chunk, velmora_log::Passes_Maker make);

// One worker's block of the data: its first point among all of them and
// its count.
struct Block {
  Index first = 0, count = 0;
};

// The holder the caller's driver uses: every pass asked of `exchange`
// (a function handle: exchange(op, worker, args...), worker 0 for every
// block, returns a struct with `values`, one row per block asked, and
// `note`, or one with `identifier` and `message` where it failed), the
// blocks' tree nodes combined in block order; `unit`: the points per unit
// of the workers' k-means++ sums (their engine's); `resident`: whether
// every worker holds its block (none reads its shards each pass).
std::unique_ptr<velmora_log::Fit_Passes> Make_Remote_Passes(const mxArray *exchange,
                                                            std::vector<Block> blocks, Index unit,
                                                            bool resident,
                                                            const velmora_log::Fit_Data &data);

}  // namespace velmora_mex
