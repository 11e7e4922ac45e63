// The options beyond the defined run (history, w0, intercept, l1, average, passes) through the
// modules: a sparse X gives the bits of full(X) for every option and method, the run information
// says what was fitted and averaged, the defined run is the default, and every bad value is an
// error that names its field.
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "module_call.hpp"

namespace {

constexpr size_t kN = 80, kD = 12;

// Features with zeros among them (about a third), labels from a sparse truth plus a wave.
std::vector<double> features() {
  std::vector<double> X(kN * kD);
  for (size_t k = 0; k < X.size(); ++k) {
    const double v = std::sin(0.37 * static_cast<double>(k) + 0.2);
    X[k] = std::fabs(v) < 0.5 ? 0.0 : v;
  }
  return X;
}
std::vector<double> labels() {
  const std::vector<double> X = features();
  std::vector<double> y(kN);
  for (size_t i = 0; i < kN; ++i) y[i] = 2 * X[i] - X[i + 3 * kN] + 0.1 * std::cos(1.3 * static_cast<double>(i)) + 0.5;
  return y;
}

// An options struct from named doubles, plus w0 and l1 when given.
struct Opts {
  std::vector<std::pair<std::string, double>> numbers;
  std::vector<std::pair<std::string, bool>> flags;
  std::vector<double> w0;
  std::string l1;
  mexhost::ArrayPtr make() const {
    std::vector<std::string> names;
    for (const auto &n : numbers) names.push_back(n.first);
    for (const auto &f : flags) names.push_back(f.first);
    if (!w0.empty()) names.push_back("w0");
    if (!l1.empty()) names.push_back("l1");
    mexhost::ArrayPtr s = mexhost::make_struct(names);
    for (const auto &n : numbers) mxSetField(s.get(), 0, n.first.c_str(), mxCreateDoubleScalar(n.second));
    for (const auto &f : flags) mxSetField(s.get(), 0, f.first.c_str(), mxCreateLogicalScalar(f.second));
    if (!w0.empty()) mxSetField(s.get(), 0, "w0", mexhost::make_double(w0.size(), 1, w0).release());
    if (!l1.empty()) mxSetField(s.get(), 0, "l1", mexhost::make_string(l1.c_str()).release());
    return s;
  }
};

struct Method {
  const char *label, *module;
  std::vector<double> params;  // after X and y, verbose last
};
const Method kMethods[] = {
    {"kinkstep m0", "kinkstep", {0.02, 0.05, 700, 0, 0}},
    {"kinkstep m1", "kinkstep", {0.02, 0.05, 60, 1, 0}},
    {"splitavg", "splitavg", {0.02, 0.05, 0}},
    {"driftwalk", "driftwalk", {1e-3, 10, -0.55, 0.05, 8, 30, 0}},
};

Inputs call_inputs(const Method &m, bool sparse, const Opts &o) {
  Inputs in;
  const std::vector<double> X = features(), y = labels();
  in.add(sparse ? mexhost::make_sparse(kN, kD, X) : mexhost::make_double(kN, kD, X));
  in.add(mexhost::make_double(kN, 1, y));
  for (double p : m.params) in.add(p);
  in.add(o.make());
  return in;
}

std::vector<double> w0() {
  std::vector<double> w(kD);
  for (size_t j = 0; j < kD; ++j) w[j] = j % 4 == 0 ? -0.0 : 0.1 * std::cos(static_cast<double>(j));
  return w;
}

bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

std::vector<double> info_values(const mexhost::CallResult &r, const char *field) {
  const mxArray *v = mxGetField(r.output(1), 0, field);
  return v ? mexhost::values(v) : std::vector<double>{};
}

// The option sets each method takes (driftwalk: w0 and history).
std::vector<std::pair<std::string, Opts>> option_sets(const Method &m) {
  std::vector<std::pair<std::string, Opts>> out;
  Opts base;
  base.numbers = {{"seed", 7}, {"threads", 2}};
  Opts o = base;
  o.w0 = w0();
  out.push_back({"w0", o});
  if (std::strcmp(m.module, "splitavg") != 0) {
    o = base;
    o.numbers.push_back({"history", 3});
    out.push_back({"history", o});
  }
  if (std::strcmp(m.module, "driftwalk") == 0) return out;
  o = base;
  o.flags = {{"intercept", true}};
  out.push_back({"intercept", o});
  o = base;
  o.l1 = "prox";
  out.push_back({"prox", o});
  if (std::strcmp(m.label, "kinkstep m1") != 0) {
    o = base;
    o.l1 = "cumulative";
    o.flags = {{"average", true}};
    out.push_back({"cumulative", o});
  }
  o = base;
  o.flags = {{"average", true}};
  out.push_back({"average", o});
  o = base;
  o.numbers.push_back({"average", 4});
  out.push_back({"average from 4", o});
  o = base;
  o.flags = {{"intercept", true}, {"average", true}};
  o.l1 = "prox";
  o.w0 = w0();
  if (std::strcmp(m.module, "splitavg") == 0) o.numbers.push_back({"passes", 4});
  out.push_back({"all", o});
  return out;
}

}  // namespace

