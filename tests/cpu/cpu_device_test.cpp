// The CPU device itself: launches, barriers, warp collectives, shared
// memory, builtins, memory accounting and every fault it can inject.
#include <cpu_device/control.h>
#include <cublas.h>
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <random>
#include <utility>
#include <vector>

namespace control = cpu_device::control;

namespace {

__global__ void Record_Ids(int *out) {
  const unsigned int block = blockIdx.y * gridDim.x + blockIdx.x;
  const unsigned int threads = blockDim.x * blockDim.y;
  const unsigned int t = threadIdx.y * blockDim.x + threadIdx.x;
  out[block * threads + t] = static_cast<int>(block * 1000 + t);
}

// Reverses each block's slice through shared memory: wrong without a real
// barrier, since thread t reads what thread threads-1-t wrote.
__global__ void Reverse_Blocks(const double *in, double *out) {
  __shared__ double tile[512];
  const unsigned int t = threadIdx.y * blockDim.x + threadIdx.x;
  const unsigned int n = blockDim.x * blockDim.y;
  const unsigned int base = blockIdx.x * n;
  tile[t] = in[base + t];
  __syncthreads();
  const double mine = tile[n - 1 - t];
  __syncthreads();
  tile[t] = mine * 2.0;
  __syncthreads();
  out[base + t] = tile[n - 1 - t];
}

// Threads with odd x return before the barrier the others wait at.
__global__ void Early_Return(double *out) {
  if (threadIdx.x % 2 == 1) return;
  __syncthreads();
  out[threadIdx.x] = 1.0;
}

__global__ void Write_One(double *out) { out[0] = 42.0; }

// The order in which each block's threads ran, in its two barrier intervals:
// block b's interval i at order[(2b + i) * blockDim.x], by turns taken from
// the interval's counter.
__global__ void Record_Order(unsigned int *turns, unsigned int *order) {
  const unsigned int n = blockDim.x, b = blockIdx.x;
  order[2 * b * n + atomicAdd(&turns[2 * b], 1u)] = threadIdx.x;
  __syncthreads();
  order[(2 * b + 1) * n + atomicAdd(&turns[2 * b + 1], 1u)] = threadIdx.x;
}

// Two chained mma a warp, E = A2 B2 + (A1 B1 + C), each warp of the grid on
// matrices of its own, row-major: warp w's A and B at w * 32, its C and E at
// w * 64.
__global__ void Chained_Mma(const double *A1, const double *B1, const double *C,
                            const double *A2, const double *B2, double *E) {
  const unsigned int linear = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
  const unsigned int warps = blockDim.x * blockDim.y * blockDim.z / 32;
  const unsigned int w = blockIdx.x * warps + linear / 32, g = linear % 32 / 4, t = linear % 4;
  const unsigned int a = w * 32 + g * 4 + t, b = w * 32 + t * 8 + g, c = w * 64 + g * 8 + 2 * t;
  double d0 = 0.0, d1 = 0.0, e0 = 0.0, e1 = 0.0;
  cpu_device_dmma_884(d0, d1, A1[a], B1[b], C[c], C[c + 1]);
  cpu_device_dmma_884(e0, e1, A2[a], B2[b], d0, d1);
  E[c] = e0;
  E[c + 1] = e1;
}

// An mma that warp 1 of each block leaves out: it returns (`skip` 1) or
// waits at a barrier instead (`skip` 2); with `skip` 0 every thread makes it.
__global__ void Mma_Unless_Warp_One(int skip, double *out) {
  const unsigned int t = threadIdx.x + blockDim.x * threadIdx.y;
  if (t / 32 == 1 && skip == 1) return;
  if (t / 32 == 1 && skip == 2) {
    __syncthreads();
  } else {
    double d0 = 0.0, d1 = 0.0;
    cpu_device_dmma_884(d0, d1, 1.0, 2.0, 0.5, 0.25);
    out[blockIdx.x * blockDim.x * blockDim.y + t] = d0 + d1;
  }
}

cudaLaunchConfig_t Config(dim3 grid, dim3 block) {
  cudaLaunchConfig_t config = {};
  config.gridDim = grid;
  config.blockDim = block;
  return config;
}

class CpuDeviceTest : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    control::reset();
    control::set_workers(GetParam());
  }
  void TearDown() override {
    control::reset();
    EXPECT_EQ(control::live_allocations(), 0u);
  }
};

}  // namespace

