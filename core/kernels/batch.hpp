// driftwalk's mini-batch on either row layout: the residuals of the batch's samples and the
// batch's per-feature sums, each over a range so that a team can share them.
#pragma once

#include <cstdint>

#include "core/data/regression_data.hpp"
#include "core/kernels/kernels.hpp"
#include "core/sparse/sparse_rows.hpp"

namespace core {

// c[j] = (x_i . w - y_i) * 2.0 with i = perm[j], for j in [first, last): each dot product in index
// order on its own accumulator.
void batch_residuals(const RegressionData &rows, const double *w, const int32_t *perm, int32_t first, int32_t last,
                     double *c);
void batch_residuals(const SparseRows &rows, const double *w, const int32_t *perm, int32_t first, int32_t last,
                     double *c);

// g_k = sum over j = 0..B-1, in that order, of c_j * x_{perm[j]}[k], starting from 0.0 (with
// `go_on`, from g_k as it stands: the sum over earlier samples continued), for the features k in
// [first, last): the dispatched kernel on full rows; on sparse rows, the batch's rows scattered
// into g, each row's part of the range found by a binary search (O(last - first + B log(row
// length) + the nonzeros in the range)).
inline void batch_sums(const BatchKernels &kernels, const RegressionData &rows, const int32_t *perm, int32_t B,
                       const double *c, int32_t first, int32_t last, double *g, bool go_on = false) {
  kernels.sums(rows.features.data(), rows.D, perm, B, c, first, last, go_on, g);
}
void batch_sums(const BatchKernels &kernels, const SparseRows &rows, const int32_t *perm, int32_t B, const double *c,
                int32_t first, int32_t last, double *g, bool go_on = false);

}  // namespace core
