#include "splitavg/shuffle.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "core/primitives.hpp"

namespace splitavg {

void shuffle_samples(core::RegressionData &data, int32_t first, int32_t last, const core::StopCheck *stop) {
  if (last < first) return;  // empty range: nothing moves, nothing is drawn
  if (first < 0 || last >= data.N) throw std::out_of_range("shuffle_samples: range outside the samples");
  const int32_t count = last - first + 1;
  const size_t d = static_cast<size_t>(data.D);

  std::vector<int32_t> p(static_cast<size_t>(count));
  core::random_permutation(core::this_thread_rand(), count, p.data(), stop);
  if (stop && stop->stopped()) return;

  // Position k receives the sample at p[k]. The rows move in place along the cycles of p, one row
  // held aside per cycle; a visited entry is marked by complementing it (~v < 0 for v >= 0).
  std::vector<double> held(d);
  for (int32_t start = 0; start < count; ++start) {
    if (p[static_cast<size_t>(start)] < 0) continue;
    double *const start_row = data.row(first + start);
    std::copy(start_row, start_row + d, held.begin());
    const double held_label = data.labels[static_cast<size_t>(first + start)];
    int32_t k = start;
    for (;;) {
      const int32_t source = p[static_cast<size_t>(k)];
      p[static_cast<size_t>(k)] = ~source;
      double *const to = data.row(first + k);
      if (source == start) {
        std::copy(held.begin(), held.end(), to);
        data.labels[static_cast<size_t>(first + k)] = held_label;
        break;
      }
      const double *const from = data.row(first + source);
      std::copy(from, from + d, to);
      data.labels[static_cast<size_t>(first + k)] = data.labels[static_cast<size_t>(first + source)];
      k = source;
      // A cycle can hold most of the samples: ask as the moves add up.
      if (stop && stop->poll(d + 1)) return;
    }
  }
}

}  // namespace splitavg
