#include <omp.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"
#include "module_call.hpp"
#include "splitavg/sample_source.hpp"
#include "splitavg/shuffle.hpp"
#include "splitavg/split_average.hpp"
#include "test_support.hpp"

namespace {

const mexhost::Module &splitavg_module() {
  return loaded_module("splitavg");
}

// Rows (1, 2), (3, 4), (5, 6) with distinct labels 1, 2, 3.
Inputs worked(double verbose) {
  Inputs in;
  in.add(worked_X()).add(mexhost::make_row({1, 2, 3})).add(0.1).add(0.5).add(verbose);
  return in;
}

// A larger problem whose result depends on the order of the samples.
Inputs wavy(int N, int D, double verbose) {
  std::vector<double> X(static_cast<size_t>(N) * D), y(static_cast<size_t>(N));
  for (size_t k = 0; k < X.size(); ++k) X[k] = std::sin(0.37 * static_cast<double>(k) + 0.1);
  for (size_t k = 0; k < y.size(); ++k) y[k] = std::cos(1.3 * static_cast<double>(k));
  Inputs in;
  in.add(mexhost::make_double(static_cast<size_t>(N), static_cast<size_t>(D), X))
      .add(mexhost::make_double(static_cast<size_t>(N), 1, y))
      .add(0.02)
      .add(0.01)
      .add(verbose);
  return in;
}

// One sequential pass over the rows in the given order, stepSize 0.1 and lambda 0.5.
std::vector<double> pass_in_order(const std::vector<std::vector<double>> &rows, const std::vector<double> &y,
                                  const std::vector<int> &order) {
  std::vector<double> m(2, 0.0), g(2);
  for (int i : order) {
    double c = 0.0;
    for (size_t j = 0; j < 2; ++j) c = c + rows[static_cast<size_t>(i)][j] * m[j];
    c = c - y[static_cast<size_t>(i)];
    for (size_t j = 0; j < 2; ++j) {
      g[j] = c * rows[static_cast<size_t>(i)][j];
      if (m[j] > 0)
        g[j] = g[j] + 0.5;
      else if (m[j] < 0)
        g[j] = g[j] - 0.5;
    }
    for (size_t j = 0; j < 2; ++j) m[j] = m[j] - 0.1 * g[j];
  }
  return m;
}

}  // namespace

TEST(SplitavgModule, VerboseRunPrintsEachMessageOnceInOrder) {
  TeamSize two(2);
  const double before = omp_get_wtime();
  mexhost::CallResult r = splitavg_module().call(1, worked(1).pointers());
  const double after = omp_get_wtime();
  ASSERT_FALSE(r.failed) << r.error_message;
  ASSERT_EQ(r.lines.size(), 4u) << r.printed;
  EXPECT_EQ(r.lines[0], "N=3, D=2, lambda0.500000");
  EXPECT_EQ(r.lines[1], "Number of threads = 2");
  EXPECT_EQ(r.lines[2], "Initial object function = 14.000000");
  // "Final object function = <f>, time= <seconds>"
  const std::string head = "Final object function = ", mid = ", time= ";
  const size_t at = r.lines[3].find(mid);
  ASSERT_EQ(r.lines[3].rfind(head, 0), 0u) << r.lines[3];
  ASSERT_NE(at, std::string::npos) << r.lines[3];
  const std::string printed_f = r.lines[3].substr(head.size(), at - head.size());
  const std::string seconds = r.lines[3].substr(at + mid.size());
  // The clock's second marks passed since the run started: the run starts no earlier than `before`
  // and prints no later than `after`, on the clock the test reads too.
  const unsigned long most = static_cast<unsigned long>(std::trunc(after - std::trunc(before)));
  ASSERT_TRUE(!seconds.empty() && seconds.find_first_not_of("0123456789") == std::string::npos) << r.lines[3];
  EXPECT_LE(std::stoul(seconds), most) << r.lines[3];
  // The objective of the returned weights over the three samples.
  const std::vector<double> w = mexhost::values(r.output());
  ASSERT_EQ(w.size(), 2u);
  double f = 0.0;
  const double X[3][2] = {{1, 2}, {3, 4}, {5, 6}};
  for (int i = 0; i < 3; ++i) f += std::pow(X[i][0] * w[0] + X[i][1] * w[1] - (i + 1), 2.0);
  f += std::fabs(w[0]) * 0.5 + std::fabs(w[1]) * 0.5;
  char expected[64];
  std::snprintf(expected, sizeof expected, "%f", f);
  EXPECT_EQ(printed_f, expected);
}

