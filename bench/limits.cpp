#include "bench/limits.hpp"

#include <omp.h>

#include <cmath>

#include "core/primitives.hpp"
#include "core/thread_rand.hpp"
#include "driftwalk/noise.hpp"

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

std::vector<double> one_thread_langevin(const core::RegressionData &d, uint32_t seed, double stepScale,
                                        double stepOffset, double stepPower, double lambda, int32_t B,
                                        int32_t iterations) {
  const size_t D = static_cast<size_t>(d.D);
  std::vector<double> w(D, 0.0), g(D);
  std::vector<int32_t> perm(static_cast<size_t>(d.N));
  core::seed_thread_rand(seed);
  core::ThreadRand &rand = core::this_thread_rand();
  const double scale = static_cast<double>(d.N) / static_cast<double>(B);
  for (int32_t t = 0; t < iterations; ++t) {
    core::random_permutation(rand, d.N, perm.data());
    for (size_t k = 0; k < D; ++k) g[k] = 0.0;
    for (int32_t j = 0; j < B; ++j) {
      const int32_t i = perm[static_cast<size_t>(j)];
      const double *x = d.row(i);
      const double c = (core::dot_product(x, w.data(), d.D) - d.labels[static_cast<size_t>(i)]) * 2.0;
      for (size_t k = 0; k < D; ++k) g[k] = g[k] + c * x[k];
    }
    const double eps = std::pow(static_cast<double>(t) + stepOffset, stepPower) * stepScale;
    for (size_t k = 0; k < D; ++k) {
      const double gk = core::add_l1_subgradient(scale * g[k], w[k], lambda);
      w[k] = (w[k] - (eps * 0.5) * gk) - driftwalk::gaussian_noise(rand, 0.0, eps);
    }
  }
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
