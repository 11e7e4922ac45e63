// opts.progress through mexhost: the updates a run draws (with mexhost's clock run by hand, so
// that they follow the run's work and not the machine's speed), the newline that ends the line,
// plain lines where the output is no terminal, nothing without the option, nothing from inside a
// parallel region, and the same weights with and without the line.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "mexhost/display.h"
#include "mexhost/interrupt.h"
#include "module_call.hpp"

namespace {

// A run long enough to ask the host a few hundred times: the line's check points.
struct Case {
  const char *label;
  const char *name;
  const char *unit;
  size_t N, D;
  std::vector<double> params;  // the scalar inputs after X and y, verbose last
  double total;                // the units the line counts
};
const Case kCases[] = {
    // About 3 D + 8 features per step: a question every 3277 steps.
    {"kinkstep method 0", "kinkstep", "steps", 60, 4, {0.01, 0.1, 1e6, 0, 0}, 1e6},
    // A question per iteration.
    {"kinkstep method 1", "kinkstep", "iterations", 60, 4, {0.01, 0.1, 300, 1, 0}, 300},
    {"driftwalk", "driftwalk", "iterations", 60, 4, {1e-3, 10, -0.55, 0.1, 8, 300, 0}, 300},
    // Thread 0 asks between blocks of 13107 samples: 38 questions in its share of 500000.
    {"splitavg", "splitavg", "samples", 1000000, 4, {1e-3, 0.1, 0}, 1e6},
};

// The by-hand clock's seconds between two questions: a few tenths of a second pass between
// updates. splitavg's thread 0 asks only 38 times: more time per question, for as many updates.
double per_question(const Case &c) {
  return std::strcmp(c.name, "splitavg") == 0 ? 0.1 : 0.01;
}

// Made once per size: splitavg's problem holds four million values.
const std::vector<double> &wavy(size_t n, double phase) {
  static std::map<std::pair<size_t, double>, std::vector<double>> made;
  std::vector<double> &v = made[{n, phase}];
  if (v.size() != n) {
    v.resize(n);
    for (size_t k = 0; k < n; ++k) v[k] = std::sin(0.7 * static_cast<double>(k) + phase);
  }
  return v;
}

// struct('seed', 3, 'threads', 2[, 'progress', progress]); driftwalk's without 'threads' (its batch
// here is too small for a team).
mexhost::ArrayPtr options(const Case &c, mexhost::ArrayPtr progress) {
  std::vector<std::string> names{"seed"};
  const bool threads = std::strcmp(c.name, "driftwalk") != 0;
  if (threads) names.push_back("threads");
  if (progress) names.push_back("progress");
  mexhost::ArrayPtr s = mexhost::make_struct(names);
  mxSetField(s.get(), 0, "seed", mxCreateDoubleScalar(3));
  if (threads) mxSetField(s.get(), 0, "threads", mxCreateDoubleScalar(2));
  if (progress) mxSetField(s.get(), 0, "progress", progress.release());
  return s;
}

mexhost::ArrayPtr logical(bool v) {
  mexhost::ArrayPtr a(mxCreateLogicalMatrix(1, 1));
  mxGetLogicals(a.get())[0] = v;
  return a;
}

Inputs inputs(const Case &c, double verbose, mexhost::ArrayPtr opts) {
  Inputs in;
  in.add(mexhost::make_double(c.N, c.D, wavy(c.N * c.D, 0.3))).add(mexhost::make_double(c.N, 1, wavy(c.N, 1.1)));
  for (size_t k = 0; k + 1 < c.params.size(); ++k) in.add(c.params[k]);
  in.add(verbose);
  if (opts) in.add(std::move(opts));
  return in;
}

// One drawn state of the line.
struct Update {
  std::string module, unit;
  long percent = -1;
  double done = -1, total = -1, elapsed = -1;
  bool has_left = false;
  size_t end = 0;  // where its text ends in the printed output
};

// "kinkstep: 42% (420000 of 1000000 steps), 1.2 s elapsed, about 1.7 s left", maybe padded with
// spaces; false when the text is not such a line.
bool parse(const std::string &text, Update &u) {
  char module[64], unit[64];
  long percent = 0;
  unsigned long long done = 0, total = 0;
  double elapsed = 0, left = 0;
  int end = 0;
  if (std::sscanf(text.c_str(), "%63[a-z]: %ld%% (%llu of %llu %63[a-z]), %lf s elapsed%n", module, &percent, &done,
                  &total, unit, &elapsed, &end) != 6)
    return false;
  std::string rest = text.substr(static_cast<size_t>(end));
  u.has_left = std::sscanf(rest.c_str(), ", about %lf s left", &left) == 1;
  // Exactly the line's format (one decimal for the seconds), then nothing but padding.
  char canonical[256];
  int n = std::snprintf(canonical, sizeof canonical, "%s: %ld%% (%llu of %llu %s), %.1f s elapsed", module, percent,
                        done, total, unit, elapsed);
  if (u.has_left) std::snprintf(canonical + n, sizeof canonical - static_cast<size_t>(n), ", about %.1f s left", left);
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
  if (trimmed != canonical) return false;
  u.module = module;
  u.unit = unit;
  u.percent = percent;
  u.done = static_cast<double>(done);
  u.total = static_cast<double>(total);
  u.elapsed = elapsed;
  return true;
}

// The in-place line: every update starts with a carriage return; only the last ends in a newline.
std::vector<Update> in_place_updates(const std::string &printed) {
  std::vector<Update> updates;
  size_t at = 0;
  while (at < printed.size()) {
    EXPECT_EQ(printed[at], '\r') << "an update that does not start the line again at " << at;
    size_t next = printed.find('\r', at + 1);
    if (next == std::string::npos) next = printed.size();
    std::string text = printed.substr(at + 1, next - at - 1);
    const bool last = next == printed.size();
    if (last) {
      EXPECT_FALSE(text.empty());
      EXPECT_EQ(text.back(), '\n') << "the line is not ended";
      if (!text.empty() && text.back() == '\n') text.pop_back();
    }
    EXPECT_EQ(text.find('\n'), std::string::npos) << "a newline before the end: " << text;
    Update u;
    EXPECT_TRUE(parse(text, u)) << "not a progress line: [" << text << "]";
    u.end = next;
    updates.push_back(u);
    at = next;
  }
  return updates;
}

// Every update is followed by a request to show it at once.
void expect_each_flushed(const mexhost::CallResult &r, const std::vector<Update> &updates) {
  for (const Update &u : updates) {
    bool flushed = false;
    for (const auto &e : r.evaluated) flushed |= e.printed_before == u.end;
    EXPECT_TRUE(flushed) << "update ending at " << u.end << " was not flushed";
  }
}

// Runs the hosts's clock by hand for one test and gives the real one back after it.
class ProgressLine : public ::testing::Test {
 protected:
  void TearDown() override {
    mexhost_clock_by_hand(0, 0);
    mexhost_set_output_terminal(false);
    mexhost_interrupt_after(0);
  }
};

}  // namespace

