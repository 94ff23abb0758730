// The same inputs on two devices: this program, built over the CPU device,
// writes reference results; built over CUDA it recomputes them on the GPU
// and compares. Diagonal-mode distances must agree bit for bit (plain
// arithmetic in a fixed order, no fused multiply-add); P within 1e-12.
#include <cublas.h>
#include <cuda_runtime.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "MatrixOperations_Double.h"
#include "Velmora.h"
#include "common/mixture_fixture.h"
#include "host/test_host.h"

namespace {

struct Case {
  int dim, num_data, num_clust;
  bool diagonal;
  bool small;  // part of the small set run under compute-sanitizer
};

const Case kCases[] = {{1, 1000, 1, true, true},    {3, 777, 2, true, true},
                       {3, 777, 2, false, true},    {8, 20000, 16, true, false},
                       {8, 20000, 16, false, false}, {33, 5001, 3, true, false},
                       {64, 3000, 7, false, false}, {17, 32000 * 16 + 1, 1, true, false}};

std::string Name(const Case &c) {
  return std::string(c.diagonal ? "diag" : "full") + "_d" + std::to_string(c.dim) + "_N" +
         std::to_string(c.num_data) + "_K" + std::to_string(c.num_clust);
}

// Distances to cluster 0 and the densities P of one case.
void Compute(const Case &c, std::vector<double> *dist, std::vector<double> *P) {
  Mixture m = Make_Mixture(c.dim, c.num_data, c.num_clust, c.diagonal, 1000 + c.dim);
  DIAGONAL_ESTIMATE = c.diagonal ? 1 : 0;
  P->assign(c.num_data, 0.0);
  test_host::clear();
  cublasInit();
  GMM(m.X.data(), c.dim, c.num_data, c.num_clust, m.Mu.data(), m.Sigma.data(), m.Pi.data(),
      P->data());
  dist->clear();
  if (c.diagonal) {
    std::vector<double> inv(c.dim);
    double log_det = 0;
    Invert_Sigmas(m.Sigma.data(), inv.data(), &log_det, c.dim);
    double *d_X, *d_mu, *d_inv, *d_dist;
    cudaMalloc(reinterpret_cast<void **>(&d_X), m.X.size() * 8);
    cudaMalloc(reinterpret_cast<void **>(&d_mu), c.dim * 8);
    cudaMalloc(reinterpret_cast<void **>(&d_inv), c.dim * 8);
    cudaMalloc(reinterpret_cast<void **>(&d_dist), c.num_data * 8);
    cudaMemcpy(d_X, m.X.data(), m.X.size() * 8, cudaMemcpyHostToDevice);
    cudaMemcpy(d_mu, m.Mu.data(), c.dim * 8, cudaMemcpyHostToDevice);
    cudaMemcpy(d_inv, inv.data(), c.dim * 8, cudaMemcpyHostToDevice);
    MahalanobisDistance(d_X, d_mu, d_dist, d_inv, nullptr, c.dim, c.num_data, d_dist);
    dist->resize(c.num_data);
    cudaMemcpy(dist->data(), d_dist, c.num_data * 8, cudaMemcpyDeviceToHost);
    for (double *d : {d_X, d_mu, d_inv, d_dist}) cudaFree(d);
  }
  cublasShutdown();
}

void Save(const std::string &path, const std::vector<double> &v) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(v.data()), static_cast<std::streamsize>(v.size() * 8));
}

// The reference results, or nothing with a message when they are missing.
std::vector<double> Load(const std::string &path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) {
    std::printf("missing reference %s: write the references with velmora_agree_cpu --write "
                "DIR (scripts/gpu-check build does)\n",
                path.c_str());
    return {};
  }
  std::vector<double> v(static_cast<size_t>(f.tellg()) / 8);
  f.seekg(0);
  f.read(reinterpret_cast<char *>(v.data()), static_cast<std::streamsize>(v.size() * 8));
  return v;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3 || (std::strcmp(argv[1], "--write") != 0 && std::strcmp(argv[1], "--check") != 0)) {
    std::fprintf(stderr, "usage: velmora_agree --write|--check DIR [--small]\n");
    return 2;
  }
  const bool write = std::strcmp(argv[1], "--write") == 0;
  const bool small = argc > 3 && std::strcmp(argv[3], "--small") == 0;
  const std::string dir = argv[2];
  if (!write && !std::filesystem::is_directory(dir)) {
    std::printf("missing reference folder %s: write it with velmora_agree_cpu --write %s "
                "(scripts/gpu-check build does)\n",
                dir.c_str(), dir.c_str());
    return 1;
  }
  int failures = 0;
  for (const Case &c : kCases) {
    if (small && !c.small) continue;
    std::vector<double> dist, P;
    Compute(c, &dist, &P);
    const std::string stem = dir + "/" + Name(c);
    if (write) {
      Save(stem + ".P", P);
      if (!dist.empty()) Save(stem + ".dist", dist);
      continue;
    }
    const std::vector<double> ref_P = Load(stem + ".P");
    double worst = 0;
    for (size_t j = 0; j < P.size() && j < ref_P.size(); ++j)
      worst = std::fmax(worst, std::fabs(P[j] - ref_P[j]) / std::fabs(ref_P[j]));
    const bool p_ok = ref_P.size() == P.size() && worst <= 1e-12;
    long first_diff = -1;
    if (!dist.empty()) {
      const std::vector<double> ref = Load(stem + ".dist");
      for (size_t j = 0; j < dist.size() && first_diff < 0; ++j)
        if (j >= ref.size() || std::memcmp(&dist[j], &ref[j], 8) != 0) first_diff = static_cast<long>(j);
    }
    std::printf("%-32s P: largest relative difference %.3g %s", Name(c).c_str(), worst,
                p_ok ? "ok" : "FAILED");
    if (!dist.empty())
      std::printf("; distances: %s", first_diff < 0 ? "bitwise identical" : "DIFFER");
    if (first_diff >= 0) std::printf(" first at index %ld", first_diff);
    std::printf("\n");
    failures += !p_ok + (first_diff >= 0);
  }
  return failures == 0 ? 0 : 1;
}
