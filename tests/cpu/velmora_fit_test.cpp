// VelmoraFit as users meet it, over the test host: a model VelmoraLog takes,
// the info struct, Display, every refusal by name with its identifier,
// streamed data giving the bits of resident data, a device's host work per
// iteration that does not grow with the clusters, and failures that leave
// nothing behind.
#include <cpu_device/control.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "VelmoraFit.h"
#include "VelmoraLog.h"
#include "common/fit_fixture.h"
#include "common/library_test.h"
#include "cpu/device_control_test.h"
#include "cpu/gateway_call.h"

namespace control = cpu_device::control;
using test_host::Array;
using test_host::make_logical;
using test_host::make_matrix;
using test_host::make_string;
using test_host::make_struct;

namespace {

using VelmoraFitTest = Gateway_Test<VelmoraFit_Gateway>;

template <typename... T>
std::vector<Array> Options(T &&...a) {
  std::vector<Array> v;
  (v.push_back(std::forward<T>(a)), ...);
  return v;
}

Array Num(double v) { return make_matrix(1, 1, {v}); }

// Two clusters in 2-D, 300 points, and K = 2, then the options.
std::vector<Array> Fit_Args(std::vector<Array> options = {}) {
  const Cluster_Data d = Make_Clusters(2, 300, 2, 6.0, 1.0, 10.0, true, 61);
  std::vector<Array> a;
  a.push_back(make_matrix(2, 300, d.X));
  a.push_back(make_matrix(1, 1, {2}));
  for (Array &o : options) a.push_back(std::move(o));
  return a;
}

const mxArray *Field(const Array &s, const char *name) {
  const mxArray *f = test_host::field(s.get(), name);
  EXPECT_NE(f, nullptr) << "no field " << name;
  return f;
}

class VelmoraFitModeTest : public VelmoraFitTest, public testing::WithParamInterface<bool> {};

TEST_P(VelmoraFitModeTest, GivesAModelThatVelmoraLogTakesAndTheInfoOfTheFit) {
  const bool full = GetParam();
  std::vector<Array> args =
      Fit_Args(Options(make_string("CovarianceType"), make_string(full ? "full" : "Diagonal"),
                   make_string("seed"), Num(3)));
  const Outcome o = Call(2, args);
  ASSERT_EQ(o.id, "") << o.message;
  ASSERT_EQ(o.out.size(), 2u);
  const Array &model = o.out[0], &info = o.out[1];
  EXPECT_EQ(Field(model, "Mu")->dims, (std::vector<mwSize>{2, 2}));
  const std::vector<mwSize> sigma_dims = full ? std::vector<mwSize>{2, 2, 2}
                                              : std::vector<mwSize>{2, 2};
  EXPECT_EQ(Field(model, "Sigma")->dims, sigma_dims);
  EXPECT_EQ(Field(model, "Pi")->dims, (std::vector<mwSize>{1, 2}));
  const std::vector<double> &pi = Field(model, "Pi")->data;
  EXPECT_NEAR(pi[0] + pi[1], 1.0, 1e-15);

  const double iterations = Field(info, "Iterations")->data[0];
  EXPECT_EQ(Field(info, "History")->dims, (std::vector<mwSize>{1, static_cast<mwSize>(iterations)}));
  EXPECT_EQ(Field(info, "Converged")->class_id, mxLOGICAL_CLASS);
  EXPECT_EQ(Field(info, "Converged")->data[0], 1.0);
  EXPECT_EQ(test_host::text(Field(info, "CovarianceType")), full ? "full" : "diagonal");
  EXPECT_EQ(test_host::text(Field(info, "Start")), "plus");
  EXPECT_EQ(Field(info, "Seed")->data[0], 3.0);
  EXPECT_EQ(Field(info, "Resident")->data[0], 1.0);
  for (const char *name : {"BIC", "AIC", "Replicate", "SharedCovariance", "RegularizationValue",
                           "Replicates", "MaxIter", "TolFun", "Display", "ExtraPasses"})
    Field(info, name);
  EXPECT_EQ(test_host::console(), "") << "'Display' is 'off' by default";

  // The data's log-likelihood under the model, through VelmoraLog.
  const Gateway_Outcome log_p =
      Call_Gateway(VelmoraLog_Gateway, 1,
                   {args[0].get(), Field(model, "Mu"), Field(model, "Sigma"), Field(model, "Pi")});
  ASSERT_EQ(log_p.id, "") << log_p.message;
  const double sum = std::accumulate(log_p.out[0]->data.begin(), log_p.out[0]->data.end(), 0.0);
  const double log_l = Field(info, "LogLikelihood")->data[0];
  EXPECT_NEAR(sum, log_l, 1e-12 * std::fabs(log_l));
}

INSTANTIATE_TEST_SUITE_P(Modes, VelmoraFitModeTest, testing::Bool(), Mode_Name);

TEST_F(VelmoraFitTest, DisplaysEachIterationOrOneLinePerReplicate) {
  const Outcome iter = Call(2, Fit_Args(Options(make_string("Display"), make_string("iter"),
                                            make_string("MaxIter"), Num(4), make_string("TolFun"),
                                            Num(0))));
  ASSERT_EQ(iter.id, "") << iter.message;
  const std::string said = test_host::console();
  EXPECT_EQ(said.rfind("  iteration       log-likelihood   rise per point\n", 0), 0u) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1 + 4 + 1) << said;
  EXPECT_NE(said.find("Replicate 1: 4 iterations, log-likelihood "), std::string::npos) << said;
  EXPECT_NE(said.find(", not converged (MaxIter reached).\n"), std::string::npos) << said;
  EXPECT_FALSE(test_host::printed_off_main_thread());

