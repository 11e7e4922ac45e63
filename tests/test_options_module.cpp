// The options struct, the run-info output, single-precision data and Ctrl-C, through mexhost.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "mexhost/interrupt.h"
#include "module_cases.hpp"

namespace {

using Case = ModuleCase;
const std::vector<ModuleCase> &kCases = module_cases();

Inputs inputs(const Case &c, double verbose, mexhost::ArrayPtr opts = nullptr, bool single = false) {
  return case_inputs(c, verbose, std::move(opts), single);
}
mexhost::ArrayPtr options(std::initializer_list<std::pair<const char *, double>> fields) {
  return case_options(fields);
}
constexpr size_t kN = kCaseN, kD = kCaseD;

double info_field(const mexhost::CallResult &r, const char *field) {
  const mxArray *info = r.output(1);
  if (!info) return std::nan("");
  const mxArray *v = mxGetField(info, 0, field);
  return v ? mxGetScalar(v) : std::nan("");
}

std::string name_of(const Case &c) {
  return c.label;
}

}  // namespace

TEST(Options, ASeededRunRepeatsBitForBit) {
  for (const Case &c : kCases) {
    mexhost::CallResult a = loaded_module(c.name).call(1, inputs(c, 0, options({{"seed", 77}})).pointers());
    mexhost::CallResult b = loaded_module(c.name).call(1, inputs(c, 0, options({{"seed", 77}})).pointers());
    mexhost::CallResult other = loaded_module(c.name).call(1, inputs(c, 0, options({{"seed", 78}})).pointers());
    ASSERT_FALSE(a.failed) << name_of(c) << ": " << a.error_message;
    EXPECT_EQ(mexhost::values(a.output()), mexhost::values(b.output())) << name_of(c);
    if (std::strcmp(c.name, "kinkstep") != 0 || c.params[3] == 0) {  // method 1 never uses the seed
      EXPECT_NE(mexhost::values(a.output()), mexhost::values(other.output())) << name_of(c);
    }
  }
}

TEST(Options, UnseededCallsInALoopDrawDistinctSeedsAndEachReplays) {
  for (const Case &c : kCases) {
    if (name_of(c) == "kinkstep m1") continue;  // no seed plays a part in method 1
    std::vector<double> seeds;
    std::vector<std::vector<double>> weights;
    for (int k = 0; k < 3; ++k) {
      mexhost::CallResult r = loaded_module(c.name).call(2, inputs(c, 0).pointers());
      ASSERT_FALSE(r.failed) << name_of(c) << ": " << r.error_message;
      seeds.push_back(info_field(r, "seed"));
      weights.push_back(mexhost::values(r.output()));
      mexhost::CallResult replay =
          loaded_module(c.name).call(1, inputs(c, 0, options({{"seed", seeds.back()}})).pointers());
      EXPECT_EQ(mexhost::values(replay.output()), weights.back()) << name_of(c);
    }
    for (int a = 0; a < 3; ++a)
      for (int b = a + 1; b < 3; ++b) {
        EXPECT_NE(seeds[a], seeds[b]) << name_of(c);
        EXPECT_NE(weights[a], weights[b]) << name_of(c);
      }
  }
}

TEST(Options, InfoSeedReplaysATimeSeededRun) {
  for (const Case &c : kCases) {
    mexhost::CallResult timed = loaded_module(c.name).call(2, inputs(c, 0).pointers());
    ASSERT_FALSE(timed.failed) << name_of(c) << ": " << timed.error_message;
    if (name_of(c) == "kinkstep m1") {
      // No seed plays a part in method 1: info.seed is empty (see MethodOneTakesNoSeed).
      EXPECT_TRUE(mxIsEmpty(mxGetField(timed.output(1), 0, "seed")));
      continue;
    }
    const double seed = info_field(timed, "seed");
    ASSERT_TRUE(std::isfinite(seed));
    mexhost::CallResult replay = loaded_module(c.name).call(1, inputs(c, 0, options({{"seed", seed}})).pointers());
    EXPECT_EQ(mexhost::values(replay.output()), mexhost::values(timed.output())) << name_of(c);
  }
}