TEST(SplitavgModule, OneThreadIsASequentialPassOverTheReportedSeedsShuffle) {
  TeamSize one(1);
  const std::vector<std::vector<double>> rows = {{1, 2}, {3, 4}, {5, 6}};
  const std::vector<double> y = {1, 2, 3};
  mexhost::CallResult r = splitavg_module().call(2, worked(0).pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  // The module seeds with the seed it reports and moves the sample at p[k] to position k.
  core::seed_thread_rand(static_cast<uint32_t>(reported_seed(r)));
  const std::vector<int32_t> p = core::random_permutation(3);
  const std::vector<double> w = mexhost::values(r.output());
  EXPECT_EQ(w, pass_in_order(rows, y, std::vector<int>(p.begin(), p.end())));
}

TEST(SplitavgModule, TheReportedSeedReplaysTheRunForEveryTeamSizeWhateverVerbose) {
  for (int T : {1, 2, 3, 4}) {
    TeamSize size(T);
    const mexhost::CallResult first = splitavg_module().call(2, wavy(500, 6, 0).pointers());
    ASSERT_FALSE(first.failed) << first.error_message;
    const double seed = reported_seed(first);
    const mexhost::CallResult loud = splitavg_module().call(1, with_seed(wavy(500, 6, 1), seed).pointers());
    const mexhost::CallResult quiet = splitavg_module().call(1, with_seed(wavy(500, 6, 0), seed).pointers());
    EXPECT_EQ(loud.lines.at(1), "Number of threads = " + std::to_string(T));
    EXPECT_EQ(first.printed, "");
    EXPECT_EQ(quiet.printed, "");
    const std::vector<double> w = mexhost::values(first.output());
    EXPECT_EQ(mexhost::values(loud.output()), w) << T;   // verbose does not change the result
    EXPECT_EQ(mexhost::values(quiet.output()), w) << T;  // the same seed gives the same result
  }
}

TEST(SplitavgModule, SilentUnlessVerboseIsExactlyOne) {
  for (double verbose : {0.0, 0.99, 2.0, -1.0, std::nan("")}) {
    mexhost::CallResult r = splitavg_module().call(1, worked(verbose).pointers());
    ASSERT_FALSE(r.failed) << verbose;
    EXPECT_EQ(r.printed, "") << verbose;
  }
  mexhost::CallResult r = splitavg_module().call(1, worked(1.7).pointers());
  EXPECT_EQ(r.lines.size(), 4u);
}

TEST(SplitavgModule, EmptyShapes) {
  TeamSize three(3);
  Inputs no_samples;
  no_samples.add(mexhost::make_double(0, 2)).add(mexhost::make_double(0, 0)).add(0.1).add(0.5).add(1);
  mexhost::CallResult r = splitavg_module().call(1, no_samples.pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  EXPECT_EQ(mexhost::values(r.output()), (std::vector<double>{0, 0}));
  ASSERT_EQ(r.lines.size(), 4u) << r.printed;
  EXPECT_EQ(std::vector<std::string>(r.lines.begin(), r.lines.begin() + 3),
            (std::vector<std::string>{"N=0, D=2, lambda0.500000", "Number of threads = 3",
                                      "Initial object function = 0.000000"}));
  // The time counts second marks passed, so even a short run may cross one.
  const std::string final_line = "Final object function = 0.000000, time= ";
  EXPECT_TRUE(r.lines[3] == final_line + "0" || r.lines[3] == final_line + "1") << r.lines[3];

  Inputs no_features;
  no_features.add(mexhost::make_double(3, 0)).add(worked_y()).add(0.1).add(0.5).add(0);
  r = splitavg_module().call(1, no_features.pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  EXPECT_EQ(mxGetM(r.output()), 0u);
  EXPECT_EQ(mxGetN(r.output()), 1u);
}

TEST(SplitavgModule, BadCallsRaiseErrorsAndLeaveNothingBehind) {
  const long live = mexhost::live_arrays();
  {
    for (int n : {0, 2, 4}) {
      Inputs in = worked(0);
      for (int k = 5; k > n; --k) in.drop_last();
      expect_clean_error(splitavg_module().call(1, in.pointers()), "splitavg:notEnoughInputs");
    }
    Inputs seven = worked(0);
    seven.add(mexhost::make_struct({})).add(1.0);
    expect_clean_error(splitavg_module().call(1, seven.pointers()), "splitavg:tooManyInputs");
    expect_clean_error(splitavg_module().call(3, worked(0).pointers()), "splitavg:tooManyOutputs");

    Inputs bad_x = worked(1);
    bad_x.set(0, mexhost::make_numeric(mxINT16_CLASS, 3, 2));
    mexhost::CallResult r = splitavg_module().call(1, bad_x.pointers());
    expect_clean_error(r, "splitavg:invalidX");
    EXPECT_EQ(r.printed, "");
    Inputs bad_y = worked(0);
    bad_y.set(1, mexhost::make_cell(1, 3));
    expect_clean_error(splitavg_module().call(1, bad_y.pointers()), "splitavg:invalidY");

    // y with fewer than N values: refused rather than read past.
    Inputs short_y = worked(1);
    short_y.set(1, mexhost::make_row({1, 2}));
    r = splitavg_module().call(1, short_y.pointers());
    expect_clean_error(r, "splitavg:yTooShort");
    EXPECT_EQ(r.error_message.rfind("splitavg:", 0), std::string::npos) << r.error_message;

    const char *names[] = {"stepSize", "lambda", "verbose"};
    for (size_t k = 2; k < 5; ++k) {
      Inputs in = worked(1);
      in.set(k, mexhost::make_double(0, 0));
      r = splitavg_module().call(1, in.pointers());
      expect_clean_error(r, "splitavg:invalidParameter");
      EXPECT_NE(r.error_message.find(names[k - 2]), std::string::npos) << r.error_message;
    }
  }
  EXPECT_EQ(mexhost::live_arrays(), live);
}

// Run under OMP_NUM_THREADS and OMP_DYNAMIC set by ctest: the module's team follows the runtime's
// default, and its result is the one-pass solver's on the time-seeded shuffle with that team.
TEST(SplitavgEnv, FollowsTheRuntimesDefaultTeam) {
  const int N = 700, D = 5;
  mexhost::CallResult r = splitavg_module().call(2, wavy(N, D, 1).pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  int T = 0;
  ASSERT_EQ(std::sscanf(r.lines.at(1).c_str(), "Number of threads = %d", &T), 1) << r.printed;
  const char *env = std::getenv("OMP_NUM_THREADS");
  if (env && !omp_get_dynamic()) {
    EXPECT_EQ(T, std::atoi(env));
  }

  std::vector<double> X(static_cast<size_t>(N) * D), y(static_cast<size_t>(N));
  for (size_t k = 0; k < X.size(); ++k) X[k] = std::sin(0.37 * static_cast<double>(k) + 0.1);
  for (size_t k = 0; k < y.size(); ++k) y[k] = std::cos(1.3 * static_cast<double>(k));
  core::RegressionData data = core::make_regression_data(X.data(), N, D, y.data());
  // The seed the call reports is the one it shuffled with.
  core::seed_thread_rand(static_cast<uint32_t>(mxGetScalar(mxGetField(r.output(1), 0, "seed"))));
  splitavg::shuffle_samples(data, 0, N - 1);
  TeamSize same(T);
  splitavg::LocalSamples<core::RegressionData> local(N);
  const core::FitResult expected =
      splitavg::split_average_solve(core::RunContext(data, false, {}), {0.02, 0.01}, local);
  ASSERT_EQ(expected.threads, T);
  EXPECT_EQ(mexhost::values(r.output()), std::vector<double>(expected.w.begin(), expected.w.end()));
}
