// The numeric operations every solver shares, on either row layout. Sums run in index order on one
// accumulator: the results are defined to the last bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/run/stop_check.hpp"

namespace core {

inline double dot_product(const double *x, const double *w, int32_t D) {
  double s = 0.0;
  for (int32_t k = 0; k < D; ++k) s = s + x[k] * w[k];
  return s;
}

// The L1 term follows the sign of the current weight; a zero (or -0.0, or NaN) weight adds nothing.
inline double add_l1_subgradient(double g, double wj, double lambda) {
  if (wj > 0) return g + lambda;
  if (wj < 0) return g - lambda;
  return g;
}

// `above` when w > 0, `below` when w < 0, else `otherwise` (zero, NaN), chosen by masks rather
// than a branch: in a sparse step the signs of the touched weights are not predictable. The bits
// of the chosen value are returned as they are.
inline double by_sign(double w, double above, double below, double otherwise) {
  uint64_t a, b, o;
  std::memcpy(&a, &above, sizeof a);
  std::memcpy(&b, &below, sizeof b);
  std::memcpy(&o, &otherwise, sizeof o);
  const uint64_t positive = 0 - static_cast<uint64_t>(w > 0), negative = 0 - static_cast<uint64_t>(w < 0);
  const uint64_t r = (a & positive) | (b & negative) | (o & ~(positive | negative));
  double x;
  std::memcpy(&x, &r, sizeof x);
  return x;
}

// total + |w_1| * lambda + ... + |w_D| * lambda, each term multiplied on its own.
inline double add_l1_penalty(double total, const double *w, int32_t D, double lambda) {
  for (int32_t j = 0; j < D; ++j) total = total + std::fabs(w[j]) * lambda;
  return total;
}

// The term of sample i in the objective, pow(x_i . w - y_i, 2).
template <typename Rows>
double squared_residual(const Rows &rows, const double *w, int32_t i) {
  return std::pow(rows.dot(i, w) - rows.label(i), 2.0);
}

// F(w) = sum_i (x_i . w [+ b] - y_i)^2 + sum_j |w_j| * lambda, on one accumulator in that order
// (the bias b when `bias` is given: (x_i . w + b) - y_i). With `stop`, asks it as the rows are summed
// (row_work(rows, i) features a row); once it says stop the value is unfinished and must not be
// used. At w = 0 (and b = 0) every dot product is +0 (X is finite), so the residuals are 0 - y_i
// and the rows need not be read: the same bits in O(N).
template <typename Rows>
double objective_value(const Rows &rows, const double *w, double lambda, const StopCheck *stop = nullptr,
                       const double *bias = nullptr) {
  double total = 0.0;
  bool zero = bias == nullptr || *bias == 0;
  for (int32_t j = 0; zero && j < rows.D; ++j) zero = w[j] == 0;
  if (zero) {
    for (int32_t i = 0; i < rows.N; ++i) {
      if (stop && stop->poll(1)) return total;
      total = total + std::pow(0.0 - rows.label(i), 2.0);
    }
    return add_l1_penalty(total, w, rows.D, lambda);
  }
  for (int32_t i = 0; i < rows.N; ++i) {
    if (stop && stop->poll(row_work(rows, i))) return total;
    const double r = bias ? (rows.dot(i, w) + *bias) - rows.label(i) : rows.dot(i, w) - rows.label(i);
    total = total + std::pow(r, 2.0);
  }
  return add_l1_penalty(total, w, rows.D, lambda);
}

}  // namespace core