TEST_F(ProgressLine, NothingIsDrawnWithoutTheOptionAndTheWeightsAreTheSame) {
  mexhost_set_output_terminal(true);
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.label);
    mexhost_clock_by_hand(per_question(c), 0);
    const mexhost::CallResult plain = loaded_module(c.name).call(1, inputs(c, 0, options(c, nullptr)).pointers());
    ASSERT_FALSE(plain.failed) << plain.error_message;
    EXPECT_EQ(plain.printed, "");
    EXPECT_TRUE(plain.evaluated.empty());
    EXPECT_EQ(mexhost_clock_readings(), 0) << "the clock was read without the option";

    const mexhost::CallResult off = loaded_module(c.name).call(1, inputs(c, 0, options(c, logical(false))).pointers());
    ASSERT_FALSE(off.failed) << off.error_message;
    EXPECT_EQ(off.printed, "");
    EXPECT_TRUE(off.evaluated.empty());

    // With the line (and splitavg's pass paused for every update) the weights are the same bits.
    const mexhost::CallResult on = loaded_module(c.name).call(1, inputs(c, 0, options(c, logical(true))).pointers());
    ASSERT_FALSE(on.failed) << on.error_message;
    EXPECT_GE(in_place_updates(on.printed).size(), 3u);
    EXPECT_EQ(mexhost::values(on.output()), mexhost::values(plain.output()));
    EXPECT_EQ(mexhost::values(off.output()), mexhost::values(plain.output()));
  }
}

