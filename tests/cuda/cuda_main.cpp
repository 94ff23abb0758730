// The shared suite on a real GPU; without one it reports itself skipped.
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char **argv) {
  int devices = 0;
  if (cudaGetDeviceCount(&devices) != cudaSuccess || devices == 0) {
    std::printf("No CUDA device: the GPU suite is skipped.\n");
    return 77;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
