// kinkstep's solvers: stochastic subgradient descent with a constant step.
#pragma once

#include <cstdint>

#include "core/regression_data.hpp"
#include "core/run_context.hpp"

namespace kinkstep {

struct Parameters {
  double stepSize = 0.0;
  double lambda = 0.0;
  int32_t maxIter = 0;
};

// Method 0: one random sample per step on the calling thread, drawn from its generator.
core::WeightVector sequential_subgradient_descent(const core::RunContext &run, const Parameters &p);

}  // namespace kinkstep