TEST_F(ProgressLine, OnATerminalOneLineGrowsInPlaceAndEndsAtAHundredPercentWithANewline) {
  mexhost_set_output_terminal(true);
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.label);
    mexhost_clock_by_hand(per_question(c), 0);
    const mexhost::CallResult r = loaded_module(c.name).call(1, inputs(c, 0, options(c, logical(true))).pointers());
    ASSERT_FALSE(r.failed) << r.error_message;
    EXPECT_EQ(r.host_calls_in_parallel, 0) << "the host was entered from inside a parallel region";
    const std::vector<Update> u = in_place_updates(r.printed);
    ASSERT_GE(u.size(), 4u) << r.printed;
    for (size_t k = 0; k < u.size(); ++k) {
      EXPECT_EQ(u[k].module, c.name);
      EXPECT_EQ(u[k].unit, c.unit);
      EXPECT_EQ(u[k].total, c.total);
      EXPECT_EQ(u[k].percent, static_cast<long>(std::floor(u[k].done * 100 / u[k].total)));
      if (k == 0) continue;
      EXPECT_GE(u[k].done, u[k - 1].done);
      // At most four updates a second: 0.25 s apart, as the printed tenths of a second show them
      // (the closing line comes when the run ends).
      if (k + 1 < u.size()) {
        EXPECT_GE(u[k].elapsed - u[k - 1].elapsed, 0.25 - 0.1 - 1e-9);
      }
    }
    EXPECT_GT(u[u.size() - 2].done, u[0].done) << "the line did not grow";
    EXPECT_TRUE(u.front().has_left);
    EXPECT_EQ(u.back().percent, 100);
    EXPECT_EQ(u.back().done, c.total);
    EXPECT_FALSE(u.back().has_left);
    for (size_t k = 0; k + 1 < u.size(); ++k) EXPECT_LT(u[k].done, c.total);
    expect_each_flushed(r, u);
  }
}

TEST_F(ProgressLine, InALogOrAPipePlainLinesComeAtEveryTenPercentMark) {
  mexhost_set_output_terminal(false);
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.label);
    mexhost_clock_by_hand(per_question(c), 0);
    const mexhost::CallResult r = loaded_module(c.name).call(1, inputs(c, 0, options(c, logical(true))).pointers());
    ASSERT_FALSE(r.failed) << r.error_message;
    EXPECT_EQ(r.printed.find('\r'), std::string::npos);
    ASSERT_FALSE(r.printed.empty());
    EXPECT_EQ(r.printed.back(), '\n');
    // However far apart the run's check points are (splitavg's thread 0 asks 38 times), one line per
    // mark: 10 %, 20 %, ..., 100 %, each at the mark's count.
    ASSERT_EQ(r.lines.size(), 10u) << r.printed;
    for (size_t k = 0; k < r.lines.size(); ++k) {
      Update u;
      ASSERT_TRUE(parse(r.lines[k], u)) << "not a progress line: [" << r.lines[k] << "]";
      EXPECT_EQ(u.percent, 10 * static_cast<int>(k + 1)) << r.lines[k];
      EXPECT_EQ(u.done, k == 9 ? c.total : std::floor(c.total * static_cast<double>(k + 1) / 10)) << r.lines[k];
    }
  }
}