TEST_P(CpuDeviceTest, EveryThreadOfEveryBlockRunsOnceWithItsOwnIndices) {
  const dim3 grid(3, 2), block(32, 16);
  const int total = 6 * 512;
  int *d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, total * sizeof(int)), cudaSuccess);
  std::vector<int> h(total, -1);
  cudaMemcpy(d, h.data(), total * sizeof(int), cudaMemcpyHostToDevice);
  const cudaLaunchConfig_t config = Config(grid, block);
  ASSERT_EQ(cudaLaunchKernelEx(&config, Record_Ids, d), cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  cudaMemcpy(h.data(), d, total * sizeof(int), cudaMemcpyDeviceToHost);
  for (int i = 0; i < total; ++i) ASSERT_EQ(h[i], (i / 512) * 1000 + i % 512) << "index " << i;
  cudaFree(d);
}

// A worker thread the system cannot start (no room left for its stack)
// leaves the pool smaller, and a launch runs on the rest; it used to end
// the process that called the module.
TEST(CpuDeviceWorkers, AThreadThatCannotStartLeavesThePoolSmaller) {
  control::reset();
  control::set_workers(1);
  control::fail_thread_start(2);
  control::set_workers(4);
#ifndef CPU_DEVICE_SINGLE_WORKER
  EXPECT_EQ(control::workers(), 2);  // the caller and the one thread started
#endif
  const int total = 6 * 512;
  int *d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, total * sizeof(int)), cudaSuccess);
  const cudaLaunchConfig_t config = Config(dim3(3, 2), dim3(32, 16));
  ASSERT_EQ(cudaLaunchKernelEx(&config, Record_Ids, d), cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  std::vector<int> h(total, -1);
  cudaMemcpy(h.data(), d, total * sizeof(int), cudaMemcpyDeviceToHost);
  for (int i = 0; i < total; ++i) ASSERT_EQ(h[i], (i / 512) * 1000 + i % 512) << "index " << i;
  cudaFree(d);
  control::reset();
}

