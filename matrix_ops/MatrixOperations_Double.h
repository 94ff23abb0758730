// Velmora's GPU library of column-major double matrix operations.
//
// Every operation is a host wrapper that writes its sizes, code and scalar
// into a parameter block in constant memory, synchronises, launches its
// kernel over device pointers and synchronises again, so its results are
// complete when it returns. Recoverable problems are printed on the MATLAB
// console and collected in `Errors`; a failed device is fatal.
#pragma once

#include <list>

#include <cuda_runtime.h>

// Texts of the problems met during a run, in the order they happened. Every
// entry points to a text of static lifetime; the run driver prints and
// empties the list after each run.
extern std::list<const char *> Errors;

// 1 when covariances are diagonals, 0 when they are full matrices.
extern int DIAGONAL_ESTIMATE;

// Ends the process with a message on standard error naming `file` and
// `line` unless `err` is cudaSuccess: a device that has failed cannot be
// trusted with the rest of the run.
void cudaSafeCall(cudaError_t err, const char *file, int line);

// Reports the last CUBLAS failure, if any, under `label` (a static text).
void checkStatusCUBLAS(const char *label);

// Launch geometry shared by every wrapper: N units of work, U units per
// block of 32 x 16 threads, at most 32000 blocks a grid row. An empty or
// negative N gives an empty grid, which the wrappers do not launch.
dim3 Launch_Grid(int N, int U);

// Asks the device for the address of the constant parameter block, the
// entry point's proof that the library's module is loaded on a device.
cudaError_t Probe_Constant_Memory();

// C = A op B element-wise; code 0 +, 1 -, 2 *, 3 /. C may be A or B.
void ElementWise_Matrix_Matrix(double *A, double *B, double *C, int rows, int cols, int op);

// C = A op v, v one entry per row (flag false) or per column (flag true);
// code 0 v+a, 1 a-v, 2 v*a, 4 v*a^2; 3 and 5 are refused. C may be A.
void Elementwise_Matrix_Vector(double *A, double *v, double *C, int rows, int cols, bool flag,
                               int op);

// out[i] = f_op(p, in[i]) for the twelve codes 0..11; out may be in.
void Vector_Op(double *in, double *out, int n, double p, int op);

// Reduces each column (even codes) or each row (odd codes) by sum (0, 1),
// minimum (2, 3), maximum (4, 5) or sum of exponentials (6, 7).
void Matrix_Op(double *data, double *result, int dim1, int dim2, double param, int op);

// Weighted sums of squared deviations from `centre`, scaled: one per column
// (sum_dim2 false, one weight per row) or one per row (sum_dim2 true, one
// weight per column; `partial` holds dim1 x grid-blocks doubles).
void Sum_Weighted_Squares(double *data, double *centre, double *weights, double *partial,
                          double *result, double scale, int dim1, int dim2, bool sum_dim2,
                          bool weights_dim2);

// dist[j] = squared Mahalanobis distance of column j of X to mu, under the
// inverse covariance block inv_sigma (diagonal or full by DIAGONAL_ESTIMATE).
// dist may be temp1; temp2 is unused (and may be null) in diagonal mode.
void MahalanobisDistance(double *X, double *mu, double *temp1, double *inv_sigma, double *temp2,
                         int dim, int num_data, double *dist);

// result[i] = scale * sum_j weights[j] * (X[i,j] - mu[i])^2.
void Diagonal_Covariance_Matrix(double *X, double *mu, double *partial, double *weights,
                                double scale, double *result, int dim, int num_data);

// B = A^T for a rows x cols A (each at most 512000); B must not be A.
void Transpose(double *A, double *B, int rows, int cols);

// Sum of the n doubles of V, reduced on the device in a fixed order; -1.0
// with an entry in Errors on failure.
double Sum_Vector(double *V, int n);

// Converts n elements: code 0 float -> double, code 1 double -> float.
void Vector_Convert(void *A, void *B, int n, int code);

// B = A + lambda I for an n x n A; B may be A.
void Tikhonov_Diagonal_Regularization(double *A, double *B, int n, double lambda);

// Replaces the covariance block on the device by its inverse (diagonal or
// full by DIAGONAL_ESTIMATE) and returns its log-determinant; NaN when the
// block could not be read.
double CalcInverse(double *d_Sigma, int n);

// Diagnostics: print a window (rows r0..r1, columns c0..c1, inclusive) of a
// device matrix, count its zeros, infinities and NaNs, or hand a copy of it
// to the MATLAB function Debug_From_Mex. `name` must be a static text.
void Show_Mat(double *D, int rows, int cols, int r0, int r1, int c0, int c1, const char *name);
void Show_Mat(double *D, int rows, int cols, const char *name);
void Show_Vec(double *D, int n, const char *name);
void Show_Vec(double *D, int n, int c0, int c1, const char *name);
void Show_MatF(float *D, int rows, int cols, int r0, int r1, int c0, int c1, const char *name);
void Check_Matrix(double *D, int rows, int cols, const char *name);
void Send_To_Matlab(double *D, int rows, int cols);
