#include <cmath>
#include <cstdio>
#include <limits>

#include "module_call.hpp"
#include "test_support.hpp"

namespace {

const mexhost::Module &kinkstep() {
  return loaded_module("kinkstep");
}

// kinkstep(X, y, stepSize, lambda, maxIter, method, verbose) on the worked example.
Inputs worked(double maxIter, double method, double verbose) {
  Inputs in;
  in.add(worked_X()).add(worked_y()).add(0.1).add(0.5).add(maxIter).add(method).add(verbose);
  return in;
}

const char kMethodMessage[] = "Method: 0 for sequential stocSubGD, 1 for parallel stocSubGD";

}  // namespace

TEST(KinkstepModule, NoIterationPrintsBannerAndObjectivesAndReturnsZeros) {
  const long live = mexhost::live_arrays();
  mexhost::CallResult r = kinkstep().call(1, worked(0, 0, 1).pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  EXPECT_EQ(r.lines, (std::vector<std::string>{"N=3, D=2, method=0, maxIter=0", "Initial object function = 3.000000",
                                               "Final object function = 3.000000"}));
  expect_zero_column_and_nothing_left(r, 2, live);
}

TEST(KinkstepModule, VerboseRunPrintsOneLinePerIterationAndTheFinalRepeatsTheLast) {
  mexhost::CallResult r = kinkstep().call(1, worked(25, 0, 1.7).pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  ASSERT_EQ(r.lines.size(), 28u);
  EXPECT_EQ(r.lines[0], "N=3, D=2, method=0, maxIter=25");
  for (int k = 0; k < 25; ++k) {
    const std::string &line = r.lines[static_cast<size_t>(k) + 2];
    EXPECT_EQ(line.rfind("Iteration " + std::to_string(k) + ", clock= ", 0), 0u) << line;
    EXPECT_NE(line.find(" object function = "), std::string::npos) << line;
    EXPECT_EQ(line.find(", object"), std::string::npos) << line;  // no comma before "object"
  }
  const std::string last = r.lines[26].substr(r.lines[26].find("object function = "));
  EXPECT_EQ(r.lines[27], "Final " + last);
}

TEST(KinkstepModule, TheReportedSeedReplaysTheRunWhateverVerbose) {
  const mexhost::CallResult first = kinkstep().call(2, worked(50, 0, 0).pointers());
  ASSERT_FALSE(first.failed) << first.error_message;
  const double seed = reported_seed(first);
  const mexhost::CallResult loud = kinkstep().call(1, with_seed(worked(50, 0, 1), seed).pointers());
  const mexhost::CallResult quiet = kinkstep().call(1, with_seed(worked(50, 0, 0), seed).pointers());
  EXPECT_EQ(mexhost::values(loud.output()), mexhost::values(first.output()));
  EXPECT_EQ(mexhost::values(quiet.output()), mexhost::values(first.output()));
  EXPECT_FALSE(loud.lines.empty());
  EXPECT_TRUE(quiet.lines.empty());
}

TEST(KinkstepModule, SilentUnlessVerboseIsExactlyOne) {
  for (double verbose : {0.0, 0.99, 2.0, -1.0, std::nan("")}) {
    mexhost::CallResult r = kinkstep().call(1, worked(3, 0, verbose).pointers());
    ASSERT_FALSE(r.failed) << verbose;
    EXPECT_EQ(r.printed, "") << verbose;
  }
}

TEST(KinkstepModule, MethodTruncatesTowardZero) {
  for (double method : {0.9, -0.5}) {
    mexhost::CallResult r = kinkstep().call(1, worked(2, method, 1).pointers());
    ASSERT_FALSE(r.failed) << method;
    EXPECT_EQ(r.lines[0], "N=3, D=2, method=0, maxIter=2");
    EXPECT_EQ(r.lines[1], "Initial object function = 3.000000");
  }
  for (double method : {1.0, 1.7}) {
    mexhost::CallResult r = kinkstep().call(1, worked(2, method, 1).pointers());
    ASSERT_FALSE(r.failed) << r.error_message;
    EXPECT_EQ(r.lines[0], "N=3, D=2, method=1, maxIter=2");
    EXPECT_EQ(r.lines[1].rfind("Number of threads = ", 0), 0u) << r.lines[1];
    EXPECT_EQ(r.lines.size(), 6u);
  }
}

TEST(KinkstepModule, OtherMethodsPrintTheMethodMessageAndFail) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double method : {2.0, -1.0, inf, 5.5}) {
    for (double verbose : {0.0, 1.0}) {
      mexhost::CallResult r = kinkstep().call(1, worked(10, method, verbose).pointers());
      expect_clean_error(r, "kinkstep:invalidMethod");
      ASSERT_FALSE(r.lines.empty());
      EXPECT_EQ(r.lines.back(), kMethodMessage);
      EXPECT_EQ(r.lines.size(), verbose == 1.0 ? 2u : 1u);
    }
  }
  mexhost::CallResult r = kinkstep().call(0, worked(10, inf, 1).pointers());
  EXPECT_EQ(r.lines[0], "N=3, D=2, method=-2147483648, maxIter=10");
}

