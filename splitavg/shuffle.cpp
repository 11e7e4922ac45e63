#include "splitavg/shuffle.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"

namespace splitavg {
namespace {

// Positions first .. first + count - 1 receive the samples at first + p[k] (rows and labels), in
// place along the cycles of p; p is left with every entry complemented. With `stop`, asks it as
// the moves add up and ends early (the order unfinished) once it says stop.
void reorder_samples(core::RegressionData &data, int32_t first, int32_t *p, int32_t count,
                     const core::StopCheck *stop) {
  const size_t d = static_cast<size_t>(data.D);
  // A visited entry is marked by complementing it (~v < 0 for v >= 0); one row is held aside per
  // cycle.
  std::vector<double> held(d);
  for (int32_t start = 0; start < count; ++start) {
    if (p[start] < 0) continue;
    double *const start_row = data.row(first + start);
    std::copy(start_row, start_row + d, held.begin());
    const double held_label = data.labels[static_cast<size_t>(first + start)];
    int32_t k = start;
    for (;;) {
      const int32_t source = p[k];
      p[k] = ~source;
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

}  // namespace

void shuffle_samples(core::RegressionData &data, int32_t first, int32_t last, const core::StopCheck *stop) {
  if (last < first) return;  // empty range: nothing moves, nothing is drawn
  if (first < 0 || last >= data.N) throw std::out_of_range("shuffle_samples: range outside the samples");
  const int32_t count = last - first + 1;

  std::vector<int32_t> p;
  if (!core::resize_asking(p, static_cast<size_t>(count), stop)) return;
  core::random_permutation(core::this_thread_rand(), count, p.data(), stop);
  if (stop && stop->stopped()) return;

  // Position k receives the sample at p[k]; the rows move in place.
  reorder_samples(data, first, p.data(), count, stop);
}

void shuffle_samples(core::SparseRows &data, int32_t first, int32_t last, const core::StopCheck *stop) {
  if (last < first) return;
  if (first < 0 || last >= data.N) throw std::out_of_range("shuffle_samples: range outside the samples");
  const int32_t count = last - first + 1;
  std::vector<int32_t> p;
  if (!core::resize_asking(p, static_cast<size_t>(count), stop)) return;
  core::random_permutation(core::this_thread_rand(), count, p.data(), stop);
  if (stop && stop->stopped()) return;
  // Position first + k receives the sample at first + p[k]: the labels (and the order, when there
  // is one) move in place along the cycles of p, a visited entry marked by complementing it. The
  // rows stay where they are; the first shuffle of all samples makes p itself the order.
  const bool p_is_order = data.order.empty() && first == 0 && count == data.N;
  if (!p_is_order && data.order.empty()) {
    data.order.resize(static_cast<size_t>(data.N));
    for (int32_t i = 0; i < data.N; ++i) data.order[static_cast<size_t>(i)] = i;
  }
  double *const labels = data.labels.data() + first;
  int32_t *const order = p_is_order ? nullptr : data.order.data() + first;
  int64_t moved = 0;
  for (int32_t start = 0; start < count; ++start) {
    if (p[static_cast<size_t>(start)] < 0) continue;
    const double held_label = labels[start];
    const int32_t held_row = order ? order[start] : 0;
    for (int32_t k = start;;) {
      const int32_t source = p[static_cast<size_t>(k)];
      p[static_cast<size_t>(k)] = ~source;
      if (source == start) {
        labels[k] = held_label;
        if (order) order[k] = held_row;
        break;
      }
      labels[k] = labels[source];
      if (order) order[k] = order[source];
      k = source;
      if (stop && (++moved & 4095) == 0 && stop->poll(4096)) return;
    }
  }
  for (int32_t &v : p) v = ~v;
  if (p_is_order) data.order = std::move(p);
}

std::vector<int32_t> draw_shuffle_order(int32_t N, uint32_t seed, const core::StopCheck &stop) {
  core::seed_thread_rand(seed);
  std::vector<int32_t> order;
  if (!core::resize_asking(order, static_cast<size_t>(N > 0 ? N : 0), &stop)) return order;
  core::random_permutation(core::this_thread_rand(), N, order.data(), &stop);
  return order;
}

}  // namespace splitavg
