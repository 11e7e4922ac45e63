// Calls that would end a session or tell less than the truth unless the module checks first: thread teams the process
// cannot create, the host's own allocation failures, values named as given, warnings, and Ctrl-C asked in proportion to
// the work. Through mexhost.
#include <omp.h>

#include <cmath>
#include <cstring>

#include "mexhost/faults.h"
#include "mexhost/interrupt.h"
#include "module_call.hpp"
#include "test_support.hpp"

namespace {

std::vector<double> wavy(size_t n, double phase) {
  std::vector<double> v(n);
  for (size_t k = 0; k < n; ++k) v[k] = std::sin(0.37 * static_cast<double>(k) + phase);
  return v;
}

Inputs problem(size_t N, size_t D) {
  Inputs in;
  in.add(mexhost::make_double(N, D, wavy(N * D, 0.2))).add(mexhost::make_double(N, 1, wavy(N, 1.3)));
  return in;
}

mexhost::ArrayPtr options(std::initializer_list<std::pair<const char *, double>> fields) {
  std::vector<std::string> names;
  for (const auto &f : fields) names.push_back(f.first);
  mexhost::ArrayPtr s = mexhost::make_struct(names);
  for (const auto &f : fields) mxSetField(s.get(), 0, f.first, mxCreateDoubleScalar(f.second));
  return s;
}

Inputs kinkstep_call(size_t N, size_t D, double maxIter, double method, double verbose) {
  Inputs in = problem(N, D);
  in.add(0.01).add(0.1).add(maxIter).add(method).add(verbose);
  return in;
}
Inputs splitavg_call(size_t N, size_t D, double verbose) {
  Inputs in = problem(N, D);
  in.add(0.01).add(0.1).add(verbose);
  return in;
}
Inputs driftwalk_call(size_t N, size_t D, double batch, double maxIter) {
  Inputs in = problem(N, D);
  in.add(1e-3).add(10).add(-0.55).add(0.1).add(batch).add(maxIter).add(0.0);
  return in;
}
Inputs with_options(Inputs in, mexhost::ArrayPtr opts) {
  in.add(std::move(opts));
  return in;
}

}  // namespace

TEST(ThreadTeam, ADefaultTeamBeyondTheBoundIsAnErrorBeforeAnythingRuns) {
  // As OMP_NUM_THREADS=40000 would set it: the runtime would fail to create the threads (and end
  // the process) or overflow its stack.
  const TeamSize huge(40000);
  const long live = mexhost::live_arrays();
  for (const std::string name : {"kinkstep", "splitavg"}) {
    const Inputs in = name == "kinkstep" ? kinkstep_call(20, 3, 10, 1, 1) : splitavg_call(20, 3, 1);
    mexhost::CallResult r = loaded_module(name).call(1, in.pointers());
    expect_clean_error(r, name + ":threadTeam");
    EXPECT_NE(r.error_message.find("40000"), std::string::npos) << r.error_message;
    EXPECT_NE(r.error_message.find("Lower OMP_NUM_THREADS"), std::string::npos) << r.error_message;
    // The banner at most: no thread count, no objective.
    EXPECT_LE(r.lines.size(), 1u) << r.printed;
    for (const std::string &line : r.lines) EXPECT_EQ(line.find("threads"), std::string::npos) << line;
  }
  mexhost::CallResult probe = loaded_module("teamprobe").call(0, {});
  expect_clean_error(probe, "teamprobe:threadTeam");
  EXPECT_EQ(probe.printed, "");
  // The sequential methods start no team.
  EXPECT_FALSE(loaded_module("kinkstep").call(1, kinkstep_call(20, 3, 10, 0, 0).pointers()).failed);
  EXPECT_EQ(mexhost::live_arrays(), live);
}

