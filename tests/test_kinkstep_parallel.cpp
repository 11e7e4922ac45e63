#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"
#include "core/threads/busy.hpp"
#include "kinkstep/parallel.hpp"
#include "kinkstep/sequential.hpp"
#include "test_support.hpp"

namespace {

// The sample a thread draws first after reseeding with `seed`, out of N.
int32_t first_sample(uint32_t seed, int32_t N) {
  core::seed_thread_rand(seed);
  return core::draw_sample(N);
}

// N samples of D features with irregular values, column-major like MATLAB's X.
struct Problem {
  std::vector<double> X, y;
  core::RegressionData data;
  Problem(int32_t N, int32_t D) : X(static_cast<size_t>(N) * D), y(static_cast<size_t>(N)) {
    for (size_t k = 0; k < X.size(); ++k) X[k] = std::sin(1.0 + static_cast<double>(k));
    for (size_t k = 0; k < y.size(); ++k) y[k] = std::cos(static_cast<double>(k));
    data = core::make_regression_data(X.data(), N, D, y.data());
  }
};

core::WeightVector quiet_run(const core::RegressionData &d, const kinkstep::Parameters &p) {
  const core::FitResult r = kinkstep::parallel_averaged_descent(core::RunContext(d, false, {}), p);
  EXPECT_TRUE(r.done());
  return r.w;
}

}  // namespace

TEST(ParallelAveraged, WorkedExampleWithTwoThreads) {
  // Rows (1, 2) and (3, 4), labels 1, placed where threads 0 and 1 draw in iteration 0 (seeds 0
  // and 1); row (5, 6) takes the remaining place.
  const int32_t a = first_sample(0, 3), b = first_sample(1, 3);
  ASSERT_NE(a, b) << "seeds 0 and 1 draw the same sample out of 3; the example needs two";
  const int32_t c = 3 - a - b;
  std::vector<double> X(6);
  X[a] = 1, X[a + 3] = 2, X[b] = 3, X[b + 3] = 4, X[c] = 5, X[c + 3] = 6;
  const std::vector<double> y = {1, 1, 1};
  const core::RegressionData d = core::make_regression_data(X.data(), 3, 2, y.data());

  const DefaultTeam two(2);
  std::string text;
  const core::FitResult r =
      kinkstep::parallel_averaged_descent(core::RunContext(d, true, core::Printer::to_string(&text)), {0.1, 0.5, 1});
  ASSERT_TRUE(r.done());
  EXPECT_EQ(r.threads, 2);
  EXPECT_EQ(lines_of(text), (std::vector<std::string>{"Number of threads = 2", "Initial object function = 3.000000",
                                                      "Iteration 0, object function = 4.170000"}));
  // Candidates (0.1, 0.2) and (0.3, 0.4), each w - (stepSize * g) from w = 0; their average.
  EXPECT_DOUBLE_EQ(r.w[0], 0.2);
  EXPECT_DOUBLE_EQ(r.w[1], 0.3);
  EXPECT_EQ(r.w[0], ((0.0 + (0.0 - 0.1 * -1.0)) + (0.0 - 0.1 * -3.0)) / 2.0);
  EXPECT_EQ(r.w[1], ((0.0 + (0.0 - 0.1 * -2.0)) + (0.0 - 0.1 * -4.0)) / 2.0);
}

TEST(ParallelAveraged, OneThreadTakesOneOrdinaryStepFromSeedK) {
  // With T = 1 the method is the sequential one whose k-th draw is the first value of seed k.
  const Problem pb(40, 3);
  const kinkstep::Parameters p{0.05, 0.1, 120};
  std::vector<int32_t> draws;
  for (uint32_t k = 0; k < 120; ++k) {
    core::seed_thread_rand(k);
    draws.push_back(core::thread_rand());
  }
  core::WeightVector sequential;
  {
    core::ScriptedThreadRand script(draws);
    sequential = kinkstep::sequential_subgradient_descent(core::RunContext(pb.data, false, {}), p).w;
    ASSERT_EQ(script.consumed(), draws.size());
  }
  const DefaultTeam one(1);
  EXPECT_EQ(quiet_run(pb.data, p), sequential);
}

