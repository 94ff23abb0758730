// The shard files' reader and the caller's holder of a fit over blocks.
#include "fit_blocks.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "unit_tree.h"

#ifdef VELMORA_OCTAVE
#include <octave/quit.h>
#endif

namespace velmora_mex {

namespace {

using velmora_log::Error;
using velmora_log::Factors;
using velmora_log::Fit_Data;
using velmora_log::Fit_Plan;
using velmora_log::Stat_Layout;
using velmora_log::Unit_Tree;

constexpr char kMagic[8] = {'V', 'E', 'L', 'M', 'O', 'R', 'A', '1'};
constexpr Index kHeader = 24;

[[noreturn]] void Shard_Error(const std::string &path, const std::string &why) {
  throw Error("Velmora:shard", "Shard " + path + " " + why);
}

std::uint64_t Little_Endian(const unsigned char *b) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | b[i];
  return v;
}

std::ifstream Open(const std::string &path) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) Shard_Error(path, std::string("cannot be read: ") + std::strerror(errno ? errno : ENOENT) + ".");
  return in;
}

// A count of bytes in full: six digits would show a shard a few columns
// short or long as the size it should have.
// (tellg's -1, a file it could not measure, stays -1.)
std::string Bytes(double count) {
  return count < 0 ? "-1" : std::to_string(static_cast<unsigned long long>(count));
}

Shard_Size Size_Of(std::ifstream &in, const std::string &path) {
  unsigned char header[kHeader];
  in.read(reinterpret_cast<char *>(header), kHeader);
  if (in.gcount() != kHeader || std::memcmp(header, kMagic, 8) != 0)
    Shard_Error(path, "is not a Velmora shard: it does not begin with VELMORA1 and its sizes "
                      "(write shards with velmora_write_shard).");
  const std::uint64_t rows = Little_Endian(header + 8), cols = Little_Endian(header + 16);
  if (rows < 1 || rows > (1u << 20) || cols > (std::uint64_t{1} << 40))
    Shard_Error(path, "says it holds " + std::to_string(rows) + " x " + std::to_string(cols) +
                          " values: not a size a shard can have.");
  in.seekg(0, std::ios::end);
  const double bytes = static_cast<double>(in.tellg()),
               want = kHeader + 8.0 * static_cast<double>(rows) * static_cast<double>(cols);
  if (bytes < want)
    Shard_Error(path, "is shorter than its " + std::to_string(rows) + " x " +
                          std::to_string(cols) + " values: " + Bytes(bytes) + " bytes of " +
                          Bytes(want) + ".");
  // Values past the counted ones (columns appended without a new header)
  // would be left out of the fit without a word.
  if (bytes > want)
    Shard_Error(path, "is longer than its " + std::to_string(rows) + " x " +
                          std::to_string(cols) + " values: " + Bytes(bytes) + " bytes of " +
                          Bytes(want) + "; its header must count every column.");
  return {static_cast<Index>(rows), static_cast<Index>(cols)};
}

}  // namespace

Shard_Size Read_Shard_Size(const std::string &path) {
  std::ifstream in = Open(path);
  return Size_Of(in, path);
}

void Read_Shard_Points(const std::vector<std::string> &paths, Index dim, Index offset, Index count,
                       double *out) {
  static_assert(sizeof(double) == 8, "doubles of 8 bytes");
  const bool little = [] {
    const std::uint16_t one = 1;
    unsigned char b;
    std::memcpy(&b, &one, 1);
    return b == 1;
  }();
  for (const std::string &path : paths) {
    if (count == 0) return;
    std::ifstream in = Open(path);
    const Shard_Size size = Size_Of(in, path);
    if (size.rows != dim)
      Shard_Error(path, "holds points of " + std::to_string(size.rows) +
                            " coordinates; the data have " + std::to_string(dim) + ".");
    if (offset >= size.cols) {
      offset -= size.cols;
      continue;
    }
    const Index take = std::min(count, size.cols - offset);
    in.seekg(kHeader + 8 * dim * offset);
    in.read(reinterpret_cast<char *>(out), 8 * dim * take);
    if (in.gcount() != 8 * dim * take) Shard_Error(path, "could not be read to its end.");
    for (Index i = 0; i < dim * take; ++i) {
      if (!little) {
        unsigned char b[8];
        std::memcpy(b, out + i, 8);
        const std::uint64_t v = Little_Endian(b);
        std::memcpy(out + i, &v, 8);
      }
      if (!std::isfinite(out[i]))
        throw Error("Velmora:data",
                    "Shard " + path + ": its element (" + std::to_string(i % dim + 1) + "," +
                        std::to_string(offset + i / dim + 1) + ") is " +
                        velmora_log::Number(out[i]) +
                        ": every coordinate of the data must be finite.");
    }
    out += dim * take;
    count -= take;
    offset = 0;
  }
  if (count > 0)
    throw Error("Velmora:shard", "The shards hold " + std::to_string(count) +
                                     " points fewer than were asked of them.");
}

