#include "core/sparse/sparse_kernels.hpp"

#include <algorithm>
#include <cmath>

namespace core {

double squared_residual(const SparseRows &data, const double *w, int32_t i) {
  const double r = dot_product(data.row(i), w) - data.labels[static_cast<size_t>(i)];
  return std::pow(r, 2.0);
}

double objective_value(const SparseRows &data, const double *w, double lambda, const StopCheck *stop) {
  double total = 0.0;
  for (int32_t i = 0; i < data.N; ++i) {
    const SparseRow x = data.row(i);
    if (stop && stop->poll(static_cast<uint64_t>(x.count) + 1)) return total;
    total = total + std::pow(dot_product(x, w) - data.labels[static_cast<size_t>(i)], 2.0);
  }
  return add_l1_penalty(total, w, data.D, lambda);
}

void sample_subgradient(const SparseRows &data, int32_t i, const double *w, double lambda, double *g) {
  const SparseRow x = data.row(i);
  const double c = dot_product(x, w) - data.labels[static_cast<size_t>(i)];
  // c * 0 rather than a constant zero: the same bits as the dense row, NaN included.
  const double untouched = c * 0.0;
  for (int32_t j = 0; j < data.D; ++j) g[j] = add_l1_subgradient(untouched, w[j], lambda);
  for (int64_t k = 0; k < x.count; ++k) {
    const int32_t j = x.columns[k];
    g[j] = add_l1_subgradient(c * x.values[k], w[j], lambda);
  }
}

void subgradient_candidate(const SparseRows &data, int32_t i, const double *w, double *g, double lambda, double step,
                           double *out) {
  sample_subgradient(data, i, w, lambda, g);
  for (int32_t j = 0; j < data.D; ++j) out[j] = w[j] - step * g[j];
}

void batch_residuals(const SparseRows &data, const double *w, const int32_t *perm, int32_t first, int32_t last,
                     double *c) {
  for (int32_t j = first; j < last; ++j) {
    const int32_t i = perm[j];
    c[j] = (dot_product(data.row(i), w) - data.labels[static_cast<size_t>(i)]) * 2.0;
  }
}

void batch_sums(const SparseRows &data, const int32_t *perm, int32_t B, const double *c, int32_t first, int32_t last,
                double *g) {
  for (int32_t k = first; k < last; ++k) g[k] = 0.0;
  const bool whole = first == 0 && last == data.D;
  for (int32_t j = 0; j < B; ++j) {
    const SparseRow x = data.row(perm[j]);
    const double cj = c[j];
    int64_t begin = 0, end = x.count;
    if (!whole) {
      begin = std::lower_bound(x.columns, x.columns + x.count, first) - x.columns;
      end = std::lower_bound(x.columns + begin, x.columns + x.count, last) - x.columns;
    }
    for (int64_t k = begin; k < end; ++k) {
      const int32_t col = x.columns[k];
      g[col] = g[col] + cj * x.values[k];
    }
  }
}

}  // namespace core
