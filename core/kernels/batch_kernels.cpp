#include "core/kernels/batch_kernels.hpp"

#include <cstddef>

#include "core/data/cache_hint.hpp"

namespace core {
namespace {

// Features at a time in the batch sums: their partial sums stay in the first-level cache while
// the batch's rows pass.
constexpr int32_t kFeatureBlock = 512;
constexpr int32_t kRowsAhead = 4;

__attribute__((always_inline)) inline void sums_body(const double *rows, int32_t D, const int32_t *perm, int32_t B,
                                                     const double *c, int32_t first, int32_t last, bool go_on,
                                                     double *__restrict g) {
  const std::size_t d = static_cast<std::size_t>(D);
  for (int32_t k0 = first; k0 < last; k0 += kFeatureBlock) {
    const int32_t k1 = k0 + kFeatureBlock < last ? k0 + kFeatureBlock : last;
    double *__restrict gb = g + k0;
    const int32_t n = k1 - k0;
    if (!go_on)
      for (int32_t k = 0; k < n; ++k) gb[k] = 0.0;
    for (int32_t j = 0; j < B; ++j) {
      if (j + kRowsAhead < B) {
        const double *ahead = rows + static_cast<std::size_t>(perm[j + kRowsAhead]) * d + k0;
        fetch_lines(ahead, ahead + n);
      }
      const double *__restrict x = rows + static_cast<std::size_t>(perm[j]) * d + k0;
      const double cj = c[j];
      for (int32_t k = 0; k < n; ++k) gb[k] = gb[k] + cj * x[k];
    }
  }
}

// The L1 term as a choice between the three sums rather than a branch (the signs of w are not
// predictable); a zero or NaN weight adds nothing, as add_l1_subgradient.
__attribute__((always_inline)) inline void step_body(const double *__restrict g, const double *__restrict z,
                                                     double scale, double lambda, double eps, int32_t first,
                                                     int32_t last, double *__restrict w) {
  const double half = eps * 0.5;
  for (int32_t k = first; k < last; ++k) {
    const double s = scale * g[k];
    const double up = s + lambda, down = s - lambda;
    const double gk = w[k] > 0 ? up : (w[k] < 0 ? down : s);
    w[k] = (w[k] - half * gk) - (z[k] * eps + 0.0);
  }
}

void sums_generic(const double *rows, int32_t D, const int32_t *perm, int32_t B, const double *c, int32_t first,
                  int32_t last, bool go_on, double *g) {
  sums_body(rows, D, perm, B, c, first, last, go_on, g);
}
void step_generic(const double *g, const double *z, double scale, double lambda, double eps, int32_t first,
                  int32_t last, double *w) {
  step_body(g, z, scale, lambda, eps, first, last, w);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void sums_avx2(const double *rows, int32_t D, const int32_t *perm, int32_t B,
                                               const double *c, int32_t first, int32_t last, bool go_on, double *g) {
  sums_body(rows, D, perm, B, c, first, last, go_on, g);
}
__attribute__((target("avx2"))) void step_avx2(const double *g, const double *z, double scale, double lambda,
                                               double eps, int32_t first, int32_t last, double *w) {
  step_body(g, z, scale, lambda, eps, first, last, w);
}
__attribute__((target("avx512f"))) void sums_avx512(const double *rows, int32_t D, const int32_t *perm, int32_t B,
                                                    const double *c, int32_t first, int32_t last, bool go_on,
                                                    double *g) {
  sums_body(rows, D, perm, B, c, first, last, go_on, g);
}
__attribute__((target("avx512f"))) void step_avx512(const double *g, const double *z, double scale, double lambda,
                                                    double eps, int32_t first, int32_t last, double *w) {
  step_body(g, z, scale, lambda, eps, first, last, w);
}
#endif

}  // namespace

BatchKernels batch_kernels_for(InstructionSet s) {
#if defined(__x86_64__)
  if (s == InstructionSet::kAvx2) return {"avx2", sums_avx2, step_avx2};
  if (s == InstructionSet::kAvx512f || s == InstructionSet::kAvx512vl) return {"avx512f", sums_avx512, step_avx512};
#else
  (void)s;
#endif
  return {"generic", sums_generic, step_generic};
}

}  // namespace core
