#include "core/kernels/batch.hpp"

#include <algorithm>

#include "core/data/cache_hint.hpp"

namespace core {

void batch_residuals(const RegressionData &rows, const double *w, const int32_t *perm, int32_t first, int32_t last,
                     double *c) {
  // Four rows at a time, so that four independent chains of additions overlap in the processor,
  // the next four asked for as these are read.
  const int32_t D = rows.D;
  int32_t j = first;
  for (; j + 4 <= last; j += 4) {
    const double *x0 = rows.row(perm[j]), *x1 = rows.row(perm[j + 1]);
    const double *x2 = rows.row(perm[j + 2]), *x3 = rows.row(perm[j + 3]);
    const bool more = j + 8 <= last;
    const double *n0 = more ? rows.row(perm[j + 4]) : x0, *n1 = more ? rows.row(perm[j + 5]) : x1;
    const double *n2 = more ? rows.row(perm[j + 6]) : x2, *n3 = more ? rows.row(perm[j + 7]) : x3;
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (int32_t k0 = 0; k0 < D; k0 += 8) {
      fetch_line(n0 + k0);
      fetch_line(n1 + k0);
      fetch_line(n2 + k0);
      fetch_line(n3 + k0);
      const int32_t k1 = k0 + 8 < D ? k0 + 8 : D;
      for (int32_t k = k0; k < k1; ++k) {
        const double wk = w[k];
        s0 = s0 + x0[k] * wk;
        s1 = s1 + x1[k] * wk;
        s2 = s2 + x2[k] * wk;
        s3 = s3 + x3[k] * wk;
      }
    }
    if (more && D > 0) {  // a row that does not start on a line's edge ends on one line more
      fetch_line(n0 + D - 1);
      fetch_line(n1 + D - 1);
      fetch_line(n2 + D - 1);
      fetch_line(n3 + D - 1);
    }
    const double s[4] = {s0, s1, s2, s3};
    for (int h = 0; h < 4; ++h) c[j + h] = (s[h] - rows.label(perm[j + h])) * 2.0;
  }
  for (; j < last; ++j) {
    const int32_t i = perm[j];
    c[j] = (rows.dot(i, w) - rows.label(i)) * 2.0;
  }
}

void batch_residuals(const SparseRows &rows, const double *w, const int32_t *perm, int32_t first, int32_t last,
                     double *c) {
  for (int32_t j = first; j < last; ++j) {
    const int32_t i = perm[j];
    c[j] = (rows.dot(i, w) - rows.label(i)) * 2.0;
  }
}

void batch_sums(const BatchKernels &, const SparseRows &rows, const int32_t *perm, int32_t B, const double *c,
                int32_t first, int32_t last, double *g, bool go_on) {
  if (!go_on)
    for (int32_t k = first; k < last; ++k) g[k] = 0.0;
  const bool whole = first == 0 && last == rows.D;
  for (int32_t j = 0; j < B; ++j) {
    const SparseRow x = rows.row(perm[j]);
    const double cj = c[j];
    int64_t begin = 0, end = x.count;
    if (!whole) {
      begin = std::lower_bound(x.columns, x.columns + x.count, first) - x.columns;
      end = std::lower_bound(x.columns + begin, x.columns + x.count, last) - x.columns;
    }
    for (int64_t k = begin; k < end; ++k) {
      const int32_t col = x.columns[k];
      g[col] = g[col] + cj * x.values[k];
    }
  }
}

}  // namespace core
