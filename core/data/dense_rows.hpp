// How the solvers reach the samples: through a row layout, a cheap view of the data set that the
// solver loops take as a template parameter, so the choice costs nothing at run time.
//
// A layout type L provides
//   int32_t samples() const, features() const      N and D
//   double label(int32_t i) const                   y_i
//   double dot(int32_t i, const double *w) const    x_i . w, in index order on one accumulator
//   template <class F> void for_each(int32_t i, F f) const
//                                                   f(j, x_ij) for sample i's stored features, in index order
//   void prefetch(int32_t i) const                  a hint that sample i comes next
// and, as free functions overloaded on it, the kernels that walk the features of a step:
//   sample_subgradient(L, i, w, lambda, g)          g = c x_i + lambda sign(w), c = x_i . w - y_i
//   subgradient_step(L, i, w, g, lambda, step)      one step on sample i, in place: kinkstep method 0's
//                                                   step and a splitavg share's pass step
//   subgradient_candidate(L, i, w, g, lambda, step, out)
//                                                   the same step into out (kinkstep method 1)
//   reorder_samples(data, first, p, count, stop)    the shuffle's moves (dense: rows in place)
// Whatever is written over dot() and label() alone (squared_residual, objective_value) serves
// every layout. DenseRows, RegressionData's rows back to back, is one layout; core::SparseRows
// (core/sparse_rows.hpp, compressed sparse rows) is the other, with its kernels in
// core/sparse_kernels.hpp. Its one-sample step keeps state (the lazy L1 catch-up of the features a
// step does not touch), so the loops that step in place (kinkstep method 0, splitavg's pass) go
// through core::SampleSteps (core/sample_steps.hpp), which calls subgradient_step for a stateless
// layout. Each solver names its layout in one place: DenseRows(run.data), or *run.sparse when the
// call's X was sparse. Every kernel's result is defined to the last bit, as the plain loops here; a
// faster version of one (wider vectors, the lazy catch-up) must return the same bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/kernels/primitives.hpp"
#include "core/data/regression_data.hpp"
#include "core/kernels/kernels.hpp"
#include "core/run/stop_check.hpp"

namespace core {

class DenseRows {
 public:
  DenseRows(const RegressionData &data)  // NOLINT: a view of the rows, taken where they are passed
      : x_(data.features.data()), y_(data.labels.data()), n_(data.N), d_(data.D) {}
  int32_t samples() const { return n_; }
  int32_t features() const { return d_; }
  const double *row(int32_t i) const { return x_ + static_cast<std::size_t>(i) * static_cast<std::size_t>(d_); }
  double label(int32_t i) const { return y_[static_cast<std::size_t>(i)]; }
  const double *labels() const { return y_; }
  double dot(int32_t i, const double *w) const { return dot_product(row(i), w, d_); }
  template <typename F>
  void for_each(int32_t i, F f) const {
    const double *x = row(i);
    for (int32_t j = 0; j < d_; ++j) f(j, x[j]);
  }
  // The row's every cache line (the last one too when the row starts late in its first line) and
  // its label, which the residual needs as soon as the dot product is summed.
  void prefetch(int32_t i) const {
    __builtin_prefetch(y_ + i);
    if (d_ <= 0) return;
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(row(i) + d_) - 1;
    for (std::uintptr_t line = reinterpret_cast<std::uintptr_t>(row(i)) & ~std::uintptr_t{63}; line <= last;
         line += 64)
      __builtin_prefetch(reinterpret_cast<const void *>(line));
  }

 private:
  const double *x_;
  const double *y_;
  int32_t n_, d_;
};

inline void sample_subgradient(const DenseRows &rows, int32_t i, const double *w, double lambda, double *g) {
  const double *x = rows.row(i);
  const int32_t D = rows.features();
  const double c = dot_product(x, w, D) - rows.label(i);
  for (int32_t j = 0; j < D; ++j) g[j] = add_l1_subgradient(c * x[j], w[j], lambda);
}

// The whole of g comes from w as it stands, then w moves by step * g. On dense rows each g_j needs
// only w_j, so the dispatched kernel (core/step_kernels) writes each new w_j from the old one in
// one loop and g is not used: the same bits as the subgradient first, then the update.
inline void subgradient_step(const DenseRows &rows, int32_t i, double *w, double *, double lambda, double step) {
  const StepKernels &k = kernels().step;
  const double *x = rows.row(i);
  const int32_t D = rows.features();
  k.step(x, k.dot(x, w, D) - rows.label(i), w, w, D, step, lambda);
}

inline void subgradient_candidate(const DenseRows &rows, int32_t i, const double *w, double *, double lambda,
                                  double step, double *out) {
  const StepKernels &k = kernels().step;
  const double *x = rows.row(i);
  const int32_t D = rows.features();
  k.step(x, k.dot(x, w, D) - rows.label(i), w, out, D, step, lambda);
}

// Positions first .. first + count - 1 receive the samples at first + p[k] (rows and labels), in
// place along the cycles of p; p is left with every entry complemented. With `stop`, asks it as
// the moves add up and ends early (the order unfinished) once it says stop.
void reorder_samples(RegressionData &data, int32_t first, int32_t *p, int32_t count, const StopCheck *stop);

template <typename Rows>
double squared_residual(const Rows &rows, const double *w, int32_t i) {
  const double r = rows.dot(i, w) - rows.label(i);
  return std::pow(r, 2.0);
}

template <typename Rows>
double objective_value(const Rows &rows, const double *w, double lambda, const StopCheck *stop) {
  double total = 0.0;
  const int32_t N = rows.samples(), D = rows.features();
  for (int32_t i = 0; i < N; ++i) {
    if (stop && stop->poll(static_cast<uint64_t>(D) + 1)) return total;
    total = total + squared_residual(rows, w, i);
  }
  return add_l1_penalty(total, w, D, lambda);
}

}  // namespace core
