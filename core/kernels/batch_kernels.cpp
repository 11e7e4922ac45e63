#include "core/kernels/batch_kernels.hpp"

#include "core/kernels/step_kernels.hpp"

namespace driftwalk {
namespace {

// Features at a time in the batch sums: their partial sums stay in the first-level cache while
// the batch's rows pass.
constexpr int32_t kFeatureBlock = 512;

__attribute__((always_inline)) inline void sums_body(const core::DenseRows &rows, const int32_t *perm, int32_t B,
                                                     const double *c, FeatureRange ks, double *__restrict g) {
  for (int32_t k0 = ks.first; k0 < ks.last; k0 += kFeatureBlock) {
    const int32_t k1 = k0 + kFeatureBlock < ks.last ? k0 + kFeatureBlock : ks.last;
    double *__restrict gb = g + k0;
    const int32_t n = k1 - k0;
    for (int32_t k = 0; k < n; ++k) gb[k] = 0.0;
    for (int32_t j = 0; j < B; ++j) {
      const double *__restrict x = rows.row(perm[j]) + k0;
      const double cj = c[j];
      for (int32_t k = 0; k < n; ++k) gb[k] = gb[k] + cj * x[k];
    }
  }
}

// The L1 term as a choice between the three sums rather than a branch (the signs of w are not
// predictable); a zero or NaN weight adds nothing, as core::add_l1_subgradient.
__attribute__((always_inline)) inline void step_body(const double *__restrict g, const double *__restrict z,
                                                     double scale, double lambda, double eps, FeatureRange ks,
                                                     double *__restrict w) {
  const double half = eps * 0.5;
  for (int32_t k = ks.first; k < ks.last; ++k) {
    const double s = scale * g[k];
    const double up = s + lambda, down = s - lambda;
    const double gk = w[k] > 0 ? up : (w[k] < 0 ? down : s);
    w[k] = (w[k] - half * gk) - (z[k] * eps + 0.0);
  }
}

void sums_generic(const core::DenseRows &rows, const int32_t *perm, int32_t B, const double *c, FeatureRange ks,
                  double *g) {
  sums_body(rows, perm, B, c, ks, g);
}
void step_generic(const double *g, const double *z, double scale, double lambda, double eps, FeatureRange ks,
                  double *w) {
  step_body(g, z, scale, lambda, eps, ks, w);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void sums_avx2(const core::DenseRows &rows, const int32_t *perm, int32_t B,
                                               const double *c, FeatureRange ks, double *g) {
  sums_body(rows, perm, B, c, ks, g);
}
__attribute__((target("avx2"))) void step_avx2(const double *g, const double *z, double scale, double lambda,
                                               double eps, FeatureRange ks, double *w) {
  step_body(g, z, scale, lambda, eps, ks, w);
}
__attribute__((target("avx512f"))) void sums_avx512(const core::DenseRows &rows, const int32_t *perm, int32_t B,
                                                    const double *c, FeatureRange ks, double *g) {
  sums_body(rows, perm, B, c, ks, g);
}
__attribute__((target("avx512f"))) void step_avx512(const double *g, const double *z, double scale, double lambda,
                                                    double eps, FeatureRange ks, double *w) {
  step_body(g, z, scale, lambda, eps, ks, w);
}
#endif

std::vector<BatchKernels> detect() {
  std::vector<BatchKernels> all{{"generic", sums_generic, step_generic}};
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) all.push_back({"avx2", sums_avx2, step_avx2});
  if (__builtin_cpu_supports("avx512f")) all.push_back({"avx512f", sums_avx512, step_avx512});
#endif
  return all;
}

}  // namespace

std::vector<BatchKernels> available_batch_kernels() {
  return detect();
}

const BatchKernels &batch_kernels() {
  static const BatchKernels chosen = core::generic_kernels_forced() ? detect().front() : detect().back();
  return chosen;
}

}  // namespace driftwalk
