// The kernels of a step on full rows (core::RegressionData), as overloads the solver templates
// call: a step's subgradient, the step in place, the step into a candidate, and the runs of steps
// that carry each step's dot product into the next.
#pragma once

#include <cstdint>

#include "core/data/cache_hint.hpp"
#include "core/data/regression_data.hpp"
#include "core/kernels/kernels.hpp"
#include "core/kernels/primitives.hpp"

namespace core {

// Features a step of sample i touches about, for the Ctrl-C questions.
inline uint64_t row_work(const RegressionData &rows, int32_t) {
  return static_cast<uint64_t>(rows.D) + 1;
}

// g = c x_i + lambda sign(w), c = x_i . w - y_i: the whole of g from w as it stands.
inline void sample_subgradient(const RegressionData &rows, int32_t i, const double *w, double lambda, double *g) {
  const double *x = rows.row(i);
  const double c = dot_product(x, w, rows.D) - rows.label(i);
  for (int32_t j = 0; j < rows.D; ++j) g[j] = add_l1_subgradient(c * x[j], w[j], lambda);
}

// The whole of g comes from w as it stands, then w moves by step * g. Each g_j needs only w_j, so
// the dispatched kernel (core/kernels/step_kernels) writes each new w_j from the old one in one
// loop and no gradient buffer is used: the same bits as the subgradient first, then the update.
inline void subgradient_step(const RegressionData &rows, int32_t i, double *w, double lambda, double step) {
  const StepKernels &k = kernels().step;
  const double *x = rows.row(i);
  k.step(x, k.dot(x, w, rows.D) - rows.label(i), w, w, rows.D, step, lambda);
}

// The same step into out (kinkstep method 1's candidate); w is not written. (g: unused here; the
// sparse layout's candidate forms its gradient there.)
inline void subgradient_candidate(const RegressionData &rows, int32_t i, const double *w, double *, double lambda,
                                  double step, double *out) {
  const StepKernels &k = kernels().step;
  const double *x = rows.row(i);
  k.step(x, k.dot(x, w, rows.D) - rows.label(i), w, out, rows.D, step, lambda);
}

// x_i . w - y_i: the residual a step on sample i starts from.
inline double residual(const RegressionData &rows, int32_t i, const double *w) {
  return kernels().step.dot(rows.row(i), w, rows.D) - rows.label(i);
}

// One step in place on sample i, whose residual c = x_i . w - y_i is given (as the call before
// returned it), then the residual of sample `next` with the new weights (0.0 when next < 0), summed
// by the kernel as it writes the new weights. `ahead` (when >= 0) is a sample asked into the cache
// meanwhile: its row by the kernel, its label here (a label drawn at random from more labels than
// the cache holds, asked only when its step came, stood on the residual's chain every step: 48
// against 24 ns a step at D = 10, bench/stochl1_bench steps).
inline double step_then_residual(const RegressionData &rows, int32_t i, double c, double *w, double lambda, double step,
                                 int32_t next, int32_t ahead) {
  const StepKernels &k = kernels().step;
  if (ahead >= 0) core::fetch_line(rows.labels.data() + ahead);
  if (next < 0) {
    k.step(rows.row(i), c, w, w, rows.D, step, lambda);
    return 0.0;
  }
  return k.step_then_dot(rows.row(i), c, w, rows.D, step, lambda, rows.row(next),
                         ahead >= 0 ? rows.row(ahead) : nullptr) -
         rows.label(next);
}

// Steps in place on samples first .. first + count - 1, in order: one kernel call, which carries
// each step's dot product into the next.
inline void pass_samples(const RegressionData &rows, int32_t first, int32_t count, double *w, double lambda,
                         double step) {
  if (count <= 0) return;
  kernels().step.pass(rows.row(first), rows.labels.data() + first, count, w, rows.D, step, lambda);
}

}  // namespace core
