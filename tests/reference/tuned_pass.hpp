// The module's pass and average alone, for the tests and benchmarks that look at it without the
// rest of a run (its sizing team, shuffle and objective lines).
#pragma once

#include <cstdint>

#include "core/run/run_context.hpp"
#include "splitavg/split_average.hpp"

namespace reference {

// splitavg's pass with a team of T over the rows in the order they stand (every share from zero)
// and the average of the T models into w (D values, left alone on failure). Returns the size of the
// team the runtime gave; the pass runs only when that is exactly T.
template <typename Rows>
int32_t pass_and_average(const core::RunContext<Rows> &run, const splitavg::Parameters &p, int32_t T,
                         core::WeightVector &w);

}  // namespace reference
