// [model, info] = VelmoraFit(X, K, Name, Value, ...): the gateway, callable
// by the MEX entry point of its own module and by the tests.
#pragma once

#include <mex.h>

void VelmoraFit_Gateway(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);
