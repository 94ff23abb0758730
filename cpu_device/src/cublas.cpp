// Legacy cuBLAS on the CPU device, over OpenBLAS. As in the legacy API, a
// failing call leaves its status for cublasGetError and computes nothing.
#include <cblas.h>

#include <algorithm>

#include "state.h"

using cpu_device::DeviceState;
using cpu_device::state;

namespace {

// Returns true when the call may compute; otherwise the status is recorded.
bool admit(bool arguments_valid) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  ++s.counts.cublas_calls;
  cublasStatus status = CUBLAS_STATUS_SUCCESS;
  if (s.cublas_fault.fires()) status = s.cublas_fault_status;
  else if (!s.cublas_ready) status = CUBLAS_STATUS_NOT_INITIALIZED;
  else if (!arguments_valid) status = CUBLAS_STATUS_INVALID_VALUE;
  if (status != CUBLAS_STATUS_SUCCESS) s.cublas_status = status;
  return status == CUBLAS_STATUS_SUCCESS;
}

bool parse_trans(char t, CBLAS_TRANSPOSE *out) {
  switch (t) {
    case 'N': case 'n': *out = CblasNoTrans; return true;
    case 'T': case 't': *out = CblasTrans; return true;
    case 'C': case 'c': *out = CblasConjTrans; return true;
  }
  return false;
}

}  // namespace

cublasStatus cublasInit(void) {
  std::lock_guard lock(state().mutex);
  state().cublas_ready = true;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus cublasShutdown(void) {
  std::lock_guard lock(state().mutex);
  if (!state().cublas_ready) return CUBLAS_STATUS_NOT_INITIALIZED;
  state().cublas_ready = false;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus cublasGetError(void) {
  std::lock_guard lock(state().mutex);
  const cublasStatus status = state().cublas_status;
  state().cublas_status = CUBLAS_STATUS_SUCCESS;
  return status;
}

void cublasDgemm(char transa, char transb, int m, int n, int k, double alpha, const double *A,
                 int lda, const double *B, int ldb, double beta, double *C, int ldc) {
  CBLAS_TRANSPOSE ta{}, tb{};
  const bool ta_ok = parse_trans(transa, &ta), tb_ok = parse_trans(transb, &tb);
  const int a_rows = ta == CblasNoTrans ? m : k;
  const int b_rows = tb == CblasNoTrans ? k : n;
  const bool valid = ta_ok && tb_ok && m >= 0 && n >= 0 && k >= 0 &&
                     lda >= std::max(1, a_rows) && ldb >= std::max(1, b_rows) &&
                     ldc >= std::max(1, m);
  if (!admit(valid) || m == 0 || n == 0) return;
  cblas_dgemm(CblasColMajor, ta, tb, m, n, k, alpha, A, lda, B, ldb, beta, C, ldc);
}

void cublasDaxpy(int n, double alpha, const double *x, int incx, double *y, int incy) {
  if (!admit(true) || n <= 0) return;
  cblas_daxpy(n, alpha, x, incx, y, incy);
}
