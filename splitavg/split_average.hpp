// splitavg's solver: the samples are cut into one contiguous share per OpenMP thread, every thread
// makes one pass of stochastic subgradient descent over its share on a model of its own, and the
// result is the plain average of the thread models.
#pragma once

#include <cstdint>
#include <string>

#include "core/regression_data.hpp"
#include "core/run_context.hpp"

namespace splitavg {

struct Parameters {
  double stepSize = 0.0;
  double lambda = 0.0;
};

// The inclusive range of sample positions that thread t of T works on; empty when start > end.
// Every thread but the last takes chunk = floor(N / T) positions; the last also takes the rest.
struct Share {
  int32_t start = 0;
  int32_t end = -1;
  bool empty() const { return start > end; }
};
Share chunk_bounds(int32_t N, int32_t T, int32_t t);

struct SolveResult {
  core::WeightVector w;      // the averaged weights (all zero if the pass could not run)
  int32_t threads = 0;       // T: the size of the sizing team
  int32_t pass_threads = 0;  // the size the runtime gave the pass team
  int32_t asked_threads = 0;  // the team size asked for (opts.threads or the runtime's default)
  std::string team_problem;   // when set, no team was started: why it could not be
  int32_t empty_shares = 0;  // shares with no sample (T > N): their zero models are averaged in
  // The pass ran with exactly T threads, so every share was processed.
  bool ok() const { return threads >= 1 && pass_threads == threads; }
};

// Learns T from a team of the default size, zeroes w, runs the pass with T threads and averages.
// Prints "Number of threads" and "Initial object function" when the run is verbose. Draws nothing.
SolveResult split_average_solve(const core::RunContext &run, const Parameters &p);

// The pass and the average for T threads, into w (D doubles, left untouched on failure). Returns
// the size of the team the runtime gave; the pass runs only when that is exactly T. When the run
// has a progress line, the pass pauses for each update it draws (the team leaves its region and a
// new team of T goes on where each thread stopped): the weights are the same bits.
int32_t pass_and_average(const core::RunContext &run, const Parameters &p, int32_t T, core::WeightVector &w);

}  // namespace splitavg
