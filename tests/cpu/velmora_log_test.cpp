// VelmoraLog as users meet it, over the test host: errors with identifiers
// and messages that say what to fix, silence on success, buffers kept from
// call to call, host work per call that does not grow with the clusters,
// and device failures that end the call, not the process.
#include <cpu_device/control.h>

#include <cmath>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "VelmoraLog.h"
#include "gateway_inputs.h"
#include "common/library_test.h"
#include "common/log_reference.h"
#include "common/mixture_fixture.h"
#include "cpu/device_control_test.h"
#include "cpu/gateway_call.h"
#include "log_mixture.h"

namespace control = cpu_device::control;
using test_host::Array;
using test_host::make_array;
using test_host::make_matrix;

namespace {

using VelmoraLogTest = Gateway_Test<VelmoraLog_Gateway>;

TEST_F(VelmoraLogTest, GivesLogPAndPosteriorsSilently) {
  const Mixture m = Make_Mixture(3, 40, 4, false, 70);
  const Mixture_Arguments args(m, true);
  const Outcome o = Call(2, args.all());
  ASSERT_EQ(o.id, "") << o.message;
  ASSERT_EQ(o.out.size(), 2u);
  EXPECT_EQ(o.out[0]->dims, (std::vector<mwSize>{1, 40}));
  EXPECT_EQ(o.out[1]->dims, (std::vector<mwSize>{4, 40}));
  const std::vector<double> p = Reference_Densities(m);
  for (int j = 0; j < m.num_data; ++j) {
    EXPECT_NEAR(o.out[0]->data[j], std::log(p[j]), 1e-12 * std::fabs(std::log(p[j])));
    double column = 0;
    for (int k = 0; k < 4; ++k) column += o.out[1]->data[j * 4 + k];
    EXPECT_NEAR(column, 1.0, 1e-14) << "point " << j;
  }
  EXPECT_EQ(test_host::console(), "");
  EXPECT_TRUE(test_host::evaluated().empty()) << "VelmoraLog stays loaded";
  // Without an output variable the result still goes to ans.
  EXPECT_EQ(Call(0, args.all()).out.size(), 1u);
}

// Octave's mxCreate* functions raise an error of their own, with no
// identifier, when malloc fails: it leaves a gateway as Velmora:memory.
// Any other error of the host's leaves as it came.
TEST(RunGatewayTest, HostAllocationFailureIsAMemoryErrorAndOtherHostErrorsPassAsTheyCame) {
  const auto run = [](const char *what) {
    velmora_mex::Run_Gateway([what] { throw std::runtime_error(what); }, [](const std::string &) {});
  };
  try {
    run("VelmoraLog: failed to allocate 4800000000 bytes of memory");
    ADD_FAILURE() << "no error";
  } catch (const test_host::MexError &e) {
    EXPECT_EQ(e.id, "Velmora:memory");
    EXPECT_STREQ(e.what(), "The host could not allocate 4800000000 bytes of memory.");
  }
  try {
    run("VelmoraLog: interrupted");
    ADD_FAILURE() << "no error";
  } catch (const test_host::MexError &e) {
    ADD_FAILURE() << "renamed as " << e.id;
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "VelmoraLog: interrupted");
  }
}

// `args` spoils X, Mu, Sigma and Pi of a 2 x 3, K 2 call.
using Refusal = Refusal_Case<std::function<void(std::vector<Array> &)>>;


const std::string kCall =
    " Call it as logP = VelmoraLog(X, Mu, Sigma, Pi) or [logP, R] = VelmoraLog(X, Mu, Sigma, Pi), "
    "or with a gmdistribution gm and one point per row of X: [logP, R] = VelmoraLog(X, gm).";

class VelmoraLogRefusalTest : public VelmoraLogTest, public testing::WithParamInterface<Refusal> {};

