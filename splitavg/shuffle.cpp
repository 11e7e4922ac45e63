#include "splitavg/shuffle.hpp"

#include <cstddef>
#include <stdexcept>
#include <vector>

#include "core/primitives.hpp"

namespace splitavg {

void shuffle_samples(core::RegressionData &data, int32_t first, int32_t last) {
  if (last < first) return;  // empty range: nothing moves, nothing is drawn
  if (first < 0 || last >= data.N) throw std::out_of_range("shuffle_samples: range outside the samples");
  const size_t base = static_cast<size_t>(first);
  const int32_t count = last - first + 1;
  const size_t n = static_cast<size_t>(count);

  const std::vector<const double *> rows(data.rows.begin() + base, data.rows.begin() + base + n);
  const std::vector<double> labels(data.labels.begin() + base, data.labels.begin() + base + n);
  const std::vector<int32_t> p = core::random_permutation(count);
  for (size_t k = 0; k < n; ++k) data.rows[base + k] = rows[static_cast<size_t>(p[k])];
  for (size_t k = 0; k < n; ++k) data.labels[base + k] = labels[static_cast<size_t>(p[k])];
}

}  // namespace splitavg
