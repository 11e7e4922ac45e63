// The element-wise parts of a Langevin iteration over a range of features, in one version per
// instruction set: the batch's per-feature sums and the step. Each lane of a vector does exactly
// the scalar operations of one feature (no fused multiply-add, no reordered sum), so every version
// returns the same bits; the widest the processor has is chosen once, when the module loads.
#pragma once

#include <cstdint>
#include <vector>

#include "core/data/dense_rows.hpp"

namespace driftwalk {

struct FeatureRange {
  int32_t first, last;  // [first, last)
};

struct BatchKernels {
  const char *name;
  // g_k = sum over j = 0..B-1, in that order, of c_j * x_{perm[j]}[k], starting from 0.0.
  void (*sums)(const core::DenseRows &rows, const int32_t *perm, int32_t B, const double *c, FeatureRange ks,
               double *g);
  // w_k <- (w_k - (eps * 0.5) * l1(scale * g_k, w_k)) - (z_k * eps + 0.0), with l1 adding lambda
  // for a positive weight and subtracting it for a negative one.
  void (*step)(const double *g, const double *z, double scale, double lambda, double eps, FeatureRange ks, double *w);
};

// The version the processor runs.
const BatchKernels &batch_kernels();
// Every version this processor can run, the generic one first (for tests and benchmarks).
std::vector<BatchKernels> available_batch_kernels();

}  // namespace driftwalk
