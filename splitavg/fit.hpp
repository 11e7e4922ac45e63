// splitavg's entry, the same for the module, the MPI program and the tests: w = splitavg(X, y,
// stepSize, lambda, verbose) without the host. One sequence after the data are read: banner,
// clock, seeding, shuffle, the solver (thread count, initial objective, the pass of every share,
// the average in share order) and the final objective with the elapsed time.
#pragma once

#include <cstdint>
#include <vector>

#include "core/run/fit.hpp"
#include "core/data/regression_data.hpp"
#include "core/run/run_context.hpp"
#include "splitavg/sample_layout.hpp"
#include "splitavg/split_average.hpp"

namespace splitavg {

// The solver on a shuffled layout: learns T (or, when the first team cannot start, only sets
// team_problem), prints "Number of threads" (and the layout's own lines), zeroes w, counts the
// empty shares, prints "Initial object function", runs the pass of this place's shares and
// averages all T models into w (then `averaged` is set). w stays zero when the pass was stopped or
// got another team size. Asks run.stop in the objective and the pass.
SolveResult solve_shares(const core::RunContext &run, const Parameters &p, SampleLayout &layout);

// The whole run on `data` as the module makes it, every sample in this process: prints
// "N=%d, D=%d, lambda%f", starts the clock, seeds the calling thread's generator with run.seed,
// shuffles (the progress line, when run.progress asks for one, starts once the shuffle is done),
// solves and, when the objective is wanted, evaluates it once more and prints it with the elapsed
// whole seconds. Every phase asks run.stop; a stopped run returns at once and an unfinished
// objective is never printed or recorded. A team that could not start or did not have its size
// is TeamFailed (threadTeam); warns threadsReduced, emptyShares (more threads than samples) and
// diverged. A stop in the final objective comes after those checks, with their warnings.
core::FitResult fit_splitavg(core::RegressionData &data, const Parameters &p, const core::FitRun &run);

// The order the run's seeding and shuffle give the samples, drawn before any row exists: seeds the
// calling thread's generator with `seed` and draws core::random_permutation(N) (position k then
// holds sample order[k]), leaving the generator where the shuffle leaves it. Asks `stop` as it
// draws; unfinished once it says stop.
std::vector<int32_t> draw_shuffle_order(int32_t N, uint32_t seed, const core::StopCheck &stop);

// Rows built straight into the order draw_shuffle_order gave for the run's seed (the module
// converts X into it, which saves moving every row a second time).
struct ShuffledRows {
  core::RegressionData &data;
};

// The module's run on such rows: the run above, lines, draws and weights alike, without its own
// seeding and shuffle, which the drawn order has done.
core::FitResult fit_splitavg(ShuffledRows rows, const Parameters &p, const core::FitRun &run);

// The same on another layout of the samples (the MPI program's), whose rows already stand in the
// drawn order (no seeding, no shuffle here): dense rows, or compressed sparse rows.
core::FitResult fit_splitavg(core::RegressionData &data, const Parameters &p, const core::FitRun &run,
                             SampleLayout &layout);
core::FitResult fit_splitavg(core::SparseRows &rows, const Parameters &p, const core::FitRun &run,
                             SampleLayout &layout);

// The module's run on compressed sparse rows: the weights, lines and draws of the dense call on
// full(X). The shuffle reorders the samples through rows.order.
core::FitResult fit_splitavg(core::SparseRows &rows, const Parameters &p, const core::FitRun &run);

}  // namespace splitavg
