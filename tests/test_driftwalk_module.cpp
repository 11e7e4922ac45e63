#include <omp.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "module_call.hpp"

namespace {

const mexhost::Module &driftwalk() {
  return loaded_module("driftwalk");
}

// driftwalk(X, y, stepScale, stepOffset, stepPower, lambda, batchSize, maxIter, verbose) on the
// worked example with eps_t = 0.01 (t + 1)^-0.5 and lambda = 0.5.
Inputs worked(double batchSize, double maxIter, double verbose) {
  Inputs in;
  in.add(worked_X()).add(worked_y()).add(0.01).add(1.0).add(-0.5).add(0.5).add(batchSize).add(maxIter).add(verbose);
  return in;
}

// N = 200 samples of D = 200 features whose batch of 100 is large enough to be shared by a team,
// called with opts = struct('seed', 3[, 'threads', threads]).
Inputs shared_batch(double verbose, double threads, double batchSize = 100, size_t D = 200) {
  const size_t N = 200;
  std::vector<double> X(N * D), y(N);
  for (size_t k = 0; k < X.size(); ++k) X[k] = std::sin(0.37 * static_cast<double>(k) + 0.2);
  for (size_t i = 0; i < N; ++i) y[i] = std::cos(0.11 * static_cast<double>(i));
  Inputs in;
  in.add(mexhost::make_double(N, D, X)).add(mexhost::make_double(N, 1, y));
  in.add(3e-3).add(10.0).add(-0.55).add(0.5).add(batchSize).add(30.0).add(verbose);
  mexhost::ArrayPtr opts = mexhost::make_struct(threads > 0 ? std::vector<std::string>{"seed", "threads"}
                                                            : std::vector<std::string>{"seed"});
  mxSetField(opts.get(), 0, "seed", mxCreateDoubleScalar(3));
  if (threads > 0) mxSetField(opts.get(), 0, "threads", mxCreateDoubleScalar(threads));
  in.add(std::move(opts));
  return in;
}

double info_threads(const mexhost::CallResult &r) {
  const mxArray *v = r.output(1) ? mxGetField(r.output(1), 0, "threads") : nullptr;
  return v ? mxGetScalar(v) : std::nan("");
}

std::vector<std::string> masked_lines(const mexhost::CallResult &r) {
  std::vector<std::string> out;
  for (const std::string &line : r.lines) out.push_back(without_clock(line));
  return out;
}

}  // namespace

TEST(DriftwalkModule, EveryTeamSizeGivesTheSameWeightsAndLines) {
  mexhost::CallResult alone = driftwalk().call(2, shared_batch(1, 1).pointers());
  ASSERT_FALSE(alone.failed) << alone.error_message;
  EXPECT_EQ(info_threads(alone), 1.0);
  ASSERT_EQ(alone.lines.size(), 33u);
  for (double T : {2.0, 3.0, 4.0}) {
    mexhost::CallResult team = driftwalk().call(2, shared_batch(1, T).pointers());
    ASSERT_FALSE(team.failed) << team.error_message;
    EXPECT_EQ(info_threads(team), T);
    EXPECT_EQ(mexhost::values(team.output()), mexhost::values(alone.output())) << "threads " << T;
    EXPECT_EQ(masked_lines(team), masked_lines(alone)) << "threads " << T;
    // Silent, the same weights again: printing changes nothing in the draws.
    mexhost::CallResult silent = driftwalk().call(1, shared_batch(0, T).pointers());
    EXPECT_EQ(mexhost::values(silent.output()), mexhost::values(alone.output())) << "threads " << T;
    EXPECT_TRUE(silent.lines.empty());
  }
  // An iteration too small to share (20 features, a batch of 8) runs on the calling thread
  // whatever is asked for.
  mexhost::CallResult small = driftwalk().call(2, shared_batch(0, 4, 8, 20).pointers());
  ASSERT_FALSE(small.failed) << small.error_message;
  EXPECT_EQ(info_threads(small), 1.0);
  EXPECT_EQ(mexhost::values(small.output()),
            mexhost::values(driftwalk().call(1, shared_batch(0, 1, 8, 20).pointers()).output()));
}

