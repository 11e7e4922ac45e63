#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/random/thread_rand.hpp"
#include "driftwalk/langevin.hpp"
#include "driftwalk/noise.hpp"
#include "reference/plain_loops.hpp"
#include "test_support.hpp"

namespace {

const std::vector<double> kX = {1, 3, 5, 2, 4, 6};  // [1 2; 3 4; 5 6]
const std::vector<double> kOnes = {1, 1, 1};

// The standardised noise of generator value 0.
double z_of_zero() {
  core::ScriptedThreadRand script({0});
  return driftwalk::gaussian_noise(0.0, 1.0);
}

}  // namespace

// N = D = 1, X = 2, y = 1, B = 1, lambda = 0.5, eps_t = 0.1 (t + 1)^-0.5, generator values all 0.
TEST(LangevinSolver, WorkedExampleOverTwoIterations) {
  const std::vector<double> X = {2}, y = {1};
  const core::RegressionData d = core::make_regression_data(X.data(), 1, 1, y.data());
  std::string text;
  const core::RunContext run{d, true, core::Printer::to_string(&text)};
  const driftwalk::Parameters p{0.1, 1.0, -0.5, 0.5, 1, 1};
  {
    core::ScriptedThreadRand draws({0, 0});  // the permutation of one sample, then the noise
    const core::WeightVector w = driftwalk::langevin_solve(run, p).w;
    EXPECT_EQ(draws.consumed(), 2u);
    // g = (-1 * 2) * 2 with no penalty at w = 0; w = 0.2 - 0.1 z.
    EXPECT_NEAR(w[0], 0.260775313571, 1e-11);
  }
  const std::vector<std::string> lines = lines_of(text);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Initial object function = 1.000000");
  // The objective shown is that of the weights after the noise.
  EXPECT_EQ(without_clock(lines[1]), "Iteration 0, clock= #, object function = 0.359301");

  // The second step (eps = 0.1 / sqrt(2)) carries the penalty of the now positive weight.
  core::ScriptedThreadRand draws({0, 0, 0, 0});
  driftwalk::Parameters two = p;
  two.maxIter = 2;
  const core::WeightVector w = driftwalk::langevin_solve(core::RunContext(d, false, {}), two).w;
  EXPECT_EQ(draws.consumed(), 4u);
  EXPECT_NEAR(w[0], 0.353735239597, 1e-11);
}

TEST(LangevinSolver, MinibatchGradientUsesTheFirstBEntriesScaledThenPenalised) {
  const std::vector<double> y = {1, 2, 3};
  const core::RegressionData d = core::make_regression_data(kX.data(), 3, 2, y.data());
  const double w[2] = {1, -1};
  const int32_t perm[3] = {2, 0, 1};
  double g[2] = {99, -99};  // overwritten, not added to
  // Residuals of samples 2 and 0 are -4 and -2: sum 2 r x = (-44, -56), times 3/2, then +-0.5.
  reference::minibatch_gradient(d, w, perm, 2, 0.5, g);
  EXPECT_EQ(g[0], -65.5);
  EXPECT_EQ(g[1], -84.5);
}

TEST(LangevinSolver, NoIterationLeavesZerosAndDrawsNothing) {
  const core::RegressionData d = core::make_regression_data(kX.data(), 3, 2, kOnes.data());
  for (int32_t maxIter : {0, -5, -2147483647 - 1}) {
    std::string text;
    const uint64_t before = core::thread_rand_draws();
    // batchSize is not looked at when nothing runs.
    const core::WeightVector w = driftwalk::langevin_solve(core::RunContext(d, true, core::Printer::to_string(&text)),
                                                           {0.1, 1, -0.5, 0.5, 0, maxIter})
                                     .w;
    EXPECT_EQ(w, (core::WeightVector{0, 0}));
    EXPECT_EQ(core::thread_rand_draws(), before);
    EXPECT_EQ(text, "Initial object function = 3.000000\n");
  }
}

TEST(LangevinSolver, ZeroStepScaleKeepsZerosButStillDrawsNPlusDPerIteration) {
  const core::RegressionData d = core::make_regression_data(kX.data(), 3, 2, kOnes.data());
  core::seed_thread_rand(5);
  const uint64_t before = core::thread_rand_draws();
  const core::WeightVector w = driftwalk::langevin_solve(core::RunContext(d, false, {}), {0.0, 1.0, -0.5, 0.5, 2, 7}).w;
  EXPECT_EQ(w, (core::WeightVector{0, 0}));
  EXPECT_FALSE(std::signbit(w[0]) || std::signbit(w[1]));
  EXPECT_EQ(core::thread_rand_draws() - before, 7u * (3 + 2));
}

TEST(LangevinSolver, NonFiniteStepSizesPassThrough) {
  // stepOffset 0 with a negative power: eps_0 = pow(0, -0.5) * 0.1 = inf.
  const core::RegressionData d = core::make_regression_data(kX.data(), 3, 2, kOnes.data());
  const uint64_t before = core::thread_rand_draws();
  const core::WeightVector w = driftwalk::langevin_solve(core::RunContext(d, false, {}), {0.1, 0.0, -0.5, 0.5, 2, 3}).w;
  EXPECT_FALSE(std::isfinite(w[0]));
  EXPECT_FALSE(std::isfinite(w[1]));
  EXPECT_EQ(core::thread_rand_draws() - before, 3u * (3 + 2));
}

TEST(LangevinSolver, FullBatchIsEverySampleUnscaledWhateverTheOrder) {
  const core::RegressionData d = core::make_regression_data(kX.data(), 3, 2, kOnes.data());
  const double z = z_of_zero();
  // Permutations (2, 0, 1) and (0, 1, 2), then noise value 0 for both weights.
  std::vector<core::WeightVector> results;
  for (const std::vector<int32_t> &values : {std::vector<int32_t>{0, 0, 0, 0, 0}, {0, 1, 2, 0, 0}}) {
    core::ScriptedThreadRand script(values);
    results.push_back(driftwalk::langevin_solve(core::RunContext(d, false, {}), {0.1, 1.0, -0.5, 0.5, 3, 1}).w);
    EXPECT_EQ(script.consumed(), 5u);
  }
  EXPECT_EQ(results[0], results[1]);
  // g = -2 * (1 + 3 + 5, 2 + 4 + 6) = (-18, -24); w = 0.05 * (18, 24) - 0.1 z.
  EXPECT_DOUBLE_EQ(results[0][0], 0.9 - 0.1 * z);
  EXPECT_DOUBLE_EQ(results[0][1], 1.2 - 0.1 * z);
}

TEST(LangevinSolver, RefusesBatchSizesOutsideOneToN) {
  const core::RegressionData d = core::make_regression_data(kX.data(), 3, 2, kOnes.data());
  for (int32_t B : {0, -1, 4, -2147483647 - 1})
    EXPECT_THROW(driftwalk::langevin_solve(core::RunContext(d, false, {}), {0.1, 1, -0.5, 0.5, B, 1}),
                 std::invalid_argument)
        << B;
  const core::RegressionData empty = core::make_regression_data(nullptr, 0, 2, nullptr);
  EXPECT_THROW(driftwalk::langevin_solve(core::RunContext(empty, false, {}), {0.1, 1, -0.5, 0.5, 1, 1}),
               std::invalid_argument);
}
