// A verbose run asks the host to show its lines while it runs (mexEvalString, which mexhost
// records), cheaply: never in a silent run, and not after every one of a burst of cheap lines. The
// flush budget is timed by mexhost's clock run by hand: the work between two interrupt questions
// takes kWork seconds, a reading of the clock (a flush takes one) kReading, whatever the machine.
#include <omp.h>

#include <string>

#include "mexhost/display.h"
#include "module_call.hpp"

namespace {

// N x D features and labels with no pattern to speak of, so that one objective costs N * D. No
// feature and no label is 0: a first step drawn at a zero label or a zero row would leave w = 0,
// whose objective takes no work (the calls are unseeded, so that happened in one run in a hundred).
Inputs problem(int N, int D) {
  std::vector<double> x(static_cast<size_t>(N) * D), y(static_cast<size_t>(N));
  for (size_t k = 0; k < x.size(); ++k) x[k] = (static_cast<double>((k * 7919) % 1000) + 0.5) / 1000.0 - 0.5;
  for (size_t i = 0; i < y.size(); ++i) y[i] = static_cast<double>((i * 104729) % 100 + 1) / 100.0;
  Inputs in;
  in.add(mexhost::make_double(N, D, x)).add(mexhost::make_double(N, 1, y));
  return in;
}

// Index of the line that ends where the host was asked to flush; -1 if not at a line end.
int flushed_line(const mexhost::CallResult &r, const mexhost::Evaluation &e) {
  if (e.printed_before == 0 || r.printed[e.printed_before - 1] != '\n') return -1;
  int line = -1;
  for (size_t k = 0; k < e.printed_before; ++k) line += r.printed[k] == '\n';
  return line;
}

constexpr double kWork = 1e-3, kReading = 1e-6;

class LiveOutput : public ::testing::Test {
 protected:
  void SetUp() override { mexhost_clock_by_hand(kWork, kReading); }
  void TearDown() override { mexhost_clock_by_hand(0, 0); }
};

}  // namespace

TEST_F(LiveOutput, FlushesAfterLinesThatFollowWork) {
  // 20000 x 20: every iteration line follows an objective of 400000 products, over which the run
  // asks the host several times: far more time than a hundred flushes, so every line is shown.
  Inputs in = problem(20000, 20);
  in.add(1e-4).add(0.1).add(40.0).add(0.0).add(1.0);
  const mexhost::CallResult r = loaded_module("kinkstep").call(1, in.pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  ASSERT_EQ(r.lines.size(), 43u);
  ASSERT_FALSE(r.evaluated.empty());
  EXPECT_EQ(r.evaluated[0].command, "drawnow;");  // mexhost stands in for MATLAB
  EXPECT_EQ(flushed_line(r, r.evaluated[0]), 0);  // the banner shows at once
  int iteration_lines_flushed = 0;
  for (const auto &e : r.evaluated) {
    const int line = flushed_line(r, e);
    ASSERT_GE(line, 0) << "flushed in the middle of a line";
    iteration_lines_flushed += line >= 2 && line <= 41;
  }
  EXPECT_EQ(iteration_lines_flushed, 40);
}

TEST_F(LiveOutput, SplitavgShowsItsInitialLineBeforeThePass) {
  omp_set_num_threads(2);
  // The initial objective, over which the run asks the host, comes between the first flush and
  // the line.
  Inputs in = problem(20000, 20);
  in.add(1e-4).add(0.1).add(1.0);
  const mexhost::CallResult r = loaded_module("splitavg").call(1, in.pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  ASSERT_EQ(r.lines.size(), 4u);
  bool initial_flushed = false;
  for (const auto &e : r.evaluated) initial_flushed |= flushed_line(r, e) == 2;
  EXPECT_TRUE(initial_flushed) << r.printed;
}

TEST_F(LiveOutput, SilentRunsNeverFlush) {
  for (const char *name : {"kinkstep", "driftwalk", "splitavg"}) {
    Inputs in = problem(200, 5);
    if (std::string(name) == "kinkstep") in.add(1e-3).add(0.1).add(200.0).add(0.0).add(0.0);
    if (std::string(name) == "driftwalk") in.add(1e-4).add(10.0).add(-0.55).add(0.1).add(10.0).add(200.0).add(0.0);
    if (std::string(name) == "splitavg") in.add(1e-3).add(0.1).add(0.0);
    const mexhost::CallResult r = loaded_module(name).call(1, in.pointers());
    ASSERT_FALSE(r.failed) << name << ": " << r.error_message;
    EXPECT_TRUE(r.printed.empty()) << name;
    EXPECT_TRUE(r.evaluated.empty()) << name;
  }
}

TEST_F(LiveOutput, ABurstOfCheapLinesIsNotFlushedLineByLine) {
  // Three samples: the run asks the host once a line, after far less work than a flush takes (in
  // Octave a flush costs about 15 us); a line costs a reading, a flush another, so the 1 % budget
  // lets about one line in a hundred through.
  mexhost_clock_by_hand(1e-8, 1e-5);
  Inputs in;
  in.add(worked_X()).add(worked_y()).add(0.01).add(0.1).add(20000.0).add(0.0).add(1.0);
  const mexhost::CallResult r = loaded_module("kinkstep").call(1, in.pointers());
  ASSERT_FALSE(r.failed) << r.error_message;
  ASSERT_EQ(r.lines.size(), 20003u);
  EXPECT_GE(r.evaluated.size(), 1u);
  EXPECT_LT(r.evaluated.size(), r.lines.size() / 50);
}
