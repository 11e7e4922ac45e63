// kinkstep method 1 through mexhost. The module is loaded into this process and shares its OpenMP
// runtime, so omp_set_num_threads here sets the module's default team size.
#include <omp.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "core/random/thread_rand.hpp"
#include "module_call.hpp"
#include "test_support.hpp"

namespace {

const mexhost::Module &kinkstep() {
  return loaded_module("kinkstep");
}

// 40 samples of 3 features with irregular values.
Inputs irregular(double maxIter, double method, double verbose) {
  std::vector<double> X(120), y(40);
  for (size_t k = 0; k < X.size(); ++k) X[k] = std::sin(2.0 + static_cast<double>(k));
  for (size_t k = 0; k < y.size(); ++k) y[k] = std::cos(0.5 * static_cast<double>(k));
  Inputs in;
  in.add(mexhost::make_double(40, 3, X)).add(mexhost::make_double(40, 1, y));
  in.add(0.05).add(0.1).add(maxIter).add(method).add(verbose);
  return in;
}

// T from "Number of threads = T", or -1.
int printed_threads(const mexhost::CallResult &r) {
  for (const std::string &line : r.lines)
    if (line.rfind("Number of threads = ", 0) == 0) return std::atoi(line.c_str() + 20);
  return -1;
}

std::vector<double> weights_with_team(int threads) {
  const DefaultTeam team(threads);
  mexhost::CallResult r = kinkstep().call(1, irregular(150, 1, 0).pointers());
  EXPECT_FALSE(r.failed) << r.error_message;
  return mexhost::values(r.output());
}

}  // namespace

