#include <cmath>
#include <limits>

#include "module_call.hpp"

namespace {

const mexhost::Module &driftwalk() {
  static const mexhost::Module m(mexhost_module("driftwalk"));
  return m;
}

// driftwalk(X, y, stepScale, stepOffset, stepPower, lambda, batchSize, maxIter, verbose) on the
// worked example with eps_t = 0.01 (t + 1)^-0.5 and lambda = 0.5.
Inputs worked(double batchSize, double maxIter, double verbose) {
  Inputs in;
  in.add(worked_X()).add(worked_y()).add(0.01).add(1.0).add(-0.5).add(0.5).add(batchSize).add(maxIter).add(verbose);
  return in;
}

}  // namespace

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

TEST(DriftwalkModule, SameSecondSameWeightsWhateverVerbose) {
  // Each round is a verbose call and a silent one.
  auto [round1, round2] = two_calls_in_one_second([] {
    return std::make_pair(driftwalk().call(1, worked(2, 40, 1).pointers()),
                          driftwalk().call(1, worked(2, 40, 0).pointers()));
  });
  ASSERT_FALSE(round1.first.failed);
  EXPECT_EQ(mexhost::values(round1.first.output()), mexhost::values(round1.second.output()));
  EXPECT_EQ(mexhost::values(round1.first.output()), mexhost::values(round2.first.output()));
  EXPECT_NE(mexhost::values(round1.first.output()), (std::vector<double>{0, 0}));
  EXPECT_TRUE(round1.second.lines.empty());
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
  expect_clean_error(driftwalk().call(1, in.pointers()), "driftwalk:emptyData");
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