TEST(ThreadTeam, TheBoundItselfIsAllowedFromTheEnvironmentAndFromOptions) {
#ifdef STOCHL1_SANITIZED
  GTEST_SKIP() << "1024 threads under a sanitizer";
#endif
  const TeamSize bound(1024);
  mexhost::CallResult probe = loaded_module("teamprobe").call(0, {});
  EXPECT_FALSE(probe.failed) << probe.error_message;
  Inputs in = with_options(splitavg_call(3000, 2, 0), options({{"seed", 1}, {"threads", 1024}}));
  mexhost::CallResult r = loaded_module("splitavg").call(2, in.pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  EXPECT_EQ(mxGetScalar(mxGetField(r.output(1), 0, "threads")), 1024);
}

TEST(ThreadTeam, AFewerThreadsThanAskedIsWarnedOnceAndReported) {
  // No nested teams allowed and the call made from inside a team: the runtime gives one thread.
  const DefaultTeam two(2);
  for (const char *name : {"kinkstep", "splitavg"}) {
    Inputs in = std::strcmp(name, "kinkstep") == 0 ? kinkstep_call(30, 3, 5, 1, 0) : splitavg_call(30, 3, 0);
    in.add(options({{"seed", 1}, {"threads", 3}}));
    mexhost::CallResult r;
    const int levels = omp_get_max_active_levels();
    omp_set_max_active_levels(0);
    r = loaded_module(name).call(2, in.pointers());
    omp_set_max_active_levels(levels);
    ASSERT_FALSE(r.failed) << name << ": " << r.error_message;
    ASSERT_EQ(r.warnings.size(), 1u) << name;
    EXPECT_EQ(r.warnings[0].id, std::string(name) + ":threadsReduced");
    EXPECT_NE(r.warnings[0].message.find("3 threads"), std::string::npos) << r.warnings[0].message;
    EXPECT_EQ(mxGetScalar(mxGetField(r.output(1), 0, "threads")), 1);
    // The same call with the team it asked for gives no warning.
    mexhost::CallResult full = loaded_module(name).call(2, in.pointers());
    EXPECT_TRUE(full.warnings.empty()) << name;
    EXPECT_EQ(mxGetScalar(mxGetField(full.output(1), 0, "threads")), 3);
  }
}

TEST(ThreadTeam, DynamicAdjustmentIsOffForTheSizingTeamAndComesBack) {
  omp_set_dynamic(1);
  Inputs in = with_options(splitavg_call(40, 2, 0), options({{"seed", 1}, {"threads", 3}}));
  mexhost::CallResult r = loaded_module("splitavg").call(2, in.pointers());
  EXPECT_TRUE(omp_get_dynamic());
  omp_set_dynamic(0);
  ASSERT_FALSE(r.failed) << r.error_message;
  EXPECT_EQ(mxGetScalar(mxGetField(r.output(1), 0, "threads")), 3);
  EXPECT_TRUE(r.warnings.empty());
}

TEST(SplitavgShares, EmptySharesAreWarnedOnceWithTheirCount) {
  // N = 3 samples for 5 threads: floor(3 / 5) = 0, so threads 0..3 get nothing and 4 takes all.
  Inputs in = with_options(splitavg_call(3, 2, 0), options({{"seed", 4}, {"threads", 5}}));
  mexhost::CallResult r = loaded_module("splitavg").call(1, in.pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0].id, "splitavg:emptyShares");
  EXPECT_NE(r.warnings[0].message.find("4 of the 5 shares"), std::string::npos) << r.warnings[0].message;
  // The defined result is kept: one thread's model over the whole (shuffled) data, divided by 5.
  Inputs one = with_options(splitavg_call(3, 2, 0), options({{"seed", 4}, {"threads", 1}}));
  mexhost::CallResult single = loaded_module("splitavg").call(1, one.pointers());
  std::vector<double> expected = mexhost::values(single.output());
  for (double &v : expected) v = v / 5.0;
  EXPECT_EQ(mexhost::values(r.output()), expected);
  // As many samples as threads, or no samples at all: no warning.
  for (size_t N : {5, 0}) {
    Inputs enough = with_options(splitavg_call(N, 2, 0), options({{"threads", 5}}));
    EXPECT_TRUE(loaded_module("splitavg").call(1, enough.pointers()).warnings.empty()) << N;
  }
}

