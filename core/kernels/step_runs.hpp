// Runs of steps over a row layout (core/rows.hpp): a step that also gives the next sample's
// residual, and the steps over consecutive samples of a pass. Any layout gets them composed from
// its own step kernel; dense rows run them in the dispatched kernels (core/step_kernels), where a
// step sums the next sample's dot product as it writes the new weights, so that the element-wise
// work runs under the dot product's chain of additions. The results are the same bits either way.
#pragma once

#include <cstdint>

#include "core/data/dense_rows.hpp"
#include "core/kernels/kernels.hpp"

namespace core {

// x_i . w - y_i: the residual a step on sample i starts from.
template <typename Rows>
double residual(const Rows &rows, int32_t i, const double *w) {
  return rows.dot(i, w) - rows.label(i);
}

// One step in place on sample i, whose residual c = x_i . w - y_i is given (as the call before
// returned it), then the residual of sample `next` with the new weights (0.0 when next < 0).
// `ahead` (when >= 0) is a sample asked into the cache meanwhile. g: a gradient buffer of D values
// for the layouts that use one.
template <typename Rows>
double step_then_residual(const Rows &rows, int32_t i, double /*c: recomputed, the same value*/, double *w, double *g,
                          double lambda, double step, int32_t next, int32_t ahead) {
  if (ahead >= 0) rows.prefetch(ahead);
  subgradient_step(rows, i, w, g, lambda, step);
  return next >= 0 ? residual(rows, next, w) : 0.0;
}

inline double step_then_residual(const DenseRows &rows, int32_t i, double c, double *w, double *, double lambda,
                                 double step, int32_t next, int32_t ahead) {
  const StepKernels &k = kernels().step;
  const int32_t D = rows.features();
  // The kernel asks the row ahead into the cache; its label is asked here. Drawn at random from
  // more labels than the cache holds, a label not asked early cost a whole fetch from memory on
  // the residual's chain every step (48 against 24 ns a step at D = 10).
  if (ahead >= 0) __builtin_prefetch(rows.labels() + ahead);
  if (next < 0) {
    k.step(rows.row(i), c, w, w, D, step, lambda);
    return 0.0;
  }
  return k.step_then_dot(rows.row(i), c, w, D, step, lambda, rows.row(next), ahead >= 0 ? rows.row(ahead) : nullptr) -
         rows.label(next);
}

// Steps in place on samples first .. first + count - 1, in order.
template <typename Rows>
void pass_samples(const Rows &rows, int32_t first, int32_t count, double *w, double *g, double lambda, double step) {
  for (int32_t i = first; i < first + count; ++i) subgradient_step(rows, i, w, g, lambda, step);
}

inline void pass_samples(const DenseRows &rows, int32_t first, int32_t count, double *w, double *, double lambda,
                         double step) {
  if (count <= 0) return;
  kernels().step.pass(rows.row(first), rows.labels() + first, count, w, rows.features(), step, lambda);
}

}  // namespace core
