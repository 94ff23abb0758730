// [model, info] = VelmoraFit(X, K, Name, Value, ...): the gateway, callable
// by the MEX entry point of its own module and by the tests.
#pragma once

#include <mex.h>

#include <cstdint>

#include "fit_passes.h"

void VelmoraFit_Gateway(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);

// The same fit of dim x n points that X is not given for but that `make`'s
// holder reaches elsewhere: prhs = {K, Name, Value, ...}, VelmoraFit's
// options. Throws velmora_log::Error as the gateway's body does.
void VelmoraFit_Elsewhere(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[],
                          std::int64_t dim, std::int64_t n, const velmora_log::Passes_Maker &make);
