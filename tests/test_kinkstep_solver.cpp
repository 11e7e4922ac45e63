#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"
#include "kinkstep/parallel.hpp"
#include "kinkstep/sequential.hpp"
#include "test_support.hpp"

namespace {

const std::vector<double> kX = {1, 3, 5, 2, 4, 6};
const std::vector<double> kY = {1, 1, 1};

}  // namespace

TEST(SequentialSubgradient, WorkedExample) {
  const core::RegressionData d = core::make_regression_data(kX.data(), 3, 2, kY.data());
  std::string text;
  const core::RunContext run{d, true, core::Printer::to_string(&text)};
  kinkstep::Parameters p{0.1, 0.5, 2};
  core::ScriptedThreadRand draws({3, 5});  // 3 % 3 = sample 0, then 5 % 3 = sample 2
  const core::WeightVector w = kinkstep::sequential_subgradient_descent(run, p).w;
  EXPECT_EQ(draws.consumed(), 2u);
  EXPECT_DOUBLE_EQ(w[0], -0.3);
  EXPECT_DOUBLE_EQ(w[1], -0.27);
  // The update is w - (stepSize * g), the subgradient taken at the weights before the step.
  const double c = (0.0 + 5 * 0.1 + 6 * 0.2) - 1;
  EXPECT_EQ(w[0], 0.1 - 0.1 * (c * 5 + 0.5));
  EXPECT_EQ(w[1], 0.2 - 0.1 * (c * 6 + 0.5));
  const std::vector<std::string> lines = lines_of(text);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Initial object function = 3.000000");
  EXPECT_EQ(without_clock(lines[1]), "Iteration 0, clock= # object function = 0.900000");
  EXPECT_EQ(without_clock(lines[2]), "Iteration 1, clock= # object function = 29.525400");
}

TEST(SequentialSubgradient, NoIterationLeavesZeros) {
  const core::RegressionData d = core::make_regression_data(kX.data(), 3, 2, kY.data());
  for (int32_t maxIter : {0, -5, -2147483647 - 1}) {
    std::string text;
    const core::RunContext run{d, true, core::Printer::to_string(&text)};
    const uint64_t before = core::thread_rand_draws();
    const core::WeightVector w = kinkstep::sequential_subgradient_descent(run, {0.1, 0.5, maxIter}).w;
    EXPECT_EQ(w, (core::WeightVector{0, 0}));
    EXPECT_EQ(core::thread_rand_draws(), before);
    EXPECT_EQ(text, "Initial object function = 3.000000\n");
  }
}

TEST(SequentialSubgradient, SilentRunGivesTheSameWeightsAndPrintsNothing) {
  std::vector<double> X(40 * 3), y(40);
  for (size_t k = 0; k < X.size(); ++k) X[k] = std::sin(static_cast<double>(k));
  for (size_t k = 0; k < y.size(); ++k) y[k] = std::cos(static_cast<double>(k));
  const core::RegressionData d = core::make_regression_data(X.data(), 40, 3, y.data());
  std::string loud_text, quiet_text;
  core::seed_thread_rand(99);
  const core::WeightVector loud = kinkstep::sequential_subgradient_descent(
                                      core::RunContext(d, true, core::Printer::to_string(&loud_text)), {0.01, 0.1, 200})
                                      .w;
  core::seed_thread_rand(99);
  const core::WeightVector quiet =
      kinkstep::sequential_subgradient_descent(core::RunContext(d, false, core::Printer::to_string(&quiet_text)),
                                               {0.01, 0.1, 200})
          .w;
  EXPECT_EQ(loud, quiet);
  EXPECT_EQ(quiet_text, "");
  EXPECT_EQ(lines_of(loud_text).size(), 201u);
}

TEST(SequentialSubgradient, ZeroWeightGetsNoPenaltyButSignedWeightsDo) {
  // One feature, one sample x = 1, y = 0: c = w. From w = 0 the first step has g = 0 (no penalty
  // term), so w stays 0 for ever; with y = 1 the first step moves w to +stepSize, after which the
  // penalty pulls with the sign of w.
  const std::vector<double> X = {1}, y0 = {0}, y1 = {1};
  const core::RegressionData d0 = core::make_regression_data(X.data(), 1, 1, y0.data());
  const core::WeightVector w0 =
      kinkstep::sequential_subgradient_descent(core::RunContext(d0, false, {}), {0.1, 5.0, 3}).w;
  EXPECT_EQ(w0[0], 0.0);
  const core::RegressionData d1 = core::make_regression_data(X.data(), 1, 1, y1.data());
  const core::WeightVector w1 =
      kinkstep::sequential_subgradient_descent(core::RunContext(d1, false, {}), {0.1, 5.0, 2}).w;
  // Step 1: g = -1 -> w = 0.1. Step 2: g = (0.1 - 1) + 5 = 4.1 -> w = 0.1 - 0.41.
  EXPECT_EQ(w1[0], 0.1 - 0.1 * ((0.1 - 1.0) + 5.0));
}
