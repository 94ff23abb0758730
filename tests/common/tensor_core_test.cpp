// The FP64 tensor cores' instruction against the fused multiply-adds in k
// order that full mode's references follow. On the CPU device the bits must
// match; a GPU run says whether its hardware gives them too, and holds it
// to the bound of any order of those operations otherwise.
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "common/device_buffer.h"
#include "kernels.h"

namespace {

constexpr bool kExactMath = VELMORA_TEST_EXACT_MATH;
constexpr int kWarps = 8, kLanes = 32 * kWarps;

// Values of both signs across 16 orders of magnitude, so that products
// cancel and the order of the additions shows in the last bits.
std::vector<double> Cancelling(size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(1.0, 2.0);
  std::uniform_int_distribution<int> scale(0, 2), sign(0, 1);
  std::vector<double> v(n);
  for (double &x : v) x = (sign(rng) ? -1.0 : 1.0) * unit(rng) * std::pow(1e8, scale(rng));
  return v;
}

TEST(TensorCoreTest, ChainedProductsAreFusedMultiplyAddsInKOrder) {
  if (!velmora_log::Tensor_Cores()) GTEST_SKIP() << "no FP64 tensor cores here";
  const std::vector<double> a = Cancelling(2 * kLanes, 1), b = Cancelling(2 * kLanes, 2),
                            c = Cancelling(2 * kLanes, 3);
  DeviceBuffer da(a), db(b), dc(c), dd(2 * kLanes);
  velmora_log::Launch_Mma_Probe(da.get(), db.get(), dc.get(), dd.get(), kWarps, nullptr);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  const std::vector<double> got = dd.download();
  EXPECT_TRUE(dd.guards_intact());

  int differ = 0, naive_differ = 0;
  double worst = 0.0;  // in units of the bound
  for (int w = 0; w < kWarps; ++w)
    for (int g = 0; g < 8; ++g)
      for (int n = 0; n < 8; ++n) {
        // D[g][n] sits with lane 4g + n / 2; A[g][k] with lane 4g + k,
        // B[k][n] with lane 4n + k.
        const int out = 2 * (32 * w + 4 * g + n / 2) + n % 2;
        double want = c[out], naive = c[out], size = std::fabs(c[out]);
        for (int i = 0; i < 2; ++i) {
          double products = 0.0;
          for (int k = 0; k < 4; ++k) {
            const double x = a[i * kLanes + 32 * w + 4 * g + k], y = b[i * kLanes + 32 * w + 4 * n + k];
            want = std::fma(x, y, want);
            products += x * y;
            size += std::fabs(x * y);
          }
          naive += products;
        }
        naive_differ += naive != want;
        if (got[out] == want) continue;
        ++differ;
        // Eight roundings at most, each within half an ulp of the sizes.
        const double bound = 8 * 0x1p-53 * size;
        worst = std::max(worst, std::fabs(got[out] - want) / bound);
        EXPECT_LE(std::fabs(got[out] - want), bound) << "warp " << w << ", D[" << g << "][" << n << "]";
      }
  ASSERT_GT(naive_differ, 0) << "the data let another order of the additions give the same bits";
  if (kExactMath) EXPECT_EQ(differ, 0);
  std::printf("[ INFO     ] FP64 MMA: %d of %d entries differ from FMAs in k order (worst %.3g of "
              "the bound)\n", differ, 64 * kWarps, worst);
}

}  // namespace
