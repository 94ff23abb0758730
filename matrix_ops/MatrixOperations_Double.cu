// Velmora's GPU matrix-operations library: the parameter block, the shared
// launch sequence and geometry, and one wrapper with its kernels per
// operation. Column-major throughout: element (i, j) of a matrix with R rows
// is at i + R*j.
#include <cuda_runtime.h>
#include <cublas.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "MatrixOperations_Double.h"
#include "Velmora.h"
#include "mex_api.h"

std::list<const char *> Errors;
int DIAGONAL_ESTIMATE = 1;

// Every size, code and scalar reaches the kernels through this block, read
// identically by every thread; kernel arguments are device pointers only.
__constant__ int FlagC;
__constant__ int Flag2C;
__constant__ int Dim1C;
__constant__ int Dim2C;
__constant__ double ParamC;

namespace {

const char *const kSourceFile = "MatrixOperations_Double.cu";

// The largest finite float, the starting value of minima and maxima.
constexpr double kMinMaxStart = static_cast<double>(FLT_MAX);

void Report(const char *entry) {
  mexPrintf("%s\n", entry);
  Errors.push_back(entry);
}

// One block variable, from the wrapper's own copy of the value.
template <typename T>
bool Write_Param(const T &symbol, T value) {
  return cudaMemcpyToSymbolAsync(symbol, &value, sizeof(T), 0, cudaMemcpyHostToDevice, 0) ==
         cudaSuccess;
}

// Launches unless the grid is empty; a configuration the runtime refuses is
// skipped without a message. Every wrapper waits for earlier work before it
// and for the kernel after it, each check on a line of its own, so that a
// fatal message tells which operation and which side of the launch failed.
template <typename... Params, typename... Args>
void Launch(void (*kernel)(Params...), dim3 grid, dim3 block, Args... args) {
  if (grid.x == 0 || grid.y == 0) return;
  cudaLaunchConfig_t config = {};
  config.gridDim = grid;
  config.blockDim = block;
  cudaLaunchKernelEx(&config, kernel, args...);
}

// Every kernel but the transpose and the vector sum runs 32 x 16 blocks.
template <typename... Params, typename... Args>
void Launch_K32x16(void (*kernel)(Params...), dim3 grid, Args... args) {
  Launch(kernel, grid, dim3(32, 16, 1), args...);
}

void Wait_For_Device(int line) { cudaSafeCall(cudaDeviceSynchronize(), kSourceFile, line); }

// The block's linear number; blocks beyond one grid row continue the count.
__device__ __forceinline__ unsigned int Block_Number() {
  return blockIdx.y * gridDim.x + blockIdx.x;
}

// Unit u lies inside a dimension of n units (n may be zero or negative).
__device__ __forceinline__ bool In_Range(unsigned int u, int n) {
  return n > 0 && u < static_cast<unsigned int>(n);
}

}  // namespace

void cudaSafeCall(cudaError_t err, const char *file, int line) {
  if (err == cudaSuccess) return;
  std::fprintf(stderr, "%s(%i) : cudaSafeCall() Runtime API error : %s.\n", file, line,
               cudaGetErrorString(err));
  std::exit(-1);
}

void checkStatusCUBLAS(const char *label) {
  if (cublasGetError() == CUBLAS_STATUS_SUCCESS) return;
  mexPrintf("CUBLAS error in %s\n", label);
  Errors.push_back(label);
}

dim3 Launch_Grid(int N, int U) {
  if (N <= 0 || U <= 0) return dim3(0, 0, 1);
  // The quotients are formed in double precision and rounded up, so that a
  // partial last block is counted.
  const int per_row = static_cast<int>(std::ceil(N * (1.0 / U)));
  const int gx = per_row < 32000 ? per_row : 32000;
  const int gy = static_cast<int>(std::ceil(N / (static_cast<double>(gx) * U)));
  return dim3(static_cast<unsigned int>(gx), static_cast<unsigned int>(gy), 1);
}

cudaError_t Probe_Constant_Memory() {
  void *address = nullptr;
  return cudaGetSymbolAddress(&address, Dim1C);
}

// ---------------------------------------------------------------------------
// Element-wise matrix-matrix operations.

