#include "bench/limits.hpp"

#include <omp.h>

#include <cmath>

#include "core/data/cache_hint.hpp"
#include "core/data/row_memory.hpp"
#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"
#include "driftwalk/noise.hpp"

namespace bench {

LocalPcg::LocalPcg(uint32_t seed) {
  uint64_t z = seed + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  state = z ^ (z >> 31);
}

namespace {

__attribute__((always_inline)) inline void step(const double *x, double y, double *w, int32_t D, double stepSize,
                                                double lambda) {
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

template <int Ahead>
__attribute__((always_inline)) inline void steps_body(const core::RegressionData &d, uint32_t seed, int32_t steps,
                                                      double stepSize, double lambda, double *w) {
  LocalPcg rng(seed);
  int32_t i = steps > 0 ? rng.next() % d.N : 0;
  for (int32_t k = 0; k < steps; ++k) {
    const int32_t now = i;
    if (Ahead && k + 1 < steps) {
      i = rng.next() % d.N;
      const char *row = reinterpret_cast<const char *>(d.row(i));
      for (int32_t b = 0; b < d.D * 8; b += 64) core::fetch_line(row + b);
    }
    step(d.row(now), d.labels[static_cast<size_t>(now)], w, d.D, stepSize, lambda);
  }
}

__attribute__((always_inline)) inline void pass_body(const core::RegressionData &d, double stepSize, double lambda,
                                                     double *w) {
  for (int32_t i = 0; i < d.N; ++i) step(d.row(i), d.labels[static_cast<size_t>(i)], w, d.D, stepSize, lambda);
}

void steps_generic(const core::RegressionData &d, uint32_t seed, int32_t steps, double stepSize, double lambda,
                   double *w) {
  steps_body<1>(d, seed, steps, stepSize, lambda, w);
}
void pass_generic(const core::RegressionData &d, double stepSize, double lambda, double *w) {
  pass_body(d, stepSize, lambda, w);
}
#if defined(__x86_64__)
__attribute__((target("avx2"))) void steps_avx2(const core::RegressionData &d, uint32_t seed, int32_t steps,
                                                double stepSize, double lambda, double *w) {
  steps_body<1>(d, seed, steps, stepSize, lambda, w);
}
__attribute__((target("avx2"))) void pass_avx2(const core::RegressionData &d, double stepSize, double lambda,
                                               double *w) {
  pass_body(d, stepSize, lambda, w);
}
__attribute__((target("avx512f"))) void steps_avx512(const core::RegressionData &d, uint32_t seed, int32_t steps,
                                                     double stepSize, double lambda, double *w) {
  steps_body<1>(d, seed, steps, stepSize, lambda, w);
}
__attribute__((target("avx512f"))) void pass_avx512(const core::RegressionData &d, double stepSize, double lambda,
                                                    double *w) {
  pass_body(d, stepSize, lambda, w);
}
#endif

struct Widest {
  const char *isa;
  void (*steps)(const core::RegressionData &, uint32_t, int32_t, double, double, double *);
  void (*pass)(const core::RegressionData &, double, double, double *);
};

Widest widest() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return {"avx512f", steps_avx512, pass_avx512};
  if (__builtin_cpu_supports("avx2")) return {"avx2", steps_avx2, pass_avx2};
#endif
  return {"generic", steps_generic, pass_generic};
}

}  // namespace

std::vector<double> minimal_steps_widest(const core::RegressionData &d, uint32_t seed, int32_t steps, double stepSize,
                                         double lambda, const char **isa) {
  std::vector<double> w(static_cast<size_t>(d.D), 0.0);
  const Widest f = widest();
  if (isa) *isa = f.isa;
  f.steps(d, seed, steps, stepSize, lambda, w.data());
  return w;
}

std::vector<double> minimal_pass_widest(const core::RegressionData &d, double stepSize, double lambda) {
  std::vector<double> w(static_cast<size_t>(d.D), 0.0);
  widest().pass(d, stepSize, lambda, w.data());
  return w;
}

// Kept out of line and fed through volatile pointers, so that the compiler sees neither the values
// nor how often the chain repeats and must make every addition in order.
__attribute__((noinline)) double add_chain(int32_t D, int64_t adds) {
  constexpr int32_t kRows = 4;  // 4 rows of D = 1000 are 32 KB: they stay in the first caches
  const size_t d = static_cast<size_t>(D > 0 ? D : 1);
  std::vector<double> x(kRows * d), w(d);
  LocalPcg rng(17);
  for (double &v : x) v = rng.next() * 0x1p-31 - 0.5;
  for (double &v : w) v = (rng.next() * 0x1p-31 - 0.5) * 1e-3;
  const double *volatile xp = x.data();
  const double *volatile wp = w.data();
  const double *const xr = xp, *const wr = wp;
  double s = 0.0;
  int64_t done = 0;
  for (int32_t r = 0; done < adds; r = (r + 1) % kRows) {
    const double *row = xr + static_cast<size_t>(r) * d;
    for (size_t k = 0; k < d; ++k) s = s + row[k] * wr[k];
    done += static_cast<int64_t>(d);
  }
  return s;
}

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
  for (int32_t i = 0; i < d.N; ++i) step(d.row(i), d.labels[static_cast<size_t>(i)], w.data(), d.D, stepSize, lambda);
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

uint64_t touch_fresh_pages(size_t bytes) {
  // Rows' memory as a call gets it, each page written once: what the system charges for memory
  // that no page of this process has used yet (on a virtual machine also the host's part).
  double *block = static_cast<double *>(core::allocate_row_memory(bytes));
  const size_t n = bytes / sizeof(double);
  for (size_t k = 0; k < n; k += 4096 / sizeof(double)) block[k] = static_cast<double>(k);
  const uint64_t x = static_cast<uint64_t>(block[n / 2 / 512 * 512]);
  core::release_row_memory(block, bytes);
  return x;
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
