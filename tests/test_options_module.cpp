// The options struct, the run-info output, single-precision data and Ctrl-C, through mexhost.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "mexhost/interrupt.h"
#include "module_call.hpp"

namespace {

const mexhost::Module &module(const char *name) {
  static const mexhost::Module kinkstep(mexhost_module("kinkstep"));
  static const mexhost::Module driftwalk(mexhost_module("driftwalk"));
  static const mexhost::Module splitavg(mexhost_module("splitavg"));
  if (std::strcmp(name, "kinkstep") == 0) return kinkstep;
  if (std::strcmp(name, "driftwalk") == 0) return driftwalk;
  return splitavg;
}

// A problem whose results depend on every draw: N = 60 samples of D = 4 features.
std::vector<double> wavy(size_t n, double phase) {
  std::vector<double> v(n);
  for (size_t k = 0; k < n; ++k) v[k] = std::sin(0.7 * static_cast<double>(k) + phase);
  return v;
}
constexpr size_t kN = 60, kD = 4;

// The call of each solver on the problem, with verbose and an optional options struct.
struct Case {
  const char *name;
  std::vector<double> params;  // the scalar inputs after X and y, verbose last
};
const Case kCases[] = {
    {"kinkstep", {0.01, 0.1, 40, 0, 0}},
    {"kinkstep", {0.01, 0.1, 40, 1, 0}},
    {"driftwalk", {1e-3, 10, -0.55, 0.1, 8, 40, 0}},
    {"splitavg", {0.01, 0.1, 0}},
};

Inputs inputs(const Case &c, double verbose, mexhost::ArrayPtr opts = nullptr, bool single = false) {
  Inputs in;
  std::vector<double> X = wavy(kN * kD, 0.3), y = wavy(kN, 1.1);
  if (single) {
    mexhost::ArrayPtr xs = mexhost::make_numeric(mxSINGLE_CLASS, kN, kD);
    mexhost::ArrayPtr ys = mexhost::make_numeric(mxSINGLE_CLASS, kN, 1);
    float *xf = static_cast<float *>(mxGetData(xs.get())), *yf = static_cast<float *>(mxGetData(ys.get()));
    for (size_t k = 0; k < X.size(); ++k) xf[k] = static_cast<float>(X[k]);
    for (size_t k = 0; k < y.size(); ++k) yf[k] = static_cast<float>(y[k]);
    in.add(std::move(xs)).add(std::move(ys));
  } else {
    in.add(mexhost::make_double(kN, kD, X)).add(mexhost::make_double(kN, 1, y));
  }
  for (size_t k = 0; k + 1 < c.params.size(); ++k) in.add(c.params[k]);
  in.add(verbose);
  if (opts) in.add(std::move(opts));
  return in;
}

// {"seed", 5} -> struct('seed', 5)
mexhost::ArrayPtr options(std::initializer_list<std::pair<const char *, double>> fields) {
  std::vector<std::string> names;
  for (const auto &f : fields) names.push_back(f.first);
  mexhost::ArrayPtr s = mexhost::make_struct(names);
  for (const auto &f : fields) mxSetField(s.get(), 0, f.first, mxCreateDoubleScalar(f.second));
  return s;
}

double info_field(const mexhost::CallResult &r, const char *field) {
  const mxArray *info = r.output(1);
  if (!info) return std::nan("");
  const mxArray *v = mxGetField(info, 0, field);
  return v ? mxGetScalar(v) : std::nan("");
}

std::string name_of(const Case &c) {
  return std::string(c.name) + (c.params.size() == 5 && c.params[3] == 1 ? " m1" : "");
}

}  // namespace

