// Handle-based cuBLAS on the CPU device, over OpenBLAS. Independent of the
// legacy interface's initialisation, as on a real device: a module that
// shuts the legacy interface down leaves other handles working.
#include <cblas.h>
#include <cublas_v2.h>

#include <algorithm>

#include "state.h"

struct cublasContext {};

using cpu_device::DeviceState;
using cpu_device::state;

cublasStatus_t cublasCreate_v2(cublasHandle_t *handle) {
  if (handle == nullptr) return CUBLAS_STATUS_INVALID_VALUE;
  *handle = new cublasContext;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasDestroy_v2(cublasHandle_t handle) {
  if (handle == nullptr) return CUBLAS_STATUS_NOT_INITIALIZED;
  delete handle;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasDgemm_v2(cublasHandle_t handle, cublasOperation_t transa,
                              cublasOperation_t transb, int m, int n, int k,
                              const double *alpha, const double *A, int lda, const double *B,
                              int ldb, const double *beta, double *C, int ldc) {
  {
    DeviceState &s = state();
    std::lock_guard lock(s.mutex);
    ++s.counts.cublas_calls;
    if (s.cublas_fault.fires()) return s.cublas_fault_status;
  }
  if (handle == nullptr) return CUBLAS_STATUS_NOT_INITIALIZED;
  const auto op = [](cublasOperation_t t) { return t == CUBLAS_OP_N ? CblasNoTrans : CblasTrans; };
  const int a_rows = transa == CUBLAS_OP_N ? m : k;
  const int b_rows = transb == CUBLAS_OP_N ? k : n;
  if (m < 0 || n < 0 || k < 0 || lda < std::max(1, a_rows) || ldb < std::max(1, b_rows) ||
      ldc < std::max(1, m) || alpha == nullptr || beta == nullptr)
    return CUBLAS_STATUS_INVALID_VALUE;
  if (m == 0 || n == 0) return CUBLAS_STATUS_SUCCESS;
  cblas_dgemm(CblasColMajor, op(transa), op(transb), m, n, k, *alpha, A, lda, B, ldb, *beta, C,
              ldc);
  return CUBLAS_STATUS_SUCCESS;
}
