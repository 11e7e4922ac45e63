// kinkstep's solvers: stochastic subgradient descent with a constant step.
#pragma once

#include <cstdint>
#include <string>

#include "core/data/regression_data.hpp"
#include "core/run/run_context.hpp"

namespace kinkstep {

struct Parameters {
  double stepSize = 0.0;
  double lambda = 0.0;
  int32_t maxIter = 0;
};

// Method 0: one random sample per step on the calling thread, drawn from its generator.
core::WeightVector sequential_subgradient_descent(const core::RunContext &run, const Parameters &p);

// What method 1 hands back. When a step team did not have exactly `threads` threads, the run stops
// before averaging that iteration (some candidates would be stale) and `w` is no result.
struct ParallelResult {
  core::WeightVector w;
  int32_t threads = 0;            // T, the size of the sizing team
  bool complete = true;           // every step team had exactly T threads
  int32_t failed_iteration = -1;  // when not complete: the iteration whose team was wrong
  int32_t failed_team_size = 0;   // and the size that team had
  int32_t asked_threads = 0;      // the team size asked for (opts.threads or the runtime's default)
  std::string team_problem;       // when set, no team was started: why it could not be
};

// Method 1: per iteration, every thread t of a team of T reseeds its own generator with k + t, draws
// one sample, steps from the shared w into a candidate of its own; the calling thread then averages
// the candidates in thread order. T is the runtime's default team size, learned once per call.
// Deterministic for a given T. N must be at least 1 when maxIter >= 1.
// Prints only on the calling thread, and no exception leaves a parallel region.
ParallelResult parallel_averaged_descent(const core::RunContext &run, const Parameters &p);

namespace detail {
// The size each step team asks for (T for the method). Tests ask for another size, as a runtime
// that grants fewer threads than requested would.
using StepTeamRequest = int32_t (*)(int32_t threads, int32_t k);
ParallelResult parallel_averaged_descent(const core::RunContext &run, const Parameters &p, StepTeamRequest request);
}  // namespace detail

}  // namespace kinkstep
