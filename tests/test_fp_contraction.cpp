// The results are defined with every product rounded before it is added. These tests fail when the
// compiler fuses a * b + c into one fused multiply-add, as it does once -ffp-contract=off is
// dropped on a target with FMA.
#include <gtest/gtest.h>

#include <vector>

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "fp/contraction_probe.hpp"

namespace {

// (1 + 2^-30)(1 - 2^-30) = 1 - 2^-60 rounds to 1.0, so a * b - 1 is 0 when the product is rounded
// and -2^-60 when it is fused.
const double kA = 1.0 + 0x1p-30, kB = 1.0 - 0x1p-30;

// A value the optimiser cannot see through.
double opaque(double v) {
  volatile double x = v;
  return x;
}

// The probe's code may use FMA instructions: run it only where the processor has them. Compiled
// here, without the probe's instruction set.
bool probe_runnable() {
#if defined(__x86_64__) || defined(__i386__)
  return __builtin_cpu_supports("fma");
#else
  return true;
#endif
}

}  // namespace

TEST(FpContraction, ProductIsRoundedBeforeTheSum) {
  if (!probe_runnable()) GTEST_SKIP() << "this processor has no FMA instruction";
  EXPECT_EQ(probe::multiply_add(kA, kB, -1.0), 0.0);
}

TEST(FpContraction, DotProductRoundsEveryProduct) {
  if (!probe_runnable()) GTEST_SKIP() << "this processor has no FMA instruction";
  // x = (1, 0, .., 0, a), w = (-1, 0, .., 0, b): s = -1 until the last term, then s + a * b. The
  // lengths cover the vectorised body and the scalar tail of the compiled loop.
  for (int32_t D = 2; D <= 19; ++D) {
    std::vector<double> x(static_cast<size_t>(D), 0.0), w(static_cast<size_t>(D), 0.0);
    x[0] = 1.0;
    w[0] = -1.0;
    x.back() = kA;
    w.back() = kB;
    EXPECT_EQ(probe::dot(x.data(), w.data(), D), 0.0) << "D = " << D;
  }
}

// The library as built (with whatever instruction set the build targets).
TEST(FpContraction, LibraryDotProductAndObjective) {
  const double x[] = {1.0, opaque(kA)}, w[] = {-1.0, opaque(kB)};
  EXPECT_EQ(core::dot_product(x, w, 2), 0.0);
  // One sample (1, a) with label 0 at w = (-1, b): the residual is 0 and so is the objective.
  const std::vector<double> X = {1.0, kA}, y = {0.0};
  const core::RegressionData d = core::make_regression_data(X.data(), 1, 2, y.data());
  EXPECT_EQ(core::objective_value(d, w, 0.0), 0.0);
}
