#include "gateway_inputs.h"

#include <string>

#include "log_mixture.h"

namespace velmora_mex {

using velmora_log::Error;

std::string Size_Text(const mxArray *a) {
  const mwSize n = mxGetNumberOfDimensions(a);
  const mwSize *dims = mxGetDimensions(a);
  std::string text;
  for (mwSize i = 0; i < n; ++i) text += (i > 0 ? " x " : "") + std::to_string(dims[i]);
  return text;
}

std::string Text_Of(const mxArray *a) {
  char *c = a != nullptr ? mxArrayToString(a) : nullptr;
  std::string text = c != nullptr ? c : "";
  mxFree(c);
  return text;
}

void Read(const mxArray *a, const std::string &name, Numbers &out) {
  if (!mxIsDouble(a) && !mxIsSingle(a))
    throw Error("Velmora:type", name + " must be a double or single array; it is " +
                                    mxGetClassName(a) + ".");
  if (mxIsSparse(a)) throw Error("Velmora:type", name + " must be full; it is sparse.");
  if (mxIsComplex(a)) throw Error("Velmora:type", name + " must be real; it is complex.");
  out.rows = static_cast<std::int64_t>(mxGetM(a));
  out.cols = static_cast<std::int64_t>(mxGetN(a));
  if (mxIsDouble(a)) {
    out.data = static_cast<const double *>(mxGetData(a));
    return;
  }
  const float *f = static_cast<const float *>(mxGetData(a));
  out.converted.assign(f, f + out.rows * out.cols);
  out.data = out.converted.data();
}

Model_Arrays::~Model_Arrays() {
  for (mxArray *a : {mu, sigma, pi})
    if (a != nullptr) mxDestroyArray(a);
}

bool Is_Model(const mxArray *a) {
  // Structs and numbers are told apart without asking for a class name,
  // which Octave keeps with the argument for the rest of the session.
  if (mxIsStruct(a)) return mxGetField(a, 0, "ComponentProportion") != nullptr;
  return !mxIsNumeric(a) && !mxIsChar(a) && mxIsClass(a, "gmdistribution");
}

namespace {

std::string Cell_Text(const mxArray *cell, mwIndex i) { return Text_Of(mxGetCell(cell, i)); }

}  // namespace

void Read_Model(const mxArray *model, bool full_form, Model_Arrays &out) {
  mxArray *in[2] = {const_cast<mxArray *>(model), mxCreateString(full_form ? "full" : "")};
  mxArray *got[4] = {nullptr, nullptr, nullptr, nullptr};
  // Asked for its problem as data, so that nothing leaves this gateway but
  // through its own error.
  mexCallMATLAB(4, got, 2, in, "velmora_model");
  mxDestroyArray(in[1]);
  out.mu = got[0];
  out.sigma = got[1];
  out.pi = got[2];
  const bool failed = got[3] != nullptr && mxGetNumberOfElements(got[3]) >= 2;
  const std::string id = failed ? Cell_Text(got[3], 0) : "",
                    message = failed ? Cell_Text(got[3], 1) : "";
  if (got[3] != nullptr) mxDestroyArray(got[3]);
  if (failed)
    throw velmora_log::Error(id.empty() ? "Velmora:usage" : id,
                             message.empty() ? "The model could not be read." : message);
}

}  // namespace velmora_mex
