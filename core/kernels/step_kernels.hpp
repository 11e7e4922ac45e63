// The per-sample step of kinkstep and splitavg on a dense row, in one version per instruction set.
//
// One step on sample x (D features) with label y, from weights w:
//   c   = x . w - y, the dot product summed on one accumulator from 0.0 in index order;
//   g_j = c * x_j + lambda if w_j > 0, c * x_j - lambda if w_j < 0, c * x_j otherwise (a zero,
//         -0.0 or NaN weight adds no penalty), from the weights before the step;
//   w_j <- w_j - stepSize * g_j.
// Each g_j needs only w_j, so it is never stored: one loop computes it and writes the new w_j. The
// vector versions give each feature its own lane and make exactly the scalar operations (no fused
// multiply-add, no reordered sum), so every version returns the same bits.
#pragma once

#include <cstdint>

#include "core/kernels/cpu.hpp"

namespace core {

struct StepKernels {
  const char *name;
  // x . w on one accumulator from 0.0, in index order.
  double (*dot)(const double *x, const double *w, int32_t D);
  // out_j = w_j - stepSize * g_j for the given c. `out` may be `w` (the step in place); otherwise
  // the two must not overlap.
  void (*step)(const double *x, double c, const double *w, double *out, int32_t D, double stepSize, double lambda);
  // The step in place, and in the same loop the next sample's dot product `next` . w with the new
  // weights as they are written (the same sum as dot() after the step). `ahead`, when not null, is
  // a row (D values) asked into the cache meanwhile.
  double (*step_then_dot)(const double *x, double c, double *w, int32_t D, double stepSize, double lambda,
                          const double *next, const double *ahead);
  // Steps in place on `count` rows that lie back to back from `rows`, in order, with their labels.
  void (*pass)(const double *rows, const double *labels, int32_t count, double *w, int32_t D, double stepSize,
               double lambda);
};

// The version built for `s` (the widest of ours that `s` covers).
StepKernels step_kernels_for(InstructionSet s);

}  // namespace core
