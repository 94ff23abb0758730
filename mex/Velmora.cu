// P = Velmora(X, Mu, Sigma, Pi): the Gaussian mixture density of every
// column of X, evaluated on the device in double precision.
#include <cuda_runtime.h>
#include <cublas.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "MatrixOperations_Double.h"
#include "Velmora.h"
#include "mex_api.h"

int elements_one_sigma = 0;

namespace {

const char *const kSourceFile = "Velmora.cu";

// ln(2*pi) as a double.
const double kLog2Pi = 1.8378770664093453;

const char *const kUsage =
    "Use [P] = Velmora(X,Mu,Sigma,Pi); (Double)\n"
    "Where X(dim x num_data) holds the data, Mu(dim x num_clust) holds the cluster centers, "
    "Sigma holds the covariance matrices, Pi(1 x dim) or (dim x 1) holds the mixture "
    "priors.\n"
    "For Diagonal estimates, pass Sigma as Vectors(dim x num_clust) representing the "
    "diagonals.\n"
    "For full covariance estimates, pass Sigma as (dim x dim * num_clust) or "
    "(dim x dim x num_clust).\n";

// Console text of the host inversion. A helper thread inverting clusters
// collects each cluster's text here, and the calling thread prints it in
// cluster order: the MEX API belongs to the calling thread alone.
thread_local std::string *deferred_console = nullptr;

void Host_Print(const char *text) {
  if (deferred_console != nullptr) *deferred_console += text;
  else mexPrintf("%s", text);
}

}  // namespace

// ---------------------------------------------------------------------------
// Covariance inversion (host).

double CholeskyInv(double *A, double *Inv, int n, bool in_place) {
  double *W = A;
  if (!in_place) {
    const size_t count = static_cast<size_t>(n > 0 ? n : 0) * (n > 0 ? n : 0);
    W = new (std::nothrow) double[count];
    if (W == nullptr) {
      // Not a verdict on the matrix: NaN, unlike the -1 of a failed
      // factorisation, cannot pass for a log-determinant.
      Host_Print("CholeskyInv: could not allocate memory\n");
      return std::numeric_limits<double>::quiet_NaN();
    }
    if (count > 0) std::memcpy(W, A, count * sizeof(double));
  }
  // W(r, c) = W[r + c*n]; the factor U(r, c), r <= c, lives in the upper
  // triangle, the input's lower triangle is read below it.
  const auto at = [n](int r, int c) { return r + c * n; };
  double result = 0.0;
  if (n >= 1) {
    bool failed = false;
    for (int i = 0; i < n && !failed; ++i) {
      for (int j = i; j < n; ++j) {
        double s = W[at(j, i)];
        for (int k = i - 1; k >= 0; --k) s -= W[at(k, i)] * W[at(k, j)];
        if (j == i) {
          if (s <= 0.0) {
            Host_Print("Cholesky failed\n");
            failed = true;
            break;
          }
          W[at(i, i)] = std::sqrt(s);
        } else {
          W[at(i, j)] = s / W[at(i, i)];
        }
      }
    }
    if (failed) {
      result = -1.0;
    } else {
      double L = 0.0;
      for (int i = 0; i < n; ++i) L = L + std::log(W[at(i, i)]);
      // V = U^-T into the lower triangle of Inv.
      for (int j = 0; j < n; ++j) {
        for (int k = 0; k <= j; ++k) {
          double v = j == k ? 1.0 : 0.0;
          for (int m = j - 1; m >= k; --m) v -= W[at(m, j)] * Inv[at(m, k)];
          Inv[at(j, k)] = v / W[at(j, j)];
        }
      }
      // A^-1 = U^-1 V from the last row up, mirrored into both triangles.
      for (int r = n - 1; r >= 0; --r) {
        for (int t = 0; t <= r; ++t) {
          double v = Inv[at(r, t)];
          for (int u = r + 1; u < n; ++u) v -= W[at(r, u)] * Inv[at(u, t)];
          v /= W[at(r, r)];
          Inv[at(r, t)] = v;
          Inv[at(t, r)] = v;
        }
      }
      result = L + L;
    }
  }
  if (!in_place) delete[] W;
  return result;
}

