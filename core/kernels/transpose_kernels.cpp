#include "core/kernels/transpose_kernels.hpp"

#include <cstring>

#include "core/data/finite_bits.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace core {
namespace {

uint64_t copy_generic(const double *X, std::size_t n, std::size_t i0, std::size_t i1, std::size_t j0, std::size_t j1,
                      double *const *rows) {
  uint64_t bits = 0;
  for (std::size_t j = j0; j < j1; ++j) {
    const double *column = X + j * n;
    for (std::size_t i = i0; i < i1; ++i) {
      const double v = column[i];
      rows[i - i0][j] = v;
      bits |= difference_bits(v);
    }
  }
  return bits;
}

#if defined(__x86_64__) && defined(__GNUC__)
// Blocks of 4 samples by 4 features: four column loads, a transpose in registers and four row
// stores, where the scalar copy makes one store per value. The edges go the generic way.
__attribute__((target("avx2"))) uint64_t copy_avx2(const double *X, std::size_t n, std::size_t i0, std::size_t i1,
                                                   std::size_t j0, std::size_t j1, double *const *rows) {
  __m256d differences = _mm256_setzero_pd();
  const std::size_t i4 = i0 + (i1 - i0) / 4 * 4, j4 = j0 + (j1 - j0) / 4 * 4;
  for (std::size_t j = j0; j < j4; j += 4) {
    const double *c0 = X + j * n, *c1 = c0 + n, *c2 = c1 + n, *c3 = c2 + n;
    for (std::size_t i = i0; i < i4; i += 4) {
      const __m256d a = _mm256_loadu_pd(c0 + i), b = _mm256_loadu_pd(c1 + i), c = _mm256_loadu_pd(c2 + i),
                    d = _mm256_loadu_pd(c3 + i);
      differences = _mm256_or_pd(differences, _mm256_or_pd(_mm256_or_pd(_mm256_sub_pd(a, a), _mm256_sub_pd(b, b)),
                                                           _mm256_or_pd(_mm256_sub_pd(c, c), _mm256_sub_pd(d, d))));
      const __m256d ab_low = _mm256_unpacklo_pd(a, b), ab_high = _mm256_unpackhi_pd(a, b);
      const __m256d cd_low = _mm256_unpacklo_pd(c, d), cd_high = _mm256_unpackhi_pd(c, d);
      double *const *r = rows + (i - i0);
      _mm256_storeu_pd(r[0] + j, _mm256_permute2f128_pd(ab_low, cd_low, 0x20));
      _mm256_storeu_pd(r[1] + j, _mm256_permute2f128_pd(ab_high, cd_high, 0x20));
      _mm256_storeu_pd(r[2] + j, _mm256_permute2f128_pd(ab_low, cd_low, 0x31));
      _mm256_storeu_pd(r[3] + j, _mm256_permute2f128_pd(ab_high, cd_high, 0x31));
    }
  }
  alignas(32) uint64_t lanes[4];
  _mm256_store_pd(reinterpret_cast<double *>(lanes), differences);
  uint64_t bits = lanes[0] | lanes[1] | lanes[2] | lanes[3];
  if (i4 < i1) bits |= copy_generic(X, n, i4, i1, j0, j4, rows + (i4 - i0));
  if (j4 < j1) bits |= copy_generic(X, n, i0, i1, j4, j1, rows);
  return bits;
}
#endif

}  // namespace

TransposeKernel transpose_kernel_for(InstructionSet s) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (s != InstructionSet::kGeneric) return {"avx2", copy_avx2};
#else
  (void)s;
#endif
  return {"generic", copy_generic};
}

}  // namespace core
