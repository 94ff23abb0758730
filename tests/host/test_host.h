// Test-side view of the MEX host: build input arrays, read what the module
// printed, evaluated and called.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <mex.h>

// Numbers of every class are held as doubles, text as its character codes;
// a struct is 1 x 1, its fields by name.
struct mxArray {
  mxClassID class_id = mxDOUBLE_CLASS;
  std::vector<mwSize> dims{0, 0};
  std::vector<double> data;
  bool sparse = false;
  bool complex = false;
  std::vector<std::pair<std::string, std::shared_ptr<mxArray>>> fields;
};

namespace test_host {

// What mexErrMsgTxt raises.
struct MexError : std::runtime_error {
  explicit MexError(const std::string &message, std::string identifier = "")
      : std::runtime_error(message), id(std::move(identifier)) {}
  std::string id;
};

struct ArrayDeleter {
  void operator()(mxArray *a) const { mxDestroyArray(a); }
};
using Array = std::unique_ptr<mxArray, ArrayDeleter>;

// A double array of the given dimensions, filled column-major from `values`
// (zeros when `values` is empty).
Array make_array(std::vector<mwSize> dims, std::vector<double> values = {});
Array make_matrix(mwSize m, mwSize n, std::vector<double> values = {});
Array make_string(const std::string &text);
Array make_logical(bool value);
// A 1 x 1 struct; the fields take over the arrays.
Array make_struct(std::vector<std::pair<std::string, Array>> fields);
// A field of a struct, or null; its text, for char arrays.
const mxArray *field(const mxArray *s, const std::string &name);
std::string text(const mxArray *a);

// One recorded mexCallMATLAB: the function name and copies of its inputs.
struct Call {
  std::string name;
  std::vector<mxArray> inputs;
};

std::string console();
// The warnings raised, as {identifier, message}.
std::vector<std::pair<std::string, std::string>> warnings();
// Whether anything was printed from a thread other than the main one: the
// MEX API belongs to the thread that called the module.
bool printed_off_main_thread();
std::vector<std::string> evaluated();
std::vector<Call> calls();
// Empties the console and the records.
void clear();
// Runs and forgets what the module registered with mexAtExit, as an unload.
void unload();

}  // namespace test_host