namespace {

mxArray *Row(const double *v, Index n) {
  mxArray *a = mxCreateDoubleMatrix(1, static_cast<mwSize>(n), mxREAL);
  std::copy(v, v + n, mxGetPr(a));
  return a;
}

std::string Field_Text(const mxArray *s, const char *name) {
  const mxArray *f = mxGetField(s, 0, name);
  if (f == nullptr || !mxIsChar(f)) return {};
  char *c = mxArrayToString(f);
  std::string text = c != nullptr ? c : "";
  mxFree(c);
  return text;
}

// A trapped call's error, destroyed once read: Octave gives a struct,
// MATLAB an MException, whose message is a property, not a field.
std::string Failure_Text(mxArray *failure) {
  std::string text;
  if (mxIsStruct(failure)) {
    text = Field_Text(failure, "message");
  } else if (mxArray *m = mxGetProperty(failure, 0, "message"); m != nullptr) {
    if (char *c = mxIsChar(m) ? mxArrayToString(m) : nullptr; c != nullptr) {
      text = c;
      mxFree(c);
    }
    mxDestroyArray(m);
  }
  mxDestroyArray(failure);
  return text;
}

// What both holders of blocks keep: the data's description, the plan they
// report and the mixture set, which they hand on with every pass.
class Kept_Mixture : public velmora_log::Fit_Passes {
 public:
  explicit Kept_Mixture(const Fit_Data &d)
      : d_(d), layout_{d.dim, d.K, d.mode == velmora_log::Mode::full} {}

  const Fit_Plan &plan() const override { return plan_; }
  const Stat_Layout &layout() const override { return layout_; }

  void Set_Mixture(const std::vector<double> &mu, const Factors &f) override {
    mu_ = mu;
    f_ = f;
  }

 protected:
  Fit_Data d_;
  Stat_Layout layout_;
  Fit_Plan plan_;
  std::vector<double> mu_;
  Factors f_;
};

class Remote_Passes final : public Kept_Mixture {
 public:
  Remote_Passes(const mxArray *exchange, std::vector<Block> blocks, Index unit, bool resident,
                const Fit_Data &d)
      : Kept_Mixture(d), exchange_(const_cast<mxArray *>(exchange)), blocks_(std::move(blocks)) {
    Index next = 0;
    for (size_t b = 0; b < blocks_.size(); ++b) {
      const Block &k = blocks_[b];
      if (k.first != next || k.count < 1 ||
          (b + 1 < blocks_.size() && k.count % velmora_log::kTreeLeaf != 0))
        throw Error("Velmora:usage", "The blocks must follow one another from the first point, "
                                     "each but the last a whole number of leaves.");
      next += k.count;
    }
    if (next != d.n) throw Error("Velmora:usage", "The blocks do not hold every point.");
    if (unit < 1 || velmora_log::kTreeLeaf % unit != 0)
      throw Error("Velmora:usage", "The workers' unit must divide a leaf.");
    plan_.unit = unit;
    plan_.units = (d.n + plan_.unit - 1) / plan_.unit;
    plan_.chunk = d.n;
    plan_.resident = resident;
  }

  std::vector<double> Pass(bool statistics, const std::vector<double> &shift) override {
    return Sum("pass", statistics ? layout_.Size() : 1,
               {Row(mu_), Row(f_.whitening), Row(f_.log_weight),
                mxCreateDoubleScalar(statistics ? 1 : 0), Row(shift)},
               true);
  }