TEST(FitOptions, ASparseXGivesTheBitsOfFullXForEveryOptionAndMethod) {
  for (const Method &m : kMethods) {
    for (const auto &[label, o] : option_sets(m)) {
      const mexhost::CallResult full = loaded_module(m.module).call(2, call_inputs(m, false, o).pointers());
      const mexhost::CallResult sparse = loaded_module(m.module).call(2, call_inputs(m, true, o).pointers());
      const std::string where = std::string(m.label) + " " + label;
      ASSERT_FALSE(full.failed) << where << ": " << full.error_message;
      ASSERT_FALSE(sparse.failed) << where << ": " << sparse.error_message;
      EXPECT_TRUE(same_bits(mexhost::values(full.output()), mexhost::values(sparse.output()))) << where;
      for (const char *field : {"objective", "history_iterations", "intercept", "average_from", "averaged"})
        EXPECT_TRUE(same_bits(info_values(full, field), info_values(sparse, field))) << where << " info." << field;
    }
  }
}

TEST(FitOptions, TheInfoOutputSaysWhatWasFittedAndAveraged) {
  const Method &m0 = kMethods[0], &split = kMethods[2];
  Opts o;
  o.numbers = {{"seed", 3}};
  o.flags = {{"intercept", true}, {"average", true}};
  mexhost::CallResult r = loaded_module("kinkstep").call(2, call_inputs(m0, false, o).pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  // The labels have an offset of 0.5 the features cannot give: the intercept takes it up.
  ASSERT_EQ(info_values(r, "intercept").size(), 1u);
  EXPECT_GT(info_values(r, "intercept")[0], 0.2);
  EXPECT_EQ(info_values(r, "average_from"), std::vector<double>{351});  // the second half of 700 steps
  EXPECT_EQ(info_values(r, "averaged"), std::vector<double>{350});
  // Without the options the fields are absent.
  Opts plain;
  plain.numbers = {{"seed", 3}};
  mexhost::CallResult p = loaded_module("kinkstep").call(2, call_inputs(m0, false, plain).pointers());
  EXPECT_EQ(mxGetField(p.output(1), 0, "intercept"), nullptr);
  EXPECT_EQ(mxGetField(p.output(1), 0, "averaged"), nullptr);
  // splitavg: per share, over all its passes.
  Opts s;
  s.numbers = {{"seed", 3}, {"threads", 2}, {"passes", 3}};
  s.flags = {{"average", true}};
  mexhost::CallResult sr = loaded_module("splitavg").call(2, call_inputs(split, false, s).pointers());
  ASSERT_FALSE(sr.failed) << sr.error_message;
  EXPECT_EQ(info_values(sr, "averaged"), (std::vector<double>{60, 60}));  // 40 samples x 3 passes, half
  EXPECT_EQ(info_values(sr, "average_from"), (std::vector<double>{61, 61}));
  EXPECT_EQ(info_values(sr, "iterations"), std::vector<double>{3});
}

TEST(FitOptions, SplitavgSaysWhenNoShareReachesTheAverageStart) {
  // 80 samples on 3 threads: shares of 26, 26 and (the last) 28, so 52, 52 and 56 steps in 2 passes.
  const Method &split = kMethods[2];
  auto run = [&](double start) {
    Opts o;
    o.numbers = {{"seed", 5}, {"threads", 3}, {"passes", 2}};
    if (start > 0) o.numbers.push_back({"average", start});
    return loaded_module("splitavg").call(2, call_inputs(split, false, o).pointers());
  };
  const mexhost::CallResult plain = run(0), last = run(56), beyond = run(57);
  ASSERT_FALSE(beyond.failed) << beyond.error_message;
  // Only the last share reaches step 56: it averages one iterate, and nothing is said.
  EXPECT_EQ(info_values(last, "averaged"), (std::vector<double>{0, 0, 1}));
  EXPECT_TRUE(last.warnings.empty());
  // One step further no share averages: the plain run's bits, and a warning with the longest share.
  EXPECT_EQ(info_values(beyond, "averaged"), (std::vector<double>{0, 0, 0}));
  EXPECT_TRUE(same_bits(mexhost::values(beyond.output()), mexhost::values(plain.output())));
  ASSERT_EQ(beyond.warnings.size(), 1u);
  EXPECT_EQ(beyond.warnings[0].id, "splitavg:averageNotReached");
  EXPECT_NE(beyond.warnings[0].message.find("step 57 on, but the longest of the 3 shares makes 56 steps"),
            std::string::npos)
      << beyond.warnings[0].message;
}

TEST(FitOptions, DefaultValuesOfEveryOptionAreTheDefinedRun) {
  for (const Method &m : kMethods) {
    Opts plain;
    plain.numbers = {{"seed", 11}, {"threads", 2}};
    Opts defaults = plain;
    defaults.w0 = std::vector<double>(kD, 0.0);
    if (std::strcmp(m.module, "driftwalk") != 0) {
      defaults.flags = {{"intercept", false}, {"average", false}};
      defaults.l1 = "subgradient";
      if (std::strcmp(m.module, "splitavg") == 0) defaults.numbers.push_back({"passes", 1});
    }
    const mexhost::CallResult a = loaded_module(m.module).call(1, call_inputs(m, false, plain).pointers());
    const mexhost::CallResult b = loaded_module(m.module).call(1, call_inputs(m, false, defaults).pointers());
    ASSERT_FALSE(b.failed) << m.label << ": " << b.error_message;
    EXPECT_TRUE(same_bits(mexhost::values(a.output()), mexhost::values(b.output()))) << m.label;
  }
}

TEST(FitOptions, BadValuesAreErrorsThatNameTheField) {
  const Method &m0 = kMethods[0];
  struct Case {
    const char *label;
    std::function<mexhost::ArrayPtr()> value;
    const char *field;
    const char *says;
  };
  auto scalar = [](double v) { return [v] { return mexhost::make_scalar(v); }; };
  auto vector = [](std::vector<double> v) { return [v] { return mexhost::make_double(v.size(), 1, v); }; };
  std::vector<double> with_nan = w0();
  with_nan[5] = std::nan("");
  const Case cases[] = {
      {"history 0", scalar(0), "history", "whole number from 1"},
      {"history 1.5", scalar(1.5), "history", "whole number from 1"},
      {"w0 too short", vector(std::vector<double>(kD - 1, 0.0)), "w0", "D = 12"},
      {"w0 NaN", vector(with_nan), "w0", "w0(6) is NaN"},
      {"w0 a matrix", [] { return mexhost::make_double(kD, 2, std::vector<double>(2 * kD, 0.0)); }, "w0", "D = 12"},
      {"w0 complex", [] { return mexhost::make_complex(kD, 1, std::vector<double>(kD), std::vector<double>(kD)); },
       "w0", "D = 12"},
      {"w0 text", [] { return mexhost::make_string("zeros"); }, "w0", "D = 12"},
      {"intercept 2", scalar(2), "intercept", "true or false"},
      {"l1 a number", scalar(1), "l1", "'prox'"},
      {"l1 other text", [] { return mexhost::make_string("lasso"); }, "l1", "'prox'"},
      {"average -1", scalar(-1), "average", "step to average from"},
      {"average 2.5", scalar(2.5), "average", "step to average from"},
      {"average beyond the run", scalar(701), "average", "the run makes 700 steps"},
  };
  for (const Case &c : cases) {
    mexhost::ArrayPtr s = mexhost::make_struct({c.field});
    mxSetField(s.get(), 0, c.field, c.value().release());
    Inputs in;
    const std::vector<double> X = features(), y = labels();
    in.add(mexhost::make_double(kN, kD, X)).add(mexhost::make_double(kN, 1, y));
    for (double p : m0.params) in.add(p);
    in.add(std::move(s));
    const mexhost::CallResult r = loaded_module("kinkstep").call(1, in.pointers());
    expect_clean_error(r, "kinkstep:invalidOption");
    EXPECT_NE(r.error_message.find(std::string("opts.") + c.field), std::string::npos)
        << c.label << ": " << r.error_message;
    EXPECT_NE(r.error_message.find(c.says), std::string::npos) << c.label << ": " << r.error_message;
  }
  // Options a module does not take.
  for (const char *field : {"intercept", "l1", "average", "passes"}) {
    mexhost::ArrayPtr s = mexhost::make_struct({field});
    mxSetField(s.get(), 0, field, mxCreateDoubleScalar(1));
    Inputs in;
    in.add(mexhost::make_double(kN, kD, features())).add(mexhost::make_double(kN, 1, labels()));
    for (double p : kMethods[3].params) in.add(p);
    in.add(std::move(s));
    expect_clean_error(loaded_module("driftwalk").call(1, in.pointers()), "driftwalk:unknownOption");
  }
  // The cumulative penalty is method 0's.
  Opts cumulative;
  cumulative.l1 = "cumulative";
  const mexhost::CallResult m1 =
      loaded_module("kinkstep").call(1, call_inputs(kMethods[1], false, cumulative).pointers());
  expect_clean_error(m1, "kinkstep:invalidOption");
  EXPECT_NE(m1.error_message.find("for method 0"), std::string::npos) << m1.error_message;
  // The proximal step and averaging take no negative step size or penalty.
  Opts prox;
  prox.l1 = "prox";
  Method negative = m0;
  negative.params[1] = -0.05;
  const mexhost::CallResult r = loaded_module("kinkstep").call(1, call_inputs(negative, false, prox).pointers());
  expect_clean_error(r, "kinkstep:invalidOption");
  EXPECT_NE(r.error_message.find("lambda of at least 0"), std::string::npos) << r.error_message;
}

TEST(FitOptions, ASingleW0AndARowW0AreTheSameStart) {
  const Method &m0 = kMethods[0];
  Opts column;
  column.numbers = {{"seed", 2}};
  column.w0 = w0();
  for (double &v : column.w0) v = static_cast<double>(static_cast<float>(v));
  const mexhost::CallResult a = loaded_module("kinkstep").call(1, call_inputs(m0, false, column).pointers());
  ASSERT_FALSE(a.failed) << a.error_message;
  mexhost::ArrayPtr s = mexhost::make_struct({"seed", "w0"});
  mxSetField(s.get(), 0, "seed", mxCreateDoubleScalar(2));
  mexhost::ArrayPtr row = mexhost::make_numeric(mxSINGLE_CLASS, 1, kD);
  float *f = static_cast<float *>(mxGetData(row.get()));
  for (size_t j = 0; j < kD; ++j) f[j] = static_cast<float>(w0()[j]);
  mxSetField(s.get(), 0, "w0", row.release());
  Inputs in;
  in.add(mexhost::make_double(kN, kD, features())).add(mexhost::make_double(kN, 1, labels()));
  for (double p : m0.params) in.add(p);
  in.add(std::move(s));
  const mexhost::CallResult b = loaded_module("kinkstep").call(1, in.pointers());
  ASSERT_FALSE(b.failed) << b.error_message;
  EXPECT_TRUE(same_bits(mexhost::values(a.output()), mexhost::values(b.output())));
}
