// The handle-based cuBLAS interface, as far as VelmoraLog uses it, on the CPU
// over OpenBLAS. Names are mapped to their _v2 forms as the toolkit does, so
// that one translation unit never holds both interfaces.
#pragma once

#include "cublas_api.h"

typedef struct cublasContext *cublasHandle_t;

cublasStatus_t cublasCreate_v2(cublasHandle_t *handle);
cublasStatus_t cublasDestroy_v2(cublasHandle_t handle);
cublasStatus_t cublasDgemm_v2(cublasHandle_t handle, cublasOperation_t transa,
                              cublasOperation_t transb, int m, int n, int k,
                              const double *alpha, const double *A, int lda, const double *B,
                              int ldb, const double *beta, double *C, int ldc);

#define cublasCreate cublasCreate_v2
#define cublasDestroy cublasDestroy_v2
#define cublasDgemm cublasDgemm_v2