TEST(SplitavgShares, APressInTheFinalObjectiveComesWithTheFinishedPassWarnings) {
  // N = 3 samples for 4 threads on wide rows: shares 0..2 are empty, and every two rows of an
  // objective are worth a question, so the objective that info asks for after the pass holds the
  // call's last questions. How many the pass asks depends on the processors free at each call (on
  // fewer, the calling thread passes the last share too), so a press is tried at every question.
  Inputs in = with_options(splitavg_call(3, 40000, 0), options({{"seed", 4}, {"threads", 4}}));
  mexhost_interrupt_after(0);
  mexhost::CallResult full = loaded_module("splitavg").call(2, in.pointers());
  const long checks = mexhost_interrupt_checks();
  ASSERT_FALSE(full.failed) << full.error_message;
  ASSERT_EQ(full.warnings.size(), 1u);
  EXPECT_EQ(full.warnings[0].id, "splitavg:emptyShares");
  ASSERT_GE(checks, 2);
  // Stopped in the final objective, the finished pass's warning is given with the error (the
  // unfinished value is not kept); stopped before the pass ends (the conversion, the shuffle, the
  // first objective, the pass), the error alone.
  bool stopped_after_the_pass = false;
  for (long k = 1; k <= checks + 3; ++k) {
    mexhost_interrupt_after(k);
    mexhost::CallResult r = loaded_module("splitavg").call(2, in.pointers());
    if (!r.failed) continue;  // this call asked fewer questions
    expect_clean_error(r, "splitavg:interrupted");
    ASSERT_LE(r.warnings.size(), 1u) << k;
    if (r.warnings.empty()) continue;
    EXPECT_EQ(r.warnings[0].id, "splitavg:emptyShares") << k;
    EXPECT_GT(k, 1) << "the first question comes before the pass";
    stopped_after_the_pass = true;
  }
  mexhost_interrupt_after(0);
  EXPECT_TRUE(stopped_after_the_pass);
}

TEST(HostMemory, TheHostsAllocationFailureIsOutOfMemoryWithOnePrefix) {
  struct Case {
    std::string name;
    Inputs in;
    int nlhs;
  };
  std::vector<Case> cases;
  cases.push_back({"kinkstep", kinkstep_call(4, 300, 2, 0, 0), 1});  // the 300 x 1 output
  // the 502 objective values of info (opts.history = 1: the initial one, 500 iterations', the final one)
  cases.push_back({"kinkstep", with_options(kinkstep_call(4, 2, 500, 0, 0), options({{"history", 1}})), 2});
  cases.push_back({"driftwalk", driftwalk_call(4, 300, 2, 2), 1});  // the output
  cases.push_back({"splitavg", splitavg_call(4, 300, 0), 1});       // the output
  const long live = mexhost::live_arrays();
  for (Case &c : cases) {
    mexhost_raise_on_allocations_above(1024, c.name.c_str());
    mexhost::CallResult r = loaded_module(c.name).call(c.nlhs, c.in.pointers());
    mexhost_raise_on_allocations_above(0, nullptr);
    expect_clean_error(r, c.name + ":outOfMemory");
    EXPECT_EQ(r.error_message.find(c.name + ":"), std::string::npos) << r.error_message;
    EXPECT_EQ(r.error_message.find("failed to allocate"), std::string::npos) << r.error_message;
    EXPECT_FALSE(loaded_module(c.name).call(c.nlhs, c.in.pointers()).failed);
  }
  EXPECT_EQ(mexhost::live_arrays(), live);
}