TEST_P(CpuDeviceTest, BarriersAndSharedMemoryArePerBlock) {
  const int blocks = 40, n = 512 * blocks;
  std::vector<double> in(n), out(n);
  for (int i = 0; i < n; ++i) in[i] = i;
  double *d_in = nullptr, *d_out = nullptr;
  cudaMalloc(&d_in, n * sizeof(double));
  cudaMalloc(&d_out, n * sizeof(double));
  cudaMemcpy(d_in, in.data(), n * sizeof(double), cudaMemcpyHostToDevice);
  const cudaLaunchConfig_t config = Config(dim3(blocks), dim3(32, 16));
  ASSERT_EQ(cudaLaunchKernelEx(&config, Reverse_Blocks, d_in, d_out), cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  cudaMemcpy(out.data(), d_out, n * sizeof(double), cudaMemcpyDeviceToHost);
  // Reversed twice within the block: each element comes back doubled.
  for (int i = 0; i < n; ++i) ASSERT_EQ(out[i], 2.0 * i) << "index " << i;
  cudaFree(d_in);
  cudaFree(d_out);
}

TEST_P(CpuDeviceTest, ThreadsLeavingBeforeABarrierAreAKernelFault) {
  double *d = nullptr;
  cudaMalloc(&d, 64 * sizeof(double));
  const cudaLaunchConfig_t config = Config(dim3(4), dim3(64));
  EXPECT_EQ(cudaLaunchKernelEx(&config, Early_Return, d), cudaSuccess);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
  // Reported once; the device is usable again.
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  cudaFree(d);
}

// The orders an mma's D could be summed in, the first one the device's.
enum class Mma_Order { k_fused, k_fused_backwards, products_then_c };

// D = A B + C for each warp's 8x4 A, 4x8 B and 8x8 C, row-major.
std::vector<double> Mma_Reference(const std::vector<double> &A, const std::vector<double> &B,
                                  const std::vector<double> &C, Mma_Order order) {
  std::vector<double> D(C.size());
  for (size_t w = 0; w < C.size() / 64; ++w) {
    for (int g = 0; g < 8; ++g) {
      for (int n = 0; n < 8; ++n) {
        const double *a = &A[w * 32 + g * 4], *b = &B[w * 32 + n];  // B[k][n] is b[8k]
        double d = C[w * 64 + g * 8 + n];
        if (order == Mma_Order::k_fused) {
          for (int k = 0; k < 4; ++k) d = std::fma(a[k], b[8 * k], d);
        } else if (order == Mma_Order::k_fused_backwards) {
          for (int k = 3; k >= 0; --k) d = std::fma(a[k], b[8 * k], d);
        } else {
          double p = 0.0;
          for (int k = 0; k < 4; ++k) p += a[k] * b[8 * k];
          d = p + d;
        }
        D[w * 64 + g * 8 + n] = d;
      }
    }
  }
  return D;
}

std::vector<std::uint64_t> Bits(const std::vector<double> &v) {
  std::vector<std::uint64_t> bits(v.size());
  std::transform(v.begin(), v.end(), bits.begin(), [](double x) { return std::bit_cast<std::uint64_t>(x); });
  return bits;
}

// Values near 1e16 and near 1 of either sign, with full mantissas: products
// of both sizes cancel against each other and against C, so that every
// rounding left out or moved shows in the last bits.
std::vector<double> Cancelling(size_t n, std::mt19937_64 &random) {
  std::uniform_real_distribution<double> unit(1.0, 2.0);
  std::vector<double> v(n);
  for (double &x : v) {
    const std::uint64_t r = random();
    x = ((r & 1) != 0 ? -1.0 : 1.0) * ((r & 2) != 0 ? 1e16 : 1.0) * unit(random);
  }
  return v;
}

// Blocks of 16x2x3 threads: each warp spans rows of threadIdx, in the order
// of the linear index.
TEST_P(CpuDeviceTest, ChainedMmaFuseInKOrderBitForBitInEveryThreadOrder) {
  const int blocks = 4, warps = blocks * 3;
  std::mt19937_64 random(884);
  const std::vector<double> A1 = Cancelling(warps * 32, random), B1 = Cancelling(warps * 32, random),
                            C = Cancelling(warps * 64, random), A2 = Cancelling(warps * 32, random),
                            B2 = Cancelling(warps * 32, random);
  const std::vector<double> want =
      Mma_Reference(A2, B2, Mma_Reference(A1, B1, C, Mma_Order::k_fused), Mma_Order::k_fused);
  // The data tell the device's order from the others.
  for (const Mma_Order other : {Mma_Order::k_fused_backwards, Mma_Order::products_then_c}) {
    EXPECT_NE(Bits(Mma_Reference(A2, B2, Mma_Reference(A1, B1, C, other), other)), Bits(want));
    EXPECT_NE(Bits(Mma_Reference(A1, B1, C, other)), Bits(Mma_Reference(A1, B1, C, Mma_Order::k_fused)));
  }

  double *d_A1 = nullptr, *d_B1 = nullptr, *d_C = nullptr, *d_A2 = nullptr, *d_B2 = nullptr,
         *d_E = nullptr;
  const std::pair<double **, const std::vector<double> *> inputs[] = {
      {&d_A1, &A1}, {&d_B1, &B1}, {&d_C, &C}, {&d_A2, &A2}, {&d_B2, &B2}};
  for (const auto &[d, h] : inputs) {
    ASSERT_EQ(cudaMalloc(d, h->size() * sizeof(double)), cudaSuccess);
    cudaMemcpy(*d, h->data(), h->size() * sizeof(double), cudaMemcpyHostToDevice);
  }
  ASSERT_EQ(cudaMalloc(&d_E, C.size() * sizeof(double)), cudaSuccess);
  const cudaLaunchConfig_t config = Config(dim3(blocks), dim3(16, 2, 3));
  using control::Thread_Order;
  for (const auto [order, seed] : {std::pair{Thread_Order::forward, 0}, {Thread_Order::reversed, 0},
                                   {Thread_Order::shuffled, 1}, {Thread_Order::shuffled, 2}}) {
    control::set_thread_order(order, seed);
    cudaMemset(d_E, 0, C.size() * sizeof(double));
    ASSERT_EQ(cudaLaunchKernelEx(&config, Chained_Mma, d_A1, d_B1, d_C, d_A2, d_B2, d_E), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    std::vector<double> got(C.size());
    cudaMemcpy(got.data(), d_E, got.size() * sizeof(double), cudaMemcpyDeviceToHost);
    EXPECT_EQ(Bits(got), Bits(want)) << "order " << static_cast<int>(order) << ", seed " << seed;
  }
  for (double *d : {d_A1, d_B1, d_C, d_A2, d_B2, d_E}) cudaFree(d);
}

// A GPU would leave the missing lanes' operands undefined: the launch fails
// before any thread takes a result, and the next launch runs.
TEST_P(CpuDeviceTest, AnMmaNotMadeByTheWholeBlockIsAKernelFault) {
  double *d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, 2 * 64 * sizeof(double)), cudaSuccess);
  const struct {
    dim3 block;
    int skip;
    const char *what;
  } broken[] = {{dim3(64), 1, "warp 1 returns"},
                {dim3(64), 2, "warp 1 waits at a barrier"},
                {dim3(16, 3), 0, "a block of 48 threads"}};
  std::vector<double> h(2 * 64, -1.0);
  for (const auto &b : broken) {
    cudaMemset(d, 0, h.size() * sizeof(double));
    const cudaLaunchConfig_t config = Config(dim3(2), b.block);
    EXPECT_EQ(cudaLaunchKernelEx(&config, Mma_Unless_Warp_One, b.skip, d), cudaSuccess) << b.what;
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure) << b.what;
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure) << b.what;
    cudaMemcpy(h.data(), d, h.size() * sizeof(double), cudaMemcpyDeviceToHost);
    EXPECT_EQ(h, std::vector<double>(h.size(), 0.0)) << b.what << ": no thread went past the mma";
  }
  const cudaLaunchConfig_t config = Config(dim3(2), dim3(64));
  EXPECT_EQ(cudaLaunchKernelEx(&config, Mma_Unless_Warp_One, 0, d), cudaSuccess);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  cudaMemcpy(h.data(), d, h.size() * sizeof(double), cudaMemcpyDeviceToHost);
  // 0.5 + 4 * (1 * 2) and 0.25 + 4 * (1 * 2).
  EXPECT_EQ(h, std::vector<double>(h.size(), 8.5 + 8.25));
  cudaFree(d);
}

