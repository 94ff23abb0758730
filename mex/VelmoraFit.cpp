// The VelmoraFit gateway: checks X, K and every name/value option (refused
// by name, with identifiers), converts single data, runs the fit and builds
// the model and info structs. Every problem becomes a MATLAB error raised
// only after everything of ours is released; outputs exist only once the
// fit has succeeded. Messages do not name the function: Octave puts its
// name before them.
#include "VelmoraFit.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <new>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine_choice.h"
#include "fit.h"
#include "fit_passes.h"
#include "log_mixture.h"
#include "gateway_inputs.h"

namespace {

using velmora_log::Error;
using velmora_log::Fit_Options;
using velmora_log::Mode;
using velmora_log::Start;
using Index = std::int64_t;

const char *const kCall =
    "Call it as [model, info] = VelmoraFit(X, K) or [model, info] = VelmoraFit(X, K, Name, "
    "Value, ...).";
const char *const kOptions =
    "CovarianceType, SharedCovariance, RegularizationValue, Start, Replicates, MaxIter, TolFun, "
    "TolFunRelative, Display, Seed, Weights and ProbabilityTolerance";
const char *const kStartForms =
    "'Start' must be 'plus', 'randSample', a vector of one label (1 to K) per point, or a struct "
    "with fields Mu, Sigma and Pi";
constexpr double kLargestWhole = 9007199254740992.0;  // 2^53

[[noreturn]] void Usage(const std::string &message) { throw Error("Velmora:usage", message); }
using velmora_mex::Shape_Error;
using velmora_mex::Size_Text;
using velmora_mex::Text_Of;

std::string Number(double v) { return velmora_log::Number(v, 15); }

std::string Lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// An argument as a message names it: its text, its value, or its size and
// class.
std::string Describe(const mxArray *a) {
  if (mxIsChar(a)) return "'" + Text_Of(a) + "'";
  if (mxIsStruct(a))
    return mxGetNumberOfElements(a) == 1 ? "a struct" : "a " + Size_Text(a) + " struct array";
  if ((mxIsNumeric(a) || mxIsLogical(a)) && !mxIsComplex(a) && mxGetNumberOfElements(a) == 1)
    return Number(mxGetScalar(a));
  return "a " + Size_Text(a) + " " + (mxIsComplex(a) ? "complex " : "") + mxGetClassName(a) +
         " array";
}

using velmora_mex::Numbers;
using velmora_mex::Read;

// A real scalar (logical or numeric); `name` as messages show it.
double Scalar(const mxArray *v, const std::string &name, const std::string &what) {
  if (!(mxIsNumeric(v) || mxIsLogical(v)) || mxIsComplex(v) || mxIsSparse(v) ||
      mxGetNumberOfElements(v) != 1)
    Usage(name + " must be " + what + "; it is " + Describe(v) + ".");
  return mxGetScalar(v);
}

Index Whole(const mxArray *v, const std::string &name, double least) {
  const std::string what = least > 0 ? "a positive whole number" : "a whole number, 0 or more";
  const double x = Scalar(v, name, what);
  if (!(x >= least && x <= kLargestWhole && x == std::floor(x)))
    Usage(name + " must be " + what + (x > kLargestWhole ? " up to 2^53" : "") + "; it is " +
          Number(x) + ".");
  return static_cast<Index>(x);
}

bool Flag(const mxArray *v, const std::string &name) {
  const double x = Scalar(v, name, "true or false");
  if (x != 0 && x != 1) Usage(name + " must be true or false; it is " + Number(x) + ".");
  return x == 1;
}

double Non_Negative(const mxArray *v, const std::string &name) {
  const std::string what = "a finite number, 0 or more";
  const double x = Scalar(v, name, what);
  if (!(x >= 0 && std::isfinite(x))) Usage(name + " must be " + what + "; it is " + Number(x) + ".");
  return x;
}

// One of a few words, in any case.
int Choice(const mxArray *v, const std::string &name, const std::vector<std::string> &words) {
  std::string listed;
  for (size_t i = 0; i < words.size(); ++i)
    listed += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + ("'" + words[i] + "'");
  if (!mxIsChar(v)) Usage("'" + name + "' must be " + listed + "; it is " + Describe(v) + ".");
  const std::string text = Lower(Text_Of(v));
  for (size_t i = 0; i < words.size(); ++i)
    if (text == Lower(words[i])) return static_cast<int>(i);
  Usage("'" + name + "' must be " + listed + "; it is " + Describe(v) + ".");
}

// Labels 1..K, one per point, each cluster given at least one; kept 0-based.
void Read_Labels(const mxArray *v, Index n, Index K, Fit_Options &o) {
  Numbers labels;
  Read(v, "'Start' (labels)", labels);
  if (std::min(labels.rows, labels.cols) > 1 || labels.rows * labels.cols != n)
    Shape_Error("'Start' labels must be one per point, 1 x " + std::to_string(n) +
                " (X has " + std::to_string(n) + " columns); it is " + Size_Text(v) + ".");
  o.labels.resize(static_cast<size_t>(n));
  std::vector<char> used(static_cast<size_t>(K), 0);
  for (Index j = 0; j < n; ++j) {
    const double l = labels.data[j];
    if (!(l >= 1 && l <= static_cast<double>(K) && l == std::floor(l)))
      Usage("'Start' label " + std::to_string(j + 1) + " is " + Number(l) +
            ": labels must be whole numbers from 1 to " + std::to_string(K) + ".");
    o.labels[j] = l - 1;
    used[static_cast<size_t>(l) - 1] = 1;
  }
  for (Index k = 0; k < K; ++k)
    if (!used[k])
      Usage("'Start' labels give cluster " + std::to_string(k + 1) +
            " no point: every cluster needs at least one.");
}

// One weight per point; their values are the engine's to check.
void Read_Weights(const mxArray *v, Index n, Fit_Options &o) {
  Numbers w;
  Read(v, "'Weights'", w);
  if (std::min(w.rows, w.cols) > 1 || w.rows * w.cols != n)
    Shape_Error("'Weights' must be one per point, 1 x " + std::to_string(n) + " (X has " +
                std::to_string(n) + " columns); it is " + Size_Text(v) + ".");
  o.weights.assign(w.data, w.data + n);
}

const mxArray *Start_Field(const mxArray *s, const char *name) {
  if (const mxArray *f = mxGetField(s, 0, name)) return f;
  Usage(std::string(kStartForms) + "; it has no field " + name + ".");
}

// Start parameters in the model's layout: Sigma per cluster, or one for all.
void Read_Parameters(const mxArray *mu_a, const mxArray *sigma_a, const mxArray *pi_a, Index dim,
                     Index K, Fit_Options &o) {
  const bool full = o.mode == Mode::full;
  Numbers mu, sigma, pi;
  Read(mu_a, "'Start'.Mu", mu);
  Read(sigma_a, "'Start'.Sigma", sigma);
  Read(pi_a, "'Start'.Pi", pi);
  const std::string dk = std::to_string(dim) + " x " + std::to_string(K),
                    dd = std::to_string(dim) + " x " + std::to_string(dim);
  if (mu.rows != dim || mu.cols != K)
    Shape_Error("'Start'.Mu must be " + dk + ", one centre per cluster; it is " +
                Size_Text(mu_a) + ".");
  const Index block = full ? dim * dim : dim;
  // Past two dimensions only dim x dim x K, full (or at dim 1, where it is
  // also K variances, the Sigma a full fit returns): a permuted array with
  // the count of K covariances would otherwise be read as if it had their
  // shape.
  const bool stacked = mxGetNumberOfDimensions(sigma_a) <= 2 ||
                       ((full || dim == 1) && velmora_mex::Is_Stack(sigma_a, dim, K));
  if (sigma.rows != dim || (sigma.cols * dim != block * K && sigma.cols * dim != block) ||
      !stacked)
    Shape_Error("'Start'.Sigma must be " +
                (full ? dd + " x " + std::to_string(K) + " (full covariances) or " + dd
                      : dk + " (diagonal covariances, one column per cluster) or " +
                            std::to_string(dim) + " x 1") +
                " (one for every cluster), as 'CovarianceType' is '" +
                (full ? "full" : "diagonal") + "'; it is " + Size_Text(sigma_a) + ".");
  if (std::min(pi.rows, pi.cols) > 1 || pi.rows * pi.cols != K)
    Shape_Error("'Start'.Pi must hold one prior per cluster, 1 x " + std::to_string(K) +
                "; it is " + Size_Text(pi_a) + ".");
  o.mu.assign(mu.data, mu.data + dim * K);
  o.sigma.clear();
  const bool one = sigma.rows * sigma.cols == block && K > 1;
  for (Index k = 0; k < K; ++k) {
    const double *from = sigma.data + (one ? 0 : k * block);
    o.sigma.insert(o.sigma.end(), from, from + block);
  }
  o.pi.assign(pi.data, pi.data + K);
  for (Index k = 0; k < K; ++k)
    if (o.pi[k] == 0.0)
      throw Error("Velmora:priors", "'Start'.Pi(" + std::to_string(k + 1) +
                                        ") is 0: every cluster needs a positive prior to be "
                                        "fitted.");
}

// A start as info.Start names it.
const char *Start_Name(Start s) {
  switch (s) {
    case Start::plus: return "plus";
    case Start::rand_sample: return "randSample";
    case Start::labels: return "labels";
    default: return "parameters";
  }
}

struct Call {
  Numbers X;
  Index dim = 0, n = 0, K = 0;
  Fit_Options options;
  bool parallel = false;  // VelmoraFitParallel's, whose advice names its own call
};

// K at prhs[at] and the options after it, for c.dim x c.n points.
void Parse_Options(int nrhs, const mxArray *prhs[], int at, Call &c) {
  c.K = Whole(prhs[at], "K", 1);
  if (c.K > c.n)
    Usage("K must be at most the number of points, " + std::to_string(c.n) +
          " (the columns of X); it is " + std::to_string(c.K) + ".");
  Fit_Options &o = c.options;
  const mxArray *start = nullptr;
  for (int i = at + 1; i < nrhs; i += 2) {
    if (!mxIsChar(prhs[i]))
      Usage("Option names must be text; argument " + std::to_string(i + 1) + " is " +
            Describe(prhs[i]) + ". " + kCall);
    const std::string name = Text_Of(prhs[i]), key = Lower(name);
    if (i + 1 >= nrhs) Usage("Option '" + name + "' has no value: options come in name/value pairs.");
    const mxArray *v = prhs[i + 1];
    if (key == "covariancetype") {
      o.mode = Choice(v, "CovarianceType", {"full", "diagonal"}) == 0 ? Mode::full : Mode::diagonal;
    } else if (key == "sharedcovariance") {
      o.shared = Flag(v, "'SharedCovariance'");
    } else if (key == "regularizationvalue") {
      o.regularization = Non_Negative(v, "'RegularizationValue'");
    } else if (key == "start") {
      start = v;
    } else if (key == "replicates") {
      o.replicates = Whole(v, "'Replicates'", 1);
    } else if (key == "maxiter") {
      o.max_iter = Whole(v, "'MaxIter'", 1);
    } else if (key == "tolfun") {
      o.tol_fun = Non_Negative(v, "'TolFun'");
    } else if (key == "tolfunrelative") {
      o.relative_tol_fun = Flag(v, "'TolFunRelative'");
    } else if (key == "display") {
      const int d = Choice(v, "Display", {"off", "iter", "final"});
      o.display = d == 0 ? velmora_log::Display::off
                  : d == 1 ? velmora_log::Display::iter
                           : velmora_log::Display::final;
    } else if (key == "seed") {
      o.seed = static_cast<std::uint64_t>(Whole(v, "'Seed'", 0));
    } else if (key == "weights") {
      Read_Weights(v, c.n, o);
    } else if (key == "probabilitytolerance") {
      o.probability_tolerance = Non_Negative(v, "'ProbabilityTolerance'");
    } else {
      Usage("Unknown option '" + name + "': the options are " + kOptions + "." +
            (key == "options" ? " MaxIter, TolFun and Display are options of their own here."
                              : ""));
    }
  }
  if (start == nullptr) return;
  if (mxIsChar(start)) {
    const std::string text = Lower(Text_Of(start));
    if (text == "plus") o.start = Start::plus;
    else if (text == "randsample") o.start = Start::rand_sample;
    else Usage(std::string(kStartForms) + "; it is " + Describe(start) + ".");
    return;
  }
  // One start: a struct array's other elements would be passed over.
  if (mxIsStruct(start) && mxGetNumberOfElements(start) != 1)
    Usage(std::string(kStartForms) + "; it is " + Describe(start) + ".");
  if (velmora_mex::Is_Model(start)) {
    // A gmdistribution's mu is K x d: read as the evaluator reads it, and
    // diagonal covariances made full where the fit is full.
    velmora_mex::Model_Arrays model;
    try {
      velmora_mex::Read_Model(start, o.mode == Mode::full, model);
    } catch (const velmora_log::Error &e) {
      throw velmora_log::Error(e.id(), std::string("In 'Start': ") + e.what());
    }
    Read_Parameters(model.mu, model.sigma, model.pi, c.dim, c.K, o);
    o.start = Start::parameters;
  } else if (mxIsStruct(start)) {
    Read_Parameters(Start_Field(start, "Mu"), Start_Field(start, "Sigma"),
                    Start_Field(start, "Pi"), c.dim, c.K, o);
    o.start = Start::parameters;
  } else if (mxIsNumeric(start)) {
    Read_Labels(start, c.n, c.K, o);
    o.start = Start::labels;
  } else {
    Usage(std::string(kStartForms) + "; it is " + Describe(start) + ".");
  }
  if (o.replicates > 1)
    Usage("'Replicates' must be 1 with a 'Start' of " + std::string(Start_Name(o.start)) +
          ": every replicate would be the same fit.");
}

mxArray *Matrix(const std::vector<double> &v, Index m, Index n) {
  mxArray *a = mxCreateDoubleMatrix(static_cast<mwSize>(m), static_cast<mwSize>(n), mxREAL);
  std::copy(v.begin(), v.end(), mxGetPr(a));
  return a;
}


mxArray *Model_Struct(const velmora_log::Model &m, Index dim, Index K, bool full) {
  const char *names[] = {"Mu", "Sigma", "Pi"};
  mxArray *s = mxCreateStructMatrix(1, 1, 3, names);
  mxSetField(s, 0, "Mu", Matrix(m.mu, dim, K));
  if (full) {
    const mwSize dims[] = {static_cast<mwSize>(dim), static_cast<mwSize>(dim),
                           static_cast<mwSize>(K)};
    mxArray *sigma = mxCreateNumericArray(3, dims, mxDOUBLE_CLASS, mxREAL);
    std::copy(m.sigma.begin(), m.sigma.end(), mxGetPr(sigma));
    mxSetField(s, 0, "Sigma", sigma);
  } else {
    mxSetField(s, 0, "Sigma", Matrix(m.sigma, dim, K));
  }
  mxSetField(s, 0, "Pi", Matrix(m.pi, 1, K));
  return s;
}

mxArray *Info_Struct(const velmora_log::Fit_Result &r, const Call &c) {
  const Fit_Options &o = c.options;
  const char *names[] = {"LogLikelihood", "History",  "Iterations",         "Converged",
                         "BIC",           "AIC",      "Replicate",          "CovarianceType",
                         "SharedCovariance", "RegularizationValue", "Start", "Replicates",
                         "MaxIter",       "TolFun",   "TolFunRelative",     "Display",
                         "Seed",          "Resident", "ExtraPasses",        "ProbabilityTolerance"};
  mxArray *s = mxCreateStructMatrix(1, 1, static_cast<int>(std::size(names)), names);
  mxSetField(s, 0, "LogLikelihood", mxCreateDoubleScalar(r.log_likelihood));
  mxSetField(s, 0, "History", Matrix(r.history, 1, static_cast<Index>(r.history.size())));
  mxSetField(s, 0, "Iterations", mxCreateDoubleScalar(static_cast<double>(r.iterations)));
  mxSetField(s, 0, "Converged", mxCreateLogicalScalar(r.converged));
  mxSetField(s, 0, "BIC", mxCreateDoubleScalar(r.bic));
  mxSetField(s, 0, "AIC", mxCreateDoubleScalar(r.aic));
  mxSetField(s, 0, "Replicate", mxCreateDoubleScalar(static_cast<double>(r.replicate)));
  mxSetField(s, 0, "CovarianceType", mxCreateString(o.mode == Mode::full ? "full" : "diagonal"));
  mxSetField(s, 0, "SharedCovariance", mxCreateLogicalScalar(o.shared));
  mxSetField(s, 0, "RegularizationValue", mxCreateDoubleScalar(o.regularization));
  mxSetField(s, 0, "Start", mxCreateString(Start_Name(o.start)));
  mxSetField(s, 0, "Replicates", mxCreateDoubleScalar(static_cast<double>(o.replicates)));
  mxSetField(s, 0, "MaxIter", mxCreateDoubleScalar(static_cast<double>(o.max_iter)));
  mxSetField(s, 0, "TolFun", mxCreateDoubleScalar(o.tol_fun));
  mxSetField(s, 0, "TolFunRelative", mxCreateLogicalScalar(o.relative_tol_fun));
  mxSetField(s, 0, "Display",
             mxCreateString(o.display == velmora_log::Display::off    ? "off"
                            : o.display == velmora_log::Display::iter ? "iter"
                                                                      : "final"));
  mxSetField(s, 0, "Seed", mxCreateDoubleScalar(static_cast<double>(o.seed)));
  mxSetField(s, 0, "Resident", mxCreateLogicalScalar(r.resident));
  mxSetField(s, 0, "ExtraPasses", mxCreateDoubleScalar(static_cast<double>(r.extra_passes)));
  mxSetField(s, 0, "ProbabilityTolerance", mxCreateDoubleScalar(o.probability_tolerance));
  return s;
}

// No more points than dimensions is what data laid out as fitgmdist takes
// them, one point per row, look like here; they pass every check and fit
// something else. Said before the fit, which may fail on them.
using Warn = std::function<void(const char *id, const std::string &text)>;

void Raise_Warning(const char *id, const std::string &text) {
  mexWarnMsgIdAndTxt(id, "%s", text.c_str());
}

void Warn_Layout(const Call &c, const Warn &warn) {
  if (c.dim < c.n) return;
  const std::string name = c.parallel ? "VelmoraFitParallel" : "VelmoraFit";
  const std::string text =
      "X has " + std::to_string(c.dim) + " rows and " + std::to_string(c.n) +
      " columns: " + std::to_string(c.n) + " points in " + std::to_string(c.dim) +
      " dimensions, no more points than dimensions. " + name +
      " takes one point per column; for one point per row, as fitgmdist takes them, call "
      "velmora_fitgmdist(X, K, ...) or " + name + "(X.', K, " + (c.parallel ? "workers, " : "") +
      "...).";
  warn("Velmora:layout", text);
}

// A fit that ran out of iterations while TolFun was still in reach, said
// unless Display is 'off'. With TolFun 0 (per point) every fit runs
// MaxIter iterations by request: nothing to say.
void Warn_Not_Converged(const velmora_log::Fit_Result &r, const Call &c, const Warn &warn) {
  const Fit_Options &o = c.options;
  if (r.converged || o.display == velmora_log::Display::off ||
      (o.tol_fun == 0 && !o.relative_tol_fun))
    return;
  const size_t t = r.history.size();
  std::string text = "The fit stopped at MaxIter (" + std::to_string(r.iterations) +
                     (r.iterations == 1 ? " iteration" : " iterations") + ") before converging";
  double size = static_cast<double>(c.n);  // TolFun's unit: a point, or a unit of weight
  if (!o.weights.empty()) size = std::accumulate(o.weights.begin(), o.weights.end(), 0.0);
  if (t >= 2 && o.relative_tol_fun)
    text += ": in its last iteration the log-likelihood rose by " +
            velmora_log::Number(r.history[t - 1] - r.history[t - 2]) +
            ", more than TolFun (" + velmora_log::Number(o.tol_fun) +
            ") times the larger of 1 and its size";
  else if (t >= 2)
    text += std::string(": in its last iteration the log-likelihood per ") +
            (o.weights.empty() ? "point" : "unit of weight") + " rose by " +
            velmora_log::Number((r.history[t - 1] - r.history[t - 2]) / size) +
            ", not less than TolFun (" + velmora_log::Number(o.tol_fun) + ")";
  text += ". Raise 'MaxIter' (or 'TolFun') to let it converge.";
  warn("Velmora:notConverged", text);
}

void Parse(int nrhs, const mxArray *prhs[], Call &c) {
  Read(prhs[0], "X", c.X);
  c.dim = c.X.rows;
  c.n = c.X.cols;
  if (c.dim < 1)
    Shape_Error("X must have at least one row, one coordinate per point; it is " +
                Size_Text(prhs[0]) + ".");
  Parse_Options(nrhs, prhs, 1, c);
}

// The fit of a parsed call over X held by what `make` makes, and its
// outputs.
void Fit_And_Give(int nlhs, mxArray *plhs[], Call &c, const velmora_log::Passes_Maker &make,
                  const Warn &warn) {
  c.options.print = [](const std::string &text) { mexPrintf("%s", text.c_str()); };
  c.options.interrupted = velmora_mex::Interrupt_Query();
  Warn_Layout(c, warn);
  const velmora_log::Fit_Result r = velmora_log::Fit(make, c.X.data, c.dim, c.n, c.K, c.options);
  Warn_Not_Converged(r, c, warn);
  const double sigma_size = static_cast<double>(c.options.mode == Mode::full ? c.dim : 1);
  velmora_mex::Check_Host_Room(
      8.0 * (static_cast<double>(c.dim * c.K) * (1.0 + sigma_size) + static_cast<double>(c.K) +
             static_cast<double>(r.history.size())),
      "The model", std::to_string(c.K) + " clusters in " + std::to_string(c.dim) + " dimensions",
      true);
  plhs[0] = Model_Struct(r.model, c.dim, c.K, c.options.mode == Mode::full);
  if (nlhs == 2) plhs[1] = Info_Struct(r, c);
}

void Check_Counts(int nlhs, int nrhs, int least, const char *inputs) {
  if (nrhs < least)
    Usage("At least 2 inputs are needed, " + std::string(inputs) + "; " + std::to_string(nrhs) +
          (nrhs == 1 ? " was" : " were") + " given. " + kCall);
  if (nlhs > 2)
    Usage("At most 2 outputs are given, model and info; " + std::to_string(nlhs) +
          " were asked for. " + kCall);
}

void Run(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  Check_Counts(nlhs, nrhs, 2, "X and K");
  Call c;
  Parse(nrhs, prhs, c);
  c.options.engine = velmora_log::Engine_From_Environment();
  const velmora_log::Engine engine = c.options.engine;
  Fit_And_Give(
      nlhs, plhs, c,
      [engine](const velmora_log::Fit_Data &data) {
        return engine == velmora_log::Engine::host ? velmora_log::Make_Host_Passes(data)
                                                   : velmora_log::Make_Device_Passes(data);
      },
      Raise_Warning);
}

}  // namespace

