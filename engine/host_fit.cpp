// The fit's passes on the host engine. X stays where the caller has it; a
// unit is one panel of points counted from the first, its record formed by
// one thread in a fixed order (lanes over its points, dot products of the
// scaled panel's rows for the full second moments); a leaf of kTreeLeaf
// points is summed in unit order by one thread, and the leaves along the
// fixed tree of unit_tree.h, a wave of leaves at a time, so that the bits
// depend on the data alone, not on the threads, the chunks or the blocks
// X was split into among workers, and memory beyond X grows with the
// threads and the record, never with the data (k-means++'s distances
// apart).
#include <algorithm>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fit_passes.h"
#include "host_panels.h"
#include "parallel.h"
#include "unit_tree.h"

namespace velmora_log {

namespace {

using host::kLanes;
using host::kPanel;

// Rows a0, a0 + 1 against rows b0 + J0 .. b0 + B - 1 over the panel's
// points: sums s[j] and s[B + j] in four lanes of points.
template <int B, int J0>
inline void Pair_Sums(const double *x, const double *y, host::Quad (&s)[2 * B]) {
  using host::Quad;
  for (Index p = 0; p < kPanel; p += 4) {
    const Quad x0 = host::Load_Quad(x + p), x1 = host::Load_Quad(x + kPanel + p);
    for (int j = J0; j < B; ++j) {
      Quad v = host::Load_Quad(y + j * kPanel + p);
      // Loaded once into a register, not once for each FMA.
#ifdef __AVX__
      asm("" : "+x"(v));
#endif
      s[j] = host::Fma(x0, v, s[j]);
      s[B + j] = host::Fma(x1, v, s[B + j]);
    }
  }
}

// Columns b0 .. b0 + B - 1 of the upper triangle: rows 0 .. b0 + B - 1 two
// at a time. In the block's corner (a0 >= b0) only the columns on and
// above the diagonal are formed.
template <int B>
inline void Gram_Columns(const double *A, Index b0, double *product, Index ld) {
  using host::Quad;
  const double *y = A + b0 * kPanel;
  for (Index a0 = 0; a0 < b0 + B; a0 += 2) {
    Quad s[2 * B] = {};
    const double *x = A + a0 * kPanel;
    switch (a0 - b0) {
      case 2: Pair_Sums<B, 2>(x, y, s); break;
      case 4: Pair_Sums<B, B == 6 ? 4 : 0>(x, y, s); break;  // only B = 6 reaches here
      default: Pair_Sums<B, 0>(x, y, s); break;
    }
    for (int r = 0; r < 2; ++r)
      for (int j = 0; j < B; ++j) {
        if (a0 + r > b0 + j) continue;  // below the diagonal: not formed in a corner
        const Quad &v = s[B * r + j];
        product[a0 + r + (b0 + j) * ld] = (v[0] + v[1]) + (v[2] + v[3]);
      }
  }
}

// product[a + b * ld] = sum over the panel's points p of A[a][p] A[b][p]
// for a <= b < rows (rows a multiple of 4, A's rows kPanel apart): two rows
// against six (or four) at a time, their sums in registers in four lanes
// of points, each folded in a fixed order, so that the bits depend on the
// panel alone, not on the blocks. Twelve sums in flight, not eight, keep
// both FMA pipes busy past their latency (5-15% faster at dim 32-64); the
// columns of four go first, where there are the fewest rows to pair. A
// block takes the whole panel at once: measured at dim 32-128, that beats
// slices that keep every row's slice in L1 by 7-10% an iteration (the rows
// come from L2 fast enough, and the sums stay in registers).
void Upper_Gram(const double *A, Index rows, double *product, Index ld) {
  const Index sixes = rows / 6 / 2 * 2, fours = (rows - 6 * sixes) / 4;
  Index b0 = 0;
  for (Index f = 0; f < fours; ++f, b0 += 4) Gram_Columns<4>(A, b0, product, ld);
  for (; b0 < rows; b0 += 6) Gram_Columns<6>(A, b0, product, ld);
}

// Diagonal mode's sums for B clusters over one panel: record[b][0] the sum
// of wr[b], then the dim sums of wr[b] (x - about[b]) and the dim sums of
// wr[b] (x - about[b])^2, each in lanes folded in order. The clusters share
// each load of the panel's coordinates; a cluster's bits are those it has
// alone.
template <int B>
void Diagonal_Moments(const double *x, Index dim, const double *const *wr,
                      const double *const *about, double *const *record) {
  using host::Lanes;
  for (int b = 0; b < B; ++b) {
    Lanes n_acc = {};
    for (Index p = 0; p < kPanel; p += kLanes) n_acc += host::Load_Lanes(wr[b] + p);
    record[b][0] = host::Fold(n_acc);
  }
  for (Index i = 0; i < dim; ++i) {
    Lanes s_acc[B] = {}, m_acc[B] = {};
    for (Index p = 0; p < kPanel; p += kLanes) {
      const Lanes xv = host::Load_Lanes(x + i * kPanel + p);
      for (int b = 0; b < B; ++b) {
        const Lanes v = xv - about[b][i], wv = host::Load_Lanes(wr[b] + p) * v;
        s_acc[b] += wv;
        m_acc[b] = {host::Fma(wv.lo, v.lo, m_acc[b].lo), host::Fma(wv.hi, v.hi, m_acc[b].hi)};
      }
    }
    for (int b = 0; b < B; ++b) {
      record[b][1 + i] = host::Fold(s_acc[b]);
      record[b][1 + dim + i] = host::Fold(m_acc[b]);
    }
  }
}

// Over a panel, four at a time (the compiler left these as scalar loops
// with branches): wr = weight x r, 0 where the point weighs nothing or r
// is below the tolerance (wr may be r itself); and v = 0 where the point
// weighs nothing.
void Weigh(const double *weight, const double *r, double tolerance, double *wr) {
  using host::Quad;
  const Quad zero = {}, tol = {tolerance, tolerance, tolerance, tolerance};
  for (Index p = 0; p < kPanel; p += 4) {
    const Quad wt = host::Load_Quad(weight + p), rv = host::Load_Quad(r + p);
    host::Store_Quad(wr + p, (wt == zero) | (rv < tol) ? zero : wt * rv);
  }
}

void Zero_Where_Weightless(const double *weight, double *v) {
  using host::Quad;
  const Quad zero = {};
  for (Index p = 0; p < kPanel; p += 4)
    host::Store_Quad(v + p, host::Load_Quad(weight + p) == zero ? zero : host::Load_Quad(v + p));
}

class Host_Passes final : public Fit_Passes {
 public:
  explicit Host_Passes(const Fit_Data &d);

