// The host-free entries fit_kinkstep, fit_splitavg and fit_driftwalk, called from plain C++ with a
// printer into a string, print the same lines, return the same bits and report the same run as the
// modules called through mexhost with the same inputs; a refused call gives the module's reason and
// message.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/data/regression_data.hpp"
#include "core/run/fit.hpp"
#include "driftwalk/fit.hpp"
#include "kinkstep/fit.hpp"
#include "module_call.hpp"
#include "splitavg/fit.hpp"
#include "test_support.hpp"

namespace {

const mexhost::Module &module(const char *name) {
  return loaded_module(name);
}

// N x D features and N labels, column-major as the modules take X.
struct Problem {
  int32_t N, D;
  std::vector<double> X, y;
  Problem(int32_t n, int32_t d) : N(n), D(d), X(static_cast<size_t>(n) * d), y(static_cast<size_t>(n)) {
    for (size_t k = 0; k < X.size(); ++k) X[k] = std::sin(0.37 * static_cast<double>(k) + 0.1);
    for (size_t k = 0; k < y.size(); ++k) y[k] = std::cos(1.3 * static_cast<double>(k));
  }
  core::RegressionData data() const { return core::make_regression_data(X.data(), N, D, y.data()); }
  Inputs inputs(const std::vector<double> &scalars) const {
    Inputs in;
    in.add(mexhost::make_double(static_cast<size_t>(N), static_cast<size_t>(D), X))
        .add(mexhost::make_double(static_cast<size_t>(N), 1, y));
    for (double v : scalars) in.add(v);
    return in;
  }
};

mexhost::ArrayPtr options(double seed, double threads) {
  mexhost::ArrayPtr s = mexhost::make_struct({"seed", "threads"});
  mxSetField(s.get(), 0, "seed", mxCreateDoubleScalar(seed));
  mxSetField(s.get(), 0, "threads", mxCreateDoubleScalar(threads));
  return s;
}

// The lines with the processor clock and the elapsed seconds masked: they are the only parts of a
// line that may differ between two runs.
std::vector<std::string> comparable(const std::string &printed) {
  std::vector<std::string> lines;
  for (std::string line : lines_of(printed)) {
    line = without_clock(line);
    const size_t at = line.find("time= ");
    if (at != std::string::npos) line = line.substr(0, at + 6) + "#";
    lines.push_back(line);
  }
  return lines;
}

struct Entry {
  std::string printed;
  core::ObjectiveTrace trace;
  std::vector<double> &objective = trace.values;
  core::FitRun run;
  Entry(bool verbose, uint32_t seed, int32_t threads) {
    run.verbose = verbose;
    run.out = core::Printer::to_string(&printed);
    run.seed = seed;
    run.threads = threads;
    run.trace = &trace;
  }
};

// The module's call (with info) against the entry's result: printed lines, weights to the bit,
// objective history, team size, iterations and whether the seed played a part.
void expect_same_run(const mexhost::CallResult &m, const core::FitResult &f, const Entry &e, uint32_t seed) {
  ASSERT_FALSE(m.failed) << m.error_id << ": " << m.error_message;
  ASSERT_TRUE(f.done()) << (f.error.reason ? f.error.reason : "stopped");
  EXPECT_EQ(comparable(e.printed), comparable(m.printed));
  EXPECT_FALSE(e.printed.empty() && e.run.verbose);
  const std::vector<double> w = mexhost::values(m.output(0));
  ASSERT_EQ(w.size(), f.w.size());
  EXPECT_EQ(std::memcmp(w.data(), f.w.data(), w.size() * sizeof(double)), 0);
  const mxArray *info = m.output(1);
  ASSERT_NE(info, nullptr);
  const std::vector<double> objective = mexhost::values(mxGetField(info, 0, "objective"));
  ASSERT_EQ(objective.size(), e.objective.size());
  EXPECT_EQ(std::memcmp(objective.data(), e.objective.data(), objective.size() * sizeof(double)), 0);
  EXPECT_EQ(mxGetScalar(mxGetField(info, 0, "threads")), f.threads);
  EXPECT_EQ(mxGetScalar(mxGetField(info, 0, "iterations")), f.iterations);
  const mxArray *module_seed = mxGetField(info, 0, "seed");
  EXPECT_EQ(mxIsEmpty(module_seed), !f.seed_used);
  if (f.seed_used) {
    EXPECT_EQ(mxGetScalar(module_seed), seed);
  }
  EXPECT_EQ(static_cast<int>(m.warnings.size()), f.warning_count);
}

TEST(FitEntries, KinkstepBothMethodsAsTheModule) {
  for (const Problem &pr : {Problem(37, 6), Problem(9001, 8)})
    for (int method : {0, 1}) {
      for (int verbose : {0, 1}) {
        SCOPED_TRACE("method " + std::to_string(method) + ", verbose " + std::to_string(verbose));
        Inputs in = pr.inputs({0.01, 0.05, 25, static_cast<double>(method), static_cast<double>(verbose)});
        in.add(options(11, 2));
        const mexhost::CallResult m = module("kinkstep").call(2, in.pointers());
        Entry e(verbose == 1, 11, 2);
        const core::RegressionData data = pr.data();
        kinkstep::FitInputs p;
        p.stepSize = 0.01;
        p.lambda = 0.05;
        p.maxIter = 25;
        p.method = method;
        const core::FitResult f = kinkstep::fit_kinkstep(data, p, e.run);
        expect_same_run(m, f, e, 11);
      }
    }
}

// The module writes X's rows by the call's team straight into the shuffled order; the entry on
// rows converted plainly shuffles them itself. Small and team-sized problems, lines to the bit.
TEST(FitEntries, SplitavgAsTheModule) {
  for (const Problem &pr : {Problem(41, 5), Problem(12011, 7)})
    for (int threads : {1, 2, 3}) {
      SCOPED_TRACE("N " + std::to_string(pr.N) + ", threads " + std::to_string(threads));
      Inputs in = pr.inputs({0.02, 0.01, 1});
      in.add(options(5, threads));
      const mexhost::CallResult m = module("splitavg").call(2, in.pointers());
      Entry e(true, 5, threads);
      core::RegressionData data = pr.data();
      const core::FitResult f = splitavg::fit_splitavg(data, splitavg::Parameters{0.02, 0.01}, e.run);
      expect_same_run(m, f, e, 5);
    }
}

TEST(FitEntries, DriftwalkAsTheModule) {
  for (const Problem &pr : {Problem(30, 4), Problem(8009, 9)})
    for (int threads : {1, 2}) {
      SCOPED_TRACE("N " + std::to_string(pr.N) + ", threads " + std::to_string(threads));
      Inputs in = pr.inputs({3e-3, 10.0, -0.55, 0.5, 8, 15, 1});
      in.add(options(9, threads));
      const mexhost::CallResult m = module("driftwalk").call(2, in.pointers());
      Entry e(true, 9, threads);
      const core::RegressionData data = pr.data();
      driftwalk::FitInputs p;
      p.stepScale = 3e-3;
      p.stepOffset = 10.0;
      p.stepPower = -0.55;
      p.lambda = 0.5;
      p.batchSize = 8;
      p.maxIter = 15;
      const core::FitResult f = driftwalk::fit_driftwalk(data, p, e.run);
      expect_same_run(m, f, e, 9);
    }
}

// A refused call: the same lines before the error, and the module's identifier and message.
void expect_same_refusal(const mexhost::CallResult &m, const core::FitResult &f, const std::string &printed,
                         const char *module_name) {
  ASSERT_TRUE(m.failed);
  ASSERT_EQ(f.status, core::FitStatus::Refused);
  EXPECT_EQ(m.error_id, std::string(module_name) + ":" + f.error.reason);
  EXPECT_EQ(m.error_message, f.error.message);
  EXPECT_EQ(m.printed, printed);
  EXPECT_TRUE(f.w.empty());
}

TEST(FitEntries, RefusalsAsTheModule) {
  const Problem pr(12, 3);
  {
    // A method other than 0 or 1, given as 2.5: the banner and the methods are printed first.
    const mexhost::CallResult m = module("kinkstep").call(1, pr.inputs({0.1, 0.1, 5, 2.5, 1}).pointers());
    Entry e(true, 0, 0);
    kinkstep::FitInputs p;
    p.maxIter = 5;
    p.method = core::IntegerInput::read(2.5);
    const core::FitResult f = kinkstep::fit_kinkstep(pr.data(), p, e.run);
    expect_same_refusal(m, f, e.printed, "kinkstep");
    EXPECT_EQ(lines_of(e.printed).size(), 2u);
  }
  {
    const mexhost::CallResult m = module("driftwalk").call(1, pr.inputs({0.1, 1, -0.5, 0.5, 13, 4, 1}).pointers());
    Entry e(true, 0, 0);
    driftwalk::FitInputs p;
    p.batchSize = 13;
    p.maxIter = 4;
    const core::FitResult f = driftwalk::fit_driftwalk(pr.data(), p, e.run);
    expect_same_refusal(m, f, e.printed, "driftwalk");
  }
  {
    const Problem empty(0, 3);
    const mexhost::CallResult m = module("kinkstep").call(1, empty.inputs({0.1, 0.1, 5, 0, 0}).pointers());
    Entry e(false, 0, 0);
    kinkstep::FitInputs p;
    p.maxIter = 5;
    const core::FitResult f = kinkstep::fit_kinkstep(empty.data(), p, e.run);
    expect_same_refusal(m, f, e.printed, "kinkstep");
  }
}

// A stop check that has already said stop (as after a Ctrl-C during the conversion of the data)
// ends every entry at once, with nothing printed.
bool always() {
  return true;
}

TEST(FitEntries, AStoppedRunReturnsStopped) {
  const Problem pr(10, 2);
  Entry e(true, 1, 0);
  e.run.stop = core::StopCheck(always);
  e.run.stop.should_stop();
  kinkstep::FitInputs k;
  k.maxIter = 3;
  EXPECT_EQ(kinkstep::fit_kinkstep(pr.data(), k, e.run).status, core::FitStatus::Stopped);
  core::RegressionData data = pr.data();
  EXPECT_EQ(splitavg::fit_splitavg(data, splitavg::Parameters{0.1, 0.1}, e.run).status, core::FitStatus::Stopped);
  driftwalk::FitInputs d;
  d.batchSize = 2;
  d.maxIter = 3;
  EXPECT_EQ(driftwalk::fit_driftwalk(pr.data(), d, e.run).status, core::FitStatus::Stopped);
  EXPECT_EQ(e.printed, "");
}

}  // namespace
