// The race check on planted races, one of each kind, and on the accesses
// that are not races. This file is compiled for the check (it is part of
// velmora_tests_race alone): its kernels' accesses are recorded.
#include <cpu_device/control.h>
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace control = cpu_device::control;

namespace {

// Two threads of a row write the one word: the second write wins on the
// CPU device, any of them on a GPU. Only blocks from `first` on race.
__global__ void Write_Write(int first, int *out) {
  __shared__ int winner;
  const int t = static_cast<int>(threadIdx.y * blockDim.x + threadIdx.x);
  if (t == 0) winner = -1;
  __syncthreads();
  if (static_cast<int>(blockIdx.x) >= first && threadIdx.y == 1) winner = t;
  __syncthreads();
  out[blockIdx.x * blockDim.x * blockDim.y + t] = winner;
}

// Shifts a tile left in place: thread t reads t + 1's element, which t + 1
// overwrites in the same interval.
__global__ void Shift_In_Place(const double *in, double *out) {
  __shared__ double tile[64];
  const unsigned int t = threadIdx.x, n = blockDim.x;
  tile[t] = in[t];
  __syncthreads();
  const double next = t + 1 < n ? tile[t + 1] : 0.0;
  tile[t] = next;
  __syncthreads();
  out[blockIdx.x * n + t] = tile[t];
}

// A tree sum whose steps need a barrier between them; `synced` says whether
// they get it (uniform across the block).
__global__ void Tree_Sum(const double *in, double *out, bool synced) {
  __shared__ double s[64];
  const unsigned int t = threadIdx.x;
  s[t] = in[t];
  __syncthreads();
  for (unsigned int stride = blockDim.x / 2; stride > 0; stride /= 2) {
    if (t < stride) s[t] += s[t + stride];
    if (synced) __syncthreads();
  }
  if (t == 0) out[blockIdx.x] = s[0];
}

// What is not a race: atomic additions to one counter, a thread rewriting its
// own element, everyone reading one element, and elements of other threads
// read after a barrier.
__global__ void Not_Races(double *out) {
  __shared__ unsigned int count;
  __shared__ double tile[64];
  const unsigned int t = threadIdx.x;
  if (t == 0) count = 0;
  __syncthreads();
  atomicAdd(&count, 1u);
  tile[t] = t;
  tile[t] += 1.0;
  __syncthreads();
  out[blockIdx.x * blockDim.x + t] = count + tile[0] + tile[blockDim.x - 1 - t];
}

// Thread t reads t + 1's element after an mma: the mma makes every thread
// wait for the others, but it orders no shared memory, so only `synced`
// (a barrier after it) keeps this from being a race.
__global__ void Mma_Then_Read(bool synced, double *out) {
  __shared__ double tile[64];
  const unsigned int t = threadIdx.x, n = blockDim.x;
  tile[t] = t;
  double d0 = 0.0, d1 = 0.0;
  cpu_device_dmma_884(d0, d1, 1.0, 1.0, 0.0, 0.0);
  if (synced) __syncthreads();
  out[blockIdx.x * n + t] = tile[(t + 1) % n] + d0 + d1;
}

// The mma's results go straight to shared memory, where the next thread
// reads them with no barrier.
__global__ void Mma_Into_Shared(double *out) {
  __shared__ double d[64][2];
  const unsigned int t = threadIdx.x;
  cpu_device_dmma_884(d[t][0], d[t][1], 1.0, 1.0, 0.0, 0.0);
  out[t] = d[(t + 1) % blockDim.x][0];
}

cudaLaunchConfig_t Config(dim3 grid, dim3 block) {
  cudaLaunchConfig_t config = {};
  config.gridDim = grid;
  config.blockDim = block;
  return config;
}

template <class T>
struct Device_Array {
  explicit Device_Array(size_t n, T fill = T{}) : Device_Array(std::vector<T>(n, fill)) {}
  explicit Device_Array(std::vector<T> values) : host(std::move(values)) {
    cudaMalloc(&device, host.size() * sizeof(T));
    cudaMemcpy(device, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice);
  }
  ~Device_Array() { cudaFree(device); }
  const std::vector<T> &fetch() {
    cudaMemcpy(host.data(), device, host.size() * sizeof(T), cudaMemcpyDeviceToHost);
    return host;
  }
  std::vector<T> host;
  T *device = nullptr;
};

// Each planted race under the forward and the reversed order: the same race,
// with its threads met the other way round.
class RaceCheckTest : public testing::TestWithParam<control::Thread_Order> {
 protected:
  void SetUp() override {
    control::reset();
    ASSERT_TRUE(control::set_race_check(true));
    control::set_thread_order(GetParam());
    control::take_race_reports();
  }
  void TearDown() override { control::reset(); }

  bool forward() const { return GetParam() == control::Thread_Order::forward; }