TEST(ParallelAveraged, SameTeamSizeGivesBitIdenticalWeightsWhateverTheCallersSeed) {
  const Problem pb(50, 4);
  const kinkstep::Parameters p{0.02, 0.05, 200};
  std::vector<core::WeightVector> by_team;
  for (int T = 1; T <= 4; ++T) {
    const DefaultTeam team(T);
    core::seed_thread_rand(12345);
    const core::WeightVector first = quiet_run(pb.data, p);
    core::seed_thread_rand(67890);
    EXPECT_EQ(quiet_run(pb.data, p), first) << "T = " << T;
    by_team.push_back(first);
  }
  // The team size is part of the result: more candidates per average, other seeds.
  for (size_t a = 0; a < by_team.size(); ++a)
    for (size_t b = a + 1; b < by_team.size(); ++b) EXPECT_NE(by_team[a], by_team[b]) << a + 1 << " vs " << b + 1;
}

TEST(ParallelAveraged, SeedsOverlapAcrossIterations) {
  // X = I, y = 1, lambda = 0, stepSize = 1: a thread that draws sample i leaves w with w_i = 1 in its
  // candidate and every other weight as it was, so the average shows which samples were drawn.
  const int32_t N = 64;
  const int32_t s0 = first_sample(0, N), s1 = first_sample(1, N), s2 = first_sample(2, N);
  ASSERT_TRUE(s0 != s1 && s1 != s2 && s0 != s2) << "the probe needs three different samples";
  std::vector<double> X(static_cast<size_t>(N) * N, 0.0), y(static_cast<size_t>(N), 1.0);
  for (int32_t i = 0; i < N; ++i) X[static_cast<size_t>(i) * N + i] = 1.0;
  const core::RegressionData d = core::make_regression_data(X.data(), N, N, y.data());

  const DefaultTeam two(2);
  const core::WeightVector w = quiet_run(d, {1.0, 0.0, 2});
  // Iteration 0 draws with seeds 0 and 1: w_s0 = w_s1 = 1/2. Iteration 1 with seeds 1 and 2: thread
  // 0 now draws s1, which thread 1 drew before, so w_s1 = (1 + 1/2) / 2 and w_s2 = 1/2.
  core::WeightVector expected(static_cast<size_t>(N), 0.0);
  expected[s0] = 0.5;
  expected[s1] = 0.75;
  expected[s2] = 0.5;
  EXPECT_EQ(w, expected);
}

TEST(ParallelAveraged, AverageIsTheThreadOrderSumDividedByT) {
  // One iteration from w = 0 with three threads: candidate t is -stepSize * g(sample of seed t).
  const Problem pb(30, 40);
  const kinkstep::Parameters p{0.3, 0.2, 1};
  std::vector<double> g(40), sum(40, 0.0);
  for (uint32_t t = 0; t < 3; ++t) {
    const core::WeightVector zero(40, 0.0);
    core::sample_subgradient(pb.data, first_sample(t, 30), zero.data(), p.lambda, g.data());
    for (size_t j = 0; j < 40; ++j) sum[j] = sum[j] + (0.0 - p.stepSize * g[j]);
  }
  core::WeightVector expected(40);
  bool division_matters = false;
  for (size_t j = 0; j < 40; ++j) {
    expected[j] = sum[j] / 3.0;
    division_matters |= expected[j] != sum[j] * (1.0 / 3.0);
  }
  ASSERT_TRUE(division_matters) << "the data cannot tell a division from a multiplication by 1/3";
  const DefaultTeam three(3);
  EXPECT_EQ(quiet_run(pb.data, p), expected);
}