INSTANTIATE_TEST_SUITE_P(Workers, CpuDeviceTest, testing::Values(1, 3));

TEST(CpuDeviceDeathTest, AnMmaOutsideAKernelIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  double d0 = 0.0, d1 = 0.0;
  EXPECT_DEATH(cpu_device_dmma_884(d0, d1, 1.0, 1.0, 0.0, 0.0),
               "cpu_device: cpu_device_dmma_884 outside a kernel: the 32 lanes of a warp compute "
               "it together");
}

TEST(CpuDeviceAttributes, ComputeCapabilityNineAndAMultiprocessorAWorker) {
  control::reset();
  control::set_workers(3);  // the sanitizer build keeps its single worker
  int device = -1, major = -1, minor = -1, processors = -1;
  ASSERT_EQ(cudaGetDevice(&device), cudaSuccess);
  EXPECT_EQ(device, 0);
  EXPECT_EQ(cudaDeviceGetAttribute(&major, cudaDevAttrComputeCapabilityMajor, device), cudaSuccess);
  EXPECT_EQ(cudaDeviceGetAttribute(&minor, cudaDevAttrComputeCapabilityMinor, device), cudaSuccess);
  EXPECT_EQ(cudaDeviceGetAttribute(&processors, cudaDevAttrMultiProcessorCount, device),
            cudaSuccess);
  EXPECT_EQ(major, 9);
  EXPECT_EQ(minor, 0);
  EXPECT_EQ(processors, control::workers());
  // cudaDevAttrMaxThreadsPerBlock: a real attribute this device does not answer.
  int value = -1;
  EXPECT_EQ(cudaDeviceGetAttribute(&value, static_cast<cudaDeviceAttr>(1), 0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(cudaDeviceGetAttribute(&value, cudaDevAttrComputeCapabilityMajor, 1),
            cudaErrorInvalidDevice);
  EXPECT_EQ(value, -1);
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
  control::reset();
}

struct RefusedLaunch {
  dim3 grid, block;
};

inline std::ostream &operator<<(std::ostream &os, const RefusedLaunch &l) {
  return os << "grid " << l.grid.x << "x" << l.grid.y << " block " << l.block.x << "x"
            << l.block.y << "x" << l.block.z;
}

class RefusedLaunchTest : public testing::TestWithParam<RefusedLaunch> {};

TEST_P(RefusedLaunchTest, IsRefusedAndRunsNothing) {
  control::reset();
  double h = 0.0, *d = nullptr;
  cudaMalloc(&d, sizeof(double));
  cudaMemcpy(d, &h, sizeof(double), cudaMemcpyHostToDevice);
  const cudaLaunchConfig_t config = Config(GetParam().grid, GetParam().block);
  EXPECT_EQ(cudaLaunchKernelEx(&config, Write_One, d), cudaErrorInvalidConfiguration);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  cudaMemcpy(&h, d, sizeof(double), cudaMemcpyDeviceToHost);
  EXPECT_EQ(h, 0.0);
  cudaFree(d);
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, RefusedLaunchTest,
    testing::Values(RefusedLaunch{dim3(0, 1), dim3(32)}, RefusedLaunch{dim3(1, 0), dim3(32)},
                    RefusedLaunch{dim3(1, 65536), dim3(32)}, RefusedLaunch{dim3(1), dim3(0)},
                    RefusedLaunch{dim3(1), dim3(1025)}, RefusedLaunch{dim3(1), dim3(64, 17)},
                    RefusedLaunch{dim3(1), dim3(1, 1, 65)}));

TEST(CpuDeviceLimits, LargestGridRowAndBlockAreAccepted) {
  control::reset();
  double *d = nullptr;
  cudaMalloc(&d, sizeof(double));
  const cudaLaunchConfig_t config = Config(dim3(1, 65535), dim3(1024));
  EXPECT_EQ(cudaLaunchKernelEx(&config, Write_One, d), cudaSuccess);
  cudaFree(d);
}

// Its own kernel: the attribute stays with a kernel for the process.
__global__ void Write_Roomy(double *out) { out[0] = 7.0; }

// A launch may give its blocks 48 KB of shared memory, or what the
// kernel's attribute sets (up to 227 KB), as on a GPU: a launcher that
// forgets the attribute fails here too, not only on a GPU. A refused launch
// runs nothing, and the attribute is the kernel's own.
TEST(CpuDeviceLimits, SharedMemoryPast48KBNeedsTheKernelsAttribute) {
  control::reset();
  double *d = nullptr;
  cudaMalloc(&d, sizeof(double));
  const auto launch = [&](auto kernel, size_t room) {
    const double zero = 0.0;
    cudaMemcpy(d, &zero, sizeof(double), cudaMemcpyHostToDevice);
    cudaLaunchConfig_t config = Config(dim3(1), dim3(32));
    config.dynamicSmemBytes = room;
    const cudaError_t e = cudaLaunchKernelEx(&config, kernel, d);
    double h = -1.0;
    cudaMemcpy(&h, d, sizeof(double), cudaMemcpyDeviceToHost);
    return std::make_pair(e, h);
  };
  EXPECT_EQ(launch(Write_Roomy, 48 * 1024), std::make_pair(cudaSuccess, 7.0));
  EXPECT_EQ(launch(Write_Roomy, 48 * 1024 + 8), std::make_pair(cudaErrorInvalidValue, 0.0));
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFuncSetAttribute(Write_Roomy, cudaFuncAttributeMaxDynamicSharedMemorySize, 227 * 1024 + 8),
            cudaErrorInvalidValue);
  ASSERT_EQ(cudaFuncSetAttribute(Write_Roomy, cudaFuncAttributeMaxDynamicSharedMemorySize, 100000),
            cudaSuccess);
  EXPECT_EQ(launch(Write_Roomy, 100000), std::make_pair(cudaSuccess, 7.0));
  EXPECT_EQ(launch(Write_Roomy, 100008), std::make_pair(cudaErrorInvalidValue, 0.0));
  EXPECT_EQ(launch(Write_One, 100000), std::make_pair(cudaErrorInvalidValue, 0.0));
  cudaGetLastError();
  cudaFree(d);
  control::reset();
}

// cp.async's copies to shared memory land when their thread waits, not
// before, and not at a barrier: until then the destination holds a NaN, so
// that a kernel that reads a copy before its wait fails its tests here as
// it would misread on a GPU. After the copier's wait and a barrier, another
// thread sees it; an entry out of range lands as 0 and reads nothing (40
// doubles allocated, no read past them under the sanitizers). In either
// order of the threads.
__global__ void Copy_Then_Wait(const double *from, double *before, double *unwaited, double *after) {
  __shared__ double staged[64];
  const unsigned int t = threadIdx.x, next = (t + 1) % 64;
  cpu_device_copy_async(&staged[t], from + t, t < 40);
  before[t] = staged[t];
  __syncthreads();
  unwaited[t] = staged[next];  // its copier passed a barrier, not its wait
  __syncthreads();
  cpu_device_wait_copies();
  __syncthreads();
  after[t] = staged[next];
}

TEST(CpuDeviceCopies, ACopyToSharedMemoryLandsWhenItsThreadWaits) {
  std::vector<double> from(40);
  for (size_t i = 0; i < from.size(); ++i) from[i] = 1.5 + static_cast<double>(i);
  double *d_from = nullptr, *d_out = nullptr;
  ASSERT_EQ(cudaMalloc(&d_from, 40 * sizeof(double)), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&d_out, 192 * sizeof(double)), cudaSuccess);
  cudaMemcpy(d_from, from.data(), 40 * sizeof(double), cudaMemcpyHostToDevice);
  for (const auto order : {control::Thread_Order::forward, control::Thread_Order::reversed}) {
    control::reset();
    control::set_thread_order(order, 1);
    const cudaLaunchConfig_t config = Config(dim3(1), dim3(64));
    ASSERT_EQ(cudaLaunchKernelEx(&config, Copy_Then_Wait, static_cast<const double *>(d_from), d_out,
                                 d_out + 64, d_out + 128),
              cudaSuccess);
    std::vector<double> out(192);
    cudaMemcpy(out.data(), d_out, 192 * sizeof(double), cudaMemcpyDeviceToHost);
    for (int t = 0; t < 64; ++t) {
      EXPECT_TRUE(std::isnan(out[t])) << "thread " << t << " read its copy before waiting";
      EXPECT_TRUE(std::isnan(out[64 + t])) << "thread " << t << " read a copy that a barrier landed";
      const int next = (t + 1) % 64;
      EXPECT_EQ(out[128 + t], next < 40 ? from[next] : 0.0) << "thread " << t;
    }
  }
  cudaFree(d_from);
  cudaFree(d_out);
  control::reset();
}

