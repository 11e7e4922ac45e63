// Putting the samples into one random order before the pass, so that each thread's contiguous
// share is a random subset of the data.
#pragma once

#include <cstdint>
#include <vector>

#include "core/data/regression_data.hpp"
#include "core/run/stop_check.hpp"
#include "core/sparse/sparse_rows.hpp"

namespace splitavg {

// Reorders positions first..last (inclusive) of the rows and of the labels by one permutation p
// from core::random_permutation: the sample at first + p[k] moves to first + k, with its label.
// The rows move in place (one row of scratch), so the pass then reads them in memory order. Draws
// last - first + 1 values on the calling thread (none for an empty range). Throws
// std::out_of_range for a range outside the samples. With `stop`, asks it as the work adds up and
// ends early (the order unfinished) once it says stop.
void shuffle_samples(core::RegressionData &data, int32_t first, int32_t last, const core::StopCheck *stop = nullptr);

// The same for compressed sparse rows: the same draws and the same new order of the samples, kept
// in data.order (rows of different lengths stay where they are); the labels move.
void shuffle_samples(core::SparseRows &data, int32_t first, int32_t last, const core::StopCheck *stop = nullptr);

// The order the run's seeding and shuffle give the samples, drawn before any row exists: seeds the
// calling thread's generator with `seed` and draws core::random_permutation(N) (position k then
// holds sample order[k]), leaving the generator where the shuffle leaves it. Asks `stop` as it
// draws; unfinished once it says stop.
std::vector<int32_t> draw_shuffle_order(int32_t N, uint32_t seed, const core::StopCheck &stop);

}  // namespace splitavg
