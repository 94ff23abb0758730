// [model, info] = VelmoraFit(X, K, Name, Value, ...): the gateway, callable
// by the MEX entry point of its own module and by the tests.
#pragma once

#include <mex.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fit_passes.h"

void VelmoraFit_Gateway(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);

// The same fit of dim x n points that X is not given for but that `make`'s
// holder reaches elsewhere: prhs = {K, Name, Value, ...}, VelmoraFit's
// options. Its warnings (identifier, text) are handed back, not raised.
// Throws velmora_log::Error as the gateway's body does.
void VelmoraFit_Elsewhere(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[],
                          std::int64_t dim, std::int64_t n, const velmora_log::Passes_Maker &make,
                          std::vector<std::pair<std::string, std::string>> &warnings);

// VelmoraFit's refusals of a call, without the fit: prhs = {X, K, Name,
// Value, ...}; or {K, Name, Value, ...} for dim x n points held elsewhere.
void VelmoraFit_Check(int nrhs, const mxArray *prhs[]);
void VelmoraFit_Check_Size(int nrhs, const mxArray *prhs[], std::int64_t dim, std::int64_t n);