__global__ void ElementWise_Matrix_Matrix_K32x16(double *AD, double *BD, double *CD) {
  const int rows = Dim1C, cols = Dim2C, op = FlagC;
  const unsigned int j = Block_Number() * 16 + threadIdx.y;
  if (!In_Range(j, cols) || rows <= 0) return;
  // Counting chunks instead of stepping the row past `rows` keeps the
  // counter below INT_MAX for an operand of 2^31-1 elements.
  const int chunks = (rows - 1) / 32 + 1;
  for (int k = 0; k < chunks; ++k) {
    const int i = static_cast<int>(threadIdx.x) + 32 * k;
    if (i >= rows) break;
    const int index = i + rows * static_cast<int>(j);
    const double a = AD[index], b = BD[index];
    double res;
    switch (op) {
      case 0: res = a + b; break;
      case 1: res = a - b; break;
      case 2: res = a * b; break;
      case 3: res = a / b; break;
      default: continue;  // an unknown code computes nothing
    }
    CD[index] = res;
  }
}

void ElementWise_Matrix_Matrix(double *A, double *B, double *C, int rows, int cols, int op) {
  if (static_cast<unsigned int>(op) > 3) Report("ElementWise_Matrix_Matrix: Invalid Operation!");
  if (!(Write_Param(Dim1C, rows) && Write_Param(Dim2C, cols) && Write_Param(FlagC, op))) {
    // Launching on the block's stale values would compute garbage.
    Report("ElementWise_Matrix_Matrix: could not copy symbol!");
    return;
  }
  Wait_For_Device(__LINE__);
  Launch_K32x16(ElementWise_Matrix_Matrix_K32x16, Launch_Grid(cols, 16), A, B, C);
  Wait_For_Device(__LINE__);
}

// ---------------------------------------------------------------------------
// Element-wise matrix-vector operations.

namespace {

__device__ __forceinline__ void Matrix_Vector_Element(const double *AD, double *CD, int index,
                                                      double val, int op) {
  const double a = AD[index];
  double res;
  switch (op) {
    case 0: res = val + a; break;
    case 1: res = a - val; break;
    case 2: res = val * a; break;
    case 4: res = val * (a * a); break;
    default: return;
  }
  CD[index] = res;
}

}  // namespace

// One column per thread row; the vector entries of a chunk of 32 rows (or
// of the block's 16 columns) are staged once in BDs for the whole block.
__global__ void Elementwise_Matrix_Vector_DD2_K32x16(double *AD, double *BD, double *CD) {
  __shared__ double BDs[32];
  const int rows = Dim1C, cols = Dim2C, op = FlagC, per_column = Flag2C;
  if (rows <= 0) return;
  const unsigned int tx = threadIdx.x, ty = threadIdx.y;
  const unsigned int b = Block_Number();
  const unsigned int j = b * 16 + ty;
  const int chunks = (rows - 1) / 32 + 1;
  for (int k = 0; k < chunks; ++k) {
    const int i = static_cast<int>(tx) + 32 * k;
    if (per_column == 0) {
      if (ty == 0 && i < rows) BDs[tx] = BD[i];
    } else if (k == 0 && ty == 0 && tx < 16 && In_Range(b * 16 + tx, cols)) {
      BDs[tx] = BD[b * 16 + tx];
    }
    __syncthreads();
    if (In_Range(j, cols) && i < rows)
      Matrix_Vector_Element(AD, CD, i + rows * static_cast<int>(j),
                            BDs[per_column == 0 ? tx : ty], op);
    __syncthreads();
  }
}

// One row per thread column, the columns walked in chunks of 16.
__global__ void Elementwise_Matrix_Vector_DD1_K32x16(double *AD, double *BD, double *CD) {
  __shared__ double BDs[32];
  const int rows = Dim1C, cols = Dim2C, op = FlagC, per_column = Flag2C;
  if (cols <= 0) return;
  const unsigned int tx = threadIdx.x, ty = threadIdx.y;
  const unsigned int i = Block_Number() * 32 + tx;
  for (int c0 = 0; c0 < cols; c0 += 16) {
    if (per_column == 0) {
      if (c0 == 0 && ty == 0 && In_Range(i, rows)) BDs[tx] = BD[i];
    } else if (ty == 0 && tx < 16 && c0 + static_cast<int>(tx) < cols) {
      BDs[tx] = BD[c0 + tx];
    }
    __syncthreads();
    const int j = c0 + static_cast<int>(ty);
    if (j < cols && In_Range(i, rows))
      Matrix_Vector_Element(AD, CD, static_cast<int>(i) + rows * j,
                            BDs[per_column == 0 ? tx : ty], op);
    __syncthreads();
  }
}

