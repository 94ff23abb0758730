#include "test_host.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <thread>

namespace test_host {
namespace {

struct Records {
  std::string console;
  bool printed_off_main = false;
  void (*at_exit)(void) = nullptr;
  std::vector<std::string> evaluated;
  std::vector<Call> calls;
  std::vector<std::pair<std::string, std::string>> warnings;
};

Records &records() {
  static Records r;
  return r;
}

// Static initialisation runs on the main thread.
const std::thread::id main_thread = std::this_thread::get_id();

}  // namespace

Array make_array(std::vector<mwSize> dims, std::vector<double> values) {
  Array a(new mxArray);
  const mwSize count =
      std::accumulate(dims.begin(), dims.end(), mwSize{1}, std::multiplies<mwSize>());
  a->dims = std::move(dims);
  if (values.empty()) values.assign(count, 0.0);
  if (values.size() != count) throw std::invalid_argument("make_array: wrong value count");
  a->data = std::move(values);
  return a;
}

Array make_matrix(mwSize m, mwSize n, std::vector<double> values) {
  return make_array({m, n}, std::move(values));
}

Array make_string(const std::string &text) {
  Array a = make_matrix(1, text.size());
  a->class_id = mxCHAR_CLASS;
  for (size_t i = 0; i < text.size(); ++i) a->data[i] = static_cast<unsigned char>(text[i]);
  return a;
}

Array make_logical(bool value) {
  Array a = make_matrix(1, 1, {value ? 1.0 : 0.0});
  a->class_id = mxLOGICAL_CLASS;
  return a;
}

Array make_struct(std::vector<std::pair<std::string, Array>> fields) {
  Array s = make_matrix(1, 1);
  s->class_id = mxSTRUCT_CLASS;
  s->data.clear();
  for (auto &[name, value] : fields) s->fields.emplace_back(name, std::shared_ptr<mxArray>(value.release()));
  return s;
}

const mxArray *field(const mxArray *s, const std::string &name) {
  return mxGetField(s, 0, name.c_str());
}

std::string text(const mxArray *a) {
  std::string t;
  for (double c : a->data) t += static_cast<char>(c);
  return t;
}

std::string console() { return records().console; }
std::vector<std::pair<std::string, std::string>> warnings() { return records().warnings; }
bool printed_off_main_thread() { return records().printed_off_main; }
std::vector<std::string> evaluated() { return records().evaluated; }
std::vector<Call> calls() { return records().calls; }
void clear() {
  void (*at_exit)(void) = records().at_exit;  // registered once per load
  records() = Records{};
  records().at_exit = at_exit;
}

void unload() {
  if (records().at_exit != nullptr) records().at_exit();
  records().at_exit = nullptr;
}

}  // namespace test_host

using test_host::records;

extern "C" {

int mexPrintf(const char *format, ...) {
  if (std::this_thread::get_id() != test_host::main_thread) records().printed_off_main = true;
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (n > 0) {
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    text.pop_back();
    records().console += text;
  }
  va_end(again);
  return n;
}

void mexErrMsgTxt(const char *message) { throw test_host::MexError(message); }

void mexErrMsgIdAndTxt(const char *id, const char *format, ...) {
  va_list args;
  va_start(args, format);
  char text[4096];
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  throw test_host::MexError(text, id);
}

void mexWarnMsgIdAndTxt(const char *id, const char *format, ...) {
  va_list args;
  va_start(args, format);
  char text[4096];
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  records().warnings.emplace_back(id, text);
}

int mexAtExit(void (*function)(void)) {
  records().at_exit = function;
  return 0;
}

int mexEvalString(const char *command) {
  records().evaluated.emplace_back(command);
  return 0;
}

int mexCallMATLAB(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], const char *name) {
  test_host::Call call{name, {}};
  for (int i = 0; i < nrhs; ++i) call.inputs.push_back(*prhs[i]);
  records().calls.push_back(std::move(call));
  for (int i = 0; i < nlhs; ++i) plhs[i] = mxCreateDoubleMatrix(0, 0, mxREAL);
  return 0;
}

// The test host has no cells.
mxArray *mxGetCell(const mxArray *, mwIndex) { return nullptr; }

mxArray *mxCreateNumericMatrix_700(int m, int n, mxClassID classid, mxComplexity flag) {
  mxArray *a = test_host::make_matrix(static_cast<mwSize>(m), static_cast<mwSize>(n)).release();
  a->class_id = classid;
  a->complex = flag == mxCOMPLEX;
  return a;
}

mxArray *mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag) {
  mxArray *a = test_host::make_matrix(m, n).release();
  a->complex = flag == mxCOMPLEX;
  return a;
}