// A block that ends frees its shared memory, which on a GPU a copy still in
// flight would write into another block's: a thread that returns without
// waiting for its copies fails the launch, even where, as in thread 0 here,
// nothing reads them. Waited for, the same copies pass.
__global__ void Copy_Then_Return(const double *from, double *out, bool wait) {
  __shared__ double staged[32];
  const unsigned int t = threadIdx.x;
  cpu_device_copy_async(&staged[t], from + t, true);
  if (wait || t != 0) cpu_device_wait_copies();
  __syncthreads();
  if (t != 0) out[t] = staged[t];
}

TEST(CpuDeviceCopies, AThreadThatReturnsWithCopiesInFlightFailsTheLaunch) {
  double *d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, 64 * sizeof(double)), cudaSuccess);
  cudaMemset(d, 0, 64 * sizeof(double));
  const cudaLaunchConfig_t config = Config(dim3(2), dim3(32));
  for (const bool wait : {true, false, true}) {  // the failed launch does not spoil the next
    EXPECT_EQ(cudaLaunchKernelEx(&config, Copy_Then_Return, static_cast<const double *>(d), d + 32, wait),
              cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), wait ? cudaSuccess : cudaErrorLaunchFailure) << "wait " << wait;
    EXPECT_EQ(cudaGetLastError(), wait ? cudaSuccess : cudaErrorLaunchFailure) << "wait " << wait;
  }
  cudaFree(d);
  control::reset();
}