void Elementwise_Matrix_Vector(double *A, double *v, double *C, int rows, int cols, bool flag,
                               int op) {
  if (static_cast<unsigned int>(op) > 5)
    Report("Elementwise_Matrix_Vector: Invalid operation!");
  else if (op == 3 || op == 5)
    Report("Elementwise_Matrix_Vector: Try Inverting the vector first!");
  if (!(Write_Param(Dim1C, rows) && Write_Param(Dim2C, cols) && Write_Param(FlagC, op) &&
        Write_Param(Flag2C, flag ? 1 : 0))) {
    Report("Elementwise_Matrix_Vector: Could not copy to symbol!");
    return;
  }
  // Spread the blocks over the larger dimension.
  Wait_For_Device(__LINE__);
  if (rows > cols)
    Launch_K32x16(Elementwise_Matrix_Vector_DD1_K32x16, Launch_Grid(rows, 32), A, v, C);
  else
    Launch_K32x16(Elementwise_Matrix_Vector_DD2_K32x16, Launch_Grid(cols, 16), A, v, C);
  Wait_For_Device(__LINE__);
}

// ---------------------------------------------------------------------------
// Per-element vector operations.

__global__ void Vector_Op_K32x16(double *AD, double *BD) {
  const unsigned int i = Block_Number() * 512 + threadIdx.y * 32 + threadIdx.x;
  if (!In_Range(i, Dim1C)) return;
  const double x = AD[i], p = ParamC;
  double res;
  switch (FlagC) {
    case 0: res = fmin(p, x); break;
    case 1: res = fmax(p, x); break;
    case 2: res = p + x; break;
    case 3: res = p * x; break;
    case 4: res = p / x; break;
    case 5: res = exp(p * x); break;
    case 6: res = log(p * x); break;
    case 7: res = pow(x, p); break;
    case 8: res = p * exp(-0.5 * x); break;
    case 9: res = log(fmax(p, x)); break;
    case 10: res = p - 0.5 * x; break;
    case 11: res = exp(p - 0.5 * x); break;
    default: return;  // an unknown code leaves the output as it was
  }
  BD[i] = res;
}

void Vector_Op(double *in, double *out, int n, double p, int op) {
  if (static_cast<unsigned int>(op) > 11) Report("Vector Op: invalid operation");
  if (!(Write_Param(ParamC, p) && Write_Param(Dim1C, n) && Write_Param(FlagC, op))) {
    Report("Vector Op: could not copy to symbol!");
    return;
  }
  Wait_For_Device(__LINE__);
  Launch_K32x16(Vector_Op_K32x16, Launch_Grid(n, 512), in, out);
  Wait_For_Device(__LINE__);
}

// ---------------------------------------------------------------------------
// Row and column reductions.

namespace {

__device__ __forceinline__ double Reduction_Start(int op) {
  switch (op >> 1) {
    case 1: return kMinMaxStart;
    case 2: return -kMinMaxStart;
    default: return 0.0;
  }
}

// Folds one matrix element into a running value.
__device__ __forceinline__ double Reduction_Step(int op, double res, double a) {
  switch (op >> 1) {
    case 0: return res + a;
    case 1: return fmin(a, res);
    case 2: return fmax(a, res);
    default: return res + exp(a);
  }
}

// Folds one thread's partial value into the block's.
__device__ __forceinline__ double Reduction_Combine(int op, double res, double partial) {
  switch (op >> 1) {
    case 1: return fmin(partial, res);
    case 2: return fmax(partial, res);
    default: return res + partial;
  }
}

}  // namespace