// Uninitialised in MATLAB; here filled with NaN, so that a result the
// product forgets to write cannot pass for one.
mxArray *mxCreateUninitNumericMatrix(mwSize m, mwSize n, mxClassID classid, mxComplexity flag) {
  mxArray *a = mxCreateDoubleMatrix(m, n, flag);
  a->class_id = classid;
  std::fill(a->data.begin(), a->data.end(), std::numeric_limits<double>::quiet_NaN());
  return a;
}

void mxDestroyArray(mxArray *array) { delete array; }
double *mxGetPr(const mxArray *array) { return const_cast<double *>(array->data.data()); }
void *mxGetData(const mxArray *array) { return mxGetPr(array); }
size_t mxGetM(const mxArray *array) { return array->dims.at(0); }

size_t mxGetN(const mxArray *array) {
  return std::accumulate(array->dims.begin() + 1, array->dims.end(), mwSize{1},
                         std::multiplies<mwSize>());
}

mwSize mxGetNumberOfDimensions(const mxArray *array) { return array->dims.size(); }
const mwSize *mxGetDimensions(const mxArray *array) { return array->dims.data(); }
bool mxIsDouble(const mxArray *array) { return array->class_id == mxDOUBLE_CLASS; }
bool mxIsSingle(const mxArray *array) { return array->class_id == mxSINGLE_CLASS; }

const char *mxGetClassName(const mxArray *array) {
  switch (array->class_id) {
    case mxDOUBLE_CLASS: return "double";
    case mxSINGLE_CLASS: return "single";
    case mxLOGICAL_CLASS: return "logical";
    case mxINT32_CLASS: return "int32";
    case mxCHAR_CLASS: return "char";
    case mxSTRUCT_CLASS: return "struct";
    default: return "unknown";
  }
}
bool mxIsSparse(const mxArray *array) { return array->sparse; }
bool mxIsComplex(const mxArray *array) { return array->complex; }
// By class name: the test host has no objects.
bool mxIsClass(const mxArray *array, const char *name) {
  return std::string(mxGetClassName(array)) == name;
}

size_t mxGetNumberOfElements(const mxArray *array) {
  return std::accumulate(array->dims.begin(), array->dims.end(), mwSize{1},
                         std::multiplies<mwSize>());
}

bool mxIsNumeric(const mxArray *array) {
  return array->class_id == mxDOUBLE_CLASS || array->class_id == mxSINGLE_CLASS ||
         array->class_id == mxINT32_CLASS;
}
bool mxIsLogical(const mxArray *array) { return array->class_id == mxLOGICAL_CLASS; }
bool mxIsChar(const mxArray *array) { return array->class_id == mxCHAR_CLASS; }
bool mxIsStruct(const mxArray *array) { return array->class_id == mxSTRUCT_CLASS; }
double mxGetScalar(const mxArray *array) { return array->data.empty() ? 0.0 : array->data[0]; }

char *mxArrayToString(const mxArray *array) {
  if (array->class_id != mxCHAR_CLASS) return nullptr;
  const std::string t = test_host::text(array);
  char *copy = static_cast<char *>(std::malloc(t.size() + 1));
  std::memcpy(copy, t.c_str(), t.size() + 1);
  return copy;
}

void mxFree(void *pointer) { std::free(pointer); }

mxArray *mxGetField(const mxArray *array, mwIndex index, const char *name) {
  if (array->class_id != mxSTRUCT_CLASS || index != 0) return nullptr;
  for (const auto &[field_name, value] : array->fields)
    if (field_name == name) return value.get();
  return nullptr;
}

void mxSetField(mxArray *array, mwIndex, const char *name, mxArray *value) {
  for (auto &[field_name, held] : array->fields)
    if (field_name == name) {
      held.reset(value);
      return;
    }
  throw std::invalid_argument(std::string("mxSetField: no field ") + name);
}

mxArray *mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char **names) {
  if (m != 1 || n != 1) throw std::invalid_argument("mxCreateStructMatrix: only 1 x 1 here");
  mxArray *s = test_host::make_matrix(1, 1).release();
  s->class_id = mxSTRUCT_CLASS;
  s->data.clear();
  for (int i = 0; i < nfields; ++i) s->fields.emplace_back(names[i], nullptr);
  return s;
}

mxArray *mxCreateString(const char *text) { return test_host::make_string(text).release(); }
mxArray *mxCreateDoubleScalar(double value) {
  return test_host::make_matrix(1, 1, {value}).release();
}
mxArray *mxCreateLogicalScalar(mxLogical value) {
  return test_host::make_logical(value).release();
}

mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID classid,
                              mxComplexity flag) {
  mxArray *a = test_host::make_array(std::vector<mwSize>(dims, dims + ndim)).release();
  a->class_id = classid;
  a->complex = flag == mxCOMPLEX;
  return a;
}

}  // extern "C"