  // Stopping as fitgmdist does, the column shows the rise that rule
  // weighs: against the log-likelihood's size, not per point.
  test_host::clear();
  ASSERT_EQ(Call(1, Fit_Args(Options(make_string("Display"), make_string("iter"),
                                     make_string("MaxIter"), Num(2), make_string("TolFunRelative"),
                                     make_logical(true))))
                .id,
            "");
  const std::string relative = test_host::console();
  EXPECT_EQ(relative.rfind("  iteration       log-likelihood    relative rise\n", 0), 0u) << relative;
  const size_t second = relative.find("\n          2  ");
  ASSERT_NE(second, std::string::npos) << relative;
  std::istringstream row(relative.substr(second + 1));
  double step = 0, log_l = 0, rise = 0;
  row >> step >> log_l >> rise;
  // Iteration 1's log-likelihood is on the line before.
  const size_t first = relative.find("\n          1  ");
  ASSERT_NE(first, std::string::npos) << relative;
  std::istringstream row1(relative.substr(first + 1));
  double log_l1 = 0;
  row1 >> step >> log_l1;
  EXPECT_NEAR(rise, (log_l - log_l1) / std::max(1.0, std::fabs(log_l)), 1e-5 * std::fabs(rise) + 1e-11)
      << relative;

  test_host::clear();
  ASSERT_EQ(Call(1, Fit_Args(Options(make_string("Display"), make_string("final"),
                                 make_string("Replicates"), Num(2))))
                .id,
            "");
  const std::string final_lines = test_host::console();
  EXPECT_EQ(std::count(final_lines.begin(), final_lines.end(), '\n'), 3) << final_lines;
  EXPECT_NE(final_lines.find("Kept replicate "), std::string::npos) << final_lines;
}

using Refusal = Refusal_Case<std::function<std::vector<Array>()>>;


const std::string kCall =
    " Call it as [model, info] = VelmoraFit(X, K) or [model, info] = VelmoraFit(X, K, Name, "
    "Value, ...).";
const std::string kOptions =
    "CovarianceType, SharedCovariance, RegularizationValue, Start, Replicates, MaxIter, TolFun, "
    "TolFunRelative, Display, Seed, Weights and ProbabilityTolerance";
const std::string kStartForms =
    "'Start' must be 'plus', 'randSample', a vector of one label (1 to K) per point, or a struct "
    "with fields Mu, Sigma and Pi";

class VelmoraFitRefusalTest : public VelmoraFitTest, public testing::WithParamInterface<Refusal> {};

TEST_P(VelmoraFitRefusalTest, NamesWhatToFix) {
  const Refusal r = GetParam();
  const Outcome o = Call(r.nlhs, r.args());
  EXPECT_EQ(o.id, r.id);
  EXPECT_EQ(o.message, r.message);
  EXPECT_EQ(control::counts().mallocs, 0) << "refused before the device was touched";
}

