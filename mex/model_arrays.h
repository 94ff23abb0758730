// A gmdistribution (MATLAB's, or Octave's statistics package's), or a
// struct with its fields, as the arrays Velmora's calls take: Mu dim x K,
// Sigma dim x K (diagonal) or dim x dim x K (full), Pi 1 x K. The reading
// is velmora_model.m's, beside the modules, which both hosts' objects
// answer; shared by the VelmoraLog and VelmoraFit gateways.
#pragma once

#include <mex.h>

namespace velmora_mex {

struct Model_Arrays {
  Model_Arrays() = default;
  Model_Arrays(const Model_Arrays &) = delete;
  Model_Arrays &operator=(const Model_Arrays &) = delete;
  ~Model_Arrays();
  mxArray *mu = nullptr, *sigma = nullptr, *pi = nullptr;
};

// A gmdistribution object, or a struct with a gmdistribution's fields.
bool Is_Model(const mxArray *a);

// Reads `model`; full covariances when `full_form` is set, even from a
// diagonal model. Its errors come back as velmora_log::Error, with their
// identifiers.
void Read_Model(const mxArray *model, bool full_form, Model_Arrays &out);

}  // namespace velmora_mex
