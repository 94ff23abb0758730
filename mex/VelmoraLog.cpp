// The VelmoraLog gateway: checks every argument, converts single data, and
// hands off to the evaluator; every problem becomes a MATLAB error with an
// identifier, raised only after everything of ours is released. Messages do
// not name the function: Octave puts its name before them.
#include "VelmoraLog.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine_choice.h"
#include "log_mixture.h"
#include "gateway_inputs.h"

namespace {

using velmora_log::Error;
using Index = std::int64_t;

const char *const kCall =
    "Call it as logP = VelmoraLog(X, Mu, Sigma, Pi) or [logP, R] = VelmoraLog(X, Mu, Sigma, Pi), "
    "or with a gmdistribution gm and one point per row of X: [logP, R] = VelmoraLog(X, gm).";

// Kept between calls: the device and page-locked buffers of the last call
// serve the next, until the module is unloaded.
std::unique_ptr<velmora_log::Evaluator> &Evaluator() {
  static std::unique_ptr<velmora_log::Evaluator> evaluator;
  return evaluator;
}

void Release_Evaluator() { Evaluator().reset(); }

using velmora_mex::Size_Text;

// One argument, with the name its messages use.
struct Argument : velmora_mex::Numbers {
  explicit Argument(const char *n) : name(n) {}
  const char *name;
};

void Read(const mxArray *a, Argument &arg) { velmora_mex::Read(a, arg.name, arg); }

using velmora_mex::Shape_Error;

void Run(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  // Any struct is a model here: the plain call takes none.
  const bool model = nrhs == 2 && (mxIsStruct(prhs[1]) || velmora_mex::Is_Model(prhs[1]));
  if (nrhs != 4 && !model)
    throw Error("Velmora:usage", "4 inputs are needed, X, Mu, Sigma and Pi (or 2, X and a "
                                 "gmdistribution); " +
                                     std::to_string(nrhs) + (nrhs == 1 ? " was" : " were") +
                                     " given. " + kCall);
  if (nlhs > 2)
    throw Error("Velmora:usage", "At most 2 outputs are given, logP and R; " +
                                     std::to_string(nlhs) + " were asked for. " + kCall);
  velmora_mex::Model_Arrays converted;
  const mxArray *in[4] = {prhs[0], nullptr, nullptr, nullptr};
  if (model) {
    velmora_mex::Read_Model(prhs[1], false, converted);
    in[1] = converted.mu;
    in[2] = converted.sigma;
    in[3] = converted.pi;
  } else {
    for (int i = 1; i < 4; ++i) in[i] = prhs[i];
  }
  Argument X{"X"}, Mu{model ? "the model's mu" : "Mu"}, Sigma{model ? "the model's Sigma" : "Sigma"},
      Pi{model ? "the model's ComponentProportion" : "Pi"};
  Argument *args[] = {&X, &Mu, &Sigma, &Pi};
  for (int i = 0; i < 4; ++i) Read(in[i], *args[i]);

  // With a model, points are rows of X, as in gmdistribution's pdf.
  const Index dim = model ? X.cols : X.rows, n = model ? X.rows : X.cols, K = Mu.cols;
  const std::string of_x = " (X is " + Size_Text(prhs[0]) + ")";
  if (model && (mxGetNumberOfDimensions(prhs[0]) != 2 || Mu.rows != dim))
    Shape_Error("X must be N x " + std::to_string(Mu.rows) +
                ", one point per row, for a model whose mu is " + std::to_string(K) + " x " +
                std::to_string(Mu.rows) + "; it is " + Size_Text(prhs[0]) + ".");
  if (K == 0)
    Shape_Error("Mu must have at least one column, one per cluster: a mixture needs a cluster; "
                "it is " + Size_Text(in[1]) + ".");
  if (Mu.rows != dim)
    Shape_Error("Mu must have " + std::to_string(dim) + " rows, one per row of X" + of_x +
                "; it is " + Size_Text(in[1]) + ".");
  // X's trailing dimensions count as points (dim x H x W: H*W of them), as
  // in Velmora; Mu's or Pi's would make clusters of a mistake.
  if (mxGetNumberOfDimensions(in[1]) > 2)
    Shape_Error("Mu must be " + std::to_string(dim) + " x " + std::to_string(K) +
                ", one centre per column; it is " + Size_Text(in[1]) + ".");
  // (A model's count of priors velmora_model refuses in the model's terms.)
  if (mxGetNumberOfDimensions(in[3]) > 2 ||
      (!(Pi.rows == 1 && Pi.cols == K) && !(Pi.cols == 1 && Pi.rows == K)))
    Shape_Error("Pi must hold one prior per cluster, as 1 x " + std::to_string(K) + " or " +
                std::to_string(K) + " x 1 (Mu has " + std::to_string(K) + " columns); it is " +
                Size_Text(in[3]) + ".");
  velmora_log::Mode mode = velmora_log::Mode::diagonal;
  // Past two dimensions, only dim x dim x K: a 3 x 2 x 3 Sigma for dim 3
  // and 2 clusters has the count of full covariances, but not their shape
  // (a permuted array, most likely), and would be read as if it had.
  if (Sigma.rows != dim || (Sigma.cols != K && Sigma.cols != dim * K) ||
      (mxGetNumberOfDimensions(in[2]) > 2 && !velmora_mex::Is_Stack(in[2], dim, K)))
    Shape_Error("Sigma must be " + std::to_string(dim) + " x " + std::to_string(K) +
                " (diagonal covariances), or " + std::to_string(dim) + " x " +
                std::to_string(dim) + " x " + std::to_string(K) +
                // At dim 1, dim x dim*K is dim x K: diagonal.
                (dim > 1 ? " or " + std::to_string(dim) + " x " + std::to_string(dim * K) : "") +
                " (full covariances) for these X and Mu; it is " + Size_Text(in[2]) + ".");
  if (Sigma.cols != K) mode = velmora_log::Mode::full;

  const velmora_log::Problem problem{dim,     n,       K,        mode,
                                     X.data,  Mu.data, Sigma.data, Pi.data,
                                     model ? velmora_log::Layout::rows : velmora_log::Layout::columns};
  // Checked and factored before any output exists or the device is touched.
  const velmora_log::Factors factors = velmora_log::Factorise(problem);
  // The host refuses an output it cannot hold with an error of its own
  // that carries no identifier; refuse it first, with one.
  velmora_mex::Check_Host_Room(8.0 * static_cast<double>(n) * (nlhs == 2 ? 1.0 + K : 1.0),
                               "The results",
                               std::string(nlhs == 2 ? "logP and R" : "logP") + " for " +
                                   std::to_string(n) + " points",
                               true);
  const velmora_log::Engine engine = velmora_log::Engine_From_Environment();
  if (Evaluator() && Evaluator()->engine() != engine) Release_Evaluator();

  // Every element is written by the evaluator.
  const mwSize points = static_cast<mwSize>(n), clusters = static_cast<mwSize>(K);
  plhs[0] = model ? mxCreateUninitNumericMatrix(points, 1, mxDOUBLE_CLASS, mxREAL)
                  : mxCreateUninitNumericMatrix(1, points, mxDOUBLE_CLASS, mxREAL);
  if (nlhs == 2)
    plhs[1] = model ? mxCreateUninitNumericMatrix(points, clusters, mxDOUBLE_CLASS, mxREAL)
                    : mxCreateUninitNumericMatrix(clusters, points, mxDOUBLE_CLASS, mxREAL);
  // Nothing to evaluate (a model checked on no points, say): no engine is
  // started for it, and no device.
  if (n == 0) return;
  try {
    if (!Evaluator()) {
      Evaluator() = std::make_unique<velmora_log::Evaluator>(engine);
      mexAtExit(Release_Evaluator);
    }
    Evaluator()->Evaluate(problem, factors,
                          {mxGetPr(plhs[0]), nlhs == 2 ? mxGetPr(plhs[1]) : nullptr},
                          {.interrupted = velmora_mex::Interrupt_Query()});
  } catch (...) {
    for (int i = 0; i < (nlhs == 2 ? 2 : 1); ++i) {
      mxDestroyArray(plhs[i]);
      plhs[i] = nullptr;
    }
    throw;
  }
}

}  // namespace

void VelmoraLog_Gateway(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  velmora_mex::Run_Gateway([&] { Run(nlhs, plhs, nrhs, prhs); }, [](const std::string &id) {
    // A failed device keeps nothing of ours: the next call starts afresh.
    if (id == "Velmora:device") Release_Evaluator();
  });
}