TEST(ParallelAveraged, NoIterationStillSizesTheTeamAndLeavesZeros) {
  const std::vector<double> X = {1, 3, 5, 2, 4, 6}, y = {1, 1, 1};
  const core::RegressionData d = core::make_regression_data(X.data(), 3, 2, y.data());
  const DefaultTeam three(3);
  for (int32_t maxIter : {0, -5, -2147483647 - 1}) {
    std::string text;
    const uint64_t before = core::thread_rand_draws();
    const core::FitResult r = kinkstep::parallel_averaged_descent(
        core::RunContext(d, true, core::Printer::to_string(&text)), {0.1, 0.5, maxIter});
    EXPECT_TRUE(r.done());
    EXPECT_EQ(r.w, (core::WeightVector{0, 0}));
    EXPECT_EQ(core::thread_rand_draws(), before);
    EXPECT_EQ(text, "Number of threads = 3\nInitial object function = 3.000000\n");
  }
}

TEST(ParallelAveraged, QuietRunPrintsNothingAndGivesTheSameWeights) {
  const Problem pb(25, 3);
  const kinkstep::Parameters p{0.05, 0.1, 60};
  const DefaultTeam two(2);
  std::string loud_text, quiet_text;
  const core::FitResult loud =
      kinkstep::parallel_averaged_descent(core::RunContext(pb.data, true, core::Printer::to_string(&loud_text)), p);
  const core::FitResult quiet =
      kinkstep::parallel_averaged_descent(core::RunContext(pb.data, false, core::Printer::to_string(&quiet_text)), p);
  EXPECT_EQ(loud.w, quiet.w);
  EXPECT_EQ(quiet_text, "");
  const std::vector<std::string> lines = lines_of(loud_text);
  ASSERT_EQ(lines.size(), 62u);
  EXPECT_EQ(lines[0], "Number of threads = 2");
  for (int k = 0; k < 60; ++k)
    EXPECT_EQ(lines[static_cast<size_t>(k) + 2].rfind("Iteration " + std::to_string(k) + ", object function = ", 0),
              0u);
}

TEST(ParallelAveraged, CallingThreadDrawsOncePerIteration) {
  const Problem pb(10, 2);
  const DefaultTeam two(2);
  const core::FreeProcessorsForTests idle(64);
  const uint64_t before = core::thread_rand_draws();
  quiet_run(pb.data, {0.1, 0.1, 17});
  EXPECT_EQ(core::thread_rand_draws() - before, 17u);
}

namespace {
int32_t short_at_iteration_3(int32_t threads, int32_t k) {
  return k == 3 ? threads - 1 : threads;
}
int32_t one_too_many(int32_t threads, int32_t) {
  return threads + 1;
}
}  // namespace

TEST(ParallelAveraged, StepTeamOfAnotherSizeStopsBeforeAveraging) {
  const Problem pb(20, 3);
  const DefaultTeam three(3);
  const core::FreeProcessorsForTests idle(64);
  std::string text;
  const core::FitResult r = kinkstep::detail::parallel_averaged_descent(
      core::RunContext(pb.data, true, core::Printer::to_string(&text)), {0.1, 0.1, 10}, short_at_iteration_3);
  EXPECT_EQ(r.status, core::FitStatus::TeamFailed);
  EXPECT_STREQ(r.error.reason, "threadTeam");
  EXPECT_EQ(r.threads, 3);
  EXPECT_NE(
      std::string(r.error.message).find("started with 3 threads but the OpenMP runtime gave iteration 3 a team of 2"),
      std::string::npos)
      << r.error.message;
  const std::vector<std::string> lines = lines_of(text);
  ASSERT_EQ(lines.size(), 5u);  // thread count, initial, iterations 0 to 2
  EXPECT_EQ(lines.back().rfind("Iteration 2, ", 0), 0u);

  const core::FitResult more =
      kinkstep::detail::parallel_averaged_descent(core::RunContext(pb.data, false, {}), {0.1, 0.1, 10}, one_too_many);
  EXPECT_EQ(more.status, core::FitStatus::TeamFailed);
  EXPECT_NE(std::string(more.error.message).find("gave iteration 0 a team of 4"), std::string::npos)
      << more.error.message;
}

