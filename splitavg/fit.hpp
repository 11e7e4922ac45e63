// splitavg's entry, the same for the module, the MPI program and the tests: w = splitavg(X, y,
// stepSize, lambda, verbose) without the host.
#pragma once

#include "core/run/fit.hpp"
#include "splitavg/sample_source.hpp"
#include "splitavg/split_average.hpp"

namespace splitavg {

// The run sequence of core::run_fit on rows of either layout (core::RegressionData,
// core::SparseRows): prints "N=%d, D=%d, lambda%f", starts the clock, seeds the calling thread's
// generator with run.seed and shuffles (neither when run.in_drawn_order: the rows already stand in
// the order the seed draws), starts the progress line, solves (split_average_solve) and, when the
// objective is wanted, evaluates it once more and prints it with the elapsed whole seconds. Every
// phase asks run.stop. A team that could not start or did not have its size is TeamFailed
// (threadTeam); warns threadsReduced, emptyShares (more threads than samples) and diverged. A
// sparse X gives the weights, lines and draws of full(X). `source` says where the samples live.
template <typename Rows>
core::FitResult fit_splitavg(Rows &rows, const Parameters &p, const core::FitRun &run, SampleSource<Rows> &source);

// The module's run: every sample in this process.
template <typename Rows>
core::FitResult fit_splitavg(Rows &rows, const Parameters &p, const core::FitRun &run);

}  // namespace splitavg