  std::vector<double> Label_Pass(const std::vector<double> &,
                                 const std::vector<double> &shift) override {
    return Sum("label", d_.K * layout_.Per_Cluster(), {Row(shift)}, false);
  }

  std::vector<double> Data_Moments(const double *shift) override {
    return Sum("moments", 1 + 2 * d_.dim, {Row(shift, d_.dim)}, false);
  }

  std::vector<double> Distance_Pass(const double *centre, bool first) override {
    const auto replies = Ask("distance", 0, {Row(centre, d_.dim), mxCreateDoubleScalar(first)});
    std::vector<double> sums;
    for (const auto &r : replies) sums.insert(sums.end(), r.begin(), r.end());
    if (static_cast<Index>(sums.size()) != plan_.units)
      throw Error("Velmora:worker", "The workers gave " + std::to_string(sums.size()) +
                                        " sums of distances for " +
                                        std::to_string(plan_.units) + " units.");
    return sums;
  }

  void Seed_Centres(const std::vector<double> &) override {
    throw std::logic_error("the driver seeds its centres one pass at a time");
  }

  std::vector<double> Distances(Index first, Index count) override {
    const size_t b = Owner(first);
    return Exactly(count, Ask("distances", b + 1,
                              {mxCreateDoubleScalar(static_cast<double>(first - blocks_[b].first)),
                               mxCreateDoubleScalar(static_cast<double>(count))})[0]);
  }

  std::vector<double> Point(Index j) override {
    const size_t b = Owner(j);
    return Exactly(d_.dim, Ask("point", b + 1,
                               {mxCreateDoubleScalar(static_cast<double>(j - blocks_[b].first))})[0]);
  }

  Index First_Lost() override {
    Index lost = -1;
    for (const auto &r : Ask("lost", 0, {Row(mu_), Row(f_.whitening), Row(f_.log_weight)}))
      if (r.size() == 1 && r[0] >= 0 && (lost < 0 || r[0] < lost)) lost = static_cast<Index>(r[0]);
    return lost;
  }

  std::string Note() override { return note_; }

 private:
  static mxArray *Row(const std::vector<double> &v) {
    return velmora_mex::Row(v.data(), static_cast<Index>(v.size()));
  }
  static mxArray *Row(const double *v, Index n) { return velmora_mex::Row(v, n); }

  size_t Owner(Index j) const {
    size_t b = 0;
    while (b + 1 < blocks_.size() && blocks_[b + 1].first <= j) ++b;
    return b;
  }

  static std::vector<double> Exactly(Index n, std::vector<double> v) {
    if (static_cast<Index>(v.size()) != n)
      throw Error("Velmora:worker", "A worker gave " + std::to_string(v.size()) +
                                        " values where " + std::to_string(n) + " were asked for.");
    return v;
  }

  // The tree nodes of every block, combined in block order: the total.
  std::vector<double> Sum(const char *op, Index width, std::vector<mxArray *> args, bool noted) {
    const auto replies = Ask(op, 0, std::move(args), noted);
    Unit_Tree tree(width);
    try {
      for (const auto &r : replies) tree.Push_Nodes(r);
    } catch (const std::logic_error &) {
      throw Error("Velmora:worker", std::string("The workers' sums of '") + op +
                                        "' do not fit together: a worker runs another version.");
    }
    const Index leaves = (d_.n + velmora_log::kTreeLeaf - 1) / velmora_log::kTreeLeaf;
    if (tree.next_leaf() != leaves)
      throw Error("Velmora:worker", std::string("The workers' sums of '") + op +
                                        "' do not cover every point.");
    return tree.Total();
  }