TEST_F(ProgressLine, DrawingTakesAtMostOnePercentOfTheRun) {
  // Every reading of the clock takes 10 ms, so drawing an update (which reads it once after
  // drawing) costs 10 ms, as much as the work between two questions.
  mexhost_set_output_terminal(true);
  const Case &c = kCases[0];
  mexhost_clock_by_hand(0.01, 0.01);
  const mexhost::CallResult r = loaded_module(c.name).call(1, inputs(c, 0, options(c, logical(true))).pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  const std::vector<Update> u = in_place_updates(r.printed);
  ASSERT_GE(u.size(), 2u);
  const double updates = static_cast<double>(u.size() - 1), elapsed = u.back().elapsed;
  // The last update may be the one that reaches the 1 %.
  EXPECT_LE((updates - 1) * 0.01, elapsed / 100 + 0.05) << r.printed;
  // 0.25 s apart alone would have allowed some 20.
  EXPECT_LT(updates, 10);
}

TEST_F(ProgressLine, VerboseLinesWinAndTheLineIsNotDrawn) {
  mexhost_set_output_terminal(true);
  for (const Case &c : kCases) {
    if (c.params.size() == 5 && c.params[3] == 0) continue;  // a million verbose lines: too many
    SCOPED_TRACE(c.label);
    mexhost_clock_by_hand(0.01, 0);
    const mexhost::CallResult with = loaded_module(c.name).call(1, inputs(c, 1, options(c, logical(true))).pointers());
    const mexhost::CallResult without = loaded_module(c.name).call(1, inputs(c, 1, options(c, nullptr)).pointers());
    ASSERT_FALSE(with.failed || without.failed) << with.error_message << without.error_message;
    EXPECT_EQ(with.printed.find('\r'), std::string::npos);
    ASSERT_EQ(with.lines.size(), without.lines.size());
    for (size_t k = 0; k < with.lines.size(); ++k) {
      if (with.lines[k].rfind("Final object function", 0) == 0 && std::strcmp(c.name, "splitavg") == 0) continue;
      EXPECT_EQ(without_clock(with.lines[k]), without_clock(without.lines[k]));
    }
  }
}

TEST_F(ProgressLine, CtrlCEndsTheLineWithANewline) {
  mexhost_set_output_terminal(true);
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.label);
    // The questions a whole run asks (the conversion and splitavg's shuffle ask too); Ctrl-C comes
    // at the one three quarters of the way through, after some updates.
    mexhost_clock_by_hand(per_question(c), 0);
    mexhost_interrupt_after(0);
    ASSERT_FALSE(loaded_module(c.name).call(1, inputs(c, 0, options(c, logical(true))).pointers()).failed);
    const long questions = mexhost_interrupt_checks();
    mexhost_clock_by_hand(per_question(c), 0);
    mexhost_interrupt_after(questions * 3 / 4);
    const mexhost::CallResult r = loaded_module(c.name).call(1, inputs(c, 0, options(c, logical(true))).pointers());
    mexhost_interrupt_after(0);
    expect_clean_error(r, std::string(c.name) + ":interrupted");
    const std::vector<Update> u = in_place_updates(r.printed);
    ASSERT_GE(u.size(), 1u) << r.printed;
    for (const Update &x : u) EXPECT_LT(x.done, c.total);
    EXPECT_EQ(r.host_calls_in_parallel, 0);
  }
}

TEST_F(ProgressLine, TheOptionMustBeTrueOrFalse) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.label);
    for (double bad : {2.0, -1.0, 0.5, std::nan("")}) {
      mexhost::ArrayPtr v = mexhost::make_scalar(bad);
      const mexhost::CallResult r = loaded_module(c.name).call(1, inputs(c, 0, options(c, std::move(v))).pointers());
      expect_clean_error(r, std::string(c.name) + ":invalidOption");
      EXPECT_NE(r.error_message.find("opts.progress"), std::string::npos) << r.error_message;
    }
    mexhost::ArrayPtr text = mexhost::make_string("yes");
    expect_clean_error(loaded_module(c.name).call(1, inputs(c, 0, options(c, std::move(text))).pointers()),
                       std::string(c.name) + ":invalidOption");
    // A numeric 1 is as good as true; the message for an unknown field names progress.
    mexhost_clock_by_hand(0.01, 0);
    mexhost::ArrayPtr one = mexhost::make_scalar(1);
    const mexhost::CallResult r = loaded_module(c.name).call(1, inputs(c, 0, options(c, std::move(one))).pointers());
    ASSERT_FALSE(r.failed) << r.error_message;
    EXPECT_NE(r.printed.find(std::string(c.name) + ": 100% "), std::string::npos);
    mexhost::ArrayPtr unknown = mexhost::make_struct({"progres"});
    const mexhost::CallResult u = loaded_module(c.name).call(1, inputs(c, 0, std::move(unknown)).pointers());
    expect_clean_error(u, std::string(c.name) + ":unknownOption");
    EXPECT_NE(u.error_message.find("progress"), std::string::npos) << u.error_message;
  }
}