// Arguments with the data replaced or the start given as labels or as a
// struct whose fields are spoilt one at a time.
std::vector<Array> With(std::function<void(std::vector<Array> &)> spoil) {
  std::vector<Array> a = Fit_Args();
  spoil(a);
  return a;
}

Array Labels(std::function<void(std::vector<double> &)> spoil) {
  std::vector<double> l(300);
  for (int j = 0; j < 300; ++j) l[j] = 1 + j % 2;
  spoil(l);
  return make_matrix(1, 300, l);
}

Array Start_Struct(Array mu, Array sigma, Array pi) {
  std::vector<std::pair<std::string, Array>> f;
  if (mu) f.emplace_back("Mu", std::move(mu));
  if (sigma) f.emplace_back("Sigma", std::move(sigma));
  if (pi) f.emplace_back("Pi", std::move(pi));
  return make_struct(std::move(f));
}

Array Good_Mu() { return make_matrix(2, 2, {10, 10, 16, 16}); }
Array Good_Sigma() {
  return test_host::make_array({2, 2, 2}, {1, 0, 0, 1, 2, 0, 0, 2});
}
Array Good_Pi() { return make_matrix(1, 2, {0.5, 0.5}); }

// The fit's arguments with one option: its value made by `value`, or a
// number, or text.
using Arguments = std::function<std::vector<Array>()>;
Arguments With_Option(const char *name, std::function<Array()> value) {
  return [name, value] { return Fit_Args(Options(make_string(name), value())); };
}
Arguments With_Option(const char *name, double v) {
  return With_Option(name, [v] { return Num(v); });
}
Arguments With_Option(const char *name, const char *text) {
  return With_Option(name, [text] { return make_string(text); });
}
Arguments Start_Is(std::function<Array()> start) { return With_Option("Start", start); }
// 'Weights' of `rest` for every point but point j (0-based), which weighs v.
Arguments Weights_Where(double rest, int j, double v) {
  return With_Option("Weights", [=] {
    std::vector<double> w(300, rest);
    w[j] = v;
    return make_matrix(1, 300, w);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Calls, VelmoraFitRefusalTest,
    testing::Values(
        Refusal{"OneInput", [] { auto a = Fit_Args(); a.pop_back(); return a; }, 1,
                "Velmora:usage", "At least 2 inputs are needed, X and K; 1 was given." + kCall},
        Refusal{"ThreeOutputs", [] { return Fit_Args(); }, 3, "Velmora:usage",
                "At most 2 outputs are given, model and info; 3 were asked for." + kCall},
        Refusal{"Int32Data", [] { return With([](auto &a) { a[0]->class_id = mxINT32_CLASS; }); },
                1, "Velmora:type", "X must be a double or single array; it is int32."},
        Refusal{"ComplexData", [] { return With([](auto &a) { a[0]->complex = true; }); }, 1,
                "Velmora:type", "X must be real; it is complex."},
        Refusal{"NoRows", [] { return With([](auto &a) { a[0] = make_matrix(0, 5); }); }, 1,
                "Velmora:dimensions",
                "X must have at least one row, one coordinate per point; it is 0 x 5."},
        Refusal{"FractionalK", [] { return With([](auto &a) { a[1] = Num(2.5); }); }, 1,
                "Velmora:usage", "K must be a positive whole number; it is 2.5."},
        Refusal{"TextK", [] { return With([](auto &a) { a[1] = make_string("two"); }); }, 1,
                "Velmora:usage", "K must be a positive whole number; it is 'two'."},
        Refusal{"MoreClustersThanPoints", [] { return With([](auto &a) { a[1] = Num(301); }); },
                1, "Velmora:usage",
                "K must be at most the number of points, 300 (the columns of X); it is 301."},
        Refusal{"OptionWithoutValue",
                [] { return Fit_Args(Options(make_string("MaxIter"))); }, 1,
                "Velmora:usage", "Option 'MaxIter' has no value: options come in name/value pairs."},
        Refusal{"NameNotText", [] { return Fit_Args(Options(Num(5), Num(5))); }, 1,
                "Velmora:usage", "Option names must be text; argument 3 is 5." + kCall},
        Refusal{"UnknownOption", With_Option("Tolerance", 1.0), 1, "Velmora:usage", "Unknown option 'Tolerance': the options are " + kOptions + "."},
        Refusal{"OptionsStruct", With_Option("Options", [] { return make_struct({}); }), 1,
                "Velmora:usage",
                "Unknown option 'Options': the options are " + kOptions +
                    ". MaxIter, TolFun and Display are options of their own here."},
        Refusal{"CovarianceWord", With_Option("CovarianceType", "diag"), 1, "Velmora:usage", "'CovarianceType' must be 'full' or 'diagonal'; it is 'diag'."},
        Refusal{"SharedTwo", With_Option("SharedCovariance", 2.0), 1, "Velmora:usage", "'SharedCovariance' must be true or false; it is 2."},
        Refusal{"NegativeRegularization", With_Option("RegularizationValue", -1.0), 1,
                "Velmora:usage",
                "'RegularizationValue' must be a finite number, 0 or more; it is -1."},
        Refusal{"ZeroIterations", With_Option("maxiter", 0.0), 1, "Velmora:usage", "'MaxIter' must be a positive whole number; it is 0."},
        Refusal{"IterationsPastExactWholes", With_Option("MaxIter", 0x1p62), 1, "Velmora:usage",
                "'MaxIter' must be a positive whole number up to 2^53; it is 4.61168601842739e+18."},
        Refusal{"ReplicatesVector",
                With_Option("Replicates", [] { return make_matrix(1, 2, {1, 2}); }), 1,
                "Velmora:usage",
                "'Replicates' must be a positive whole number; it is a 1 x 2 double array."},
        Refusal{"NaNTolerance", With_Option("TolFun", NAN), 1, "Velmora:usage", "'TolFun' must be a finite number, 0 or more; it is NaN."},
        Refusal{"DisplayWord", With_Option("Display", "verbose"), 1, "Velmora:usage", "'Display' must be 'off', 'iter' or 'final'; it is 'verbose'."},
        Refusal{"NegativeSeed", With_Option("Seed", -1.0), 1, "Velmora:usage", "'Seed' must be a whole number, 0 or more; it is -1."},
        Refusal{"WeightsShort", With_Option("Weights", [] { return make_matrix(1, 299); }), 1,
                "Velmora:dimensions",
                "'Weights' must be one per point, 1 x 300 (X has 300 columns); it is 1 x 299."},
        Refusal{"NegativeWeight", Weights_Where(1.0, 41, -0.5), 1, "Velmora:usage",
                "'Weights'(42) is -0.5: every weight must be finite and 0 or more."},
        Refusal{"InfiniteWeight", Weights_Where(1.0, 299, INFINITY), 1, "Velmora:usage",
                "'Weights'(300) is Inf: every weight must be finite and 0 or more."},
        Refusal{"OneWeighted", Weights_Where(0.0, 7, 2.0), 1, "Velmora:usage",
                "'Weights' must be positive for at least K = 2 points; they are positive for 1."},
        Refusal{"WeightsPastTheLargestDouble", Weights_Where(1e306, 0, 1e306), 1,
                "Velmora:usage", "'Weights' sum past the largest double: scale them down."},
        // The largest just below the smallest normal double (2.2250738585e-308).
        Refusal{"SubnormalWeights", Weights_Where(1e-320, 150, 2.225e-308), 1, "Velmora:usage",
                "'Weights' are all below the smallest normal double (2.2251e-308), where they lose "
                "their digits: scale them up."},
        Refusal{"LargeProbabilityTolerance", With_Option("ProbabilityTolerance", 1e-3), 1,
                "Velmora:usage", "'ProbabilityTolerance' must be between 0 and 1e-6; it is 0.001."},
        Refusal{"StartWord", Start_Is([] { return make_string("kmeans"); }), 1, "Velmora:usage",
                kStartForms + "; it is 'kmeans'."},
        Refusal{"StartLogical", Start_Is([] { return make_logical(true); }), 1, "Velmora:usage",
                kStartForms + "; it is 1."},
        Refusal{"LabelsShort", Start_Is([] { return make_matrix(1, 299); }), 1,
                "Velmora:dimensions",
                "'Start' labels must be one per point, 1 x 300 (X has 300 columns); it is 1 x 299."},
        Refusal{"LabelOutOfRange", Start_Is([] { return Labels([](auto &l) { l[3] = 3; }); }), 1,
                "Velmora:usage", "'Start' label 4 is 3: labels must be whole numbers from 1 to 2."},
        Refusal{"LabelsLeaveAClusterEmpty",
                Start_Is([] { return Labels([](auto &l) { std::fill(l.begin(), l.end(), 1); }); }),
                1, "Velmora:usage",
                "'Start' labels give cluster 2 no point: every cluster needs at least one."},
        Refusal{"LabelsWithReplicates",
                [] {
                  return Fit_Args(Options(make_string("Start"), Labels([](auto &) {}),
                                                     make_string("Replicates"), Num(2)));
                },
                1, "Velmora:usage",
                "'Replicates' must be 1 with a 'Start' of labels: every replicate would be the "
                "same fit."},
        Refusal{"StartWithoutSigma",
                Start_Is([] { return Start_Struct(Good_Mu(), nullptr, Good_Pi()); }), 1,
                "Velmora:usage", kStartForms + "; it has no field Sigma."},
        Refusal{"StartMuShape",
                Start_Is([] { return Start_Struct(make_matrix(2, 3), Good_Sigma(), Good_Pi()); }),
                1, "Velmora:dimensions",
                "'Start'.Mu must be 2 x 2, one centre per cluster; it is 2 x 3."},
        Refusal{"StartSigmaShape",
                Start_Is([] { return Start_Struct(Good_Mu(), make_matrix(2, 3), Good_Pi()); }), 1,
                "Velmora:dimensions",
                "'Start'.Sigma must be 2 x 2 x 2 (full covariances) or 2 x 2 (one for every "
                "cluster), as 'CovarianceType' is 'full'; it is 2 x 3."},
        Refusal{"StartSigmaPermuted",
                Start_Is([] {
                  return Start_Struct(Good_Mu(),
                                      test_host::make_array({2, 1, 4}, {1, 0, 0, 1, 2, 0, 0, 2}),
                                      Good_Pi());
                }),
                1, "Velmora:dimensions",
                "'Start'.Sigma must be 2 x 2 x 2 (full covariances) or 2 x 2 (one for every "
                "cluster), as 'CovarianceType' is 'full'; it is 2 x 1 x 4."},
        Refusal{"StartStructArray",
                Start_Is([] {
                  Array s = Start_Struct(Good_Mu(), Good_Sigma(), Good_Pi());
                  s->dims = {1, 2};
                  return s;
                }),
                1, "Velmora:usage", kStartForms + "; it is a 1 x 2 struct array."},
        Refusal{"StartPiShape",
                Start_Is([] { return Start_Struct(Good_Mu(), Good_Sigma(), make_matrix(2, 2)); }),
                1, "Velmora:dimensions",
                "'Start'.Pi must hold one prior per cluster, 1 x 2; it is 2 x 2."},
        Refusal{"StartPriorZero",
                Start_Is([] {
                  return Start_Struct(Good_Mu(), Good_Sigma(), make_matrix(1, 2, {1, 0}));
                }),
                1, "Velmora:priors",
                "'Start'.Pi(2) is 0: every cluster needs a positive prior to be fitted."},
        Refusal{"StartNotPositiveDefinite",
                Start_Is([] {
                  return Start_Struct(Good_Mu(),
                                      test_host::make_array({2, 2, 2}, {1, 0, 0, 1, 1, 2, 2, 1}),
                                      Good_Pi());
                }),
                1, "Velmora:covariance",
                "In 'Start': The covariance of cluster 2 is not positive definite: its Cholesky "
                "factorisation failed."}),
    By_Name());

// Free memory for which the points of these calls do not fit beside
// everything else, but two chunks of 512 do (their one-kernel passes keep
// nothing per point but the point).
constexpr size_t kStreamingMemory = 60'000;

class VelmoraFitStreamTest : public VelmoraFitTest, public testing::WithParamInterface<bool> {};

TEST_P(VelmoraFitStreamTest, StreamedDataGiveTheBitsOfResidentData) {
  const bool full = GetParam();
  const Cluster_Data d = Make_Clusters(3, 3000, 3, 5.0, 1.0, 20.0, full, 67);
  const auto args = [&] {
    return Options(make_matrix(3, 3000, d.X), Num(3), make_string("CovarianceType"),
                   make_string(full ? "full" : "diagonal"), make_string("MaxIter"), Num(5),
                   make_string("Replicates"), Num(2));
  };
  const Outcome resident = Call(2, args());
  ASSERT_EQ(resident.id, "") << resident.message;
  EXPECT_EQ(Field(resident.out[1], "Resident")->data[0], 1.0);
  control::reset();
  control::set_memory(kStreamingMemory, 1'000'000);
  const Outcome streamed = Call(2, args());
  ASSERT_EQ(streamed.id, "") << streamed.message;
  EXPECT_EQ(Field(streamed.out[1], "Resident")->data[0], 0.0);
  for (const char *f : {"Mu", "Sigma", "Pi"})
    EXPECT_TRUE(Same_Bits(Field(resident.out[0], f)->data, Field(streamed.out[0], f)->data)) << f;
  EXPECT_TRUE(Same_Bits(Field(resident.out[1], "History")->data,
                        Field(streamed.out[1], "History")->data));
  EXPECT_EQ(control::live_allocations(), 0u);
  EXPECT_EQ(control::live_host_objects(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, VelmoraFitStreamTest, testing::Bool(), Mode_Name);

// Memory that holds neither the points nor a distance per point: k-means++
// streams like every other start, and gives the resident fit's bits.
TEST_F(VelmoraFitTest, EveryStartStreamsWhereNoDistancePerPointFits) {
  const int n = 20000;
  const Cluster_Data d = Make_Clusters(1, n, 3, 5.0, 1.0, 20.0, false, 83);
  for (const char *start : {"plus", "randSample"}) {
    const auto args = [&] {
      return Options(make_matrix(1, n, d.X), Num(3), make_string("Start"), make_string(start),
                     make_string("MaxIter"), Num(3));
    };
    control::reset();
    const Outcome resident = Call(2, args());
    ASSERT_EQ(resident.id, "") << resident.message;
    control::set_memory(kStreamingMemory, 1'000'000);
    ASSERT_LT(kStreamingMemory, n * sizeof(double));
    const Outcome streamed = Call(2, args());
    ASSERT_EQ(streamed.id, "") << start << ": " << streamed.message;
    EXPECT_EQ(Field(streamed.out[1], "Resident")->data[0], 0.0);
    for (const char *f : {"Mu", "Sigma", "Pi"})
      EXPECT_TRUE(Same_Bits(Field(resident.out[0], f)->data, Field(streamed.out[0], f)->data))
          << start << ": " << f;
    EXPECT_TRUE(Same_Bits(Field(resident.out[1], "History")->data,
                          Field(streamed.out[1], "History")->data))
        << start;
    EXPECT_EQ(control::live_allocations(), 0u);
  }
}

TEST_F(VelmoraFitTest, NonFiniteDataAreNamedWhetherResidentOrStreamed) {
  // Enough points for chunks of 512 to be streamed.
  const Cluster_Data d = Make_Clusters(2, 3000, 2, 6.0, 1.0, 10.0, true, 61);
  for (const bool streamed : {false, true}) {
    if (streamed) control::set_memory(kStreamingMemory, 1'000'000);
    const Outcome clean =
        Call(2, Options(make_matrix(2, 3000, d.X), Num(2), make_string("MaxIter"), Num(1)));
    ASSERT_EQ(clean.id, "") << clean.message;
    EXPECT_EQ(Field(clean.out[1], "Resident")->data[0], streamed ? 0.0 : 1.0);
    std::vector<Array> args = Options(make_matrix(2, 3000, d.X), Num(2));
    args[0]->data[2 * 2500 + 1] = -INFINITY;
    const Outcome o = Call(1, args);
    EXPECT_EQ(o.id, "Velmora:data");
    EXPECT_EQ(o.message, "X(2,2501) is -Inf: every coordinate of the data must be finite.");
    EXPECT_EQ(control::live_allocations(), 0u);
    EXPECT_EQ(control::live_host_objects(), 0u);
  }
}

TEST_F(VelmoraFitTest, RefusesWhenNotOneUnitOfPointsFits) {
  control::set_memory(5'000, 1'000'000);
  const Outcome o = Call(1, Fit_Args());
  EXPECT_EQ(o.id, "Velmora:memory");
  EXPECT_EQ(o.message.rfind("The fit needs at least ", 0), 0u) << o.message;
  EXPECT_NE(o.message.find(" bytes of device memory (300 points at a time); 5000 are free."),
            std::string::npos)
      << o.message;
}

// Launches, copies and synchronisations per iteration, resident data: one
// synchronisation whatever K, and launches that do not grow with it (past
// 32 clusters, where full mode merges cluster groups with a kernel of its
// own).
TEST_F(VelmoraFitTest, HostWorkPerIterationDoesNotGrowWithTheClusters) {
  for (const bool full : {false, true}) {
    std::vector<control::Counts> per_iteration;
    for (const int K : {40, 100, 250}) {
      const Cluster_Data d = Make_Clusters(2, 1000, K, 3.0, 1.0, 0.0, false, 71);
      std::vector<control::Counts> runs;
      for (const int iterations : {2, 4}) {
        control::reset();
        const Outcome o = Call(1, Options(make_matrix(2, 1000, d.X), Num(K),
                                          make_string("CovarianceType"),
                                          make_string(full ? "full" : "diagonal"),
                                          make_string("MaxIter"), Num(iterations),
                                          make_string("TolFun"), Num(0),
                                          make_string("RegularizationValue"), Num(1e-3)));
        ASSERT_EQ(o.id, "") << o.message;
        runs.push_back(control::counts());
      }
      per_iteration.push_back({0, 0, (runs[1].memcpys - runs[0].memcpys) / 2,
                               (runs[1].syncs - runs[0].syncs) / 2, 0,
                               (runs[1].launches - runs[0].launches) / 2});
    }
    for (const control::Counts &c : per_iteration) {
      EXPECT_EQ(c.syncs, 1) << (full ? "full" : "diagonal");
      EXPECT_EQ(c.launches, per_iteration[0].launches) << (full ? "full" : "diagonal");
      EXPECT_EQ(c.memcpys, per_iteration[0].memcpys) << (full ? "full" : "diagonal");
    }
  }
}

struct Device_Fault {
  const char *name;
  std::function<void()> arm;
  const char *id;
  std::string message;
};

std::ostream &operator<<(std::ostream &os, const Device_Fault &f) { return os << f.name; }

class VelmoraFitFaultTest : public VelmoraFitTest,
                            public testing::WithParamInterface<Device_Fault> {};

TEST_P(VelmoraFitFaultTest, EndsTheCallReleasesEverythingAndTheNextCallWorks) {
  const Device_Fault f = GetParam();
  f.arm();
  const Outcome o = Call(2, Fit_Args());
  EXPECT_EQ(o.id, f.id);
  EXPECT_EQ(o.message.rfind(f.message, 0), 0u) << o.message;
  EXPECT_EQ(control::live_allocations(), 0u);
  EXPECT_EQ(control::live_host_objects(), 0u) << "page-locked buffers, streams, events";
  control::reset();
  EXPECT_EQ(Call(2, Fit_Args()).id, "");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, VelmoraFitFaultTest,
    testing::Values(
        Device_Fault{"Allocation", [] { control::fail_malloc(3); }, "Velmora:memory",
                     "The device could not allocate "},
        Device_Fault{"PageLocking", [] { control::fail_malloc_host(1); }, "Velmora:memory",
                     "The host could not page-lock "},
        Device_Fault{"Upload", [] { control::fail_memcpy(1, cudaMemcpyHostToDevice); },
                     "Velmora:device", "The device failed to copy data to it: "},
        Device_Fault{"Kernel", [] { control::fail_sync(4, cudaErrorLaunchFailure); },
                     "Velmora:device", "The device failed while fitting: unspecified launch failure."},
        Device_Fault{"Download", [] { control::fail_memcpy(2, cudaMemcpyDeviceToHost); },
                     "Velmora:device", "The device failed to copy results back: "}),
    [](const testing::TestParamInfo<Device_Fault> &i) { return i.param.name; });

}  // namespace