  // exchange(op, worker, args...): one row per block asked. Every argument
  // is ours to destroy, whatever happens.
  std::vector<std::vector<double>> Ask(const char *op, size_t worker, std::vector<mxArray *> args,
                                       bool noted = false) {
    std::vector<mxArray *> in{exchange_, mxCreateString(op),
                              mxCreateDoubleScalar(static_cast<double>(worker))};
    in.insert(in.end(), args.begin(), args.end());
    mxArray *out = nullptr, *failure = nullptr;
    bool interrupted = false;
    try {
      failure = mexCallMATLABWithTrap(1, &out, static_cast<int>(in.size()), in.data(), "feval");
#ifdef VELMORA_OCTAVE
    } catch (const octave::interrupt_exception &) {
      // A Ctrl-C that Octave acted on in the exchange's own code, which
      // no trap and no try there catches: the fit's, as in VelmoraFit.
      interrupted = true;
#endif
    } catch (...) {
      for (size_t i = 1; i < in.size(); ++i) mxDestroyArray(in[i]);
      throw;
    }
    for (size_t i = 1; i < in.size(); ++i) mxDestroyArray(in[i]);
    if (interrupted) throw velmora_log::Pass_Interrupted();
    if (failure != nullptr || out == nullptr || !mxIsStruct(out)) {
      if (out != nullptr) mxDestroyArray(out);
      throw Error("Velmora:worker", "The workers could not be asked for a pass: " +
                                        (failure != nullptr ? Failure_Text(failure)
                                                            : std::string("no reply")) + ".");
    }
    const std::string id = Field_Text(out, "identifier");
    if (!id.empty()) {
      const std::string message = Field_Text(out, "message");
      mxDestroyArray(out);
      // A block's pass in this session that the Ctrl-C stopped.
      if (id == "Velmora:interrupted") throw velmora_log::Pass_Interrupted();
      throw Error(id, message);
    }
    std::vector<std::vector<double>> replies;
    const mxArray *values = mxGetField(out, 0, "values");
    const size_t want = worker == 0 ? blocks_.size() : 1;
    for (size_t i = 0; values != nullptr && mxIsCell(values) && i < mxGetNumberOfElements(values);
         ++i) {
      const mxArray *v = mxGetCell(values, i);
      if (v == nullptr || !mxIsDouble(v) || mxIsComplex(v)) break;
      replies.emplace_back(mxGetPr(v), mxGetPr(v) + mxGetNumberOfElements(v));
    }
    if (noted) note_ = Field_Text(out, "note");
    mxDestroyArray(out);
    if (replies.size() != want)
      throw Error("Velmora:worker", "The workers gave " + std::to_string(replies.size()) +
                                        " replies where " + std::to_string(want) +
                                        " were asked for.");
    return replies;
  }

  mxArray *exchange_;
  std::vector<Block> blocks_;
  std::string note_;
};

class Shard_Passes final : public Kept_Mixture {
 public:
  Shard_Passes(std::vector<std::string> paths, Index skip, Index count, std::vector<double> extra,
               const Fit_Data &d, Index chunk, velmora_log::Passes_Maker make)
      : Kept_Mixture(d), paths_(std::move(paths)), skip_(skip), count_(count),
        extra_(std::move(extra)),
        chunk_(std::max<Index>(velmora_log::kTreeLeaf, chunk / velmora_log::kTreeLeaf *
                                                            velmora_log::kTreeLeaf)),
        make_(std::move(make)) {
    // Every point is read once here, so that a bad value is named before
    // the fit starts, with its shard.
    For_Chunks([](velmora_log::Fit_Passes &, Index) {});
    plan_ = probe_plan_;
    plan_.units = (d.n + plan_.unit - 1) / plan_.unit;
    plan_.chunk = chunk_;
    plan_.resident = false;
  }

  std::vector<double> Pass(bool statistics, const std::vector<double> &shift) override {
    return Nodes(statistics ? layout_.Size() : 1, [&](velmora_log::Fit_Passes &h, Index) {
      h.Set_Mixture(mu_, f_);
      return h.Pass(statistics, shift);
    });
  }

  std::vector<double> Label_Pass(const std::vector<double> &labels,
                                 const std::vector<double> &shift) override {
    return Nodes(d_.K * layout_.Per_Cluster(), [&](velmora_log::Fit_Passes &h, Index c0) {
      const Index n = std::min(chunk_, d_.n - c0);
      return h.Label_Pass(std::vector<double>(labels.begin() + c0, labels.begin() + c0 + n),
                          shift);
    });
  }

  std::vector<double> Data_Moments(const double *shift) override {
    return Nodes(1 + 2 * d_.dim,
                 [&](velmora_log::Fit_Passes &h, Index) { return h.Data_Moments(shift); });
  }

  std::vector<double> Distance_Pass(const double *centre, bool first) override {
    if (first) centres_.clear();
    centres_.insert(centres_.end(), centre, centre + d_.dim);
    std::vector<double> sums;
    For_Chunks([&](velmora_log::Fit_Passes &h, Index) {
      const std::vector<double> s = Replay(h);
      sums.insert(sums.end(), s.begin(), s.end());
    });
    return sums;
  }

