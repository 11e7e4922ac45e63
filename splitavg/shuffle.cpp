#include "splitavg/shuffle.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "core/primitives.hpp"
#include "core/rows.hpp"

namespace splitavg {

void shuffle_samples(core::RegressionData &data, int32_t first, int32_t last, const core::StopCheck *stop) {
  if (last < first) return;  // empty range: nothing moves, nothing is drawn
  if (first < 0 || last >= data.N) throw std::out_of_range("shuffle_samples: range outside the samples");
  const int32_t count = last - first + 1;

  std::vector<int32_t> p(static_cast<size_t>(count));
  core::random_permutation(core::this_thread_rand(), count, p.data(), stop);
  if (stop && stop->stopped()) return;

  // Position k receives the sample at p[k]; the rows move in place.
  core::reorder_samples(data, first, p.data(), count, stop);
}

}  // namespace splitavg
