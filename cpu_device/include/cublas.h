// The legacy cuBLAS interface that Velmora uses, on the CPU over OpenBLAS.
#pragma once

typedef enum {
  CUBLAS_STATUS_SUCCESS = 0,
  CUBLAS_STATUS_NOT_INITIALIZED = 1,
  CUBLAS_STATUS_ALLOC_FAILED = 3,
  CUBLAS_STATUS_INVALID_VALUE = 7,
  CUBLAS_STATUS_ARCH_MISMATCH = 8,
  CUBLAS_STATUS_MAPPING_ERROR = 11,
  CUBLAS_STATUS_EXECUTION_FAILED = 13,
  CUBLAS_STATUS_INTERNAL_ERROR = 14,
  CUBLAS_STATUS_NOT_SUPPORTED = 15
} cublasStatus_t;
typedef cublasStatus_t cublasStatus;

cublasStatus cublasInit(void);
cublasStatus cublasShutdown(void);
cublasStatus cublasGetError(void);
void cublasDgemm(char transa, char transb, int m, int n, int k, double alpha,
                 const double *A, int lda, const double *B, int ldb, double beta,
                 double *C, int ldc);
void cublasDaxpy(int n, double alpha, const double *x, int incx, double *y, int incy);
