// Distances, densities and the whole call P = Velmora(X,Mu,Sigma,Pi)
// against an independent long double reference.
#include <cublas.h>

#include <cfloat>
#include <limits>
#include <string>
#include <vector>

#include "Velmora.h"
#include "common/library_test.h"
#include "common/mixture_fixture.h"

namespace {

using test_host::Array;
using test_host::make_array;
using test_host::make_matrix;

// P = Velmora(X, Mu, Sigma, Pi) through the entry point.
std::vector<double> Call_Velmora(const Array &x, const Array &mu, const Array &sigma,
                                 const Array &pi) {
  const mxArray *in[] = {x.get(), mu.get(), sigma.get(), pi.get()};
  mxArray *out[1] = {nullptr};
  mexFunction(1, out, 4, in);
  Array p(out[0]);
  EXPECT_EQ(mxGetM(p.get()), 1u);
  return p->data;
}

std::vector<double> Call_Velmora(const Mixture &m) {
  const int sigma_cols = m.diagonal ? m.num_clust : m.dim * m.num_clust;
  return Call_Velmora(make_matrix(m.dim, m.num_data, m.X), make_matrix(m.dim, m.num_clust, m.Mu),
                      make_matrix(m.dim, sigma_cols, m.Sigma), make_matrix(1, m.num_clust, m.Pi));
}

struct MixtureCase {
  int dim, num_clust;
  bool diagonal;
};

class MixtureTest : public LibraryTest, public testing::WithParamInterface<MixtureCase> {};

TEST_P(MixtureTest, DensitiesMatchTheLongDoubleReference) {
  const auto [dim, num_clust, diagonal] = GetParam();
  const Mixture m = Make_Mixture(dim, 257, num_clust, diagonal, 100 + dim * 10 + num_clust);
  const std::vector<double> p = Call_Velmora(m);
  EXPECT_LE(Largest_Relative_Error(Reference_Densities(m), p), 1e-12);
  EXPECT_NE(test_host::console().find("Velmora finished, total time: "), std::string::npos);
  EXPECT_EQ(test_host::console().find("ERR"), std::string::npos);
}

std::vector<MixtureCase> Mixture_Cases() {
  std::vector<MixtureCase> cases;
  for (int dim : {1, 2, 3, 17, 64})
    for (int k : {1, 2, 7})
      for (bool diagonal : {true, false}) cases.push_back({dim, k, diagonal});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Mixtures, MixtureTest, testing::ValuesIn(Mixture_Cases()),
                         [](const testing::TestParamInfo<MixtureCase> &info) {
                           return "dim" + std::to_string(info.param.dim) + "_K" +
                                  std::to_string(info.param.num_clust) +
                                  (info.param.diagonal ? "_diagonal" : "_full");
                         });

TEST_F(LibraryTest, StackedAndSideBySideCovariancesGiveIdenticalDensities) {
  const Mixture m = Make_Mixture(3, 50, 4, false, 7);
  const std::vector<double> flat = Call_Velmora(m);
  const std::vector<double> stacked =
      Call_Velmora(make_matrix(3, 50, m.X), make_matrix(3, 4, m.Mu),
                   make_array({3, 3, 4}, m.Sigma), make_matrix(1, 4, m.Pi));
  EXPECT_TRUE(Same_Bits(flat, stacked));
}

TEST_F(LibraryTest, PriorsAsAColumnGiveTheSameDensities) {
  const Mixture m = Make_Mixture(2, 20, 3, true, 8);
  const std::vector<double> row = Call_Velmora(m);
  const std::vector<double> column =
      Call_Velmora(make_matrix(2, 20, m.X), make_matrix(2, 3, m.Mu), make_matrix(2, 3, m.Sigma),
                   make_matrix(3, 1, m.Pi));
  EXPECT_TRUE(Same_Bits(row, column));
}

TEST_F(LibraryTest, ExtraColumnsPastTheLastFullBlockAreNeverRead) {
  Mixture m = Make_Mixture(3, 30, 2, false, 9);
  const std::vector<double> p = Call_Velmora(m);
  std::vector<double> sigma = m.Sigma;
  sigma.insert(sigma.end(), 6, std::numeric_limits<double>::quiet_NaN());  // 2 extra columns
  const std::vector<double> padded =
      Call_Velmora(make_matrix(3, 30, m.X), make_matrix(3, 2, m.Mu), make_matrix(3, 8, sigma),
                   make_matrix(1, 2, m.Pi));
  EXPECT_TRUE(Same_Bits(p, padded));
}

TEST_F(LibraryTest, OneUnitGaussian) {
  const std::vector<double> p =
      Call_Velmora(make_matrix(1, 2, {0.0, 1.0}), make_matrix(1, 1, {0.0}),
                   make_matrix(1, 1, {1.0}), make_matrix(1, 1, {1.0}));
  EXPECT_NEAR(p[0], 0.3989422804014327, 1e-16);
  EXPECT_NEAR(p[1], 0.24197072451914337, 1e-16);
}

TEST_F(LibraryTest, TwoIdenticalClustersSplitTheirPrior) {
  const std::vector<double> x{-1.0, 0.0, 0.5, 2.0};
  const std::vector<double> one =
      Call_Velmora(make_matrix(1, 4, x), make_matrix(1, 1, {0.3}), make_matrix(1, 1, {2.0}),
                   make_matrix(1, 1, {1.0}));
  const std::vector<double> two =
      Call_Velmora(make_matrix(1, 4, x), make_matrix(1, 2, {0.3, 0.3}),
                   make_matrix(1, 2, {2.0, 2.0}), make_matrix(1, 2, {0.25, 0.75}));
  EXPECT_TRUE(Close(one, two, 4 * DBL_EPSILON));
}

TEST_F(LibraryTest, DistanceIsZeroAtTheCentreAndEuclideanUnderTheIdentity) {
  const std::vector<double> x{1, 2, 3, 1, 2, 4}, mu{1, 2, 3};
  DeviceBuffer d_x(x), d_mu(mu), d_temp1(6), d_temp2(6), d_dist(2);
  DeviceBuffer d_ones(std::vector<double>(3, 1.0));
  DeviceBuffer d_identity(std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1});
  cublasInit();
  for (int diagonal : {1, 0}) {
    DIAGONAL_ESTIMATE = diagonal;
    MahalanobisDistance(d_x.get(), d_mu.get(), d_temp1.get(),
                        diagonal ? d_ones.get() : d_identity.get(), d_temp2.get(), 3, 2,
                        d_dist.get());
    EXPECT_EQ(d_dist.download(), (std::vector<double>{0.0, 1.0})) << "diagonal " << diagonal;
  }
  cublasShutdown();
  EXPECT_TRUE(d_temp1.guards_intact() && d_temp2.guards_intact() && d_dist.guards_intact());
}