TEST_P(VelmoraLogRefusalTest, NamesWhatToFix) {
  const Refusal r = GetParam();
  std::vector<Array> a;
  a.push_back(make_matrix(2, 3, {0, 0, 1, 1, 2, 2}));
  a.push_back(make_matrix(2, 2, {0, 0, 1, 1}));
  a.push_back(make_matrix(2, 2, {1, 1, 1, 1}));
  a.push_back(make_matrix(1, 2, {0.5, 0.5}));
  r.args(a);
  const Outcome o = Call(r.nlhs, a);
  EXPECT_EQ(o.id, r.id);
  if (r.message.empty())  // the host's size is this machine's
    EXPECT_EQ(o.message.rfind("The results would take 800 GB (logP and R for 100000 points), "
                              "more than this process can get: ", 0), 0u) << o.message;
  else
    EXPECT_EQ(o.message, r.message);
  EXPECT_EQ(control::counts().mallocs, 0) << "refused before the device was touched";
}

INSTANTIATE_TEST_SUITE_P(
    Calls, VelmoraLogRefusalTest,
    testing::Values(
        Refusal{"ThreeInputs", [](auto &a) { a.pop_back(); }, 1, "Velmora:usage",
                "4 inputs are needed, X, Mu, Sigma and Pi (or 2, X and a gmdistribution); 3 were "
                "given." +
                    kCall},
        Refusal{"OneInput", [](auto &a) { a.resize(1); }, 1, "Velmora:usage",
                "4 inputs are needed, X, Mu, Sigma and Pi (or 2, X and a gmdistribution); 1 was "
                "given." +
                    kCall},
        Refusal{"ThreeOutputs", [](auto &) {}, 3, "Velmora:usage",
                "At most 2 outputs are given, logP and R; 3 were asked for." + kCall},
        Refusal{"Int32", [](auto &a) { a[1]->class_id = mxINT32_CLASS; }, 1, "Velmora:type",
                "Mu must be a double or single array; it is int32."},
        Refusal{"Sparse", [](auto &a) { a[2]->sparse = true; }, 1, "Velmora:type",
                "Sigma must be full; it is sparse."},
        Refusal{"Complex", [](auto &a) { a[0]->complex = true; }, 1, "Velmora:type",
                "X must be real; it is complex."},
        Refusal{"MuRows", [](auto &a) { a[1] = make_matrix(3, 2); }, 1, "Velmora:dimensions",
                "Mu must have 2 rows, one per row of X (X is 2 x 3); it is 3 x 2."},
        Refusal{"PiLength", [](auto &a) { a[3] = make_matrix(1, 3); }, 1, "Velmora:dimensions",
                "Pi must hold one prior per cluster, as 1 x 2 or 2 x 1 (Mu has 2 columns); it "
                "is 1 x 3."},
        Refusal{"SigmaColumns", [](auto &a) { a[2] = make_matrix(2, 5); }, 1,
                "Velmora:dimensions",
                "Sigma must be 2 x 2 (diagonal covariances), or 2 x 2 x 2 or 2 x 4 (full "
                "covariances) for these X and Mu; it is 2 x 5."},
        Refusal{"SigmaPermuted",
                [](auto &a) {
                  a[2] = make_matrix(2, 4, {1, 0, 0, 1, 2, 0, 0, 2});
                  a[2]->dims = {2, 1, 4};
                },
                1, "Velmora:dimensions",
                "Sigma must be 2 x 2 (diagonal covariances), or 2 x 2 x 2 or 2 x 4 (full "
                "covariances) for these X and Mu; it is 2 x 1 x 4."},
        // Mu's and Pi's trailing dimensions are refused, where X's count as points.
        Refusal{"MuStacked", [](auto &a) { a[1]->dims = {2, 1, 2}; }, 1, "Velmora:dimensions",
                "Mu must be 2 x 2, one centre per column; it is 2 x 1 x 2."},
        Refusal{"PiStacked", [](auto &a) { a[3]->dims = {1, 1, 2}; }, 1, "Velmora:dimensions",
                "Pi must hold one prior per cluster, as 1 x 2 or 2 x 1 (Mu has 2 columns); it "
                "is 1 x 1 x 2."},
        Refusal{"ZeroVariance", [](auto &a) { a[2]->data[3] = 0.0; }, 1, "Velmora:covariance",
                "Sigma(2,2), variance 2 of cluster 2, is 0: every variance must be positive and "
                "finite."},
        Refusal{"NotPositiveDefinite",
                [](auto &a) { a[2] = make_matrix(2, 4, {1, 0, 0, 1, 1, 2, 2, 1}); }, 1,
                "Velmora:covariance",
                "The covariance of cluster 2 is not positive definite: its Cholesky "
                "factorisation failed."},
        Refusal{"NegativePrior", [](auto &a) { a[3]->data[0] = -0.5; }, 1, "Velmora:priors",
                "Pi(1) is -0.5: every prior must be finite and not negative."},
        Refusal{"NaNPrior", [](auto &a) { a[3]->data[1] = NAN; }, 1, "Velmora:priors",
                "Pi(2) is NaN: every prior must be finite and not negative."},
        Refusal{"ZeroPriors", [](auto &a) { a[3] = make_matrix(1, 2, {0, 0}); }, 1,
                "Velmora:priors", "Every prior is 0: at least one must be positive."},
        Refusal{"InfiniteCentre", [](auto &a) { a[1]->data[3] = -INFINITY; }, 1, "Velmora:means",
                "Mu(2,2), the centre of cluster 2, is -Inf: every coordinate of a centre must be "
                "finite."},
        Refusal{"NaNInUpperTriangle",
                [](auto &a) { a[2] = make_matrix(2, 4, {1, 0, 0, 1, 1, 0, NAN, 1}); }, 1,
                "Velmora:covariance",
                "Sigma(1,2,2) in the covariance of cluster 2 is NaN: a covariance must be "
                "finite."},
        Refusal{"Asymmetric",
                [](auto &a) { a[2] = make_matrix(2, 4, {1, 0.5, 0.5000001, 1, 1, 0, 0, 1}); }, 1,
                "Velmora:covariance",
                "The covariance of cluster 1 is not symmetric: Sigma(2,1,1) is 0.5 but "
                "Sigma(1,2,1) is 0.5000001."},
        Refusal{"ResultsBeyondTheHost",
                [](auto &a) {
                  a[0] = make_matrix(1, 100000);
                  a[1] = make_matrix(1, 1000000);
                  a[2] = make_matrix(1, 1000000, std::vector<double>(1000000, 1.0));
                  a[3] = make_matrix(1, 1000000, std::vector<double>(1000000, 1.0));
                },
                2, "Velmora:memory", ""}),
    By_Name());