  void Seed_Centres(const std::vector<double> &centres) override { centres_ = centres; }

  std::vector<double> Distances(Index first, Index count) override {
    // The leaf that holds them, its distances from the centres again.
    const Index leaf = first / velmora_log::kTreeLeaf * velmora_log::kTreeLeaf;
    auto h = Holder(leaf, std::min(velmora_log::kTreeLeaf, d_.n - leaf));
    Replay(*h);
    return h->Distances(first - leaf, count);
  }

  std::vector<double> Point(Index j) override {
    std::vector<double> x(static_cast<size_t>(d_.dim));
    Read(j, 1, x.data());
    return x;
  }

  Index First_Lost() override {
    Index lost = -1;
    For_Chunks([&](velmora_log::Fit_Passes &h, Index) {
      if (lost >= 0) return;
      h.Set_Mixture(mu_, f_);
      lost = h.First_Lost();
    });
    return lost;
  }

 private:
  // Points first .. first + count of the block into out.
  void Read(Index first, Index count, double *out) const {
    const Index from_shards = std::max<Index>(0, std::min(count, count_ - first));
    if (from_shards > 0) Read_Shard_Points(paths_, d_.dim, skip_ + first, from_shards, out);
    const Index e0 = std::max<Index>(0, first - count_) * d_.dim;
    std::copy(extra_.begin() + e0, extra_.begin() + e0 + (count - from_shards) * d_.dim,
              out + from_shards * d_.dim);
  }

  // A holder over points first .. first + count, read into buffer_.
  std::unique_ptr<velmora_log::Fit_Passes> Holder(Index first, Index count) {
    buffer_.resize(static_cast<size_t>(count * d_.dim));
    Read(first, count, buffer_.data());
    Fit_Data c = d_;
    c.X = buffer_.data();
    c.n = count;
    c.first = d_.first + first;
    c.partial = true;
    c.weights = d_.weights == nullptr ? nullptr : d_.weights + first;
    auto h = make_(c);
    probe_plan_ = h->plan();
    return h;
  }

  template <typename Body>
  void For_Chunks(Body body) {
    for (Index c0 = 0; c0 < d_.n; c0 += chunk_) {
      auto h = Holder(c0, std::min(chunk_, d_.n - c0));
      body(*h, c0);
    }
  }

  template <typename Form>
  std::vector<double> Nodes(Index width, Form form) {
    Unit_Tree tree(width);
    For_Chunks([&](velmora_log::Fit_Passes &h, Index c0) { tree.Push_Nodes(form(h, c0)); });
    return tree.Nodes();
  }

  // The centres so far on a fresh holder: all but the last set at once,
  // the last one's pass finding the distances to every one.
  std::vector<double> Replay(velmora_log::Fit_Passes &h) {
    const Index m = static_cast<Index>(centres_.size()) / d_.dim;
    h.Seed_Centres(std::vector<double>(centres_.begin(), centres_.end() - d_.dim));
    return h.Distance_Pass(centres_.data() + (m - 1) * d_.dim, m == 1);
  }

  std::vector<std::string> paths_;
  Index skip_, count_;
  std::vector<double> extra_;
  Index chunk_;
  velmora_log::Passes_Maker make_;
  Fit_Plan probe_plan_;
  std::vector<double> buffer_, centres_;
};

}  // namespace

std::unique_ptr<velmora_log::Fit_Passes> Make_Shard_Passes(
    std::vector<std::string> paths, Index skip, Index count, std::vector<double> extra,
    const velmora_log::Fit_Data &data, Index chunk, velmora_log::Passes_Maker make) {
  return std::make_unique<Shard_Passes>(std::move(paths), skip, count, std::move(extra), data,
                                        chunk, std::move(make));
}

std::unique_ptr<velmora_log::Fit_Passes> Make_Remote_Passes(const mxArray *exchange,
                                                            std::vector<Block> blocks, Index unit,
                                                            bool resident, const Fit_Data &data) {
  return std::make_unique<Remote_Passes>(exchange, std::move(blocks), unit, resident, data);
}

}  // namespace velmora_mex