// One column per thread row: 32 strided partial values, then their in-order
// combination by the thread with tx = 0.
__global__ void Matrix_OP_D1_K32x16(double *AD, double *BD) {
  __shared__ double ResDs[16][33];
  const int M = Dim1C, N = Dim2C, op = FlagC;
  const unsigned int tx = threadIdx.x, ty = threadIdx.y;
  const unsigned int c = Block_Number() * 16 + ty;
  double res = Reduction_Start(op);
  if (M > 0 && In_Range(c, N)) {
    const int chunks = (M - 1) / 32 + 1;
    for (int k = 0; k < chunks; ++k) {
      const int i = 32 * k + static_cast<int>(tx);
      if (i < M) res = Reduction_Step(op, res, AD[i + static_cast<int>(c) * M]);
    }
  }
  ResDs[ty][tx] = res;
  __syncthreads();
  if (tx == 0) {
    res = Reduction_Start(op);
    for (int m = 0; m < 32; ++m) res = Reduction_Combine(op, res, ResDs[ty][m]);
    if (In_Range(c, N)) BD[c] = res;
  }
}

// One row per thread column: 16 strided partial values, then their in-order
// combination by thread row 0.
__global__ void Matrix_OP_D2_K32x16(double *AD, double *BD) {
  __shared__ double ResDs[16][33];
  const int M = Dim1C, N = Dim2C, op = FlagC;
  const unsigned int tx = threadIdx.x, ty = threadIdx.y;
  const unsigned int r = Block_Number() * 32 + tx;
  double res = Reduction_Start(op);
  if (N > 0 && In_Range(r, M)) {
    const int chunks = (N - 1) / 16 + 1;
    for (int k = 0; k < chunks; ++k) {
      const int j = 16 * k + static_cast<int>(ty);
      if (j < N) res = Reduction_Step(op, res, AD[static_cast<int>(r) + j * M]);
    }
  }
  ResDs[ty][tx] = res;
  __syncthreads();
  if (ty == 0) {
    res = Reduction_Start(op);
    for (int m = 0; m < 16; ++m) res = Reduction_Combine(op, res, ResDs[m][tx]);
    if (In_Range(r, M)) BD[r] = res;
  }
}

void Matrix_Op(double *data, double *result, int dim1, int dim2, double param, int op) {
  (void)param;  // no reduction takes a parameter
  const bool valid = static_cast<unsigned int>(op) <= 7;
  if (!valid) Report("Matrix_OP: Invalid Operation");
  if (!(Write_Param(Dim1C, dim1) && Write_Param(Dim2C, dim2) && Write_Param(FlagC, op))) {
    Report("Matrix_OP: could not copy symbol!");
    return;
  }
  if (!valid) {
    Wait_For_Device(__LINE__);
    return;
  }
  Wait_For_Device(__LINE__);
  if (op % 2 == 0)
    Launch_K32x16(Matrix_OP_D1_K32x16, Launch_Grid(dim2, 16), data, result);
  else
    Launch_K32x16(Matrix_OP_D2_K32x16, Launch_Grid(dim1, 32), data, result);
  Wait_For_Device(__LINE__);
}

// ---------------------------------------------------------------------------
// Weighted sums of squares.

// One column per thread row; the centre and weights of each chunk of 32
// rows are staged once for the block.
__global__ void Sum_Weighted_Squares_D1_K32x16(double *AD, double *BD, double *CD, double *DD) {
  __shared__ double BDs[32];
  __shared__ double CDs[32];
  __shared__ double ResDs[16][33];
  const int M = Dim1C, N = Dim2C;
  const unsigned int tx = threadIdx.x, ty = threadIdx.y;
  const unsigned int b = Block_Number();
  const unsigned int c = b * 16 + ty;
  const bool column_in = In_Range(c, N);
  double res = 0.0, valA = 0.0;
  const int chunks = M > 0 ? (M - 1) / 32 + 1 : 0;
  for (int k = 0; k < chunks; ++k) {
    const int i = 32 * k + static_cast<int>(tx);
    const bool row_in = i < M;
    if (ty == 0 && row_in) BDs[tx] = BD[i];
    if (ty == 1 && row_in) CDs[tx] = CD[i];
    if (row_in && column_in) valA = AD[i + static_cast<int>(c) * M];
    __syncthreads();
    if (row_in && column_in) {
      const double d = valA - BDs[tx];
      res = res + CDs[tx] * (d * d);
    }
    __syncthreads();
  }
  ResDs[ty][tx] = res;
  __syncthreads();
  if (ty == 0 && tx < 16) {
    const unsigned int column = b * 16 + tx;
    if (In_Range(column, N)) {
      double s = ResDs[tx][0];
      for (int m = 1; m < 32; ++m) s = s + ResDs[tx][m];
      DD[column] = ParamC * s;
    }
  }
}

