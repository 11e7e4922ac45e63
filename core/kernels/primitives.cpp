#include "core/kernels/primitives.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/data/dense_rows.hpp"

namespace core {

double squared_residual(const RegressionData &data, const double *w, int32_t i) {
  return squared_residual(DenseRows(data), w, i);
}

double add_l1_penalty(double total, const double *w, int32_t D, double lambda) {
  for (int32_t j = 0; j < D; ++j) total = total + std::fabs(w[j]) * lambda;
  return total;
}

double objective_value(const RegressionData &data, const double *w, double lambda, const StopCheck *stop) {
  return objective_value(DenseRows(data), w, lambda, stop);
}

void sample_subgradient(const RegressionData &data, int32_t i, const double *w, double lambda, double *g) {
  sample_subgradient(DenseRows(data), i, w, lambda, g);
}

void reorder_samples(RegressionData &data, int32_t first, int32_t *p, int32_t count, const StopCheck *stop) {
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

void random_permutation(int32_t n, int32_t *p) {
  random_permutation(this_thread_rand(), n, p);
}

void random_permutation(ThreadRand &rand, int32_t n, int32_t *p, const StopCheck *stop) {
  for (int32_t j = 0; j < n; ++j) {
    if (stop && stop->poll(4)) return;
    const int32_t k = rand.next() % (j + 1);
    if (k != j) p[j] = p[k];  // when k = j the slot simply receives j
    p[k] = j;
  }
}

std::vector<int32_t> random_permutation(int32_t n) {
  std::vector<int32_t> p(static_cast<size_t>(n > 0 ? n : 0));
  random_permutation(n, p.data());
  return p;
}

}  // namespace core