TEST_F(VelmoraLogTest, KeepsItsBuffersForTheNextCallAndFreesThemWhenUnloaded) {
  const Mixture_Arguments args(Make_Mixture(4, 300, 3, true, 71));
  ASSERT_EQ(Call(2, args.all()).id, "");
  const size_t held = control::live_allocations();
  EXPECT_GT(held, 0u);
  control::reset();
  ASSERT_EQ(Call(2, args.all()).id, "");
  EXPECT_EQ(control::counts().mallocs, 0) << "a repeated call allocates nothing";
  test_host::unload();
  EXPECT_EQ(control::live_allocations(), 0u);
  EXPECT_EQ(control::live_host_objects(), 0u) << "page-locked buffers, streams, events";
}

// Host work per call: launches, synchronisations, copies and products.
TEST_F(VelmoraLogTest, DeviceCallsDoNotGrowWithTheClusters) {
  for (const bool diagonal : {true, false}) {
    std::vector<control::Counts> counts;
    // Past 16 clusters, full mode merges groups with a second kernel.
    for (const int K : {40, 100, 400}) {
      const Mixture_Arguments args(Make_Mixture(3, 500, K, diagonal, 72));
      control::reset();
      ASSERT_EQ(Call(2, args.all()).id, "");
      counts.push_back(control::counts());
    }
    for (const control::Counts &c : counts) {
      EXPECT_EQ(c.launches, counts[0].launches) << (diagonal ? "diagonal" : "full");
      EXPECT_EQ(c.syncs, counts[0].syncs);
      EXPECT_EQ(c.memcpys, counts[0].memcpys);
    }
    EXPECT_EQ(counts[0].syncs, 1) << "one chunk, one synchronisation";
  }
}

