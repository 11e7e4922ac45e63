#include "core/regression_data.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

namespace core {

namespace {

std::string describe_non_finite(bool in_labels, std::size_t row, std::size_t column, double value) {
  char text[160];
  const char *what = std::isnan(value) ? "NaN" : value > 0 ? "Inf" : "-Inf";
  if (in_labels)
    std::snprintf(text, sizeof text, "y(%zu) is %s", row, what);
  else
    std::snprintf(text, sizeof text, "X(%zu,%zu) is %s", row, column, what);
  return text;
}

// v - v is +0 for every finite v and NaN for NaN and the infinities, so the bits of v - v OR-ed
// over all values are zero exactly when all are finite. A subtraction and an OR per value, no
// compare and no branch: the copy loop runs as fast as without the check.
inline uint64_t difference_bits(double v) {
  const double z = v - v;
  uint64_t bits;
  std::memcpy(&bits, &z, sizeof bits);
  return bits;
}

// Only once a copy has seen a non-finite value: the first one in column-major order.
template <typename Real>
[[noreturn]] void throw_first_non_finite(const Real *values, std::size_t count, std::size_t rows, bool in_labels) {
  for (std::size_t k = 0; k < count; ++k) {
    const double v = static_cast<double>(values[k]);
    if (difference_bits(v) != 0) throw NonFiniteValue(in_labels, k % rows + 1, k / rows + 1, v);
  }
  throw std::logic_error("a non-finite value was seen but not found again");
}

}  // namespace

NonFiniteValue::NonFiniteValue(bool in_labels_, std::size_t row_, std::size_t column_, double value_)
    : std::runtime_error(describe_non_finite(in_labels_, row_, column_, value_)),
      in_labels(in_labels_),
      row(row_),
      column(column_),
      value(value_) {}

template <typename XReal, typename YReal>
RegressionData make_regression_data(const XReal *X, int32_t N, int32_t D, const YReal *y, const StopCheck *stop) {
  RegressionData data;
  data.N = N;
  data.D = D;
  const size_t n = static_cast<size_t>(N), d = static_cast<size_t>(D);
  data.features.resize(n * d);
  data.labels.resize(n);
  uint64_t non_finite = 0;  // nonzero once a NaN or an infinity was copied

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
        if constexpr (std::is_same_v<XReal, float>) {
          // Single data: the copy alone is cheap enough that the subtraction would show, but
          // an exponent test on the 32-bit source run just copied (in L1) runs four lanes wide.
          for (size_t i = i0; i < i1; ++i) out[i * d + j] = static_cast<double>(column[i]);
          uint32_t special = 0;
          for (size_t i = i0; i < i1; ++i) {
            uint32_t bits;
            std::memcpy(&bits, &column[i], sizeof bits);
            special |= (bits & 0x7f800000u) == 0x7f800000u;
          }
          non_finite |= special;
        } else {
          for (size_t i = i0; i < i1; ++i) {
            const double v = static_cast<double>(column[i]);
            out[i * d + j] = v;
            non_finite |= difference_bits(v);
          }
        }
      }
    }
  }
  if (non_finite) throw_first_non_finite(X, n * d, n, false);
  for (size_t i = 0; i < n; ++i) {
    const double v = static_cast<double>(y[i]);
    data.labels[i] = v;
    non_finite |= difference_bits(v);
  }
  if (non_finite) throw_first_non_finite(y, n, n, true);
  return data;
}

template RegressionData make_regression_data(const double *, int32_t, int32_t, const double *, const StopCheck *);
template RegressionData make_regression_data(const float *, int32_t, int32_t, const float *, const StopCheck *);
template RegressionData make_regression_data(const float *, int32_t, int32_t, const double *, const StopCheck *);
template RegressionData make_regression_data(const double *, int32_t, int32_t, const float *, const StopCheck *);

}  // namespace core
