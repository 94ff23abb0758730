#include "model_arrays.h"

#include <string>

#include "log_mixture.h"

namespace velmora_mex {

Model_Arrays::~Model_Arrays() {
  for (mxArray *a : {mu, sigma, pi})
    if (a != nullptr) mxDestroyArray(a);
}

bool Is_Model(const mxArray *a) {
  return mxIsClass(a, "gmdistribution") ||
         (mxIsStruct(a) && mxGetField(a, 0, "ComponentProportion") != nullptr);
}

namespace {

std::string Cell_Text(const mxArray *cell, mwIndex i) {
  const mxArray *c = mxGetCell(cell, i);
  char *text = c != nullptr ? mxArrayToString(c) : nullptr;
  std::string value = text != nullptr ? text : "";
  mxFree(text);
  return value;
}

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