TEST(KinkstepParallelModule, WorkedExampleWithTwoThreads) {
  // Rows (1, 2) and (3, 4) where seeds 0 and 1 draw out of three samples, row (5, 6) elsewhere.
  core::seed_thread_rand(0);
  const int32_t a = core::thread_rand() % 3;
  core::seed_thread_rand(1);
  const int32_t b = core::thread_rand() % 3;
  ASSERT_NE(a, b);
  std::vector<double> X(6);
  X[a] = 1, X[a + 3] = 2, X[b] = 3, X[b + 3] = 4, X[3 - a - b] = 5, X[3 - a - b + 3] = 6;
  Inputs in;
  in.add(mexhost::make_double(3, 2, X)).add(worked_y()).add(0.1).add(0.5).add(1).add(1).add(1);

  const DefaultTeam two(2);
  mexhost::CallResult r = kinkstep().call(1, in.pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  EXPECT_EQ(r.lines, (std::vector<std::string>{
                         "N=3, D=2, method=1, maxIter=1", "Number of threads = 2", "Initial object function = 3.000000",
                         "Iteration 0, object function = 4.170000", "Final object function = 4.170000"}));
  const std::vector<double> w = mexhost::values(r.output());
  ASSERT_EQ(w.size(), 2u);
  EXPECT_DOUBLE_EQ(w[0], 0.2);
  EXPECT_DOUBLE_EQ(w[1], 0.3);
  EXPECT_EQ(r.temporaries_left, 0);
}

TEST(KinkstepParallelModule, NoIterationPrintsTheThreadCountAndReturnsZeros) {
  const DefaultTeam three(3);
  mexhost::CallResult r = kinkstep().call(1, irregular(0, 1, 1).pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  ASSERT_EQ(r.lines.size(), 4u);
  EXPECT_EQ(r.lines[0], "N=40, D=3, method=1, maxIter=0");
  EXPECT_EQ(r.lines[1], "Number of threads = 3");
  EXPECT_EQ(r.lines[2].rfind("Initial object function = ", 0), 0u);
  EXPECT_EQ(r.lines[3], "Final " + r.lines[2].substr(8));
  EXPECT_EQ(mexhost::values(r.output()), (std::vector<double>{0, 0, 0}));
}

TEST(KinkstepParallelModule, VerboseRunEndsOnTheLastIterationsObjective) {
  const DefaultTeam two(2);
  mexhost::CallResult r = kinkstep().call(1, irregular(30, 1.7, 1).pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  ASSERT_EQ(r.lines.size(), 34u);
  EXPECT_EQ(r.lines[0], "N=40, D=3, method=1, maxIter=30");  // 1.7 truncates to 1
  for (int k = 0; k < 30; ++k)
    EXPECT_EQ(r.lines[static_cast<size_t>(k) + 3].rfind("Iteration " + std::to_string(k) + ", object function = ", 0),
              0u);
  EXPECT_EQ(r.lines[33], "Final " + r.lines[32].substr(r.lines[32].find("object function")));
}

TEST(KinkstepParallelModule, SilentUnlessVerboseIsOneWithTheSameWeights) {
  const DefaultTeam two(2);
  const std::vector<double> loud = mexhost::values(kinkstep().call(1, irregular(80, 1, 1).pointers()).output());
  for (double verbose : {0.0, 2.0, -1.0, 0.99}) {
    mexhost::CallResult r = kinkstep().call(1, irregular(80, 1, verbose).pointers());
    ASSERT_FALSE(r.failed) << verbose;
    EXPECT_EQ(r.printed, "") << verbose;
    EXPECT_EQ(mexhost::values(r.output()), loud) << verbose;
  }
}

TEST(KinkstepParallelModule, UnseededCallsGiveBitIdenticalWeights) {
  // Each unseeded call draws a seed of its own, and method 1 uses none of them.
  const std::vector<double> first = weights_with_team(2);
  EXPECT_EQ(weights_with_team(2), first);
}

TEST(KinkstepParallelModule, EachTeamSizeIsDeterministicAndPrintsItself) {
  std::vector<std::vector<double>> by_team;
  for (int T = 1; T <= 4; ++T) {
    const DefaultTeam team(T);
    mexhost::CallResult loud = kinkstep().call(1, irregular(150, 1, 1).pointers());
    ASSERT_FALSE(loud.failed) << loud.error_message;
    EXPECT_EQ(printed_threads(loud), T);
    EXPECT_EQ(weights_with_team(T), mexhost::values(loud.output())) << "T = " << T;
    by_team.push_back(mexhost::values(loud.output()));
  }
  for (size_t a = 0; a < by_team.size(); ++a)
    for (size_t b = a + 1; b < by_team.size(); ++b) EXPECT_NE(by_team[a], by_team[b]);
}

// Run by ctest also under OMP_NUM_THREADS = 1 .. 4 and OMP_DYNAMIC=true: whatever team the runtime's
// defaults give, the call prints its size and returns the weights of that size.
TEST(KinkstepParallelEnv, FollowsTheRuntimesDefaultTeam) {
  const bool dynamic = omp_get_dynamic() != 0;
  mexhost::CallResult r = kinkstep().call(1, irregular(150, 1, 1).pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  const int T = printed_threads(r);
  if (const char *env = std::getenv("OMP_NUM_THREADS"); env && !dynamic) {
    EXPECT_EQ(T, std::atoi(env));
  }
  if (dynamic) {
    EXPECT_GE(T, 1);
    EXPECT_LE(T, omp_get_max_threads());
  } else {
    EXPECT_EQ(T, omp_get_max_threads());
  }
  EXPECT_EQ(omp_get_dynamic() != 0, dynamic);  // the host's setting is left as it was
  EXPECT_EQ(mexhost::values(r.output()), weights_with_team(T));
}

TEST(KinkstepParallelModule, EmptyDataIsAnErrorOnlyWhenSomethingIsDrawn) {
  Inputs no_samples;
  no_samples.add(mexhost::make_double(0, 2)).add(mexhost::make_double(0, 0)).add(0.1).add(0.5).add(0).add(1).add(0);
  mexhost::CallResult r = kinkstep().call(1, no_samples.pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  EXPECT_EQ(mexhost::values(r.output()), (std::vector<double>{0, 0}));
  no_samples.set(4, 3.0);
  expect_clean_error(kinkstep().call(1, no_samples.pointers()), "kinkstep:emptyData");

  Inputs no_features;
  no_features.add(mexhost::make_double(3, 0)).add(worked_y()).add(0.1).add(0.5).add(5).add(1).add(0);
  r = kinkstep().call(1, no_features.pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  EXPECT_EQ(mxGetM(r.output()), 0u);
  EXPECT_EQ(mxGetN(r.output()), 1u);
}
