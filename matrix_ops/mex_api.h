// The MEX API as Velmora uses it, from MATLAB, Octave or the test host.
#pragma once

#include <mex.h>

// Octave has no 32-bit-size creator; its own takes the sizes as mwSize.
#ifdef VELMORA_OCTAVE
#define mxCreateNumericMatrix_700(m, n, classid, flag) \
  mxCreateNumericMatrix(static_cast<mwSize>(m), static_cast<mwSize>(n), classid, flag)
#elif defined(MATLAB_MEX_FILE) && !defined(MX_COMPAT_32) && !defined(mxCreateNumericMatrix_700)
// MATLAB's headers declare the 32-bit-size creator only to modules built
// with 32-bit sizes (-compatibleArrayDims), but its library exports it to
// every module: declared here for the modules built with 64-bit sizes
// (-R2017b), which would not compile without it.
extern "C" mxArray *mxCreateNumericMatrix_700(int m, int n, mxClassID classid, mxComplexity flag);
#endif