  // Runs `kernel` and returns the one report it must make.
  template <class... Args>
  std::string Report_Of(dim3 grid, dim3 block, void (*kernel)(Args...), Args... args) {
    const cudaLaunchConfig_t config = Config(grid, block);
    EXPECT_EQ(cudaLaunchKernelEx(&config, kernel, args...), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const std::vector<std::string> reports = control::take_race_reports();
    EXPECT_EQ(reports.size(), 1u);
    return reports.empty() ? std::string() : reports[0];
  }
};

std::string Order_Name(const testing::TestParamInfo<control::Thread_Order> &info) {
  return info.param == control::Thread_Order::forward ? "forward" : "reversed";
}

}  // namespace

// Blocks 2 and 3 race and run on different workers: the lower one is named.
TEST_P(RaceCheckTest, WriteWriteNamesTheKernelTheLowestRacingBlockAndBothWriters) {
  control::set_workers(2);
  Device_Array<int> out(4 * 32);
  EXPECT_EQ(Report_Of(dim3(4), dim3(8, 4), Write_Write, 2, out.device),
            forward() ? "race in kernel Write_Write, block (2,0,0): thread (0,1,0) wrote and "
                        "thread (1,1,0) wrote byte 0 of winner with no barrier between them "
                        "(after 1 barrier)"
                      : "race in kernel Write_Write, block (2,0,0): thread (7,1,0) wrote and "
                        "thread (6,1,0) wrote byte 0 of winner with no barrier between them "
                        "(after 1 barrier)");
}

TEST_P(RaceCheckTest, ReadThenOverwriteByAnotherThreadIsARace) {
  Device_Array<double> in(64, 1.0), out(64);
  EXPECT_EQ(Report_Of(dim3(1), dim3(64), Shift_In_Place, static_cast<const double *>(in.device),
                      out.device),
            forward() ? "race in kernel Shift_In_Place, block (0,0,0): thread (0,0,0) read and "
                        "thread (1,0,0) wrote byte 8 of tile with no barrier between them "
                        "(after 1 barrier)"
                      : "race in kernel Shift_In_Place, block (0,0,0): thread (63,0,0) wrote and "
                        "thread (62,0,0) read byte 504 of tile with no barrier between them "
                        "(after 1 barrier)");
}

TEST_P(RaceCheckTest, AMissingBarrierIsFoundAndTheBarrierSettlesIt) {
  std::vector<double> values(64);
  for (int i = 0; i < 64; ++i) values[i] = i;
  Device_Array<double> in(values), out(2);
  const double *x = in.device;
  EXPECT_EQ(Report_Of(dim3(2), dim3(64), Tree_Sum, x, out.device, false),
            // Forward, thread 0 runs all its steps first and reads s[1] at the last;
            // reversed, thread 15 reads s[31], which thread 31 has summed into.
            forward() ? "race in kernel Tree_Sum, block (0,0,0): thread (0,0,0) read and "
                        "thread (1,0,0) wrote byte 8 of s with no barrier between them "
                        "(after 1 barrier)"
                      : "race in kernel Tree_Sum, block (0,0,0): thread (31,0,0) wrote and "
                        "thread (15,0,0) read byte 248 of s with no barrier between them "
                        "(after 1 barrier)");

  const cudaLaunchConfig_t config = Config(dim3(2), dim3(64));
  ASSERT_EQ(cudaLaunchKernelEx(&config, Tree_Sum, x, out.device, true), cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_TRUE(control::take_race_reports().empty());
  EXPECT_EQ(out.fetch(), std::vector<double>(2, 63.0 * 64 / 2));
}

TEST_P(RaceCheckTest, AtomicsOwnElementsAndSharedReadsAreNotRaces) {
  control::set_workers(2);
  Device_Array<double> out(3 * 64);
  const cudaLaunchConfig_t config = Config(dim3(3), dim3(64));
  ASSERT_EQ(cudaLaunchKernelEx(&config, Not_Races, out.device), cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_TRUE(control::take_race_reports().empty());
  const std::vector<double> &got = out.fetch();
  for (int i = 0; i < 3 * 64; ++i) ASSERT_EQ(got[i], 64 + 1 + (64 - i % 64)) << "index " << i;
}

TEST_P(RaceCheckTest, AnMmaIsNoBarrier) {
  Device_Array<double> out(2 * 64);
  EXPECT_EQ(Report_Of(dim3(2), dim3(64), Mma_Then_Read, false, out.device),
            forward() ? "race in kernel Mma_Then_Read, block (0,0,0): thread (1,0,0) wrote and "
                        "thread (0,0,0) read byte 8 of tile with no barrier between them "
                        "(after 0 barriers)"
                      : "race in kernel Mma_Then_Read, block (0,0,0): thread (0,0,0) wrote and "
                        "thread (63,0,0) read byte 0 of tile with no barrier between them "
                        "(after 0 barriers)");
  EXPECT_EQ(Report_Of(dim3(1), dim3(64), Mma_Into_Shared, out.device),
            forward() ? "race in kernel Mma_Into_Shared, block (0,0,0): thread (0,0,0) read and "
                        "thread (1,0,0) wrote byte 16 of d with no barrier between them "
                        "(after 0 barriers)"
                      : "race in kernel Mma_Into_Shared, block (0,0,0): thread (63,0,0) wrote and "
                        "thread (62,0,0) read byte 1008 of d with no barrier between them "
                        "(after 0 barriers)");

  const cudaLaunchConfig_t config = Config(dim3(2), dim3(64));
  ASSERT_EQ(cudaLaunchKernelEx(&config, Mma_Then_Read, true, out.device), cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_TRUE(control::take_race_reports().empty());
  const std::vector<double> &got = out.fetch();
  // Each of d0 and d1 sums four products 1 * 1.
  for (int i = 0; i < 2 * 64; ++i) ASSERT_EQ(got[i], (i + 1) % 64 + 8.0) << "index " << i;
}

INSTANTIATE_TEST_SUITE_P(Orders, RaceCheckTest,
                         testing::Values(control::Thread_Order::forward,
                                         control::Thread_Order::reversed),
                         Order_Name);
