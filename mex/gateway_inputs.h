// What the VelmoraLog and VelmoraFit gateways read alike: numeric
// arguments, and models.
#pragma once

#include <mex.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velmora_mex {

// One argument's doubles: MATLAB's own when double, else a converted copy.
struct Numbers {
  const double *data = nullptr;
  std::vector<double> converted;
  std::int64_t rows = 0, cols = 0;
};

// Refuses what is not a real, full double or single array, with
// Velmora:type and `name` as messages show it.
void Read(const mxArray *a, const std::string &name, Numbers &out);

// A gmdistribution (MATLAB's, or Octave's statistics package's), or a
// struct with its fields, as the arrays Velmora's calls take: Mu dim x K,
// Sigma dim x K (diagonal) or dim x dim x K (full), Pi 1 x K. The reading
// is velmora_model.m's, beside the modules, which both hosts' objects
// answer.
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
