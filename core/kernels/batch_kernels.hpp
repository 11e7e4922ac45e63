// The element-wise parts of a Langevin iteration (driftwalk) over a range of features, in one
// version per instruction set: the batch's per-feature sums over dense rows, and the step. Each
// lane of a vector does exactly the scalar operations of one feature (no fused multiply-add, no
// reordered sum), so every version returns the same bits.
#pragma once

#include <cstdint>

#include "core/kernels/cpu.hpp"

namespace core {

struct BatchKernels {
  const char *name;
  // g_k = sum over j = 0..B-1, in that order, of c_j * x_{perm[j]}[k], starting from 0.0 (with
  // `go_on`, from g_k as it stands: a sum over earlier samples continued), for the features k in
  // [first, last) of the rows of D values that lie back to back from `rows`.
  void (*sums)(const double *rows, int32_t D, const int32_t *perm, int32_t B, const double *c, int32_t first,
               int32_t last, bool go_on, double *g);
  // w_k <- (w_k - (eps * 0.5) * l1(scale * g_k, w_k)) - (z_k * eps + 0.0) for k in [first, last),
  // with l1 adding lambda for a positive weight and subtracting it for a negative one.
  void (*step)(const double *g, const double *z, double scale, double lambda, double eps, int32_t first, int32_t last,
               double *w);
};

// The version built for `s` (the widest of ours that `s` covers).
BatchKernels batch_kernels_for(InstructionSet s);

}  // namespace core