// Block b writes column b of the partial matrix: per row, the weighted sum
// over the block's 16 columns.
__global__ void Sum_Weighted_Squares_PD2_K32x16(double *AD, double *BD, double *CD, double *DD) {
  __shared__ double BDs[32];
  __shared__ double CDs[32];
  __shared__ double ResDs[16][33];
  const int M = Dim1C, N = Dim2C;
  if (M <= 0) return;
  const unsigned int tx = threadIdx.x, ty = threadIdx.y;
  const unsigned int b = Block_Number();
  const unsigned int c = b * 16 + ty;
  const bool column_in = In_Range(c, N);
  double valA = 0.0;
  const int chunks = (M - 1) / 32 + 1;
  for (int k = 0; k < chunks; ++k) {
    const int i = 32 * k + static_cast<int>(tx);
    const bool row_in = i < M;
    if (ty == 0 && row_in) BDs[tx] = BD[i];
    if (k == 0 && ty == 1 && tx < 16 && In_Range(b * 16 + tx, N)) CDs[tx] = CD[b * 16 + tx];
    if (row_in && column_in) valA = AD[i + static_cast<int>(c) * M];
    __syncthreads();
    double v = 0.0;
    if (row_in && column_in) {
      const double d = valA - BDs[tx];
      v = CDs[ty] * (d * d);
    }
    ResDs[ty][tx] = v;
    __syncthreads();
    if (ty == 0) {
      double s = ResDs[0][tx];
      for (int m = 1; m < 16; ++m) s = s + ResDs[m][tx];
      if (row_in) DD[i + static_cast<int>(b) * M] = ParamC * s;
    }
  }
}

void Sum_Weighted_Squares(double *data, double *centre, double *weights, double *partial,
                          double *result, double scale, int dim1, int dim2, bool sum_dim2,
                          bool weights_dim2) {
  if (sum_dim2 != weights_dim2) {
    Report("Sum_Weighted_Squares: this operation is not supported!");
    return;
  }
  if (!(Write_Param(ParamC, scale) && Write_Param(Dim1C, dim1) && Write_Param(Dim2C, dim2))) {
    Report("Sum_Weighted_Squares: could not copy to symbol!");
    return;
  }
  const dim3 grid = Launch_Grid(dim2, 16);
  if (!sum_dim2) {
    Wait_For_Device(__LINE__);
    Launch_K32x16(Sum_Weighted_Squares_D1_K32x16, grid, data, centre, weights, result);
    Wait_For_Device(__LINE__);
    return;
  }
  Wait_For_Device(__LINE__);
  Launch_K32x16(Sum_Weighted_Squares_PD2_K32x16, grid, data, centre, weights, partial);
  Wait_For_Device(__LINE__);
  // With no columns there are no partial sums, and with no rows nothing to
  // write: the second pass would only touch `result`.
  if (dim1 <= 0 || dim2 <= 0) return;
  Matrix_Op(partial, result, dim1, (dim2 - 1) / 16 + 1, 0.0, 1);
  Wait_For_Device(__LINE__);
}

// ---------------------------------------------------------------------------
// Mahalanobis distance.

void MahalanobisDistance(double *X, double *mu, double *temp1, double *inv_sigma, double *temp2,
                         int dim, int num_data, double *dist) {
  if (DIAGONAL_ESTIMATE) {
    // Centring, squaring, weighting and summing in one pass over X.
    Sum_Weighted_Squares(X, mu, inv_sigma, nullptr, dist, 1.0, dim, num_data, false, false);
    return;
  }
  Elementwise_Matrix_Vector(X, mu, temp1, dim, num_data, false, 1);
  cublasDgemm('N', 'N', dim, num_data, dim, 1.0, inv_sigma, dim, temp1, dim, 0.0, temp2, dim);
  checkStatusCUBLAS("MahalanobisDistance mult 1");
  // The product must be complete before the next wrapper rewrites the block.
  cudaSafeCall(cudaDeviceSynchronize(), kSourceFile, __LINE__);
  ElementWise_Matrix_Matrix(temp1, temp2, temp2, dim, num_data, 2);
  Matrix_Op(temp2, dist, dim, num_data, 0.0, 0);
}

void Diagonal_Covariance_Matrix(double *X, double *mu, double *partial, double *weights,
                                double scale, double *result, int dim, int num_data) {
  Sum_Weighted_Squares(X, mu, weights, partial, result, scale, dim, num_data, true, true);
}

