// Writes fits for a peer to repeat: clustered data, a start, and
// VelmoraFit's parameters after a fixed number of iterations from it, per
// covariance type, as raw doubles with a line of sizes.
//   velmora_fit_peer_case DIR
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/fit_fixture.h"
#include "fit.h"

namespace {

void Write(const std::string &path, const std::vector<double> &v) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(v.data()), static_cast<std::streamsize>(v.size() * 8));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: velmora_fit_peer_case DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int dim = 4, K = 3, n = 2000, iterations = 10;
  const double reg = 1e-6;
  // Overlapping clusters, so that ten iterations still move the parameters.
  const Cluster_Data d = Make_Clusters(dim, n, K, 3.0, 1.0, 2.0, true, 83);
  struct Kind {
    const char *name;
    bool full, shared;
  };
  for (const Kind kind : {Kind{"full", true, false}, Kind{"diag", false, false},
                          Kind{"tied", true, true}}) {
    const int block = kind.full ? dim * dim : dim;
    velmora_log::Fit_Options o;
    o.mode = kind.full ? velmora_log::Mode::full : velmora_log::Mode::diagonal;
    o.shared = kind.shared;
    o.start = velmora_log::Start::parameters;
    o.mu = d.centres;
    for (int e = 0; e < dim * K; ++e) o.mu[e] += 0.7 * ((e * 5) % 3 - 1);
    o.sigma.assign(static_cast<size_t>(block) * K, 0.0);
    for (int k = 0; k < K; ++k)
      for (int i = 0; i < dim; ++i) {
        o.sigma[k * block + (kind.full ? i + i * dim : i)] = 1.5;
        if (kind.full && !kind.shared && i + 1 < dim)
          o.sigma[k * block + i + (i + 1) * dim] = o.sigma[k * block + i + 1 + i * dim] = 0.3;
      }
    o.pi = {0.5, 0.3, 0.2};
    o.max_iter = iterations;
    o.tol_fun = 0;
    o.regularization = reg;
    const velmora_log::Fit_Result r = velmora_log::Fit(d.X.data(), dim, n, K, o);
    const std::string stem = dir + "/fit_" + kind.name;
    Write(stem + ".X", d.X);
    Write(stem + ".mu0", o.mu);
    Write(stem + ".sigma0", o.sigma);
    Write(stem + ".pi0", o.pi);
    Write(stem + ".mu", r.model.mu);
    Write(stem + ".sigma", r.model.sigma);
    Write(stem + ".pi", r.model.pi);
    std::ofstream(stem + ".txt") << kind.name << " " << dim << " " << n << " " << K << " " << reg
                                 << " " << iterations << "\n";
  }
  return 0;
}
