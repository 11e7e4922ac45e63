// kinkstep method 1: per iteration, every thread t of a team of T reseeds its own generator with
// k + t, draws one sample and steps from the shared w into a candidate of its own; the calling
// thread then averages the candidates in thread order.
#pragma once

#include <cstdint>

#include "core/run/fit.hpp"
#include "core/run/run_context.hpp"
#include "kinkstep/parameters.hpp"

namespace kinkstep {

// T is run.threads, else the runtime's default team size, learned once per call from a first team
// (its outcome goes into r: threadTeam when it could not start, threadsReduced when smaller than
// asked). Deterministic for a given T. When a later team does not have exactly T threads, the run
// stops before averaging that iteration (some candidates would be stale): r is TeamFailed. A run
// that run.stop stopped returns r.stopped(). N must be at least 1 when maxIter >= 1. Prints only on
// the calling thread, and no exception leaves a parallel region.
template <typename Rows>
core::FitResult parallel_averaged_descent(const core::RunContext<Rows> &run, const Parameters &p);

namespace detail {
// The size each step team asks for (T for the method). Tests ask for another size, as a runtime
// that grants fewer threads than requested would.
using StepTeamRequest = int32_t (*)(int32_t threads, int32_t k);
template <typename Rows>
core::FitResult parallel_averaged_descent(const core::RunContext<Rows> &run, const Parameters &p,
                                          StepTeamRequest request);
}  // namespace detail

}  // namespace kinkstep
