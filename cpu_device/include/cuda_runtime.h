// The subset of the CUDA runtime API that Velmora uses, implemented on the
// CPU. Product sources include this header by its real name; the CPU build
// puts this directory first on the include path, the CUDA build never sees it.
#pragma once

#include <cmath>
#include <cstddef>
#include <functional>
#include <tuple>
#include <utility>

#define __global__
#define __device__
#define __host__
#define __constant__
#define __forceinline__ inline
#define __launch_bounds__(...)

// Shared memory is per block. Blocks of one launch run on different worker
// threads, one block at a time per worker, so worker-local storage is
// block-local storage. AddressSanitizer does not instrument thread_local
// storage, so the sanitizer build runs a single worker with plain statics.
#ifdef CPU_DEVICE_SINGLE_WORKER
#define __shared__ static
#else
#define __shared__ static thread_local
#endif

struct uint3 {
  unsigned int x, y, z;
};

struct dim3 {
  unsigned int x, y, z;
  constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1)
      : x(vx), y(vy), z(vz) {}
  constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
  constexpr operator uint3() const { return uint3{x, y, z}; }
};

struct alignas(16) double2 {
  double x, y;
};
inline double2 make_double2(double x, double y) { return double2{x, y}; }

enum cudaError {
  cudaSuccess = 0,
  cudaErrorInvalidValue = 1,
  cudaErrorMemoryAllocation = 2,
  cudaErrorInitializationError = 3,
  cudaErrorInvalidConfiguration = 9,
  cudaErrorInvalidSymbol = 13,
  cudaErrorInvalidDevicePointer = 17,
  cudaErrorInsufficientDriver = 35,
  cudaErrorNoDevice = 100,
  cudaErrorInvalidDevice = 101,
  cudaErrorLaunchFailure = 719,
  cudaErrorUnknown = 999
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind {
  cudaMemcpyHostToHost = 0,
  cudaMemcpyHostToDevice = 1,
  cudaMemcpyDeviceToHost = 2,
  cudaMemcpyDeviceToDevice = 3,
  cudaMemcpyDefault = 4
};

typedef struct CUstream_st *cudaStream_t;
typedef struct CUevent_st *cudaEvent_t;
#define cudaStreamNonBlocking 0x01

struct cudaLaunchAttribute;
struct cudaLaunchConfig_t {
  dim3 gridDim;
  dim3 blockDim;
  size_t dynamicSmemBytes;
  cudaStream_t stream;
  cudaLaunchAttribute *attrs;
  unsigned int numAttrs;
};

// Builtins are real objects, not macros, so that `config.gridDim` and
// friends keep meaning what they mean. The scheduler sets them before it
// resumes a thread.
extern constinit thread_local uint3 threadIdx;
extern constinit thread_local uint3 blockIdx;
extern constinit thread_local dim3 blockDim;
extern constinit thread_local dim3 gridDim;

void __syncthreads();

// One warp's FP64 matrix multiply-add D = A B + C (A 8x4, B 4x8, C and D 8x8), with the
// fragments of mma.sync.aligned.m8n8k4.row.col.f64: lane 4g + t holds a = A[g][t],
// b = B[t][g], and c0, c1 = C[g][2t], C[g][2t + 1]; it gets d0, d1 = D[g][2t], D[g][2t+1].
// Each D[g][n] is C[g][n] with A[g][k] B[k][n] fused in for k = 0, 1, 2, 3 in turn, one
// rounding a step. A warp is 32 consecutive linear thread indices of the block. The
// lanes meet here, so every thread of the block must make the same calls between two
// barriers, in blocks of a whole number of warps: a block that does not fails the launch.
void cpu_device_dmma_884(double &d0, double &d1, double a, double b, double c0, double c1);

// cp.async's copy of 8 bytes from device to shared memory: *to = in ? *from : 0
// (with `in` false nothing is read). It lands when the calling thread waits for
// its copies (cpu_device_wait_copies), not before: `to` holds a NaN until then,
// so that a kernel that reads a copy before its thread waited reads what no
// result can hide. A thread that returns with copies still in flight fails the
// launch. Outside a kernel the copy lands at once.
void cpu_device_copy_async(double *to, const double *from, bool in);
void cpu_device_wait_copies();

// Atomic additions to device or shared memory, relaxed as on a GPU. In code
// compiled for the race check they reach it as atomic accesses, which do not
// race with each other.
inline int atomicAdd(int *address, int value) {
  return __atomic_fetch_add(address, value, __ATOMIC_RELAXED);
}
inline unsigned int atomicAdd(unsigned int *address, unsigned int value) {
  return __atomic_fetch_add(address, value, __ATOMIC_RELAXED);
}
inline unsigned long long atomicAdd(unsigned long long *address, unsigned long long value) {
  return __atomic_fetch_add(address, value, __ATOMIC_RELAXED);
}

cudaError_t cudaMalloc(void **devPtr, size_t size);
template <class T>
inline cudaError_t cudaMalloc(T **devPtr, size_t size) {
  return cudaMalloc(reinterpret_cast<void **>(devPtr), size);
}
cudaError_t cudaFree(void *devPtr);
// Page-locked host memory: ordinary host memory here.
cudaError_t cudaMallocHost(void **ptr, size_t size);
cudaError_t cudaFreeHost(void *ptr);
cudaError_t cudaMemcpy(void *dst, const void *src, size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemset(void *devPtr, int value, size_t count);
cudaError_t cudaMemGetInfo(size_t *free, size_t *total);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char *cudaGetErrorString(cudaError_t error);
cudaError_t cudaGetDeviceCount(int *count);
cudaError_t cudaGetDevice(int *device);

// The attributes our code asks about, with the real runtime's values.
enum cudaDeviceAttr {
  cudaDevAttrMultiProcessorCount = 16,
  cudaDevAttrComputeCapabilityMajor = 75,
  cudaDevAttrComputeCapabilityMinor = 76
};
// Device 0 alone. Compute capability 9.0: this device runs every instruction
// our kernels use, the FP64 mma included; a multiprocessor a worker thread.
cudaError_t cudaDeviceGetAttribute(int *value, cudaDeviceAttr attr, int device);

// What a kernel was compiled for: here the device's own 9.0, as PTX and as
// machine code.
struct cudaFuncAttributes {
  int ptxVersion;
  int binaryVersion;
};
cudaError_t cudaFuncGetAttributes(cudaFuncAttributes *attr, const void *func);
template <class T>
inline cudaError_t cudaFuncGetAttributes(cudaFuncAttributes *attr, T *func) {
  return cudaFuncGetAttributes(attr, reinterpret_cast<const void *>(func));
}

// Shared memory a launch may give a kernel's blocks: 48 KB as on a GPU,
// or what this attribute sets (up to the device's 227 KB); a launch past it
// fails, as it does on a GPU. (The kernels' own shared variables are
// the CPU device's, of any size.)
enum cudaFuncAttribute { cudaFuncAttributeMaxDynamicSharedMemorySize = 8 };
cudaError_t cudaFuncSetAttribute(const void *func, cudaFuncAttribute attr, int value);
template <class T>
inline cudaError_t cudaFuncSetAttribute(T *func, cudaFuncAttribute attr, int value) {
  return cudaFuncSetAttribute(reinterpret_cast<const void *>(func), attr, value);
}

// Streams and events. Every launch and copy here completes before it
// returns, so a stream is an in-order queue that is always empty; an event
// holds the time it was recorded, which is when the work before it finished.
cudaError_t cudaStreamCreate(cudaStream_t *stream);
cudaError_t cudaStreamCreateWithFlags(cudaStream_t *stream, unsigned int flags);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int flags = 0);
cudaError_t cudaEventCreate(cudaEvent_t *event);
cudaError_t cudaEventDestroy(cudaEvent_t event);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = nullptr);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventElapsedTime(float *ms, cudaEvent_t start, cudaEvent_t end);
cudaError_t cudaMemcpyAsync(void *dst, const void *src, size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream = nullptr);
cudaError_t cudaMemcpy2DAsync(void *dst, size_t dpitch, const void *src, size_t spitch,
                              size_t width, size_t height, cudaMemcpyKind kind,
                              cudaStream_t stream = nullptr);

