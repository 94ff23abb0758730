// The few MEX/MX functions Velmora calls, for the C++ tests: a plain mxArray
// of real doubles, console output captured, MATLAB errors as exceptions,
// warnings recorded, evaluated commands and function calls recorded.
#pragma once

#include <cstddef>

typedef size_t mwSize;
typedef size_t mwIndex;

typedef bool mxLogical;

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxSTRUCT_CLASS = 2,
  mxLOGICAL_CLASS = 3,
  mxCHAR_CLASS = 4,
  mxDOUBLE_CLASS = 6,
  mxSINGLE_CLASS = 7,
  mxINT32_CLASS = 12
} mxClassID;
typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

struct mxArray;

#ifdef __cplusplus
extern "C" {
#endif

int mexPrintf(const char *format, ...);
[[noreturn]] void mexErrMsgTxt(const char *message);
[[noreturn]] void mexErrMsgIdAndTxt(const char *id, const char *format, ...);
void mexWarnMsgIdAndTxt(const char *id, const char *format, ...);
int mexAtExit(void (*function)(void));
int mexEvalString(const char *command);
int mexCallMATLAB(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], const char *name);
mxArray *mxGetCell(const mxArray *array, mwIndex index);

mxArray *mxCreateNumericMatrix_700(int m, int n, mxClassID classid, mxComplexity flag);
mxArray *mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag);
mxArray *mxCreateUninitNumericMatrix(mwSize m, mwSize n, mxClassID classid, mxComplexity flag);
void mxDestroyArray(mxArray *array);
double *mxGetPr(const mxArray *array);
void *mxGetData(const mxArray *array);
size_t mxGetM(const mxArray *array);
size_t mxGetN(const mxArray *array);
mwSize mxGetNumberOfDimensions(const mxArray *array);
const mwSize *mxGetDimensions(const mxArray *array);
bool mxIsDouble(const mxArray *array);
bool mxIsSingle(const mxArray *array);
const char *mxGetClassName(const mxArray *array);
bool mxIsSparse(const mxArray *array);
bool mxIsComplex(const mxArray *array);
bool mxIsClass(const mxArray *array, const char *name);

// Text, logical scalars and 1 x 1 structs, for name/value options and
// struct outputs.
size_t mxGetNumberOfElements(const mxArray *array);
bool mxIsNumeric(const mxArray *array);
bool mxIsLogical(const mxArray *array);
bool mxIsChar(const mxArray *array);
bool mxIsStruct(const mxArray *array);
double mxGetScalar(const mxArray *array);
char *mxArrayToString(const mxArray *array);
void mxFree(void *pointer);
mxArray *mxGetField(const mxArray *array, mwIndex index, const char *name);
void mxSetField(mxArray *array, mwIndex index, const char *name, mxArray *value);
mxArray *mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char **names);
mxArray *mxCreateString(const char *text);
mxArray *mxCreateDoubleScalar(double value);
mxArray *mxCreateLogicalScalar(mxLogical value);
mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID classid,
                              mxComplexity flag);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
extern "C"
#endif
void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);