namespace {

// The objective values a verbose run printed, with the iterations done at each: the initial line
// (0), "Iteration k" lines (k + 1) and the final line (the run's iterations).
std::vector<std::pair<double, std::string>> printed_objectives(const Case &c, const mexhost::CallResult &r) {
  std::vector<std::pair<double, std::string>> out;
  const double iterations = std::strcmp(c.name, "splitavg") == 0 ? 1.0 : 40.0;
  for (const std::string &line : r.lines) {
    const size_t at = line.find("object function = ");
    if (at == std::string::npos) continue;
    const std::string value = line.substr(at + 18, line.find_first_of(", ", at + 18) - (at + 18));
    int k = 0;
    if (line.rfind("Initial", 0) == 0)
      out.push_back({0.0, value});
    else if (line.rfind("Final", 0) == 0)
      out.push_back({iterations, value});
    else if (std::sscanf(line.c_str(), "Iteration %d", &k) == 1)
      out.push_back({k + 1.0, value});
  }
  return out;
}

}  // namespace

TEST(Options, InfoObjectiveHoldsTheInitialAndFinalValuesAndEveryHistoryStep) {
  for (const Case &c : kCases) {
    const bool history = std::strcmp(c.name, "splitavg") != 0;
    for (double every : {0.0, 1.0, 7.0}) {
      if (every > 0 && !history) continue;
      auto fields = every > 0 ? options({{"seed", 5}, {"history", every}}) : options({{"seed", 5}});
      mexhost::CallResult r = loaded_module(c.name).call(2, inputs(c, 1, std::move(fields)).pointers());
      ASSERT_FALSE(r.failed) << name_of(c) << ": " << r.error_message;
      const std::vector<double> objective = mexhost::values(mxGetField(r.output(1), 0, "objective"));
      const std::vector<double> at = mexhost::values(mxGetField(r.output(1), 0, "history_iterations"));
      // What the trace should hold: the printed values at 0, every `every` iterations, and the end.
      std::vector<std::pair<double, std::string>> expected;
      const std::vector<std::pair<double, std::string>> printed = printed_objectives(c, r);
      for (size_t k = 0; k < printed.size(); ++k) {
        const double done = printed[k].first;
        if (done == 0 || (every > 0 && std::fmod(done, every) == 0) || k + 1 == printed.size())
          expected.push_back(printed[k]);
      }
      // A history point at the last iteration and the final value are both kept.
      ASSERT_EQ(objective.size(), expected.size()) << name_of(c) << " every " << every << "\n" << r.printed;
      ASSERT_EQ(at.size(), expected.size());
      for (size_t k = 0; k < objective.size(); ++k) {
        char text[64];
        std::snprintf(text, sizeof text, "%f", objective[k]);
        EXPECT_EQ(text, expected[k].second) << name_of(c) << " value " << k;
        EXPECT_EQ(at[k], expected[k].first) << name_of(c) << " value " << k;
      }
      EXPECT_EQ(info_field(r, "iterations"), std::strcmp(c.name, "splitavg") == 0 ? 1.0 : 40.0);
      EXPECT_GE(info_field(r, "time"), 0.0);
    }
  }
}

TEST(Options, InfoIsComputedOnlyWhenAskedForAndDoesNotChangeTheWeights) {
  for (const Case &c : kCases) {
    mexhost::CallResult with = loaded_module(c.name).call(2, inputs(c, 0, options({{"seed", 9}})).pointers());
    mexhost::CallResult without = loaded_module(c.name).call(1, inputs(c, 0, options({{"seed", 9}})).pointers());
    EXPECT_EQ(mexhost::values(with.output()), mexhost::values(without.output())) << name_of(c);
    EXPECT_EQ(without.output(1), nullptr);
    EXPECT_EQ(with.printed, "");
  }
}

TEST(Options, EachTeamSizeGivesItsOwnDeterministicResult) {
  for (const Case &c : kCases) {
    const bool parallel = std::strcmp(c.name, "splitavg") == 0 || (c.params.size() == 5 && c.params[3] == 1);
    if (!parallel) continue;
    std::vector<std::vector<double>> results;
    for (double threads : {1.0, 2.0, 3.0}) {
      mexhost::CallResult a =
          loaded_module(c.name).call(2, inputs(c, 1, options({{"seed", 3}, {"threads", threads}})).pointers());
      mexhost::CallResult b =
          loaded_module(c.name).call(1, inputs(c, 0, options({{"seed", 3}, {"threads", threads}})).pointers());
      ASSERT_FALSE(a.failed) << name_of(c) << ": " << a.error_message;
      EXPECT_EQ(info_field(a, "threads"), threads);
      EXPECT_EQ(a.lines.at(1), "Number of threads = " + std::to_string(static_cast<int>(threads)));
      EXPECT_EQ(mexhost::values(a.output()), mexhost::values(b.output())) << name_of(c) << " T=" << threads;
      results.push_back(mexhost::values(a.output()));
    }
    EXPECT_NE(results[0], results[1]) << name_of(c);
    EXPECT_NE(results[1], results[2]) << name_of(c);
  }
}