TEST(GivenValues, IntegerInputsAreNamedAsGiven) {
  struct Case {
    double value;
    const char *shown;
  };
  const Case cases[] = {
      {std::nan(""), "got NaN."},
      {INFINITY, "got Inf."},
      {-INFINITY, "got -Inf."},
      {2147483648.0, "got 2147483648, outside the 32-bit range."},
      {-2147483649.5, "got -2147483649.5, outside the 32-bit range."},
      {2.5, "got 2.5."},
      {-3, "got -3."},
  };
  for (const Case &c : cases) {
    mexhost::CallResult m = loaded_module("kinkstep").call(1, kinkstep_call(5, 2, 1, c.value, 0).pointers());
    expect_clean_error(m, "kinkstep:invalidMethod");
    EXPECT_NE(m.error_message.find(c.shown), std::string::npos) << m.error_message;
    // One sample, so that 2.5 (read as 2) is out of range too.
    mexhost::CallResult b = loaded_module("driftwalk").call(1, driftwalk_call(1, 2, c.value, 1).pointers());
    expect_clean_error(b, "driftwalk:invalidBatchSize");
    EXPECT_NE(b.error_message.find(c.shown), std::string::npos) << b.error_message;
  }
  // The reading rule stays: 2^31 reads as -2^31, so maxIter = 2^31 runs no iteration.
  mexhost::CallResult none = loaded_module("kinkstep").call(2, kinkstep_call(5, 2, 2147483648.0, 0, 0).pointers());
  ASSERT_FALSE(none.failed);
  EXPECT_EQ(mxGetScalar(mxGetField(none.output(1), 0, "iterations")), 0);
}

TEST(Interrupt, APressAtAnyQuestionOfADriftwalkTeamEndsTheCallCleanly) {
  // A batch shared by a team of two (D * batchSize above the threshold), silent: the calling thread
  // asks inside the team's region, and every thread must leave it in the same iteration.
  Inputs in = with_options(driftwalk_call(300, 200, 100, 30), options({{"seed", 2}, {"threads", 2}}));
  mexhost_interrupt_after(0);
  mexhost::CallResult full = loaded_module("driftwalk").call(2, in.pointers());
  const long checks = mexhost_interrupt_checks();
  ASSERT_FALSE(full.failed) << full.error_message;
  ASSERT_EQ(mxGetScalar(mxGetField(full.output(1), 0, "threads")), 2);
  ASSERT_GE(checks, 10);
  for (long k = 1; k <= checks; ++k) {
    mexhost_interrupt_after(k);
    mexhost::CallResult r = loaded_module("driftwalk").call(2, in.pointers());
    expect_clean_error(r, "driftwalk:interrupted");
  }
  mexhost_interrupt_after(0);
}

TEST(Interrupt, TheHostIsAskedInProportionToTheWork) {
  // Silent method 0 on wide rows: every step is worth a question, so 40 steps ask at least 40 times.
  mexhost_interrupt_after(0);
  mexhost::CallResult wide = loaded_module("kinkstep").call(1, kinkstep_call(2, 40000, 40, 0, 0).pointers());
  ASSERT_FALSE(wide.failed);
  EXPECT_GE(mexhost_interrupt_checks(), 40);
  // Narrow rows: far fewer questions than steps.
  mexhost_interrupt_after(0);
  mexhost::CallResult narrow = loaded_module("kinkstep").call(1, kinkstep_call(2, 2, 100000, 0, 0).pointers());
  ASSERT_FALSE(narrow.failed);
  EXPECT_LT(mexhost_interrupt_checks(), 1000);
  EXPECT_GE(mexhost_interrupt_checks(), 1);
  // The conversion asks too: a press during it ends the call before the banner.
  for (const std::string name : {"kinkstep", "driftwalk", "splitavg"}) {
    Inputs in = name == "kinkstep"    ? kinkstep_call(20000, 20, 1, 0, 1)
                : name == "driftwalk" ? driftwalk_call(20000, 20, 1, 1)
                                      : splitavg_call(20000, 20, 1);
    if (name == "driftwalk") in.set(8, 1.0);  // verbose
    mexhost_interrupt_after(1);
    mexhost::CallResult r = loaded_module(name).call(1, in.pointers());
    mexhost_interrupt_after(0);
    expect_clean_error(r, name + ":interrupted");
    EXPECT_EQ(r.printed, "") << name;
  }
  // The objective history asks as it sums: a press during the first objective stops the run there.
  mexhost_interrupt_after(3);
  mexhost::CallResult traced = loaded_module("kinkstep").call(2, kinkstep_call(100000, 4, 3, 0, 0).pointers());
  mexhost_interrupt_after(0);
  expect_clean_error(traced, "kinkstep:interrupted");
}
