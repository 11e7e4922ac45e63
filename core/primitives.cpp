#include "core/primitives.hpp"

#include <cmath>

namespace core {

double squared_residual(const RegressionData &data, const double *w, int32_t i) {
  const double r = dot_product(data.row(i), w, data.D) - data.labels[static_cast<size_t>(i)];
  return std::pow(r, 2.0);
}

double add_l1_penalty(double total, const double *w, int32_t D, double lambda) {
  for (int32_t j = 0; j < D; ++j) total = total + std::fabs(w[j]) * lambda;
  return total;
}

double objective_value(const RegressionData &data, const double *w, double lambda, const StopCheck *stop) {
  double total = 0.0;
  for (int32_t i = 0; i < data.N; ++i) {
    if (stop && stop->poll(static_cast<uint64_t>(data.D) + 1)) return total;
    total = total + squared_residual(data, w, i);
  }
  return add_l1_penalty(total, w, data.D, lambda);
}

void sample_subgradient(const RegressionData &data, int32_t i, const double *w, double lambda, double *g) {
  const double *x = data.row(i);
  const double c = dot_product(x, w, data.D) - data.labels[static_cast<size_t>(i)];
  for (int32_t j = 0; j < data.D; ++j) g[j] = add_l1_subgradient(c * x[j], w[j], lambda);
}

void random_permutation(int32_t n, int32_t *p) {
  random_permutation(this_thread_rand(), n, p);
}

void random_permutation(ThreadRand &rand, int32_t n, int32_t *p, const StopCheck *stop) {
  for (int32_t j = 0; j < n; ++j) {
    if (stop && stop->poll(4)) return;
    const int32_t k = rand.next() % (j + 1);
    if (k != j) p[j] = p[k];  // when k = j the slot simply receives j
    p[k] = j;
  }
}

std::vector<int32_t> random_permutation(int32_t n) {
  std::vector<int32_t> p(static_cast<size_t>(n > 0 ? n : 0));
  random_permutation(n, p.data());
  return p;
}

}  // namespace core