void VelmoraFit_Gateway(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  velmora_mex::Run_Gateway([&] { Run(nlhs, plhs, nrhs, prhs); }, [](const std::string &) {});
}

void VelmoraFit_Check(int nrhs, const mxArray *prhs[]) {
  Check_Counts(0, nrhs, 2, "X and K");
  Call c;
  Parse(nrhs, prhs, c);
}

void VelmoraFit_Check_Size(int nrhs, const mxArray *prhs[], std::int64_t dim, std::int64_t n) {
  Check_Counts(0, nrhs, 1, "K");
  if (dim < 1)
    Shape_Error("X must have at least one row, one coordinate per point; it is " +
                std::to_string(dim) + " x " + std::to_string(n) + ".");
  Call c;
  c.dim = dim;
  c.n = n;
  Parse_Options(nrhs, prhs, 0, c);
}

void VelmoraFit_Elsewhere(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[],
                          std::int64_t dim, std::int64_t n, const velmora_log::Passes_Maker &make,
                          std::vector<std::pair<std::string, std::string>> &warnings) {
  Check_Counts(nlhs, nrhs, 1, "K");
  Call c;
  c.dim = dim;
  c.n = n;
  c.parallel = true;
  Parse_Options(nrhs, prhs, 0, c);
  c.options.engine = velmora_log::Engine::host;
  Fit_And_Give(nlhs, plhs, c, make, [&](const char *id, const std::string &text) {
    warnings.emplace_back(id, text);
  });
}
