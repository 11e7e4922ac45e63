#include "core/kernels/sparse_steps.hpp"

namespace core {

void sample_subgradient(const SparseRows &rows, int32_t i, const double *w, double lambda, double *g) {
  const SparseRow x = rows.row(i);
  const double c = rows.dot(i, w) - rows.label(i);
  // c * 0 rather than a constant zero: the same bits as the dense row, NaN included.
  const double untouched = c * 0.0;
  for (int32_t j = 0; j < rows.D; ++j) g[j] = add_l1_subgradient(untouched, w[j], lambda);
  for (int64_t k = 0; k < x.count; ++k) {
    const int32_t j = x.columns[k];
    g[j] = add_l1_subgradient(c * x.values[k], w[j], lambda);
  }
}

void subgradient_candidate(const SparseRows &rows, int32_t i, const double *w, double *g, double lambda, double step,
                           double *out) {
  sample_subgradient(rows, i, w, lambda, g);
  for (int32_t j = 0; j < rows.D; ++j) out[j] = w[j] - step * g[j];
}

}  // namespace core