// ---------------------------------------------------------------------------
// Transpose, through a 16 x 16 tile with a row pitch of 18 doubles.

__global__ void Transpose_K16x16(double *AD, double *BD) {
  __shared__ double ResDs[16 * 18];
  const int rows = Dim1C, cols = Dim2C;
  const int tx = static_cast<int>(threadIdx.x), ty = static_cast<int>(threadIdx.y);
  const int bx = static_cast<int>(blockIdx.x), by = static_cast<int>(blockIdx.y);
  const int r = bx * 16 + tx, c = by * 16 + ty;
  if (r < rows && c < cols) ResDs[ty * 18 + tx] = AD[r + rows * c];
  __syncthreads();
  // The tile element taken here was loaded by the thread with tx and ty
  // exchanged, under the same condition.
  const int r2 = bx * 16 + ty, c2 = by * 16 + tx;
  if (c2 < cols && r2 < rows) BD[c2 + cols * r2] = ResDs[tx * 18 + ty];
}

void Transpose(double *A, double *B, int rows, int cols) {
  if (cols > 512000 || rows > 512000) {
    Report("Transpose: matrix too large!");
    return;
  }
  if (A == B) {
    Report("Transpose: A and B should not be the same!");
    return;
  }
  if (!(Write_Param(Dim1C, rows) && Write_Param(Dim2C, cols))) {
    Report("Transpose: could not copy symbol!");
    return;
  }
  dim3 grid(0, 0, 1);
  if (rows > 0 && cols > 0)
    grid = dim3(static_cast<unsigned int>(std::ceil(rows * 0.0625)),
                static_cast<unsigned int>(std::ceil(cols * 0.0625)), 1);
  Wait_For_Device(__LINE__);
  Launch(Transpose_K16x16, grid, dim3(16, 16, 1), A, B);
  Wait_For_Device(__LINE__);
}

// ---------------------------------------------------------------------------
// Vector sum: one block of 32 threads, a fixed order of summation.

__global__ void Sum_Vector_K32x1(double *AD, double *BD) {
  __shared__ double ResDs[32];
  const int n = Dim1C;
  const int t = static_cast<int>(threadIdx.x);
  double partial = 0.0;
  if (n > 0) {
    const int chunks = (n - 1) / 32 + 1;
    for (int k = 0; k < chunks; ++k) {
      const int i = t + 32 * k;
      if (i < n) partial = partial + AD[i];
    }
  }
  ResDs[t] = partial;
  __syncthreads();
  if (t == 0) {
    double total = partial;
    for (int m = 1; m < 32; ++m) total = total + ResDs[m];
    BD[0] = total;
  }
}

double Sum_Vector(double *V, int n) {
  double *d_result = nullptr;
  if (cudaMalloc(reinterpret_cast<void **>(&d_result), sizeof(double)) != cudaSuccess) {
    Errors.push_back("Sum_Vector: Could not allocate memory");
    return -1.0;
  }
  double result = -1.0;
  cudaLaunchConfig_t config = {};
  config.gridDim = dim3(1, 1, 1);
  config.blockDim = dim3(32, 1, 1);
  if (cudaMemcpyToSymbol(Dim1C, &n, sizeof(int), 0, cudaMemcpyHostToDevice) != cudaSuccess) {
    Errors.push_back("Sum_Vector: Could not copy symbol");
  } else if (cudaLaunchKernelEx(&config, Sum_Vector_K32x1, V, d_result) != cudaSuccess) {
    // The cell would never be written: its value would be garbage.
    Errors.push_back("Sum_Vector: Could not launch the kernel");
  } else if (cudaMemcpy(&result, d_result, sizeof(double), cudaMemcpyDeviceToHost) !=
             cudaSuccess) {
    Errors.push_back("Sum_Vector: Could not copy memory back");
    result = -1.0;
  }
  cudaFree(d_result);
  return result;
}

// ---------------------------------------------------------------------------
// Conversion between single and double precision.

__global__ void Vector_Convert_K32x16(void *AD, void *BD) {
  const unsigned int i = (threadIdx.x + 32 * threadIdx.y) + 512 * Block_Number();
  if (!In_Range(i, Dim1C)) return;
  switch (FlagC) {
    case 0: static_cast<double *>(BD)[i] = static_cast<double>(static_cast<float *>(AD)[i]); break;
    case 1: static_cast<float *>(BD)[i] = static_cast<float>(static_cast<double *>(AD)[i]); break;
    default: break;
  }
}

