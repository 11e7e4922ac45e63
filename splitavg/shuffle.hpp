// Putting the samples into one random order before the pass, so that each thread's contiguous
// share is a random subset of the data.
#pragma once

#include <cstdint>

#include "core/regression_data.hpp"

namespace splitavg {

// Reorders positions first..last (inclusive) of the row table and of the labels by one permutation
// p from core::random_permutation: the sample at first + p[k] moves to first + k, with its label.
// Only row pointers move; no feature value is copied. Draws last - first + 1 values on the calling
// thread (none for an empty range). Throws std::out_of_range for a range outside the table.
void shuffle_samples(core::RegressionData &data, int32_t first, int32_t last);

}  // namespace splitavg