TEST(KinkstepModule, IterationCountsOfInfOrNaNRunNothing) {
  for (double maxIter : {std::nan(""), std::numeric_limits<double>::infinity(), -3.0}) {
    mexhost::CallResult r = kinkstep().call(1, worked(maxIter, 0, 1).pointers());
    ASSERT_FALSE(r.failed);
    EXPECT_EQ(r.lines.size(), 3u);
    EXPECT_EQ(mexhost::values(r.output()), (std::vector<double>{0, 0}));
  }
}

TEST(KinkstepModule, EmptyShapes) {
  // D = 0: N empty rows and a 0 x 1 result.
  Inputs no_features;
  no_features.add(mexhost::make_double(3, 0)).add(worked_y()).add(0.1).add(0.5).add(5).add(0).add(0);
  mexhost::CallResult r = kinkstep().call(1, no_features.pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  EXPECT_EQ(mxGetM(r.output()), 0u);
  EXPECT_EQ(mxGetN(r.output()), 1u);

  // N = 0 is fine while nothing is drawn, an error as soon as a sample would be.
  Inputs no_samples;
  no_samples.add(mexhost::make_double(0, 2)).add(mexhost::make_double(0, 0)).add(0.1).add(0.5).add(0).add(0).add(1);
  r = kinkstep().call(1, no_samples.pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  EXPECT_EQ(mexhost::values(r.output()), (std::vector<double>{0, 0}));
  EXPECT_EQ(r.lines[1], "Initial object function = 0.000000");
  no_samples.set(4, 1.0);
  expect_clean_error(kinkstep().call(1, no_samples.pointers()), "kinkstep:emptyData");
}

TEST(KinkstepModule, ParametersMayBeAnyRealNumericOrLogical) {
  Inputs in = worked(0, 0, 0);
  in.set(4, mexhost::make_numeric(mxINT32_CLASS, 1, 1));
  in.set(6, mexhost::make_numeric(mxLOGICAL_CLASS, 1, 1));
  EXPECT_FALSE(kinkstep().call(1, in.pointers()).failed);
  in.set(2, mexhost::make_row({0.1, 99, 99}));  // only the first element counts
  EXPECT_FALSE(kinkstep().call(1, in.pointers()).failed);
}

TEST(KinkstepModule, BadCallsRaiseErrorsAndLeaveNothingBehind) {
  const long live = mexhost::live_arrays();
  {
    // Too few and too many inputs, too many outputs.
    for (int n : {0, 1, 6}) {
      Inputs in = worked(1, 0, 0);
      for (int k = 7; k > n; --k) in.drop_last();
      expect_clean_error(kinkstep().call(1, in.pointers()), "kinkstep:notEnoughInputs");
    }
    Inputs nine = worked(1, 0, 0);
    nine.add(mexhost::make_struct({})).add(1.0);
    expect_clean_error(kinkstep().call(1, nine.pointers()), "kinkstep:tooManyInputs");
    expect_clean_error(kinkstep().call(3, worked(1, 0, 0).pointers()), "kinkstep:tooManyOutputs");

    // X and y that are not real double arrays (full, or sparse: see test_sparse_module.cpp).
    std::vector<mexhost::ArrayPtr> bad;
    bad.push_back(mexhost::make_complex(3, 2, {1, 3, 5, 2, 4, 6}, {0, 0, 0, 0, 0, 1}));
    bad.push_back(mexhost::ArrayPtr(mxCreateSparse(3, 2, 1, mxCOMPLEX)));
    bad.push_back(mexhost::make_numeric(mxINT32_CLASS, 3, 2));
    bad.push_back(mexhost::make_string("abc"));
    bad.push_back(mexhost::make_cell(3, 2));
    bad.push_back(mexhost::make_struct({"a"}));
    const mwSize dims3[3] = {3, 1, 2};
    bad.emplace_back(mxCreateNumericArray(3, dims3, mxDOUBLE_CLASS, mxREAL));
    Inputs good = worked(1, 0, 0);
    for (auto &b : bad) {
      std::vector<const mxArray *> as_x = good.pointers(), as_y = good.pointers();
      as_x[0] = b.get();
      as_y[1] = b.get();
      expect_clean_error(kinkstep().call(1, as_x), "kinkstep:invalidX");
      if (mxGetNumberOfDimensions(b.get()) == 2) expect_clean_error(kinkstep().call(1, as_y), "kinkstep:invalidY");
    }

    // y with fewer than N values, the call that would read past y.
    Inputs short_y;
    short_y.add(mexhost::make_double(2, 2, {1, 3, 2, 4})).add(1.0).add(0.1).add(0.5).add(10).add(0).add(0);
    mexhost::CallResult r = kinkstep().call(1, short_y.pointers());
    expect_clean_error(r, "kinkstep:yTooShort");
    EXPECT_NE(r.error_message.find("input 2 (y)"), std::string::npos) << r.error_message;

    // Parameters that are empty, complex, text or containers.
    const char *names[] = {"stepSize", "lambda", "maxIter", "method", "verbose"};
    for (size_t k = 2; k < 7; ++k) {
      for (auto &param : non_real_scalars()) {
        Inputs in = worked(1, 0, 0);
        in.set(k, std::move(param));
        r = kinkstep().call(1, in.pointers());
        expect_clean_error(r, "kinkstep:invalidParameter");
        EXPECT_NE(r.error_message.find(names[k - 2]), std::string::npos) << r.error_message;
        EXPECT_EQ(r.printed, "");
      }
    }
  }
  EXPECT_EQ(mexhost::live_arrays(), live);
}

TEST(KinkstepModule, NoOutputRequestedStillAnswers) {
  mexhost::CallResult r = kinkstep().call(0, worked(2, 0, 0).pointers());
  EXPECT_FALSE(r.failed);
  ASSERT_NE(r.output(), nullptr);  // goes to ans, as in MATLAB
}

// A problem whose rows do not fit in the memory left: an error, not a crash, and nothing kept.
// Runs in a child process whose address space is capped just above what it already uses.
TEST(KinkstepModule, RowsThatDoNotFitAreAnOutOfMemoryError) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than the cap allows";
#endif
  const size_t N = 4000000, D = 8;  // 256 MB of X, and as much again for the rows
  Inputs in;
  in.add(mexhost::make_double(N, D)).add(mexhost::make_double(N, 1)).add(0.1).add(0.5).add(1).add(0).add(0);
  const mexhost::Module &m = kinkstep();
  const int status = exit_status_under_memory_cap([&] {
    const long live = mexhost::live_arrays();
    mexhost::CallResult r = m.call(1, in.pointers());
    return r.failed && r.error_id == "kinkstep:outOfMemory" && !r.output() && mexhost::live_arrays() == live;
  });
  ASSERT_NE(status, -2) << "no child process";
  ASSERT_NE(status, -1) << "the call crashed the process";
  EXPECT_EQ(status, 0);
}