  const Fit_Plan &plan() const override { return plan_; }
  const Stat_Layout &layout() const override { return layout_; }

  void Set_Mixture(const std::vector<double> &mu, const Factors &f) override {
    mu_ = mu;
    whitening_ = f.whitening;
    log_w_ = f.log_weight;
  }
  std::vector<double> Pass(bool statistics, const std::vector<double> &shift) override;
  std::vector<double> Label_Pass(const std::vector<double> &labels,
                                 const std::vector<double> &shift) override;
  std::vector<double> Data_Moments(const double *shift) override;
  std::vector<double> Distance_Pass(const double *centre, bool first) override;
  std::vector<double> Distances(Index first, Index count) override;
  void Seed_Centres(const std::vector<double> &centres) override {
    centres_ = centres;
    seeded_ = true;
  }
  std::vector<double> Point(Index j) override { return Point_Of(data_, j); }
  Index First_Lost() override {
    return First_Lost_Point(data_, mu_, Factors{log_w_, whitening_});
  }

 private:
  // A thread's scratch for the units it forms.
  struct Work {
    host::Panel_Work panel;
    std::vector<double> weight, wr, root, scaled, product;
  };
  Work Make_Work() const;

  // Unit u's first point and its count of points; its weights (0 past the
  // data) into w.weight and its points into w.panel.x.
  Index Load(Index u, Work &w) const;

  // The weighted sums of the points of w.panel.x about `about` (dim
  // values), with weights w.wr per point: into record[0] (their sum), the
  // dim sums of wr (x - about), and the second moments after them (the
  // upper triangle with `full`, else the squares).
  void Moments(Work &w, const double *about, bool full, double *record) const;

  // The sum of the units' records (width values written by form(u, work,
  // record)), each leaf's in unit order, the leaves' along the tree, a wave
  // of leaves in parallel at a time (a few waves a pass, since each ends in
  // a wait for every thread): the totals, or with data.partial the tree's
  // nodes.
  template <typename Form>
  std::vector<double> Sum_Units(Index width, Form form);

