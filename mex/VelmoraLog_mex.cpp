// The MEX entry point of the VelmoraLog module.
#include "VelmoraLog.h"

extern "C" void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  VelmoraLog_Gateway(nlhs, plhs, nrhs, prhs);
}