void Invert_Sigmas(double *Sigma_c, double *InvSigma_c, double *LogDet_c, int dim) {
  if (DIAGONAL_ESTIMATE) {
    double s = 0.0;
    for (int i = 0; i < dim; ++i) {
      s = s + std::log(Sigma_c[i]);
      InvSigma_c[i] = 1.0 / Sigma_c[i];
    }
    *LogDet_c = s;
    return;
  }
  // A failed factorisation leaves the inverse unwritten; NaN makes that
  // cluster's densities NaN instead of whatever the memory held.
  if (dim > 0)
    std::fill(InvSigma_c, InvSigma_c + static_cast<size_t>(dim) * dim,
              std::numeric_limits<double>::quiet_NaN());
  *LogDet_c = CholeskyInv(Sigma_c, InvSigma_c, dim, false);
}

void Invert_All_Sigmas(double *Sigma, double *InvSigmas, double *LogDets, int dim,
                       int num_clust) {
  const auto invert = [&](int c) {
    Invert_Sigmas(Sigma + static_cast<size_t>(c) * elements_one_sigma,
                  InvSigmas + static_cast<size_t>(c) * elements_one_sigma, &LogDets[c], dim);
  };
  // Threads pay off from a few milliseconds of factorisation on.
  const double work = DIAGONAL_ESTIMATE ? dim : static_cast<double>(dim) * dim * dim;
  const int by_work = static_cast<int>(std::min(work * num_clust / 1e7, 1e6)) + 1;
  const int threads = std::min({static_cast<int>(std::thread::hardware_concurrency()),
                                num_clust, by_work});
  if (threads <= 1) {
    for (int c = 0; c < num_clust; ++c) invert(c);
    return;
  }
  std::vector<std::string> console;
  std::vector<std::thread> helpers;
  try {
    console.resize(static_cast<size_t>(num_clust));
    // Room for a cluster's one message: helpers never allocate.
    for (std::string &text : console) text.reserve(64);
    helpers.reserve(static_cast<size_t>(threads - 1));
  } catch (const std::bad_alloc &) {
    for (int c = 0; c < num_clust; ++c) invert(c);
    return;
  }
  // Clusters go to whichever thread is free; each is inverted by the same
  // arithmetic as on one thread, so the results are the same bits.
  std::atomic<int> next{0};
  const auto work_through = [&] {
    for (int c; (c = next.fetch_add(1)) < num_clust;) {
      deferred_console = &console[static_cast<size_t>(c)];
      invert(c);
      deferred_console = nullptr;
    }
  };
  for (int t = 1; t < threads; ++t) {
    try {
      helpers.emplace_back(work_through);
    } catch (const std::system_error &) {
      break;  // fewer helpers, same results
    }
  }
  work_through();
  for (std::thread &h : helpers) h.join();
  for (const std::string &text : console)
    if (!text.empty()) mexPrintf("%s", text.c_str());
}

// ---------------------------------------------------------------------------
// Mixture evaluation.

void GaussPDF_One(double *X, double *mu, double *inv_sigma, double log_det, int dim,
                  int num_data, int num_clust, double *temp1, double *temp2) {
  (void)num_clust;
  if (!std::isfinite(log_det)) Errors.push_back("GaussPDF: Invalid Determinant");
  const double a = log_det * -0.5;
  double b = static_cast<double>(dim) * -0.5;
  b = b * kLog2Pi;
  const double log_norm = a + b;
  if (!std::isfinite(log_norm)) Errors.push_back("GaussPDF: invalid Denum Gauss");
  MahalanobisDistance(X, mu, temp1, inv_sigma, temp2, dim, num_data, temp1);
  Vector_Op(temp1, temp1, num_data, log_norm, 11);
}

void Velmora(double *d_X, double *d_Mu, double *d_InvSigmas, double *Pi, double *LogDets,
             int dim, int num_data, int num_clust, double *d_Temp1, double *d_Temp2,
             double *d_P) {
  if (num_clust <= 0) return;
  for (int k = 0; k < num_clust; ++k) {
    GaussPDF_One(d_X, d_Mu + k * dim, d_InvSigmas + k * elements_one_sigma, LogDets[k], dim,
                 num_data, num_clust, d_Temp1, d_Temp2);
    cublasDaxpy(num_data, Pi[k], d_Temp1, 1, d_P, 1);
    checkStatusCUBLAS("Velmora Sum");
  }
}

// ---------------------------------------------------------------------------
// Run driver.

namespace {

// Releases the buffers allocated so far; the rest are null.
void Release_All(std::initializer_list<double **> buffers) {
  for (double **d : buffers) {
    if (*d != nullptr) cudaFree(*d);
    *d = nullptr;
  }
}

}  // namespace