// Run under several OMP_NUM_THREADS and OMP_DYNAMIC settings by ctest.
TEST(DriftwalkEnv, TheDefaultTeamGivesTheOneThreadResult) {
  const bool dynamic = omp_get_dynamic() != 0;
  mexhost::CallResult r = driftwalk().call(2, shared_batch(0, 0).pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  const double T = info_threads(r);
  // The default team, held to the processors free of other work (ctest runs tests side by side):
  // the exact rule is pinned in DriftwalkTeams, where the free processors can be set.
  if (const char *env = std::getenv("OMP_NUM_THREADS"); env && !dynamic) {
    EXPECT_LE(T, std::atoi(env));
  }
  EXPECT_GE(T, 1.0);
  EXPECT_LE(T, omp_get_max_threads());
  EXPECT_EQ(omp_get_dynamic() != 0, dynamic);  // the host's setting is left as it was
  EXPECT_EQ(mexhost::values(r.output()), mexhost::values(driftwalk().call(1, shared_batch(0, 1).pointers()).output()));
}

TEST(DriftwalkModule, NoIterationPrintsBannerAndObjectivesAndReturnsZeros) {
  const long live = mexhost::live_arrays();
  mexhost::CallResult r = driftwalk().call(1, worked(2, 0, 1).pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  EXPECT_EQ(r.lines, (std::vector<std::string>{"N=3, D=2, maxIter=0", "Initial object function = 3.000000",
                                               "Final object function = 3.000000"}));
  expect_zero_column_and_nothing_left(r, 2, live);
}

TEST(DriftwalkModule, VerboseRunPrintsOneLinePerIterationAndTheFinalRepeatsTheLast) {
  mexhost::CallResult r = driftwalk().call(1, worked(3, 20, 1).pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  ASSERT_EQ(r.lines.size(), 23u);
  EXPECT_EQ(r.lines[0], "N=3, D=2, maxIter=20");
  for (int k = 0; k < 20; ++k) {
    const std::string &line = r.lines[static_cast<size_t>(k) + 2];
    EXPECT_EQ(without_clock(line).rfind("Iteration " + std::to_string(k) + ", clock= #, object function = ", 0), 0u)
        << line;
  }
  const std::string last = r.lines[21].substr(r.lines[21].find("object function = "));
  EXPECT_EQ(r.lines[22], "Final " + last);
}

TEST(DriftwalkModule, TheReportedSeedReplaysTheRunWhateverVerbose) {
  const mexhost::CallResult first = driftwalk().call(2, worked(2, 40, 0).pointers());
  ASSERT_FALSE(first.failed) << first.error_message;
  const double seed = reported_seed(first);
  const mexhost::CallResult loud = driftwalk().call(1, with_seed(worked(2, 40, 1), seed).pointers());
  const mexhost::CallResult quiet = driftwalk().call(1, with_seed(worked(2, 40, 0), seed).pointers());
  EXPECT_EQ(mexhost::values(loud.output()), mexhost::values(first.output()));
  EXPECT_EQ(mexhost::values(quiet.output()), mexhost::values(first.output()));
  EXPECT_NE(mexhost::values(first.output()), (std::vector<double>{0, 0}));
  EXPECT_TRUE(quiet.lines.empty());
}

TEST(DriftwalkModule, BatchSizeOutsideOneToNIsRefusedBeforeAnythingRuns) {
  const long live = mexhost::live_arrays();
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  for (double B : {0.0, 0.9, -1.0, 4.0, 1e12, nan, inf}) {
    mexhost::CallResult r = driftwalk().call(1, worked(B, 1, 1).pointers());
    expect_clean_error(r, "driftwalk:invalidBatchSize");
    EXPECT_NE(r.error_message.find("input 7 (batchSize)"), std::string::npos) << r.error_message;
    EXPECT_EQ(r.error_message.find("driftwalk:"), std::string::npos) << r.error_message;
    EXPECT_EQ(r.printed, "") << B;
  }
  // Truncated into 1..N it is fine, and nothing checks it when no iteration runs.
  EXPECT_FALSE(driftwalk().call(1, worked(3.9, 1, 0).pointers()).failed);
  EXPECT_FALSE(driftwalk().call(1, worked(0, 0, 0).pointers()).failed);
  EXPECT_EQ(mexhost::live_arrays(), live);
}

TEST(DriftwalkModule, EmptyDataWithIterationsIsAnError) {
  Inputs in;
  in.add(mexhost::make_double(0, 2)).add(mexhost::make_double(0, 0)).add(0.01).add(1.0).add(-0.5).add(0.5);
  in.add(1.0).add(0.0).add(0.0);
  mexhost::CallResult r = driftwalk().call(1, in.pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  EXPECT_EQ(mexhost::values(r.output()), (std::vector<double>{0, 0}));
  in.set(7, 1.0);
  const mexhost::CallResult one = driftwalk().call(1, in.pointers());
  expect_clean_error(one, "driftwalk:emptyData");
  EXPECT_NE(one.error_message.find("for the 1 iteration asked for"), std::string::npos) << one.error_message;
  in.set(7, 3.0);
  const mexhost::CallResult three = driftwalk().call(1, in.pointers());
  EXPECT_NE(three.error_message.find("for the 3 iterations asked for"), std::string::npos) << three.error_message;
}

TEST(DriftwalkModule, FrameChecksCarryTheModuleName) {
  Inputs eight = worked(2, 1, 0);
  eight.drop_last();
  expect_clean_error(driftwalk().call(1, eight.pointers()), "driftwalk:notEnoughInputs");
  Inputs bad_param = worked(2, 1, 0);
  bad_param.set(4, mexhost::make_string("x"));
  mexhost::CallResult r = driftwalk().call(1, bad_param.pointers());
  expect_clean_error(r, "driftwalk:invalidParameter");
  EXPECT_NE(r.error_message.find("input 5 (stepPower)"), std::string::npos) << r.error_message;
}