// Octave's parallel workers are forks of a session that may have used the
// device: a child has none of the pool's threads and must not wait for them.
TEST(CpuDeviceDeathTest, AForkedChildLaunchesOnAPoolOfItsOwn) {
  GTEST_FLAG_SET(death_test_style, "fast");  // a plain fork, as Octave's workers are
  control::set_workers(3);  // the sanitizer build keeps its single worker
  const int workers = control::workers();
  double *d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, 64 * sizeof(double)), cudaSuccess);
  const cudaLaunchConfig_t config = Config(dim3(64), dim3(1));
  ASSERT_EQ(cudaLaunchKernelEx(&config, Write_One, d), cudaSuccess);  // the parent's pool works
  EXPECT_EXIT(
      {
        alarm(20);  // a child waiting for threads it does not have fails, not hangs
        const bool ok = cudaLaunchKernelEx(&config, Write_One, d) == cudaSuccess &&
                        cudaDeviceSynchronize() == cudaSuccess;
        std::exit(ok && control::workers() == workers ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  cudaFree(d);
  control::reset();
}

TEST(CpuDeviceMemory, AllocationsAreCountedAndLimitedByFreeMemory) {
  control::reset();
  control::set_memory(1000, 5000);
  size_t free = 0, total = 0;
  ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
  EXPECT_EQ(free, 1000u);
  EXPECT_EQ(total, 5000u);
  void *a = nullptr, *b = nullptr;
  ASSERT_EQ(cudaMalloc(&a, 600), cudaSuccess);
  EXPECT_EQ(control::live_allocations(), 1u);
  EXPECT_EQ(control::live_bytes(), 600u);
  cudaMemGetInfo(&free, &total);
  EXPECT_EQ(free, 400u);
  EXPECT_EQ(cudaMalloc(&b, 401), cudaErrorMemoryAllocation);
  EXPECT_EQ(b, nullptr);
  ASSERT_EQ(cudaMalloc(&b, 400), cudaSuccess);
  EXPECT_EQ(cudaFree(a), cudaSuccess);
  EXPECT_EQ(cudaFree(b), cudaSuccess);
  EXPECT_EQ(control::live_allocations(), 0u);
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
  int not_device = 0;
  EXPECT_EQ(cudaFree(&not_device), cudaErrorInvalidDevicePointer);
  control::reset();
}

TEST(CpuDeviceFaults, InjectedFailuresHitTheArmedCallOnly) {
  control::reset();
  void *a = nullptr, *b = nullptr;
  control::fail_malloc(2);
  EXPECT_EQ(cudaMalloc(&a, 8), cudaSuccess);
  EXPECT_EQ(cudaMalloc(&b, 8), cudaErrorMemoryAllocation);
  EXPECT_EQ(cudaMalloc(&b, 8), cudaSuccess);

  size_t free = 0, total = 0;
  control::fail_mem_info();
  EXPECT_NE(cudaMemGetInfo(&free, &total), cudaSuccess);
  EXPECT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);

  double h = 1.0;
  control::fail_memcpy(1, cudaMemcpyDeviceToHost);
  EXPECT_EQ(cudaMemcpy(a, &h, 8, cudaMemcpyHostToDevice), cudaSuccess);  // other direction
  h = 2.0;
  EXPECT_NE(cudaMemcpy(&h, a, 8, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(h, 2.0);  // a failed copy copies nothing
  EXPECT_EQ(cudaMemcpy(&h, a, 8, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(h, 1.0);

  control::fail_next_sync(cudaErrorLaunchFailure);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  cudaFree(a);
  cudaFree(b);
  control::reset();
}

namespace {
__constant__ int ProbeC;
__constant__ double ScalarC;
}  // namespace

TEST(CpuDeviceSymbols, CopiesAreBoundedByTheSymbolAndCanBeFailed) {
  control::reset();
  const int v = 7;
  EXPECT_EQ(cudaMemcpyToSymbol(ProbeC, &v, sizeof v), cudaSuccess);
  EXPECT_EQ(ProbeC, 7);
  const double p = 2.5;
  EXPECT_EQ(cudaMemcpyToSymbolAsync(ScalarC, &p, sizeof p, 0, cudaMemcpyHostToDevice, 0),
            cudaSuccess);
  EXPECT_EQ(ScalarC, 2.5);
  EXPECT_NE(cudaMemcpyToSymbol(ProbeC, &p, sizeof p), cudaSuccess);      // 8 > 4 bytes
  EXPECT_NE(cudaMemcpyToSymbol(ProbeC, &v, sizeof v, 1), cudaSuccess);   // offset
  control::fail_symbol_copy(2);
  const int w = 9;
  EXPECT_EQ(cudaMemcpyToSymbol(ProbeC, &w, sizeof w), cudaSuccess);
  EXPECT_NE(cudaMemcpyToSymbol(ProbeC, &v, sizeof v), cudaSuccess);
  EXPECT_EQ(ProbeC, 9);
  void *address = nullptr;
  EXPECT_EQ(cudaGetSymbolAddress(&address, ProbeC), cudaSuccess);
  EXPECT_EQ(address, static_cast<void *>(&ProbeC));
  control::fail_symbol_address();
  EXPECT_NE(cudaGetSymbolAddress(&address, ProbeC), cudaSuccess);
  control::reset();
}

TEST(CpuDeviceCublas, ComputesAndReportsLikeTheLegacyApi) {
  control::reset();
  double A[4] = {1, 2, 3, 4}, B[2] = {1, 1}, C[2] = {0, 0}, y[2] = {1, 1};
  cublasDaxpy(2, 1.0, B, 1, y, 1);
  EXPECT_EQ(cublasGetError(), CUBLAS_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(y[0], 1.0);
  ASSERT_EQ(cublasInit(), CUBLAS_STATUS_SUCCESS);
  cublasDgemm('N', 'N', 2, 1, 2, 1.0, A, 2, B, 2, 0.0, C, 2);
  EXPECT_EQ(cublasGetError(), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(C[0], 4.0);
  EXPECT_EQ(C[1], 6.0);
  cublasDgemm('N', 'N', 2, 1, 2, 1.0, A, 1, B, 2, 0.0, C, 2);  // lda < m
  EXPECT_EQ(cublasGetError(), CUBLAS_STATUS_INVALID_VALUE);
  control::fail_cublas(1, CUBLAS_STATUS_EXECUTION_FAILED);
  cublasDaxpy(2, 2.0, B, 1, y, 1);
  EXPECT_EQ(y[0], 1.0);  // a failed call computes nothing
  EXPECT_EQ(cublasGetError(), CUBLAS_STATUS_EXECUTION_FAILED);
  EXPECT_EQ(cublasGetError(), CUBLAS_STATUS_SUCCESS);
  cublasDaxpy(2, 2.0, B, 1, y, 1);
  EXPECT_EQ(y[1], 3.0);
  EXPECT_EQ(cublasShutdown(), CUBLAS_STATUS_SUCCESS);
  control::reset();
}

// Runs Record_Order over 3 blocks of 64 threads: each block's two orders.
std::vector<unsigned int> Run_Orders() {
  const int blocks = 3, n = 64;
  unsigned int *turns = nullptr, *order = nullptr;
  cudaMalloc(&turns, 2 * blocks * sizeof(unsigned int));
  cudaMalloc(&order, 2 * blocks * n * sizeof(unsigned int));
  cudaMemset(turns, 0, 2 * blocks * sizeof(unsigned int));
  const cudaLaunchConfig_t config = Config(dim3(blocks), dim3(n));
  EXPECT_EQ(cudaLaunchKernelEx(&config, Record_Order, turns, order), cudaSuccess);
  std::vector<unsigned int> h(2 * blocks * n);
  cudaMemcpy(h.data(), order, h.size() * sizeof(unsigned int), cudaMemcpyDeviceToHost);
  cudaFree(turns);
  cudaFree(order);
  return h;
}

std::vector<unsigned int> Interval(const std::vector<unsigned int> &orders, int i) {
  return std::vector<unsigned int>(orders.begin() + i * 64, orders.begin() + (i + 1) * 64);
}

TEST(CpuDeviceThreadOrder, ForwardReversedAndShuffledBySeed) {
  control::reset();
  control::set_workers(2);
  std::vector<unsigned int> forward(64), reversed(64);
  for (unsigned int t = 0; t < 64; ++t) forward[t] = t, reversed[t] = 63 - t;
  const std::vector<unsigned int> by_index = Run_Orders();
  control::set_thread_order(control::Thread_Order::reversed);
  const std::vector<unsigned int> backwards = Run_Orders();
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(Interval(by_index, i), forward) << "interval " << i % 2 << " of block " << i / 2;
    EXPECT_EQ(Interval(backwards, i), reversed) << "interval " << i % 2 << " of block " << i / 2;
  }

  control::set_thread_order(control::Thread_Order::shuffled, 7);
  const std::vector<unsigned int> shuffled = Run_Orders();
  for (int i = 0; i < 6; ++i) {
    std::vector<unsigned int> sorted = Interval(shuffled, i);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, forward) << "every thread once, in interval " << i % 2 << " of block " << i / 2;
    EXPECT_NE(Interval(shuffled, i), forward);
    EXPECT_NE(Interval(shuffled, i), reversed);
    // Drawn afresh for each block and interval.
    if (i > 0) EXPECT_NE(Interval(shuffled, i), Interval(shuffled, i - 1)) << i;
  }
  // The seed alone decides, whichever worker runs which block.
  control::set_workers(1);
  EXPECT_EQ(Run_Orders(), shuffled);
  control::set_thread_order(control::Thread_Order::shuffled, 8);
  EXPECT_NE(Run_Orders(), shuffled);
  control::reset();
}

TEST(CpuDeviceThreadOrderDeathTest, TheEnvironmentChoosesTheOrderAndABadOneIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("CPU_DEVICE_THREAD_ORDER", "reversed", 1);
        control::reset();
        const std::vector<unsigned int> orders = Run_Orders();
        std::exit(orders[0] == 63 && orders[63] == 0 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_DEATH(
      {
        setenv("CPU_DEVICE_THREAD_ORDER", "shuffled:x", 1);
        control::reset();
      },
      "cpu_device: CPU_DEVICE_THREAD_ORDER=shuffled:x: expected forward, reversed or "
      "shuffled:SEED");
  // This program's kernels are not compiled for the race check.
  EXPECT_DEATH(
      {
        setenv("CPU_DEVICE_RACE_CHECK", "1", 1);
        control::reset();
        Run_Orders();
      },
      "cpu_device: CPU_DEVICE_RACE_CHECK=1, but no code of this program was compiled for the "
      "race check");
  EXPECT_FALSE(control::set_race_check(true));
  EXPECT_TRUE(control::set_race_check(false));
}
