// driftwalk's entry, the same for every front end: w = driftwalk(X, y, stepScale, stepOffset,
// stepPower, lambda, batchSize, maxIter, verbose) without the host.
#pragma once

#include <cstdint>

#include "core/run/fit.hpp"
#include "driftwalk/langevin.hpp"

namespace driftwalk {

struct FitInputs {
  double stepScale = 0.0;
  double stepOffset = 0.0;
  double stepPower = 0.0;
  double lambda = 0.0;
  core::IntegerInput batchSize;
  core::IntegerInput maxIter;

  Parameters parameters() const {
    return Parameters{stepScale, stepOffset, stepPower, lambda, batchSize.value, maxIter.value};
  }
};

// What rules a call out before its data are read: iterations asked of no samples, or a batch size
// outside 1..N (a mini-batch is the first batchSize entries of a permutation of the N samples).
// With the call's options: a w0 not of D values.
core::FitResult check_driftwalk(int32_t N, int32_t D, const FitInputs &in, const core::FitOptions &options);

// The run sequence of core::run_fit on rows of either layout (core::RegressionData,
// core::SparseRows): the checks above (skipped when run.checked), the banner, seeding the calling
// thread's generator with run.seed, the progress line, the solver with its initial and
// per-iteration objective lines, and the final objective line. Warns threadsReduced and diverged.
// A sparse X gives the weights, lines and draws of full(X).
template <typename Rows>
core::FitResult fit_driftwalk(const Rows &rows, const FitInputs &in, const core::FitRun &run);

}  // namespace driftwalk
