#include "bench/limits.hpp"

#include <omp.h>

namespace bench {

LocalPcg::LocalPcg(uint32_t seed) {
  uint64_t z = seed + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  state = z ^ (z >> 31);
}

namespace {

inline void step(const double *x, double y, double *w, int32_t D, double stepSize, double lambda) {
  double s = 0.0;
  for (int32_t k = 0; k < D; ++k) s = s + x[k] * w[k];
  const double c = s - y;
  // The L1 term chosen without a branch (the sign pattern of w is not predictable); the sums are
  // the same ones.
  for (int32_t j = 0; j < D; ++j) {
    const double p = c * x[j];
    const double up = p + lambda, down = p - lambda;
    const double g = w[j] > 0 ? up : (w[j] < 0 ? down : p);
    w[j] = w[j] - stepSize * g;
  }
}

}  // namespace

std::vector<double> minimal_steps(const core::RegressionData &d, uint32_t seed, int32_t steps, double stepSize,
                                  double lambda) {
  std::vector<double> w(static_cast<size_t>(d.D), 0.0);
  LocalPcg rng(seed);
  for (int32_t k = 0; k < steps; ++k) {
    const int32_t i = rng.next() % d.N;
    step(d.row(i), d.labels[static_cast<size_t>(i)], w.data(), d.D, stepSize, lambda);
  }
  return w;
}

std::vector<double> minimal_pass(const core::RegressionData &d, double stepSize, double lambda) {
  std::vector<double> w(static_cast<size_t>(d.D), 0.0);
  for (int32_t i = 0; i < d.N; ++i)
    step(d.row(i), d.labels[static_cast<size_t>(i)], w.data(), d.D, stepSize, lambda);
  return w;
}

uint64_t read_all(const double *p, size_t n, int threads) {
  uint64_t total = 0;
#pragma omp parallel num_threads(threads) reduction(^ : total)
  {
    const size_t t = static_cast<size_t>(omp_get_thread_num()), T = static_cast<size_t>(omp_get_num_threads());
    const size_t begin = n / T * t, end = t + 1 == T ? n : n / T * (t + 1);
    const uint64_t *w = reinterpret_cast<const uint64_t *>(p);
    uint64_t x = 0;
    for (size_t k = begin; k < end; ++k) x ^= w[k];
    total ^= x;
  }
  return total;
}

uint64_t read_drawn_rows(const core::RegressionData &d, uint32_t seed, int32_t steps) {
  LocalPcg rng(seed);
  uint64_t x = 0;
  for (int32_t k = 0; k < steps; ++k) {
    const uint64_t *row = reinterpret_cast<const uint64_t *>(d.row(static_cast<int32_t>(rng.next() % d.N)));
    for (int32_t j = 0; j < d.D; ++j) x ^= row[j];
  }
  return x;
}

}  // namespace bench
