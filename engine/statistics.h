// The M-step's sufficient statistics on the device, and what k-means++
// seeding needs there. Points are grouped in units of a fixed number of
// columns, counted from the first column of the data; every kernel writes
// one partial record per unit, summed in a fixed order within it; the
// units' records are summed into leaves in unit order and the leaves along
// the fixed tree of unit_tree.h. A chunk always starts on a leaf boundary,
// so the bits of a sum depend on the data alone, never on how the data
// were split into chunks or blocks.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "kernels.h"

namespace velmora_log {

// Where each statistic sits in a unit's record: per cluster k, at
// k * Per_Cluster(), the weight N_k, then the dim weighted sums of
// (x - shift_k), then the weighted second moments about shift_k (dim of
// them in diagonal mode; in full mode the upper triangle, column by column:
// entry (a, b), a <= b, at b (b + 1) / 2 + a). The log-likelihood of the
// unit's points comes last.
struct Stat_Layout {
  Index dim = 0, K = 0;
  bool full = false;

  Index Second() const { return full ? dim * (dim + 1) / 2 : dim; }
  Index Per_Cluster() const { return 1 + dim + Second(); }
  Index Log_Likelihood() const { return K * Per_Cluster(); }
  Index Size() const { return K * Per_Cluster() + 1; }
};

// Chunk of points dim x count, column-major, whose first point starts unit
// 0 of `partial`: unit u's record is at partial + u * stride. `w`: the
// points' weights (null: 1 each), by which every sum is weighted; `floor`:
// posteriors below it count as 0 in the statistics.
struct Unit_Points {
  const double *X = nullptr;
  Index dim = 0, count = 0, unit = 0;
  const double *w = nullptr;
  double floor = 0;
};

// N_k and the weighted sums of (x - shift_k) and, with `second` (diagonal
// mode), the weighted squares of (x - shift_k), for clusters 0..K-1 with
// posteriors R (K x count, one point per column), or weight 1 for every
// point when R is null. With `posterior_shift`, R holds the raw log terms
// and point j's posteriors are Posterior_Shift{posterior_shift[2j],
// posterior_shift[2j + 1]}.Posterior(R). Writes entries 0 .. dim (+ dim) of
// each cluster's record.
void Launch_Moments(const Unit_Points &x, const double *R, const double *posterior_shift,
                    const double *shift, Index K, bool second, double *partial, Index stride,
                    Index per_cluster, cudaStream_t stream);

// Full mode: the weighted outer products of (x - shift_k) about each
// shift, upper triangle, into each cluster's record after its sums. True
// where its kernel wrote the weights and sums too (Launch_Moments' part of
// the records), which it does where it holds them anyway.
bool Launch_Second_Moments(const Unit_Points &x, const double *R, const double *shift, Index K,
                           double *partial, Index stride, Index per_cluster, cudaStream_t stream);

// The E-step and the statistics in one kernel, the posteriors never leaving
// the block: up to 16 clusters, and 16 coordinates in full mode, 32 in
// diagonal mode. Only where Fused_Fits(dim, K, full).
bool Fused_Fits(Index dim, Index K, bool full);

// Per unit: the log-likelihood of its points into its record at partial +
// u * layout.Size(), and with `statistics` every cluster's record (weight,
// sums and second moments about `shift`, dim x K).
void Launch_Fused(const Device_Mixture &m, const Unit_Points &x, const double *shift,
                  const Stat_Layout &layout, bool statistics, double *partial,
                  cudaStream_t stream);

// What Launch_Fused's kernels take: the records' stride, a cluster's place
// in one and the log-likelihood's, from the Stat_Layout.
struct Fused_Args {
  Device_Mixture m;
  Unit_Points x;
  const double *shift;
  bool statistics;
  double *partial;
  Index stride, per_cluster, log_likelihood;
};

// Launch_Fused's kernel in diagonal mode past 16 coordinates (diagonal.cu),
// for the points and sizes Launch_Fused has checked: at least one point, at
// most 32 coordinates and 16 clusters.
void Launch_Fused_Diagonal(const Fused_Args &args, cudaStream_t stream);

// Blocks a statistics kernel launches per unit at most, for the chunk
// planner (grids stay within 32 bits).
Index Statistics_Blocks(Index dim, Index K);

// The sum of values[j] over each unit's points, into out[u * stride],
// weighted by w[j] where w is given (a point of weight 0 adds 0, whatever
// its value).
void Launch_Unit_Sums(const double *values, const double *w, Index count, Index unit, double *out,
                      Index stride, cudaStream_t stream);

// The units' records summed into leaves of per_leaf units, in unit order:
// leaves[l * width + e] = sum over the leaf's units u of partial[u * stride
// + e], e < width (the last leaf may have fewer units).
void Launch_Leaf_Sums(const double *partial, Index units, Index per_leaf, Index stride,
                      Index width, double *leaves, cudaStream_t stream);
// One level of the reduction tree (unit_tree.h): parents[i * width + e] =
// nodes[2i * width + e] + nodes[(2i + 1) * width + e], i < pairs.
void Launch_Pair_Sums(const double *nodes, Index pairs, Index width, double *parents,
                      cudaStream_t stream);

// k-means++: squared distance of every point to the nearest of centres
// from..to-1 (dim each) and, when from > 0, of those already in d2:
// d2[j] = min(d2[j], q_j(from), ..., q_j(to - 1)).
void Launch_Distances(const double *X, Index dim, Index count, const double *centres, Index from,
                      Index to, double *d2, cudaStream_t stream);

// Posteriors of a hard assignment: R(k, j) = 1 where labels[j] == k (labels
// 0-based, as doubles), else 0.
void Launch_One_Hot(const double *labels, Index count, Index K, double *R, cudaStream_t stream);

}  // namespace velmora_log