  Fit_Data data_;
  const double *X_, *weights_;
  Index dim_, n_, K_;
  bool full_;
  // The posterior floor: the caller's, and never below the smallest normal
  // double (2.2e-308). A far cluster's posteriors fall below it, and x86
  // takes a microcode assist of about a hundred cycles for each, and for
  // each of its products in the moments: where 0.65% of the posteriors
  // were subnormal, an iteration took 2.2 times as long. They weigh at
  // most 2.2e-308 of a point's weight, and a cluster the M-step accepts
  // at least eps of the total, whatever the scale of the data or the
  // weights (a flush of every subnormal result, in their place, cost small
  // data their second moments).
  double tolerance_;
  Stat_Layout layout_;
  Fit_Plan plan_;
  std::vector<double> mu_, whitening_, log_w_;
  std::vector<double> centres_;  // k-means++'s centres so far, dim each
  std::vector<double> d2_;       // each point's distance to the nearest of them
  bool seeded_ = false;          // centres set at once: d2_ is not theirs yet

  // The squared distances of a unit's points (every lane, the padding
  // too) to centres first .. centres_.size() / dim - 1, the nearest of
  // them, into d2. A minimum is exact: the bits do not depend on how many
  // centres one call takes.
  void Nearest(const Work &w, Index first, double *d2) const;
};

Host_Passes::Host_Passes(const Fit_Data &d)
    : data_(d), X_(d.X), weights_(d.weights), dim_(d.dim), n_(d.n), K_(d.K), full_(d.mode == Mode::full),
      tolerance_(std::max(d.probability_tolerance, std::numeric_limits<double>::min())),
      layout_{d.dim, d.K, full_} {
  if (d.first % kTreeLeaf != 0)
    throw std::logic_error("a block of a fit starts on a leaf of its tree");
  if (d.seeding) d2_.resize(static_cast<size_t>(n_));
  plan_.unit = kPanel;
  plan_.units = (n_ + kPanel - 1) / kPanel;
  plan_.resident = !d.stream;
  plan_.chunk = d.max_chunk > 0 ? std::max(kPanel, d.max_chunk / kPanel * kPanel) : n_;
  plan_.chunk = std::min(plan_.chunk, n_);
  // Every coordinate finite, or the first that is not named.
  const Index total = dim_ * n_;
  const Index threads = std::min<Index>(host::Threads(), total / (Index{1} << 18) + 1);
  std::vector<Index> first_bad(static_cast<size_t>(threads), total);
  Parallel_Ranges(threads, threads, [&](Index b, Index e) {
    for (Index t = b; t < e; ++t)
      for (Index i = total * t / threads; i < total * (t + 1) / threads; ++i)
        if (!std::isfinite(X_[i])) {
          first_bad[t] = i;
          break;
        }
  });
  const Index g = *std::min_element(first_bad.begin(), first_bad.end());
  if (g < total)
    throw Error("Velmora:data", "X(" + std::to_string(g % dim_ + 1) + "," +
                                    std::to_string(d.first + g / dim_ + 1) + ") is " +
                                    Number(X_[g]) +
                                    ": every coordinate of the data must be finite.");
}

Host_Passes::Work Host_Passes::Make_Work() const {
  Work w;
  w.panel.Reserve(dim_, K_);
  w.weight.resize(static_cast<size_t>(kPanel));
  w.wr.resize(static_cast<size_t>(kPanel));
  w.root.resize(static_cast<size_t>(kPanel));
  const Index rows = (dim_ + 3) / 4 * 4;
  w.scaled.resize(static_cast<size_t>(full_ ? rows * kPanel : 0));
  w.product.resize(static_cast<size_t>(full_ ? rows * rows : 0));
  return w;
}

Index Host_Passes::Load(Index u, Work &w) const {
  const Index first = u * kPanel, count = std::min(kPanel, n_ - first);
  host::Load_Panel(X_, dim_, 1, dim_, first, count, w.panel);
  for (Index p = 0; p < kPanel; ++p)
    w.weight[p] = p >= count ? 0.0 : weights_ != nullptr ? weights_[first + p] : 1.0;
  return count;
}

void Host_Passes::Moments(Work &w, const double *about, bool full, double *record) const {
  using host::Lanes;
  const double *x = w.panel.x.data(), *wr = w.wr.data();
  if (!full) {
    const double *wr_one[1] = {wr}, *about_one[1] = {about};
    double *record_one[1] = {record};
    Diagonal_Moments<1>(x, dim_, wr_one, about_one, record_one);
    return;
  }
  Lanes n_acc = {};
  for (Index p = 0; p < kPanel; p += kLanes) n_acc += host::Load_Lanes(wr + p);
  record[0] = host::Fold(n_acc);
  // sum_p wr_p d_p d_p' = A'A with A the centred panel scaled by sqrt(wr)
  // point by point, formed as the first moments are.
  double *a = w.scaled.data(), *root = w.root.data();
#ifdef __AVX__
  for (Index p = 0; p < kPanel; p += 4)
    host::Store_Quad(root + p, (host::Quad)_mm256_sqrt_pd((__m256d)host::Load_Quad(wr + p)));
#else
  for (Index p = 0; p < kPanel; ++p) root[p] = std::sqrt(wr[p]);
#endif
  for (Index i = 0; i < dim_; ++i) {
    const double c = about[i];
    Lanes s_acc = {};
    for (Index p = 0; p < kPanel; p += kLanes) {
      const Lanes v = host::Load_Lanes(x + i * kPanel + p) - c;
      s_acc += host::Load_Lanes(wr + p) * v;
      host::Store_Lanes(a + i * kPanel + p, v * host::Load_Lanes(root + p));
    }
    record[1 + i] = host::Fold(s_acc);
  }
  // The rows past dim stay 0 from Make_Work.
  const Index rows = (dim_ + 3) / 4 * 4;
  Upper_Gram(a, rows, w.product.data(), rows);
  double *second = record + 1 + dim_;
  for (Index b = 0; b < dim_; ++b)
    for (Index a_ = 0; a_ <= b; ++a_) second[b * (b + 1) / 2 + a_] = w.product[a_ + b * rows];
}

template <typename Form>
std::vector<double> Host_Passes::Sum_Units(Index width, Form form) {
  constexpr Index kBlock = kTreeLeaf / kPanel;
  static_assert(kTreeLeaf % kPanel == 0, "whole panels in a leaf");
  const Index units = plan_.units, blocks = (units + kBlock - 1) / kBlock;
  const Index threads = std::min(host::Threads(), blocks);
  // Waves within a chunk's units: what a chunk changes is only when sums
  // are folded, never the order. 32 leaves a thread (16384 points):
  // each wave starts its threads anew.
  const Index wave =
      std::max<Index>(1, std::min({blocks, 32 * threads, plan_.chunk / kPanel / kBlock}));
  Unit_Tree tree(width);
  std::vector<double> sums(static_cast<size_t>(wave * width));
  for (Index b0 = 0; b0 < blocks; b0 += wave) {
    if (b0 > 0 && Asked(data_.interrupted)) throw Pass_Interrupted();
    const Index count = std::min(wave, blocks - b0);
    Parallel_Ranges(count, std::min(threads, count), [&](Index b, Index e) {
      Work w = Make_Work();
      std::vector<double> record(static_cast<size_t>(width));
      for (Index r = b; r < e; ++r) {
        double *sum = sums.data() + r * width;
        std::fill(sum, sum + width, 0.0);
        const Index u1 = std::min(units, (b0 + r + 1) * kBlock);
        for (Index u = (b0 + r) * kBlock; u < u1; ++u) {
          form(u, w, record.data());
          for (Index e_ = 0; e_ < width; ++e_) sum[e_] += record[e_];
        }
      }
    });
    for (Index r = 0; r < count; ++r)
      tree.Push(0, data_.first / kTreeLeaf + b0 + r, sums.data() + r * width);
  }
  return data_.partial ? tree.Nodes() : tree.Total();
}

std::vector<double> Host_Passes::Pass(bool statistics, const std::vector<double> &shift) {
  const host::Panel_Mixture m{dim_, K_, full_, mu_.data(), whitening_.data(), log_w_.data()};
  const Index pc = layout_.Per_Cluster(), ll = layout_.Log_Likelihood();
  return Sum_Units(statistics ? layout_.Size() : 1, [&](Index u, Work &w, double *record) {
    const Index count = Load(u, w);
    host::Log_Terms(m, w.panel);
    host::Log_Sum_Exp(K_, statistics, w.panel);
    // A point of weight 0 (the padding among them) adds exactly nothing,
    // even where its log-density is -Inf and its posteriors not numbers.
    Zero_Where_Weightless(w.weight.data(), w.panel.log_p.data());
    const double log_l = host::Lane_Dot(w.weight.data(), w.panel.log_p.data());
    if (!statistics) {
      record[0] = log_l;
      return;
    }
    record[ll] = log_l;
    const double *about = shift.empty() ? mu_.data() : shift.data();
    if (full_) {
      for (Index k = 0; k < K_; ++k) {
        const double *r = w.panel.terms.data() + k * kPanel;
        Weigh(w.weight.data(), r, tolerance_, w.wr.data());
        Moments(w, about + k * dim_, true, record + k * pc);
      }
      return;
    }
    // The posteriors' rows become the weighted ones, two clusters a pass.
    double *terms = w.panel.terms.data();
    for (Index k_ = 0; k_ < K_; ++k_)
      Weigh(w.weight.data(), terms + k_ * kPanel, tolerance_, terms + k_ * kPanel);
    const double *x = w.panel.x.data();
    Index k = 0;
    for (; k + 2 <= K_; k += 2) {
      const double *wr[2] = {terms + k * kPanel, terms + (k + 1) * kPanel},
                   *at[2] = {about + k * dim_, about + (k + 1) * dim_};
      double *rec[2] = {record + k * pc, record + (k + 1) * pc};
      Diagonal_Moments<2>(x, dim_, wr, at, rec);
    }
    if (k < K_) {
      const double *wr[1] = {terms + k * kPanel}, *at[1] = {about + k * dim_};
      double *rec[1] = {record + k * pc};
      Diagonal_Moments<1>(x, dim_, wr, at, rec);
    }
  });
}

std::vector<double> Host_Passes::Label_Pass(const std::vector<double> &labels,
                                            const std::vector<double> &shift) {
  const Index pc = layout_.Per_Cluster();
  return Sum_Units(K_ * pc, [&](Index u, Work &w, double *record) {
    const Index count = Load(u, w), first = u * kPanel;
    for (Index k = 0; k < K_; ++k) {
      for (Index p = 0; p < kPanel; ++p)
        w.wr[p] = p < count && labels[first + p] == static_cast<double>(k) ? w.weight[p] : 0.0;
      Moments(w, shift.data() + k * dim_, full_, record + k * pc);
    }
  });
}

std::vector<double> Host_Passes::Data_Moments(const double *shift) {
  // The squares alone, coordinate by coordinate, in either mode.
  return Sum_Units(1 + 2 * dim_, [&](Index u, Work &w, double *record) {
    Load(u, w);
    std::copy(w.weight.begin(), w.weight.end(), w.wr.begin());
    Moments(w, shift, false, record);
  });
}

void Host_Passes::Nearest(const Work &w, Index first, double *d2) const {
  std::vector<double> q(static_cast<size_t>(kPanel));
  const Index m = static_cast<Index>(centres_.size()) / dim_;
  for (Index c = first; c < m; ++c) {
    const double *centre = centres_.data() + c * dim_;
    std::fill(q.begin(), q.end(), 0.0);
    for (Index i = 0; i < dim_; ++i)
      for (Index p = 0; p < kPanel; ++p) {
        const double v = w.panel.x[i * kPanel + p] - centre[i];
        q[p] = std::fma(v, v, q[p]);
      }
    for (Index p = 0; p < kPanel; ++p) d2[p] = c == first ? q[p] : std::min(d2[p], q[p]);
  }
}

std::vector<double> Host_Passes::Distance_Pass(const double *centre, bool first) {
  if (first) centres_.clear();
  centres_.insert(centres_.end(), centre, centre + dim_);
  // Each point's distance to this centre folded into its running minimum;
  // to every centre so far where they were set at once.
  const Index from = first || seeded_ ? 0 : static_cast<Index>(centres_.size()) / dim_ - 1;
  const bool fold = from > 0;
  seeded_ = false;
  std::vector<double> sums(static_cast<size_t>(plan_.units));
  const Index threads = std::min(host::Threads(), plan_.units);
  Parallel_Ranges(plan_.units, threads, [&](Index b, Index e) {
    Work w = Make_Work();
    double *q = w.wr.data();
    for (Index u = b; u < e; ++u) {
      const Index count = Load(u, w), j0 = u * kPanel;
      Nearest(w, from, q);
      for (Index p = 0; p < count; ++p) {
        double &d2 = d2_[j0 + p];
        d2 = fold ? std::min(d2, q[p]) : q[p];
        q[p] = w.weight[p] == 0.0 ? 0.0 : d2;  // weight 0 adds 0, even to an infinite d2
      }
      std::fill(q + count, q + kPanel, 0.0);
      sums[u] = host::Lane_Dot(w.weight.data(), q);
    }
  });
  return sums;
}

std::vector<double> Host_Passes::Distances(Index first, Index count) {
  // Unweighted, as every holder gives them: the draw weighs them.
  return std::vector<double>(d2_.begin() + first, d2_.begin() + first + count);
}

}  // namespace

std::unique_ptr<Fit_Passes> Make_Host_Passes(const Fit_Data &data) {
  return std::make_unique<Host_Passes>(data);
}

}  // namespace velmora_log
