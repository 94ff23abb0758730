// A GPU runs a block's threads in no set order between barriers, and the
// CPU device one after another: a result that depends on the order hides a
// race. The evaluator's and the fit's kernels give the same bits in the
// reversed order and in shuffled ones.
#include <cpu_device/control.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

#include "common/fit_fixture.h"
#include "common/library_test.h"
#include "common/log_reference.h"
#include "common/mixture_fixture.h"
#include "fit.h"

namespace {

namespace control = cpu_device::control;

struct Other_Order {
  control::Thread_Order order;
  std::uint64_t seed;
  const char *name;
};
constexpr Other_Order kOtherOrders[] = {{control::Thread_Order::reversed, 0, "reversed"},
                                        {control::Thread_Order::shuffled, 1, "shuffled:1"},
                                        {control::Thread_Order::shuffled, 2, "shuffled:2"}};

class OrderTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    control::reset();
    control::set_thread_order(control::Thread_Order::forward);
  }
  void TearDown() override {
    control::reset();
    LibraryTest::TearDown();
  }
};

struct Evaluator_Case {
  bool diagonal;
  int dim, K;
};

std::ostream &operator<<(std::ostream &os, const Evaluator_Case &c) {
  return os << (c.diagonal ? "diagonal" : "full") << ", dim " << c.dim << ", K " << c.K;
}

class EvaluatorOrderTest : public OrderTest, public testing::WithParamInterface<Evaluator_Case> {};

TEST_P(EvaluatorOrderTest, LogPAndPosteriorsKeepTheirBits) {
  const Evaluator_Case c = GetParam();
  const Mixture m = Make_Mixture(c.dim, 150, c.K, c.diagonal, 500 + c.dim);
  const Log_Result want = Evaluate(m);
  for (const Other_Order &o : kOtherOrders) {
    control::set_thread_order(o.order, o.seed);
    const Log_Result got = Evaluate(m);
    EXPECT_TRUE(Same_Bits(want.log_p, got.log_p)) << o.name;
    EXPECT_TRUE(Same_Bits(want.R, got.R)) << o.name;
  }
}

// Every kernel family: the diagonal kernel with its points resident and
// not; the small-dim kernel; the wide one with 2 and 4 rows a thread, and
// with several cluster groups merged by the second kernel.
INSTANTIATE_TEST_SUITE_P(Kernels, EvaluatorOrderTest,
                         testing::Values(Evaluator_Case{true, 17, 21}, Evaluator_Case{true, 70, 5},
                                         Evaluator_Case{false, 8, 20}, Evaluator_Case{false, 20, 3},
                                         Evaluator_Case{false, 40, 18}));

class FitOrderTest : public OrderTest, public testing::WithParamInterface<bool> {};

TEST_P(FitOrderTest, BothPathsKeepTheirBits) {
  const bool full = GetParam();
  const int dim = 5, K = 4, n = 1500;
  const Cluster_Data d = Make_Clusters(dim, n, K, 5.0, 1.0, 10.0, full, 31);
  for (const bool separate : {false, true}) {
    velmora_log::Fit_Options options{
        .mode = full ? velmora_log::Mode::full : velmora_log::Mode::diagonal,
        .max_iter = 3,
        .tol_fun = 0,
        .separate_kernels = separate};
    control::set_thread_order(control::Thread_Order::forward);
    const velmora_log::Fit_Result want = velmora_log::Fit(d.X.data(), dim, n, K, options);
    for (const Other_Order &o : kOtherOrders) {
      control::set_thread_order(o.order, o.seed);
      const velmora_log::Fit_Result got = velmora_log::Fit(d.X.data(), dim, n, K, options);
      const char *path = separate ? "separate kernels" : "one kernel";
      EXPECT_TRUE(Same_Bits(want.model.mu, got.model.mu)) << o.name << ", " << path;
      EXPECT_TRUE(Same_Bits(want.model.sigma, got.model.sigma)) << o.name << ", " << path;
      EXPECT_TRUE(Same_Bits(want.model.pi, got.model.pi)) << o.name << ", " << path;
      EXPECT_TRUE(Same_Bits(want.history, got.history)) << o.name << ", " << path;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, FitOrderTest, testing::Bool(), Mode_Name);

}  // namespace
