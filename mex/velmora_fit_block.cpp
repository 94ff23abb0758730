// The MEX entry point of velmora_fit_block, VelmoraFitParallel's own: a
// worker's sessions, each holding one block of the data across a fit's
// passes, and the caller's fit over the blocks (see velmora_fit_block.m).
#include <mex.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "VelmoraFit.h"
#include "engine_choice.h"
#include "fit_blocks.h"
#include "gateway_inputs.h"

namespace {

using velmora_log::Error;
using velmora_mex::Index;

struct Session {
  std::vector<double> X, weights, labels;  // X empty where the shards are read each pass
  Index n = 0;
  std::unique_ptr<velmora_log::Fit_Passes> passes;
};

// The sessions of this worker process, by number. The module stays loaded
// while any is open.
std::map<Index, std::unique_ptr<Session>> &Sessions() {
  static std::map<Index, std::unique_ptr<Session>> sessions;
  return sessions;
}

[[noreturn]] void Usage(const std::string &m) { throw Error("Velmora:usage", m); }

std::string Text(const mxArray *a, const char *what) {
  if (a == nullptr || !mxIsChar(a)) Usage(std::string(what) + " must be text.");
  return velmora_mex::Text_Of(a);
}

const mxArray *Field(const mxArray *s, const char *name) {
  const mxArray *f = mxGetField(s, 0, name);
  if (f == nullptr) Usage(std::string("The block has no field ") + name + ".");
  return f;
}

double Scalar(const mxArray *a, const char *what) {
  if (a == nullptr || !mxIsDouble(a) || mxIsComplex(a) || mxGetNumberOfElements(a) != 1)
    Usage(std::string(what) + " must be a real double scalar.");
  return mxGetScalar(a);
}

std::vector<double> Values(const mxArray *a, const char *what) {
  velmora_mex::Numbers v;
  velmora_mex::Read(a, what, v);
  return std::vector<double>(v.data, v.data + v.rows * v.cols);
}

std::vector<std::string> Paths(const mxArray *a) {
  if (!mxIsCell(a)) Usage("The shard files must be a cell array of file names.");
  std::vector<std::string> paths;
  for (size_t i = 0; i < mxGetNumberOfElements(a); ++i) paths.push_back(Text(mxGetCell(a, i), "A shard file"));
  return paths;
}

mxArray *Row(const std::vector<double> &v) {
  mxArray *a = mxCreateDoubleMatrix(1, static_cast<mwSize>(v.size()), mxREAL);
  std::copy(v.begin(), v.end(), mxGetPr(a));
  return a;
}

// open(block): the block's points (given, or read from its shards, then
// the points of the next blocks' shards that belong to it), its weights and
// labels, kept for the passes to come on this worker's engine: [session,
// points per unit of its k-means++ sums, 1 where it holds its block and 0
// where it streams it].
std::vector<double> Open(const mxArray *b) {
  if (!mxIsStruct(b)) Usage("A block must be a struct.");
  const Index dim = static_cast<Index>(Scalar(Field(b, "Dim"), "Dim"));
  if (dim < 1 || Scalar(Field(b, "K"), "K") < 1) Usage("A block needs dim >= 1 and K >= 1.");
  auto s = std::make_unique<Session>();
  const std::vector<std::string> files = Paths(Field(b, "Files"));
  std::vector<double> extra = Values(Field(b, "Extra"), "Extra");
  const Index skip = files.empty() ? 0 : static_cast<Index>(Scalar(Field(b, "Skip"), "Skip")),
              count = files.empty() ? 0 : static_cast<Index>(Scalar(Field(b, "Count"), "Count"));
  // Points per chunk read from the shards each pass (0: only where the
  // block would take more than half of what this process can get).
  Index stream = static_cast<Index>(Scalar(Field(b, "Stream"), "Stream"));
  if (!files.empty() && stream == 0) {
    try {
      velmora_mex::Check_Host_Room(16.0 * static_cast<double>(dim) *
                                       static_cast<double>(count + extra.size() / dim),
                                   "The block", "", false);
    } catch (const Error &) {
      stream = std::max<Index>(velmora_log::kTreeLeaf, (Index{1} << 22) / dim);  // 32 MiB
    }
  }
  if (files.empty()) s->X = Values(Field(b, "X"), "X");
  const Index n = files.empty() ? static_cast<Index>(s->X.size()) / dim
                                : count + static_cast<Index>(extra.size()) / dim;
  s->weights = Values(Field(b, "Weights"), "Weights");
  s->labels = Values(Field(b, "Labels"), "Labels");
  if (n < 1 || (!s->weights.empty() && static_cast<Index>(s->weights.size()) != n) ||
      (!s->labels.empty() && static_cast<Index>(s->labels.size()) != n))
    Usage("A block needs points, and a weight and a label for each where they are given.");
  velmora_log::Fit_Data d;
  d.dim = dim;
  d.n = n;
  d.K = static_cast<Index>(Scalar(Field(b, "K"), "K"));
  d.mode = Text(Field(b, "Mode"), "Mode") == "full" ? velmora_log::Mode::full
                                                     : velmora_log::Mode::diagonal;
  d.weights = s->weights.empty() ? nullptr : s->weights.data();
  d.probability_tolerance = Scalar(Field(b, "Tolerance"), "Tolerance");
  d.seeding = Scalar(Field(b, "Seeding"), "Seeding") != 0;
  d.labels = !s->labels.empty();
  d.first = static_cast<Index>(Scalar(Field(b, "First"), "First"));
  d.partial = true;
  // A Ctrl-C that reaches this session (its caller's, where the block is
  // held in the caller's own session) ends the pass between its waves.
  d.interrupted = velmora_mex::Interrupt_Query();
  if (d.first < 0 || d.first % velmora_log::kTreeLeaf != 0)
    Usage("A block starts on a leaf of the reduction tree, a multiple of " +
          std::to_string(velmora_log::kTreeLeaf) + " points.");
  // This worker's engine, as VelmoraFit here would choose it.
  const velmora_log::Passes_Maker make =
      velmora_log::Engine_From_Environment() == velmora_log::Engine::host
          ? velmora_log::Passes_Maker(velmora_log::Make_Host_Passes)
          : velmora_log::Passes_Maker(velmora_log::Make_Device_Passes);
  if (!files.empty() && stream > 0) {
    s->passes = velmora_mex::Make_Shard_Passes(files, skip, count, std::move(extra), d, stream, make);
  } else {
    if (!files.empty()) {
      s->X.resize(static_cast<size_t>(dim * count));
      velmora_mex::Read_Shard_Points(files, dim, skip, count, s->X.data());
    }
    s->X.insert(s->X.end(), extra.begin(), extra.end());
    d.X = s->X.data();
    s->passes = make(d);
  }
  s->n = n;
  const velmora_log::Fit_Plan plan = s->passes->plan();
  auto &sessions = Sessions();
  const Index id = sessions.empty() ? 1 : sessions.rbegin()->first + 1;
  if (sessions.empty()) mexLock();
  sessions.emplace(id, std::move(s));
  return {static_cast<double>(id), static_cast<double>(plan.unit), plan.resident ? 1.0 : 0.0};
}

void Close(int nrhs, const mxArray *prhs[]) {
  auto &sessions = Sessions();
  if (sessions.empty()) return;
  if (nrhs < 2) sessions.clear();
  else sessions.erase(static_cast<Index>(Scalar(prhs[1], "A session")));
  if (sessions.empty()) mexUnlock();
}

// call(id, op, args...): one pass of the session's block, as a row.
std::vector<double> Call(int nrhs, const mxArray *prhs[]) {
  if (nrhs < 3) Usage("call needs a session and an operation.");
  const auto it = Sessions().find(static_cast<Index>(Scalar(prhs[1], "A session")));
  if (it == Sessions().end()) Usage("No such session: the block was closed or never opened.");
  Session &s = *it->second;
  const std::string op = Text(prhs[2], "The operation");
  const auto arg = [&](int i) {
    if (3 + i >= nrhs) Usage("'" + op + "' needs more arguments.");
    return prhs[3 + i];
  };
  const auto mixture = [&] {
    s.passes->Set_Mixture(Values(arg(0), "Mu"),
                          velmora_log::Factors{Values(arg(2), "log-weights"),
                                               Values(arg(1), "whitening")});
  };
  if (op == "pass") {
    mixture();
    return s.passes->Pass(Scalar(arg(3), "statistics") != 0, Values(arg(4), "shift"));
  }
  if (op == "label") return s.passes->Label_Pass(s.labels, Values(arg(0), "shift"));
  if (op == "moments") return s.passes->Data_Moments(Values(arg(0), "shift").data());
  if (op == "distance")
    return s.passes->Distance_Pass(Values(arg(0), "centre").data(), Scalar(arg(1), "first") != 0);
  const Index n = s.n;
  if (op == "distances") {
    const Index first = static_cast<Index>(Scalar(arg(0), "first")),
                count = static_cast<Index>(Scalar(arg(1), "count"));
    if (first < 0 || count < 0 || first + count > n) Usage("Those points are not the block's.");
    return s.passes->Distances(first, count);
  }
  if (op == "point") {
    const Index j = static_cast<Index>(Scalar(arg(0), "point"));
    if (j < 0 || j >= n) Usage("That point is not the block's.");
    return s.passes->Point(j);
  }
  if (op == "lost") {
    mixture();
    return {static_cast<double>(s.passes->First_Lost())};
  }
  Usage("Unknown operation '" + op + "'.");
}

void Run(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  if (nrhs < 1) Usage("velmora_fit_block needs an operation; see help velmora_fit_block.");
  const std::string what = Text(prhs[0], "The operation");
  if (what == "fit") {
    // fit(exchange, [dim n unit resident], blocks (2 x W: first, count), K,
    // options...); resident: 1 where every block is held.
    if (nrhs < 5) Usage("fit needs the exchange, the data's size, the blocks and K.");
    const std::vector<double> size = Values(prhs[2], "The data's size"),
                              b = Values(prhs[3], "The blocks");
    if (size.size() != 4 || b.size() % 2 != 0)
      Usage("fit takes [dim n unit resident] and 2 x W blocks.");
    const bool resident = size[3] != 0.0;
    std::vector<velmora_mex::Block> blocks;
    for (size_t i = 0; i < b.size(); i += 2)
      blocks.push_back({static_cast<Index>(b[i]), static_cast<Index>(b[i + 1])});
    const Index unit = static_cast<Index>(size[2]);
    const mxArray *exchange = prhs[1];
    std::vector<std::pair<std::string, std::string>> warnings;
    VelmoraFit_Elsewhere(
        std::min(nlhs, 2), plhs, nrhs - 4, prhs + 4, static_cast<Index>(size[0]),
        static_cast<Index>(size[1]),
        [&](const velmora_log::Fit_Data &d) {
          return velmora_mex::Make_Remote_Passes(exchange, blocks, unit, resident, d);
        },
        warnings);
    // The warnings for the caller to raise under its own name: 2 x W.
    if (nlhs > 2) {
      plhs[2] = mxCreateCellMatrix(2, warnings.size());
      for (size_t i = 0; i < warnings.size(); ++i) {
        mxSetCell(plhs[2], 2 * i, mxCreateString(warnings[i].first.c_str()));
        mxSetCell(plhs[2], 2 * i + 1, mxCreateString(warnings[i].second.c_str()));
      }
    }
  } else if (what == "check") {
    // check(X, K, options...) or check([dim n], 'size', K, options...):
    // VelmoraFit's refusals before any block is opened.
    if (nrhs >= 3 && mxIsChar(prhs[2]) && velmora_mex::Text_Of(prhs[2]) == "size") {
      const std::vector<double> size = Values(prhs[1], "The data's size");
      if (size.size() != 2) Usage("check takes [dim n].");
      VelmoraFit_Check_Size(nrhs - 3, prhs + 3, static_cast<Index>(size[0]),
                            static_cast<Index>(size[1]));
    } else {
      VelmoraFit_Check(nrhs - 1, prhs + 1);
    }
  } else if (what == "open") {
    if (nrhs != 2) Usage("open takes one block.");
    plhs[0] = Row(Open(prhs[1]));
  } else if (what == "call") {
    try {
      plhs[0] = Row(Call(nrhs, prhs));
    } catch (const velmora_log::Pass_Interrupted &) {
      throw Error("Velmora:interrupted", "The block's pass was interrupted.");
    }
  } else if (what == "close") {
    Close(nrhs, prhs);
  } else if (what == "sizes") {
    // sizes(files): 2 x F, the rows and points of each shard.
    if (nrhs != 2) Usage("sizes takes the shard files.");
    const std::vector<std::string> files = Paths(prhs[1]);
    plhs[0] = mxCreateDoubleMatrix(2, static_cast<mwSize>(files.size()), mxREAL);
    for (size_t f = 0; f < files.size(); ++f) {
      const velmora_mex::Shard_Size s = velmora_mex::Read_Shard_Size(files[f]);
      mxGetPr(plhs[0])[2 * f] = static_cast<double>(s.rows);
      mxGetPr(plhs[0])[2 * f + 1] = static_cast<double>(s.cols);
    }
  } else if (what == "read") {
    // read(files, dim, offset, count): dim x count points of the shards.
    if (nrhs != 5) Usage("read takes the shard files, dim, the first point and the count.");
    const Index dim = static_cast<Index>(Scalar(prhs[2], "dim")),
                count = static_cast<Index>(Scalar(prhs[4], "count"));
    mxArray *out = mxCreateDoubleMatrix(static_cast<mwSize>(dim), static_cast<mwSize>(count), mxREAL);
    try {
      velmora_mex::Read_Shard_Points(Paths(prhs[1]), dim,
                                     static_cast<Index>(Scalar(prhs[3], "offset")), count,
                                     mxGetPr(out));
    } catch (...) {
      mxDestroyArray(out);
      throw;
    }
    plhs[0] = out;
  } else {
    Usage("Unknown operation '" + what + "'.");
  }
  (void)nlhs;
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  velmora_mex::Run_Gateway([&] { Run(nlhs, plhs, nrhs, prhs); }, [](const std::string &) {});
}