TEST(Options, ASeededRunRepeatsBitForBit) {
  for (const Case &c : kCases) {
    mexhost::CallResult a = module(c.name).call(1, inputs(c, 0, options({{"seed", 77}})).pointers());
    mexhost::CallResult b = module(c.name).call(1, inputs(c, 0, options({{"seed", 77}})).pointers());
    mexhost::CallResult other = module(c.name).call(1, inputs(c, 0, options({{"seed", 78}})).pointers());
    ASSERT_FALSE(a.failed) << name_of(c) << ": " << a.error_message;
    EXPECT_EQ(mexhost::values(a.output()), mexhost::values(b.output())) << name_of(c);
    if (std::strcmp(c.name, "kinkstep") != 0 || c.params[3] == 0) {  // method 1 never uses the seed
      EXPECT_NE(mexhost::values(a.output()), mexhost::values(other.output())) << name_of(c);
    }
  }
}

TEST(Options, InfoSeedReplaysATimeSeededRun) {
  for (const Case &c : kCases) {
    mexhost::CallResult timed = module(c.name).call(2, inputs(c, 0).pointers());
    ASSERT_FALSE(timed.failed) << name_of(c) << ": " << timed.error_message;
    if (name_of(c) == "kinkstep m1") {
      // No seed plays a part in method 1: info.seed is empty (see MethodOneTakesNoSeed).
      EXPECT_TRUE(mxIsEmpty(mxGetField(timed.output(1), 0, "seed")));
      continue;
    }
    const double seed = info_field(timed, "seed");
    ASSERT_TRUE(std::isfinite(seed));
    mexhost::CallResult replay = module(c.name).call(1, inputs(c, 0, options({{"seed", seed}})).pointers());
    EXPECT_EQ(mexhost::values(replay.output()), mexhost::values(timed.output())) << name_of(c);
  }
}

TEST(Options, InfoObjectiveHoldsThePrintedValues) {
  for (const Case &c : kCases) {
    mexhost::CallResult r = module(c.name).call(2, inputs(c, 1, options({{"seed", 5}})).pointers());
    ASSERT_FALSE(r.failed) << name_of(c) << ": " << r.error_message;
    const std::vector<double> objective = mexhost::values(mxGetField(r.output(1), 0, "objective"));
    std::vector<std::string> printed;
    for (const std::string &line : r.lines) {
      const size_t at = line.find("object function = ");
      if (at == std::string::npos || line.rfind("Final", 0) == 0) continue;
      printed.push_back(line.substr(at + 18, line.find_first_of(", ", at + 18) - (at + 18)));
    }
    if (std::strcmp(c.name, "splitavg") == 0) {  // the initial line, then the timed final line
      const std::string &last = r.lines.back();
      const size_t at = last.find("= ") + 2;
      printed.push_back(last.substr(at, last.find(',') - at));
    }
    ASSERT_EQ(objective.size(), printed.size()) << name_of(c) << "\n" << r.printed;
    for (size_t k = 0; k < objective.size(); ++k) {
      char text[64];
      std::snprintf(text, sizeof text, "%f", objective[k]);
      EXPECT_EQ(text, printed[k]) << name_of(c) << " value " << k;
    }
    EXPECT_EQ(info_field(r, "iterations"), std::strcmp(c.name, "splitavg") == 0 ? 1.0 : 40.0);
    EXPECT_GE(info_field(r, "time"), 0.0);
  }
}

TEST(Options, InfoIsComputedOnlyWhenAskedForAndDoesNotChangeTheWeights) {
  for (const Case &c : kCases) {
    mexhost::CallResult with = module(c.name).call(2, inputs(c, 0, options({{"seed", 9}})).pointers());
    mexhost::CallResult without = module(c.name).call(1, inputs(c, 0, options({{"seed", 9}})).pointers());
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
          module(c.name).call(2, inputs(c, 1, options({{"seed", 3}, {"threads", threads}})).pointers());
      mexhost::CallResult b =
          module(c.name).call(1, inputs(c, 0, options({{"seed", 3}, {"threads", threads}})).pointers());
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
    mexhost::CallResult a = module(c.name).call(1, p);
    mexhost::CallResult b = module(c.name).call(1, doubles.pointers());
    ASSERT_FALSE(a.failed) << name_of(c) << ": " << a.error_message;
    EXPECT_EQ(mexhost::values(a.output()), mexhost::values(b.output())) << name_of(c);
  }
}

