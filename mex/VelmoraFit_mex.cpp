// The MEX entry point of the VelmoraFit module.
#include "VelmoraFit.h"

extern "C" void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  VelmoraFit_Gateway(nlhs, plhs, nrhs, prhs);
}
