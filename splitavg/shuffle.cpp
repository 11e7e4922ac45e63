#include "splitavg/shuffle.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "core/kernels/primitives.hpp"
#include "core/data/dense_rows.hpp"

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

void shuffle_samples(core::SparseRows &data, int32_t first, int32_t last, const core::StopCheck *stop) {
  if (last < first) return;
  if (first < 0 || last >= data.N) throw std::out_of_range("shuffle_samples: range outside the samples");
  const int32_t count = last - first + 1;
  std::vector<int32_t> p(static_cast<size_t>(count));
  core::random_permutation(core::this_thread_rand(), count, p.data(), stop);
  if (stop && stop->stopped()) return;
  if (data.order.empty()) {
    data.order.resize(static_cast<size_t>(data.N));
    for (int32_t i = 0; i < data.N; ++i) data.order[static_cast<size_t>(i)] = i;
  }
  // Position first + k receives the sample at first + p[k].
  std::vector<int32_t> order(data.order.begin() + first, data.order.begin() + last + 1);
  std::vector<double> labels(data.labels.begin() + first, data.labels.begin() + last + 1);
  for (int32_t k = 0; k < count; ++k) {
    const size_t source = static_cast<size_t>(p[static_cast<size_t>(k)]);
    data.order[static_cast<size_t>(first + k)] = order[source];
    data.labels[static_cast<size_t>(first + k)] = labels[source];
    if (stop && (k & 4095) == 4095 && stop->poll(4096)) return;
  }
}

}  // namespace splitavg