void Vector_Convert(void *A, void *B, int n, int code) {
  if (static_cast<unsigned int>(code) > 1) {
    mexPrintf("Vector_Convert: Invalid Conversion!\n");
    Errors.push_back("Vector_Convert: INVALID CONVERSION");
    return;
  }
  if (!(Write_Param(FlagC, code) && Write_Param(Dim1C, n))) {
    Report("Vector_Convert: could not copy to symbol!");
    return;
  }
  Wait_For_Device(__LINE__);
  Launch_K32x16(Vector_Convert_K32x16, Launch_Grid(n, 512), A, B);
  Wait_For_Device(__LINE__);
}

// ---------------------------------------------------------------------------
// Tikhonov regularisation: B = A + lambda I.

__global__ void Tikhonov_Diagonal_Regularization_K32x16(double *AD, double *BD) {
  const int n = Dim1C;
  const unsigned int c = 16 * Block_Number() + threadIdx.y;
  if (!In_Range(c, n)) return;
  const int column = static_cast<int>(c);
  for (int k = 0; k < n; k += 32) {
    const int r = k + static_cast<int>(threadIdx.x);
    if (r < n) {
      const double a = AD[r + n * column];
      BD[r + n * column] = r == column ? a + ParamC : a;
    }
  }
}

void Tikhonov_Diagonal_Regularization(double *A, double *B, int n, double lambda) {
  if (!(Write_Param(ParamC, lambda) && Write_Param(Dim1C, n))) {
    Report("Tikhonov Regularization: could not copy symbol!");
    return;
  }
  Wait_For_Device(__LINE__);
  Launch_K32x16(Tikhonov_Diagonal_Regularization_K32x16, Launch_Grid(n, 16), A, B);
  Wait_For_Device(__LINE__);
}

// ---------------------------------------------------------------------------
// Device block inverse with log-determinant.

double CalcInverse(double *d_Sigma, int n) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const size_t order = n > 0 ? static_cast<size_t>(n) : 0;
  if (DIAGONAL_ESTIMATE == 0) {
    // Copies move the block as the host arrays hold it, n*n doubles: with a
    // size other than the run's, elements_one_sigma would overrun them.
    const size_t count = order * order;
    double *copy = new double[count];
    double *inverse = new double[count];
    double r = nan;
    if (cudaMemcpy(copy, d_Sigma, count * sizeof(double), cudaMemcpyDeviceToHost) !=
        cudaSuccess) {
      Report("CalcInverse: mem copy failed!");
    } else {
      // A failed factorisation leaves the inverse unwritten; NaN is what
      // the device block then receives.
      std::fill(inverse, inverse + count, nan);
      r = CholeskyInv(copy, inverse, n, true);
      if (cudaMemcpy(d_Sigma, inverse, count * sizeof(double), cudaMemcpyHostToDevice) !=
          cudaSuccess)
        Report("CalcInverse: mem copy 2 failed!");
    }
    delete[] copy;
    delete[] inverse;
    return r;
  }
  double *copy = new double[order];
  if (cudaMemcpy(copy, d_Sigma, order * sizeof(double), cudaMemcpyDeviceToHost) != cudaSuccess) {
    Report("CalcInverse: mem copy failed!");
    delete[] copy;
    return nan;
  }
  Vector_Op(d_Sigma, d_Sigma, n, 1.0, 4);
  double r = 0.0;
  for (int i = 0; i < n; ++i) r = r + std::log(copy[i]);
  delete[] copy;
  return r;
}

// ---------------------------------------------------------------------------
// Diagnostics.

