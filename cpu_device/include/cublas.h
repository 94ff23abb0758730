// The legacy cuBLAS interface that Velmora uses, on the CPU over OpenBLAS.
#pragma once

#include "cublas_api.h"

typedef cublasStatus_t cublasStatus;

cublasStatus cublasInit(void);
cublasStatus cublasShutdown(void);
cublasStatus cublasGetError(void);
void cublasDgemm(char transa, char transb, int m, int n, int k, double alpha,
                 const double *A, int lda, const double *B, int ldb, double beta,
                 double *C, int ldc);
void cublasDaxpy(int n, double alpha, const double *x, int incx, double *y, int incy);
