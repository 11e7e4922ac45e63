#include "fp/contraction_probe.hpp"

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"

namespace probe {

// noinline: the caller must not fold the arithmetic at compile time with constants it knows.
__attribute__((noinline)) double multiply_add(double a, double b, double c) {
  return a * b + c;
}

__attribute__((noinline)) double dot(const double *x, const double *w, int32_t D) {
  return core::dot_product(x, w, D);
}

}  // namespace probe
