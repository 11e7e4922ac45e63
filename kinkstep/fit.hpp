// kinkstep's entry, the same for every front end: w = kinkstep(X, y, stepSize, lambda, maxIter,
// method, verbose) without the host.
#pragma once

#include <cstdint>

#include "core/run/fit.hpp"
#include "kinkstep/parameters.hpp"

namespace kinkstep {

struct FitInputs {
  double stepSize = 0.0;
  double lambda = 0.0;
  core::IntegerInput maxIter;
  core::IntegerInput method;  // 0: sequential (one sample per step), 1: parallel averaged

  Parameters parameters() const { return Parameters{stepSize, lambda, maxIter.value}; }
};

// What rules a call out before its data are read: a method other than 0 or 1 (a verbose run prints
// its banner, and every run the methods, first) or no sample to draw. Status Refused with the
// reason, else Done. N x D is the data's size.
// With the call's options: what core::check_options rules out, an average from beyond maxIter.
core::FitResult check_kinkstep(int32_t N, int32_t D, const FitInputs &in, const core::FitOptions &options, bool verbose,
                               const core::Printer &out);

// The run sequence of core::run_fit on rows of either layout (core::RegressionData,
// core::SparseRows): the check above (skipped when run.checked), the banner, seeding the calling
// thread's generator with run.seed (method 1 seeds every draw from the iteration and thread numbers,
// and seed_used is false), the progress line, the solver with its initial and per-iteration
// objective lines, and the final objective line. Warns threadsReduced and diverged. A sparse X gives
// the weights, lines and draws of full(X).
template <typename Rows>
core::FitResult fit_kinkstep(const Rows &rows, const FitInputs &in, const core::FitRun &run);

}  // namespace kinkstep