TEST_F(VelmoraLogTest, ChunksFromFreeMemoryGiveTheSameBits) {
  const Mixture_Arguments args(Make_Mixture(6, 2000, 5, true, 73));
  const Outcome whole = Call(2, args.all());
  test_host::unload();
  control::set_memory(60'000, 1'000'000);  // a few hundred columns at a time
  const Outcome chunked = Call(2, args.all());
  ASSERT_EQ(chunked.id, "") << chunked.message;
  EXPECT_GT(control::counts().syncs, 1);
  EXPECT_TRUE(Same_Bits(whole.out[0]->data, chunked.out[0]->data));
  EXPECT_TRUE(Same_Bits(whole.out[1]->data, chunked.out[1]->data));

  test_host::unload();
  control::set_memory(100, 1'000'000);
  const Outcome refused = Call(2, args.all());
  EXPECT_EQ(refused.id, "Velmora:memory");
  EXPECT_EQ(refused.message.rfind("Not even one column fits in the device's free memory", 0), 0u)
      << refused.message;
}

// Variances far below 1 keep finite inverse scales.
TEST_F(VelmoraLogTest, SubnormalVariancesGiveFiniteResults) {
  const Array x = make_matrix(1, 3, {0, 1e-155, 1}), mu = make_matrix(1, 2, {0, 1});
  const Array sigma = make_matrix(1, 2, {1e-310, 1}), pi = make_matrix(1, 2, {0.5, 0.5});
  const Outcome o = Call(2, {x.get(), mu.get(), sigma.get(), pi.get()});
  ASSERT_EQ(o.id, "") << o.message;
  for (int j = 0; j < 3; ++j) EXPECT_FALSE(std::isnan(o.out[0]->data[j])) << "point " << j;
  EXPECT_GT(o.out[0]->data[0], 300.0) << "a spike of height 1/sqrt(2 pi 1e-310)";
}

TEST_F(VelmoraLogTest, PageLockedMemoryShortIsAMemoryErrorThatLeavesNothing) {
  const Mixture_Arguments args(Make_Mixture(3, 50, 2, true, 75));
  control::fail_malloc_host(1);
  const Outcome o = Call(2, args.all());
  EXPECT_EQ(o.id, "Velmora:memory");
  EXPECT_EQ(o.message.rfind("The host could not page-lock ", 0), 0u) << o.message;
  EXPECT_EQ(control::live_allocations(), 0u);
  EXPECT_EQ(Call(2, args.all()).id, "") << "the next call works";
}

TEST_F(VelmoraLogTest, DeviceFailureIsAnErrorAndReleasesEverything) {
  const Mixture_Arguments args(Make_Mixture(3, 50, 2, false, 74));
  for (const bool in_copy : {false, true}) {
    if (in_copy) control::fail_memcpy(2, cudaMemcpyHostToDevice);  // the first chunk of X
    else control::fail_next_sync(cudaErrorLaunchFailure);
    const Outcome o = Call(2, args.all());
    EXPECT_EQ(o.id, "Velmora:device");
    EXPECT_EQ(o.message, in_copy
                             ? "The device failed to copy data to it: invalid argument."
                             : "The device failed while evaluating: unspecified launch failure.");
    EXPECT_EQ(control::live_allocations(), 0u);
    EXPECT_EQ(control::live_host_objects(), 0u);
    EXPECT_EQ(Call(1, args.all()).id, "") << "the next call works";
  }
}

}  // namespace

namespace {

// Run by itself under a process limit of one thread as well
// (tests/cpu/without_threads.sh): the factorisation then runs on the
// calling thread alone, with the same results.
TEST(FactoriseTest, UsesTheThreadsItCanHave) {
  const Mixture m = Make_Mixture(96, 1, 16, false, 76);
  const velmora_log::Problem p = Problem_Of(m);
  const velmora_log::Factors f = velmora_log::Factorise(p);
  const long double log_2pi = std::log(2.0L * 3.141592653589793238462643383279502884L);
  for (int k = 0; k < m.num_clust; ++k) {
    long double log_det = 0;
    Reference_Distances(m, k, &log_det);
    const double want = static_cast<double>(std::log(static_cast<long double>(m.Pi[k])) -
                                            0.5L * log_det - 0.5L * m.dim * log_2pi);
    EXPECT_NEAR(f.log_weight[k], want, 1e-12 * std::fabs(want)) << "cluster " << k;
  }
}

}  // namespace