TEST(Options, BadOptionsAreErrorsNamingTheField) {
  for (const Case &c : kCases) {
    const std::string id = c.name;
    expect_clean_error(module(c.name).call(1, inputs(c, 0, mexhost::make_scalar(5)).pointers()),
                       id + ":invalidOptions");
    mexhost::CallResult r = module(c.name).call(1, inputs(c, 0, options({{"sede", 1}})).pointers());
    expect_clean_error(r, id + ":unknownOption");
    EXPECT_NE(r.error_message.find("opts.sede"), std::string::npos) << r.error_message;
    for (double bad : {-1.0, 0.5, 4294967296.0, std::nan("")}) {
      r = module(c.name).call(1, inputs(c, 0, options({{"seed", bad}})).pointers());
      expect_clean_error(r, id + ":invalidOption");
      EXPECT_NE(r.error_message.find("opts.seed"), std::string::npos) << r.error_message;
    }
    r = module(c.name).call(1, inputs(c, 0, options({{"threads", 0}})).pointers());
    expect_clean_error(r, id + ":invalidOption");
    EXPECT_NE(r.error_message.find("opts.threads"), std::string::npos) << r.error_message;
    // [] stands for no options.
    EXPECT_FALSE(module(c.name).call(1, inputs(c, 0, mexhost::make_double(0, 0)).pointers()).failed);
  }
}

TEST(Options, MethodOneTakesASeedButReportsNone) {
  const Case &m1 = kCases[1];
  mexhost::CallResult a = module(m1.name).call(2, inputs(m1, 0, options({{"seed", 1}, {"threads", 2}})).pointers());
  mexhost::CallResult b = module(m1.name).call(2, inputs(m1, 0, options({{"seed", 2}, {"threads", 2}})).pointers());
  mexhost::CallResult none = module(m1.name).call(2, inputs(m1, 0, options({{"threads", 2}})).pointers());
  ASSERT_FALSE(a.failed || b.failed || none.failed) << a.error_message << b.error_message << none.error_message;
  EXPECT_EQ(mexhost::values(a.output()), mexhost::values(b.output()));
  EXPECT_EQ(mexhost::values(a.output()), mexhost::values(none.output()));
  for (const mexhost::CallResult *r : {&a, &b, &none}) {
    const mxArray *seed = mxGetField(r->output(1), 0, "seed");
    ASSERT_NE(seed, nullptr);
    EXPECT_TRUE(mxIsDouble(seed) && mxIsEmpty(seed));
  }
  // Method 0 still reports the seed it used.
  mexhost::CallResult m0 = module("kinkstep").call(2, inputs(kCases[0], 0, options({{"seed", 7}})).pointers());
  EXPECT_EQ(info_field(m0, "seed"), 7);
}

TEST(Interrupt, AnInterruptedRunEndsInAnErrorAndLeavesNothingBehind) {
  for (const Case &c : kCases) {
    const long live = mexhost::live_arrays();
    {
      Inputs in = inputs(c, 1, options({{"seed", 1}}));
      mexhost_interrupt_after(1);
      mexhost::CallResult r = module(c.name).call(2, in.pointers());
      expect_clean_error(r, std::string(c.name) + ":interrupted");
      EXPECT_GE(mexhost_interrupt_checks(), 1);
      EXPECT_EQ(r.lines.back().find("Final"), std::string::npos) << r.printed;
      // The request was answered: the next call runs to the end.
      mexhost_interrupt_after(0);
      mexhost::CallResult next = module(c.name).call(1, in.pointers());
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
  mexhost::CallResult r = module(c.name).call(1, inputs(c, 1, options({{"seed", 1}})).pointers());
  mexhost_interrupt_after(0);
  expect_clean_error(r, "kinkstep:interrupted");
  size_t iterations = 0;
  for (const std::string &line : r.lines) iterations += line.rfind("Iteration ", 0) == 0;
  EXPECT_GE(iterations, 3u);
  EXPECT_LT(iterations, 10u);
}
