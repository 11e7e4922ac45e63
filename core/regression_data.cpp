#include "core/regression_data.hpp"

#include <algorithm>

namespace core {

RegressionData make_regression_data(const double *X, int32_t N, int32_t D, const double *y) {
  RegressionData data;
  data.N = N;
  data.D = D;
  const size_t n = static_cast<size_t>(N), d = static_cast<size_t>(D);
  data.features.resize(n * d);
  data.rows.resize(n);
  data.labels.assign(y, y + n);

  // Transpose in tiles so that both the column reads and the row writes stay in cache.
  constexpr size_t kTile = 64;
  double *out = data.features.data();
  for (size_t i0 = 0; i0 < n; i0 += kTile) {
    const size_t i1 = std::min(n, i0 + kTile);
    for (size_t j0 = 0; j0 < d; j0 += kTile) {
      const size_t j1 = std::min(d, j0 + kTile);
      for (size_t j = j0; j < j1; ++j) {
        const double *column = X + j * n;
        for (size_t i = i0; i < i1; ++i) out[i * d + j] = column[i];
      }
    }
  }
  for (size_t i = 0; i < n; ++i) data.rows[i] = out + i * d;
  return data;
}

}  // namespace core
