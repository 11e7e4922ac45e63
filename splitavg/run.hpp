// One split-and-average run after the data are read, the same for the module and the MPI program:
// banner, clock, seeding, shuffle, the solver (thread count, initial objective, the pass of every
// share, the average in share order) and the final objective with the elapsed time. Host-free: it
// prints through the context's printer and leaves the result to the caller.
#pragma once

#include <cstdint>

#include "core/regression_data.hpp"
#include "core/run_context.hpp"
#include "splitavg/sample_layout.hpp"
#include "splitavg/split_average.hpp"

namespace splitavg {

// The solver on a shuffled layout: learns T (or, when the first team cannot start, only sets
// team_problem), prints "Number of threads" (and the layout's own lines), zeroes w, counts the
// empty shares, prints "Initial object function", runs the pass of this place's shares and
// averages all T models into w (then `averaged` is set). w stays zero when the pass was stopped or
// got another team size. Asks run.stop in the objective and the pass.
SolveResult solve_shares(const core::RunContext &run, const Parameters &p, SampleLayout &layout);

// The whole run on `data` (dense rows, or compressed sparse rows; the run's context must refer to
// them): prints "N=%d, D=%d, lambda%f", starts the
// clock, seeds the calling thread's generator with `seed`, shuffles through the layout, solves and,
// when the objective is wanted and the pass completed, evaluates it once more and prints it with the
// elapsed whole seconds. Every phase asks run.stop; a stopped run returns at once and an unfinished
// objective is never printed or recorded. The caller checks run.stop.stopped() (with the result's
// `averaged`, which tells a stop in the final objective from an earlier one) and the result's ok().
template <typename Data>
SolveResult run_split_average(Data &data, const core::RunContext &run, const Parameters &p, uint32_t seed,
                              SampleLayout &layout);

}  // namespace splitavg