TEST(ParallelAveraged, FewerFreeProcessorsComputeTheSameTCandidates) {
  // On a busy machine fewer threads than T compute the T candidates, each several in turn.
  const Problem pb(40, 5);
  const kinkstep::Parameters p{0.05, 0.1, 60};
  const DefaultTeam three(3);
  core::FitResult all_free, one_free, two_free;
  {
    const core::FreeProcessorsForTests idle(64);
    all_free = kinkstep::parallel_averaged_descent(core::RunContext(pb.data, false, {}), p);
  }
  {
    const core::FreeProcessorsForTests busy(1);
    const uint64_t before = core::thread_rand_draws();
    one_free = kinkstep::parallel_averaged_descent(core::RunContext(pb.data, false, {}), p);
    EXPECT_EQ(core::thread_rand_draws() - before, 3u * 60u);  // the calling thread drew every candidate
  }
  {
    const core::FreeProcessorsForTests busy(2);
    two_free = kinkstep::parallel_averaged_descent(core::RunContext(pb.data, false, {}), p);
  }
  ASSERT_TRUE(all_free.done() && one_free.done() && two_free.done());
  EXPECT_EQ(one_free.threads, 3);
  EXPECT_EQ(two_free.threads, 3);
  EXPECT_EQ(one_free.w, all_free.w);
  EXPECT_EQ(two_free.w, all_free.w);
}

TEST(ParallelAveraged, ABusyMachineLearnsTheTeamSizeTheRuntimeWouldGive) {
  // Beside other work the size T is learnt without starting a team where the runtime's answer is
  // known, and from a team elsewhere: the outcome must be the one an idle machine's team gives.
  const Problem pb(30, 4);
  const kinkstep::Parameters p{0.05, 0.1, 25};
  const DefaultTeam two(2);
  auto run = [&](int32_t free, int32_t asked) {
    const core::FreeProcessorsForTests processors(free);
    core::RunContext context(pb.data, false, {});
    context.threads = asked;
    return kinkstep::parallel_averaged_descent(context, p);
  };
  auto same_outcome = [&](const char *setting, int32_t asked) -> core::FitResult {
    SCOPED_TRACE(setting);
    const core::FitResult idle = run(64, asked), busy = run(1, asked);
    EXPECT_EQ(busy.status, idle.status);
    EXPECT_EQ(busy.threads, idle.threads);
    EXPECT_EQ(busy.w, idle.w);
    EXPECT_EQ(busy.warning_count, idle.warning_count);
    for (int k = 0; k < std::min(idle.warning_count, busy.warning_count); ++k)
      EXPECT_STREQ(busy.warnings[k].message, idle.warnings[k].message);
    EXPECT_STREQ(busy.error.message, idle.error.message);
    return busy;
  };
  EXPECT_EQ(same_outcome("the default team", 0).threads, 2);
  EXPECT_EQ(same_outcome("opts.threads", 5).threads, 5);
  EXPECT_EQ(same_outcome("more threads than the process can start", 1 << 30).status, core::FitStatus::TeamFailed);
  {
    const int saved = omp_get_max_active_levels();
    omp_set_max_active_levels(0);
    const core::FitResult r = same_outcome("no active level allowed", 3);
    omp_set_max_active_levels(saved);
    EXPECT_EQ(r.threads, 1);
    EXPECT_EQ(r.warning_count, 1);
  }
#pragma omp parallel num_threads(2)
  {
    if (omp_get_thread_num() == 0) same_outcome("inside a parallel region", 3);
  }
}

TEST(ParallelAveraged, DynamicTeamsGiveTheSameWeightsAndTheCallersSettingSurvives) {
  const Problem pb(30, 3);
  const kinkstep::Parameters p{0.05, 0.1, 100};
  const DefaultTeam two(2);
  const core::WeightVector fixed = quiet_run(pb.data, p);
  omp_set_dynamic(1);
  const core::FitResult r = kinkstep::parallel_averaged_descent(core::RunContext(pb.data, false, {}), p);
  EXPECT_EQ(omp_get_dynamic(), 1);
  ASSERT_TRUE(r.done());
  // The runtime may size the first team to the machine's load; every step team keeps that size.
  if (r.threads == 2) {
    EXPECT_EQ(r.w, fixed);
  }
  omp_set_dynamic(0);
  const DefaultTeam same(r.threads);
  EXPECT_EQ(quiet_run(pb.data, p), r.w);
}
