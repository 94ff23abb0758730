// The MEX entry point of the VelmoraFit module.
#include "VelmoraFit.h"

// MATLAB's string scalars ("diagonal") reach the gateway as the char arrays
// ('diagonal') it reads, converted by MATLAB's own char; other arguments
// pass as they came (Octave has no string class). The list and the copies
// are the MEX API's own allocations, which it frees when the call ends,
// also where the gateway ends it with an error (no destructor runs then).
namespace {

// Asked of objects alone: Octave's mxIsClass keeps a copy of the class's
// name that it never frees, a few bytes every call on a plain array.
bool Is_String(const mxArray *a) {
  return !mxIsNumeric(a) && !mxIsChar(a) && !mxIsLogical(a) && !mxIsStruct(a) && !mxIsCell(a) &&
         mxIsClass(a, "string");
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  bool text = false;
  for (int i = 0; i < nrhs; ++i) text = text || Is_String(prhs[i]);
  if (!text) {
    VelmoraFit_Gateway(nlhs, plhs, nrhs, prhs);
    return;
  }
  auto **args =
      static_cast<const mxArray **>(mxMalloc(sizeof(mxArray *) * static_cast<size_t>(nrhs)));
  for (int i = 0; i < nrhs; ++i) {
    args[i] = prhs[i];
    mxArray *in = const_cast<mxArray *>(prhs[i]), *out = nullptr;
    if (Is_String(in) && mexCallMATLAB(1, &out, 1, &in, "char") == 0 && out != nullptr)
      args[i] = out;
  }
  VelmoraFit_Gateway(nlhs, plhs, nrhs, args);
}
