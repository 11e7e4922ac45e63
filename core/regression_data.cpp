#include "core/regression_data.hpp"

#include <algorithm>

namespace core {

template <typename XReal, typename YReal>
RegressionData make_regression_data(const XReal *X, int32_t N, int32_t D, const YReal *y, const StopCheck *stop) {
  RegressionData data;
  data.N = N;
  data.D = D;
  const size_t n = static_cast<size_t>(N), d = static_cast<size_t>(D);
  data.features.resize(n * d);
  data.labels.resize(n);
  for (size_t i = 0; i < n; ++i) data.labels[i] = static_cast<double>(y[i]);

  // Transpose in tiles of 128 samples by 16 features: each tile reads 16 column runs of 1 KB,
  // few enough streams for the hardware prefetcher, and writes 128 row pieces of 128 bytes.
  constexpr size_t kTileRows = 128, kTileColumns = 16;
  double *out = data.features.data();
  for (size_t i0 = 0; i0 < n; i0 += kTileRows) {
    if (stop && stop->poll(kTileRows * (d + 1))) return data;
    const size_t i1 = std::min(n, i0 + kTileRows);
    for (size_t j0 = 0; j0 < d; j0 += kTileColumns) {
      const size_t j1 = std::min(d, j0 + kTileColumns);
      for (size_t j = j0; j < j1; ++j) {
        const XReal *column = X + j * n;
        for (size_t i = i0; i < i1; ++i) out[i * d + j] = static_cast<double>(column[i]);
      }
    }
  }
  return data;
}

template RegressionData make_regression_data(const double *, int32_t, int32_t, const double *, const StopCheck *);
template RegressionData make_regression_data(const float *, int32_t, int32_t, const float *, const StopCheck *);
template RegressionData make_regression_data(const float *, int32_t, int32_t, const double *, const StopCheck *);
template RegressionData make_regression_data(const double *, int32_t, int32_t, const float *, const StopCheck *);

}  // namespace core
