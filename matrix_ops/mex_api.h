// The MEX API as Velmora uses it, from MATLAB, Octave or the test host.
#pragma once

#include <mex.h>

// Octave has no 32-bit-size creator; its own takes the sizes as mwSize.
#ifdef VELMORA_OCTAVE
#define mxCreateNumericMatrix_700(m, n, classid, flag) \
  mxCreateNumericMatrix(static_cast<mwSize>(m), static_cast<mwSize>(n), classid, flag)
#endif