TEST_F(LibraryTest, DistanceIntoTheFirstScratchEqualsASeparateResult) {
  const Mixture m = Make_Mixture(5, 40, 1, false, 12);
  std::vector<double> inv(25);
  CholeskyInv(const_cast<double *>(m.Sigma.data()), inv.data(), 5, false);
  DeviceBuffer d_x(m.X), d_mu(m.Mu), d_inv(inv), d_t1(200), d_t2(200), d_dist(40);
  DIAGONAL_ESTIMATE = 0;
  cublasInit();
  MahalanobisDistance(d_x.get(), d_mu.get(), d_t1.get(), d_inv.get(), d_t2.get(), 5, 40,
                      d_dist.get());
  MahalanobisDistance(d_x.get(), d_mu.get(), d_t1.get(), d_inv.get(), d_t2.get(), 5, 40,
                      d_t1.get());
  cublasShutdown();
  std::vector<double> first = d_t1.download();
  first.resize(40);
  EXPECT_TRUE(Same_Bits(d_dist.download(), first));
}

TEST_F(LibraryTest, DiagonalCovarianceOfUnitWeightsIsTheMeanSquaredDeviation) {
  const int dim = 3, n = 37;
  const std::vector<double> x = Random_Values(dim * n, 13), mu{0.1, -0.2, 0.3};
  const int blocks = (n + 15) / 16;
  DeviceBuffer d_x(x), d_mu(mu), d_w(n, 1.0), d_partial(dim * blocks), d_out(dim);
  Diagonal_Covariance_Matrix(d_x.get(), d_mu.get(), d_partial.get(), d_w.get(), 1.0 / n,
                             d_out.get(), dim, n);
  const std::vector<double> out = d_out.download();
  for (int i = 0; i < dim; ++i) {
    double s = 0;
    for (int j = 0; j < n; ++j) s += (x[i + j * dim] - mu[i]) * (x[i + j * dim] - mu[i]);
    EXPECT_NEAR(out[i], s / n, 1e-15) << "dimension " << i;
  }
}

TEST_F(LibraryTest, AZeroVarianceReportsBothTextsAndGivesNaN) {
  const std::vector<double> p =
      Call_Velmora(make_matrix(2, 3, {0, 0, 1, 1, 2, 2}), make_matrix(2, 1, {0, 0}),
                   make_matrix(2, 1, {1.0, 0.0}), make_matrix(1, 1, {1.0}));
  for (double v : p) EXPECT_TRUE(std::isnan(v));
  const std::string console = test_host::console();
  EXPECT_NE(console.find("THE FOLLOWING ERRORS OCCURED:\nERR: GaussPDF: Invalid Determinant\n"
                         "ERR: GaussPDF: invalid Denum Gauss\nVelmora finished"),
            std::string::npos)
      << console;
  EXPECT_TRUE(Errors.empty());  // drained by the run
}

TEST_F(LibraryTest, NoClustersLeavePAllZero) {
  const std::vector<double> p = Call_Velmora(make_matrix(2, 3, {1, 2, 3, 4, 5, 6}),
                                             make_matrix(2, 0), make_matrix(2, 0),
                                             make_matrix(1, 0));
  EXPECT_EQ(p, std::vector<double>(3, 0.0));
}

}  // namespace
