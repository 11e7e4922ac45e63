// kinkstep method 0: stochastic subgradient descent with a constant step, one random sample per
// step on the calling thread.
#pragma once

#include "core/run/fit.hpp"
#include "core/run/run_context.hpp"
#include "kinkstep/parameters.hpp"

namespace kinkstep {

// w from zero; the initial objective; maxIter steps, each on a sample drawn with the calling
// thread's generator, each with its objective line when the run wants it. r.w holds the weights;
// a run that run.stop stopped returns r.stopped() (w unfinished). N must be at least 1 when
// maxIter >= 1.
template <typename Rows>
core::FitResult sequential_subgradient_descent(const core::RunContext<Rows> &run, const Parameters &p);

}  // namespace kinkstep