TEST(Options, SingleDataGiveTheResultOfTheirDoubleValues) {
  for (const Case &c : kCases) {
    // The double call gets exactly the values that single precision holds.
    Inputs single = inputs(c, 0, options({{"seed", 11}}), true);
    std::vector<const mxArray *> p = single.pointers();
    const float *xf = static_cast<const float *>(mxGetData(p[0]));
    const float *yf = static_cast<const float *>(mxGetData(p[1]));
    Inputs doubles = inputs(c, 0, options({{"seed", 11}}));
    doubles.set(0, mexhost::make_double(kN, kD, std::vector<double>(xf, xf + kN * kD)));
    doubles.set(1, mexhost::make_double(kN, 1, std::vector<double>(yf, yf + kN)));
    mexhost::CallResult a = loaded_module(c.name).call(1, p);
    mexhost::CallResult b = loaded_module(c.name).call(1, doubles.pointers());
    ASSERT_FALSE(a.failed) << name_of(c) << ": " << a.error_message;
    EXPECT_EQ(mexhost::values(a.output()), mexhost::values(b.output())) << name_of(c);
  }
}

TEST(Options, MethodOneTakesASeedButReportsNone) {
  const Case &m1 = kCases[1];
  mexhost::CallResult a =
      loaded_module(m1.name).call(2, inputs(m1, 0, options({{"seed", 1}, {"threads", 2}})).pointers());
  mexhost::CallResult b =
      loaded_module(m1.name).call(2, inputs(m1, 0, options({{"seed", 2}, {"threads", 2}})).pointers());
  mexhost::CallResult none = loaded_module(m1.name).call(2, inputs(m1, 0, options({{"threads", 2}})).pointers());
  ASSERT_FALSE(a.failed || b.failed || none.failed) << a.error_message << b.error_message << none.error_message;
  EXPECT_EQ(mexhost::values(a.output()), mexhost::values(b.output()));
  EXPECT_EQ(mexhost::values(a.output()), mexhost::values(none.output()));
  for (const mexhost::CallResult *r : {&a, &b, &none}) {
    const mxArray *seed = mxGetField(r->output(1), 0, "seed");
    ASSERT_NE(seed, nullptr);
    EXPECT_TRUE(mxIsDouble(seed) && mxIsEmpty(seed));
  }
  // Method 0 still reports the seed it used.
  mexhost::CallResult m0 = loaded_module("kinkstep").call(2, inputs(kCases[0], 0, options({{"seed", 7}})).pointers());
  EXPECT_EQ(info_field(m0, "seed"), 7);
}

TEST(Interrupt, AnInterruptedRunEndsInAnErrorAndLeavesNothingBehind) {
  for (const Case &c : kCases) {
    const long live = mexhost::live_arrays();
    {
      Inputs in = inputs(c, 1, options({{"seed", 1}}));
      mexhost_interrupt_after(1);
      mexhost::CallResult r = loaded_module(c.name).call(2, in.pointers());
      expect_clean_error(r, std::string(c.name) + ":interrupted");
      EXPECT_GE(mexhost_interrupt_checks(), 1);
      EXPECT_EQ(r.lines.back().find("Final"), std::string::npos) << r.printed;
      // The request was answered: the next call runs to the end.
      mexhost_interrupt_after(0);
      mexhost::CallResult next = loaded_module(c.name).call(1, in.pointers());
      EXPECT_FALSE(next.failed) << name_of(c) << ": " << next.error_message;
    }
    EXPECT_EQ(mexhost::live_arrays(), live) << name_of(c);
  }
}

TEST(Interrupt, ALaterInterruptStopsARunPartWay) {
  // kinkstep method 0 with verbose asks before every step (and the host's output asks too before
  // it flushes a line): the 10th question comes some steps into the run.
  const Case &c = kCases[0];
  mexhost_interrupt_after(10);
  mexhost::CallResult r = loaded_module(c.name).call(1, inputs(c, 1, options({{"seed", 1}})).pointers());
  mexhost_interrupt_after(0);
  expect_clean_error(r, "kinkstep:interrupted");
  size_t iterations = 0;
  for (const std::string &line : r.lines) iterations += line.rfind("Iteration ", 0) == 0;
  EXPECT_GE(iterations, 3u);
  EXPECT_LT(iterations, 10u);
}