namespace {

// Prints the window r0..r1 x c0..c1 of a device matrix of T, row by row.
template <typename T>
void Show_Window(T *D, int rows, int cols, int r0, int r1, int c0, int c1, const char *name) {
  // A negative size is refused only where it would size a copy: with the
  // other size 0 the matrix is empty like any other, and its window is its
  // header; two negative sizes multiply into a count of elements it lacks.
  const bool negative = (rows < 0 || cols < 0) && rows != 0 && cols != 0;
  if (c0 < 0 || r0 < 0 || c1 >= cols || r1 >= rows || negative) {
    mexPrintf("Show Mat: Invalid Request for %s\n", name);
    Errors.push_back("Show Mat: Invalid Request");
    return;  // nothing outside the matrix may be read
  }
  const size_t count = static_cast<size_t>(rows) * static_cast<size_t>(cols);
  T *buffer = new T[count]();
  cudaSafeCall(cudaDeviceSynchronize(), kSourceFile, __LINE__);
  if (cudaMemcpy(buffer, D, count * sizeof(T), cudaMemcpyDeviceToHost) != cudaSuccess) {
    // Its zeros would be printed as the matrix's elements.
    mexPrintf("Show Mat: could not copy array!: %s\n", name);
    Errors.push_back("Show Mat: could not copy array!");
    delete[] buffer;
    return;
  }
  cudaSafeCall(cudaDeviceSynchronize(), kSourceFile, __LINE__);
  mexPrintf("Elements of %s (%d:%d,%d:%d) are: \n", name, r0, r1, c0, c1);
  for (int r = r0; r <= r1; ++r) {
    for (int c = c0; c <= c1; ++c)
      mexPrintf("%f ", static_cast<double>(buffer[r + static_cast<size_t>(rows) * c]));
    mexPrintf("\n");
  }
  delete[] buffer;
}

}  // namespace

void Show_Mat(double *D, int rows, int cols, int r0, int r1, int c0, int c1, const char *name) {
  Show_Window(D, rows, cols, r0, r1, c0, c1, name);
}

void Show_Vec(double *D, int n, const char *name) { Show_Mat(D, 1, n, 0, 0, 0, n - 1, name); }

void Show_Vec(double *D, int n, int c0, int c1, const char *name) {
  Show_Mat(D, 1, n, 0, 0, c0, c1, name);
}

void Show_Mat(double *D, int rows, int cols, const char *name) {
  Show_Mat(D, rows, cols, 0, rows - 1, 0, cols - 1, name);
}

void Show_MatF(float *D, int rows, int cols, int r0, int r1, int c0, int c1, const char *name) {
  Show_Window(D, rows, cols, r0, r1, c0, c1, name);
}

void Check_Matrix(double *D, int rows, int cols, const char *name) {
  // Each size on its own: two negative sizes multiply into a positive count.
  if (rows < 0 || cols < 0) return;
  const long long n = static_cast<long long>(rows) * cols;
  double *buffer = new double[static_cast<size_t>(n)];
  if (cudaMemcpy(buffer, D, static_cast<size_t>(n) * sizeof(double), cudaMemcpyDeviceToHost) !=
      cudaSuccess) {
    mexPrintf("Check Matrix: could not copy array!: %s\n", name);
    Errors.push_back("Check Matrix: could not copy array!");
    delete[] buffer;
    return;  // the buffer holds nothing worth counting
  }
  cudaSafeCall(cudaDeviceSynchronize(), kSourceFile, __LINE__);
  int zeros = 0, infs = 0, nans = 0;
  for (long long i = 0; i < n; ++i) {
    if (buffer[i] == 0.0) ++zeros;
    else if (std::isinf(buffer[i])) ++infs;
    else if (std::isnan(buffer[i])) ++nans;
  }
  delete[] buffer;
  if (infs > 0 || nans > 0) {
    mexPrintf("Zeros(%d), Infs(%d), Nans(%d): %s\n", zeros, infs, nans, name);
    Errors.push_back(name);
  }
}

void Send_To_Matlab(double *D, int rows, int cols) {
  if (rows < 0 || cols < 0) return;
  mxArray *matrix = mxCreateNumericMatrix_700(rows, cols, mxDOUBLE_CLASS, mxREAL);
  const size_t bytes = static_cast<size_t>(rows) * static_cast<size_t>(cols) * sizeof(double);
  if (cudaMemcpy(mxGetPr(matrix), D, bytes, cudaMemcpyDeviceToHost) != cudaSuccess) {
    mexPrintf("Send_To_Matlab: could not copy back MEM FOR MATLAB!\n");
    Errors.push_back("Send_To_Matlab: Could not copy back MEM FOR MATLAB!");
  }
  mxArray *inputs[1] = {matrix};
  mexCallMATLAB(0, nullptr, 1, inputs, "Debug_From_Mex");
  mxDestroyArray(matrix);
}
