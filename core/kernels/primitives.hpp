// The numeric operations every solver shares. Sums run in index order on one accumulator: the
// results are defined to the last bit.
#pragma once

#include <cstdint>
#include <vector>

#include "core/data/regression_data.hpp"
#include "core/run/stop_check.hpp"
#include "core/random/thread_rand.hpp"

namespace core {

inline double dot_product(const double *x, const double *w, int32_t D) {
  double s = 0.0;
  for (int32_t k = 0; k < D; ++k) s = s + x[k] * w[k];
  return s;
}

// F(w) = sum_i (x_i . w - y_i)^2 + sum_j |w_j| * lambda, on one accumulator in that order.
// With `stop`, asks it as the rows are summed; once it says stop the value is unfinished and the
// caller must not use it.
double objective_value(const RegressionData &data, const double *w, double lambda, const StopCheck *stop = nullptr);

// The pieces of objective_value, for a caller that holds the samples in several places and carries
// the accumulator from one to the next: the term of sample i, and the penalty added to a total.
double squared_residual(const RegressionData &data, const double *w, int32_t i);
double add_l1_penalty(double total, const double *w, int32_t D, double lambda);

// The L1 term follows the sign of the current weight; a zero (or -0.0, or NaN) weight adds nothing.
inline double add_l1_subgradient(double g, double wj, double lambda) {
  if (wj > 0) return g + lambda;
  if (wj < 0) return g - lambda;
  return g;
}

// One-sample subgradient (without the factor 2 of the square): g = c * x_i + lambda * sign(w),
// with c = x_i . w - y_i. The whole of g comes from w as it stands.
void sample_subgradient(const RegressionData &data, int32_t i, const double *w, double lambda, double *g);

// Inside-out Fisher-Yates: p[j] <- p[k]; p[k] <- j with k = rand() % (j + 1), exactly n draws.
void random_permutation(int32_t n, int32_t *p);
// With `stop`, asks it as the draws are made and ends early (p unfinished) once it says stop.
void random_permutation(ThreadRand &rand, int32_t n, int32_t *p, const StopCheck *stop = nullptr);
std::vector<int32_t> random_permutation(int32_t n);

// A uniform sample index, rand() % N. N must be at least 1.
inline int32_t draw_sample(int32_t N) {
  return thread_rand() % N;
}

}  // namespace core