void GMM(double *X, int dim, int num_data, int num_clust, double *Mu, double *Sigma, double *Pi,
         double *P) {
  const time_t start = time(nullptr);

  // Counts in 64 bits: with 32-bit products a large run would wrap and pass
  // the memory check with a small, wrong figure.
  using Count = long long;
  const Count one_sigma = DIAGONAL_ESTIMATE ? Count{dim} : Count{dim} * dim;
  elements_one_sigma = static_cast<int>(std::min<Count>(one_sigma, INT_MAX));
  const Count x_elements = Count{dim} * num_data;
  const Count mu_elements = Count{dim} * num_clust;
  const Count sigma_elements = one_sigma * num_clust;
  const Count x_bytes = x_elements * 8, mu_bytes = mu_elements * 8;
  const Count sigma_bytes = sigma_elements * 8, p_bytes = Count{num_data} * 8;
  const Count essential = x_bytes + mu_bytes + sigma_bytes + p_bytes;
  // d_Temp1 receives the centred data in full mode and one distance per
  // point in both: with dim 0 the data have no bytes but the points do.
  const Count temp1_bytes = std::max(x_bytes, p_bytes);
  const Count temp = DIAGONAL_ESTIMATE ? temp1_bytes : temp1_bytes + x_bytes;
  const Count required = essential + temp;
  double *d_X = nullptr, *d_Mu = nullptr, *d_InvSigmas = nullptr, *d_P = nullptr;
  double *d_Temp1 = nullptr, *d_Temp2 = nullptr;

  size_t free_bytes = 0, total_bytes = 0;
  if (cudaMemGetInfo(&free_bytes, &total_bytes) != cudaSuccess) {
    mexPrintf("Error querying the device for free memory!\n");
    return;
  }
  mexPrintf("Total memory on the device: %lld MB, Memory available: %lld MB, Required memory: "
            "%lld MB\n",
            static_cast<Count>(total_bytes / 1000000), static_cast<Count>(free_bytes / 1000000),
            required / 1000000);
  // The kernels index operands in 32 bits.
  const Count largest = std::max({x_elements, mu_elements, sigma_elements});
  if (largest > INT_MAX) {
    mexPrintf("Error, the data is too large for the device: an operand of %lld elements, at "
              "most %d allowed\n",
              largest, INT_MAX);
    return;
  }
  if (static_cast<unsigned long long>(required) > free_bytes) {
    mexPrintf("Error, the data does not fit in GPU memory: requires %lld bytes(%lld essential, "
              "%lld temp), %lld bytes available\n",
              required, essential, temp, static_cast<Count>(free_bytes));
    return;
  }

  // A run that cannot be carried out past here ends the one way: named on
  // the console, every buffer released, P all zero. (A copy that fails is
  // one: left unexamined, a failed upload evaluated stale device memory and
  // a failed download left P as it came, each reported as a finished run.)
  double *InvSigmas = nullptr, *LogDets = nullptr;
  const auto stop = [&](const char *why) {
    mexPrintf("%s\n", why);
    Release_All({&d_X, &d_Mu, &d_InvSigmas, &d_P, &d_Temp1, &d_Temp2});
    delete[] InvSigmas;
    delete[] LogDets;
    std::fill(P, P + num_data, 0.0);  // a failed download may have written part of it
  };
  const auto allocate = [](double **d, Count bytes) {
    return cudaMalloc(reinterpret_cast<void **>(d), static_cast<size_t>(bytes)) == cudaSuccess;
  };
  const auto upload = [](double *to, const double *from, Count bytes) {
    return cudaMemcpy(to, from, static_cast<size_t>(bytes), cudaMemcpyHostToDevice) == cudaSuccess;
  };
  if (!(allocate(&d_X, x_bytes) && allocate(&d_Mu, mu_bytes) &&
        allocate(&d_InvSigmas, sigma_bytes) && allocate(&d_P, p_bytes) &&
        allocate(&d_Temp1, temp1_bytes) && (DIAGONAL_ESTIMATE || allocate(&d_Temp2, x_bytes))))
    return stop("Error occured allocating memory");
  if (!(upload(d_X, X, x_bytes) && upload(d_Mu, Mu, mu_bytes)))
    return stop("Error, the data could not be copied to the device");

  // Host memory can run out as well as the device's.
  InvSigmas = new (std::nothrow) double[static_cast<size_t>(sigma_elements)];
  LogDets = new (std::nothrow) double[static_cast<size_t>(num_clust > 0 ? num_clust : 0)];
  if (InvSigmas == nullptr || LogDets == nullptr) return stop("Error occured allocating memory");
  Invert_All_Sigmas(Sigma, InvSigmas, LogDets, dim, num_clust);

  if (!(upload(d_InvSigmas, InvSigmas, sigma_bytes) && upload(d_P, P, p_bytes)))
    return stop("Error, the data could not be copied to the device");
  cudaSafeCall(cudaDeviceSynchronize(), kSourceFile, __LINE__);

  try {
    Velmora(d_X, d_Mu, d_InvSigmas, Pi, LogDets, dim, num_data, num_clust, d_Temp1, d_Temp2,
            d_P);
  } catch (const std::bad_alloc &) {
    // Only the error list allocates during the evaluation; what it holds
    // is still printed below.
    mexPrintf("Error occured allocating memory\n");
  }

  if (!Errors.empty()) mexPrintf("THE FOLLOWING ERRORS OCCURED:\n");
  while (!Errors.empty()) {
    mexPrintf("ERR: %s\n", Errors.front());
    Errors.pop_front();
  }

  if (cudaMemcpy(P, d_P, static_cast<size_t>(p_bytes), cudaMemcpyDeviceToHost) != cudaSuccess)
    return stop("Error, the results could not be copied from the device");
  Release_All({&d_X, &d_Mu, &d_InvSigmas, &d_P, &d_Temp1, &d_Temp2});

  const time_t end = time(nullptr);
  mexPrintf("Velmora finished, total time: %f seconds\n", difftime(end, start));
  delete[] InvSigmas;
  delete[] LogDets;
}