namespace cpu_device {
// Untyped forms behind the symbol templates: a __constant__ variable is an
// ordinary global here, so a symbol is its address and size.
cudaError_t copy_to_symbol(void *symbol, size_t symbol_size, const void *src,
                           size_t count, size_t offset, cudaMemcpyKind kind);
cudaError_t symbol_address(void **devPtr, void *symbol);

using ThreadBody = std::function<void()>;
// Runs `body` once for every thread of the grid; returns the configuration
// status (nothing runs when the configuration is refused). `kernel`, the
// kernel's address, names it in the race check's reports.
cudaError_t launch(const cudaLaunchConfig_t &config, const ThreadBody &body,
                   const void *kernel = nullptr);
}  // namespace cpu_device

template <class T>
inline cudaError_t cudaMemcpyToSymbol(const T &symbol, const void *src, size_t count,
                                      size_t offset = 0,
                                      cudaMemcpyKind kind = cudaMemcpyHostToDevice) {
  return cpu_device::copy_to_symbol(const_cast<T *>(&symbol), sizeof(T), src, count,
                                    offset, kind);
}

template <class T>
inline cudaError_t cudaMemcpyToSymbolAsync(const T &symbol, const void *src, size_t count,
                                           size_t offset = 0,
                                           cudaMemcpyKind kind = cudaMemcpyHostToDevice,
                                           cudaStream_t stream = nullptr) {
  (void)stream;  // one in-order queue: every copy completes before it returns
  return cpu_device::copy_to_symbol(const_cast<T *>(&symbol), sizeof(T), src, count,
                                    offset, kind);
}

template <class T>
inline cudaError_t cudaGetSymbolAddress(void **devPtr, const T &symbol) {
  return cpu_device::symbol_address(devPtr, const_cast<T *>(&symbol));
}

// The variadic form declared by CUDA 12+'s cuda_runtime.h. The arguments are
// converted once to the kernel's parameter types; every thread then calls the
// kernel with its own copy of them, as every GPU thread gets its own.
template <typename... ExpTypes, typename... ActTypes>
inline cudaError_t cudaLaunchKernelEx(const cudaLaunchConfig_t *config,
                                      void (*kernel)(ExpTypes...), ActTypes &&...args) {
  const std::tuple<ExpTypes...> converted(std::forward<ActTypes>(args)...);
  return cpu_device::launch(
      *config,
      [kernel, &converted] {
        std::tuple<ExpTypes...> own = converted;
        std::apply(kernel, own);
      },
      reinterpret_cast<const void *>(kernel));
}