// ---------------------------------------------------------------------------
// MATLAB entry point.

namespace {

// MATLAB unloads the module after every call, errors included.
[[noreturn]] void Fail(const char *message) {
  mexEvalString("clear Velmora");
  mexErrMsgTxt(message);
  std::abort();  // mexErrMsgTxt does not return
}

bool Fits_Int(size_t n) { return n <= static_cast<size_t>(INT_MAX); }

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  if (nrhs != 4 || nlhs != 1) Fail(kUsage);
  for (int i = 0; i < 4; ++i)
    if (!mxIsDouble(prhs[i])) Fail(kUsage);
  // Only full real arrays have the layout the run reads.
  for (int i = 0; i < 4; ++i)
    if (mxIsSparse(prhs[i]) || mxIsComplex(prhs[i]))
      Fail("X, Mu, Sigma and Pi must be real, full (not sparse) double arrays.");

  if (Probe_Constant_Memory() != cudaSuccess) Fail("Problem with constant memory!");

  double *X = static_cast<double *>(mxGetData(prhs[0]));
  double *Mu = static_cast<double *>(mxGetData(prhs[1]));
  double *Sigma = static_cast<double *>(mxGetData(prhs[2]));
  double *Pi = static_cast<double *>(mxGetData(prhs[3]));

  const size_t sizes[] = {mxGetM(prhs[0]), mxGetN(prhs[0]), mxGetM(prhs[1]), mxGetN(prhs[1]),
                          mxGetM(prhs[3]), mxGetN(prhs[3]), mxGetM(prhs[2]), mxGetN(prhs[2])};
  for (size_t s : sizes)
    if (!Fits_Int(s)) Fail("Every dimension must be below 2^31 (2147483648).");
  const int dim = static_cast<int>(sizes[0]), num_data = static_cast<int>(sizes[1]);
  const int mu_rows = static_cast<int>(sizes[2]), num_clust = static_cast<int>(sizes[3]);
  const int pi_rows = static_cast<int>(sizes[4]), pi_cols = static_cast<int>(sizes[5]);
  const int sigma_rows = static_cast<int>(sizes[6]), sigma_cols = static_cast<int>(sizes[7]);

  // Priors as a row, or as a column: the run reads the same doubles.
  const bool pi_ok = (pi_rows == 1 && pi_cols == num_clust) ||
                     (pi_cols == 1 && pi_rows == num_clust);
  if (!pi_ok || mu_rows != dim) Fail("Invalid dimensions");

  DIAGONAL_ESTIMATE = sigma_cols == num_clust ? 1 : 0;
  const bool sigma_ok = DIAGONAL_ESTIMATE
                            ? sigma_rows == dim
                            : sigma_rows == dim && sigma_rows != 0 &&
                                  sigma_cols / sigma_rows == num_clust;
  if (!sigma_ok) Fail("Invalid dimensions");

  plhs[0] = mxCreateNumericMatrix_700(1, num_data, mxDOUBLE_CLASS, mxREAL);
  double *P = mxGetPr(plhs[0]);

  cublasInit();
  GMM(X, dim, num_data, num_clust, Mu, Sigma, Pi, P);
  cublasShutdown();
  mexEvalString("clear Velmora");
}
