// Times splitavg's stages on a dense problem (default N = 10^6, D = 100): the conversion of X into
// rows, the shuffle, and the pass with 1 and 2 threads; and sets the pass's rate of reading X
// beside a plain read of the same bytes. Usage: splitavg_bench [N] [D] [repeats]
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/regression_data.hpp"
#include "core/thread_rand.hpp"
#include "splitavg/shuffle.hpp"
#include "splitavg/split_average.hpp"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Best of `repeats` runs of f, in seconds.
template <typename F>
double best_of(int repeats, F f) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const double t0 = now();
    f();
    best = std::min(best, now() - t0);
  }
  return best;
}

// Reads every word of [p, p + n) once, split over `threads` contiguous parts; the xor keeps the
// loop from being optimised away and lets the compiler vectorise it.
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

}  // namespace

int main(int argc, char **argv) {
  const int32_t N = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const int32_t D = argc > 2 ? std::atoi(argv[2]) : 100;
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 3;
  const size_t n = static_cast<size_t>(N), d = static_cast<size_t>(D);
  const double bytes = static_cast<double>(n * d * sizeof(double));
  std::printf("N = %d, D = %d, X = %.0f MB, best of %d, %d processors\n", N, D, bytes / 1e6, repeats,
              omp_get_num_procs());

  // X column-major with values in [-1, 1); labels from two of the features, so the pass stays finite.
  std::vector<double> X(n * d), y(n);
  uint64_t s = 12345;
  for (double &v : X) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    v = static_cast<double>(s >> 11) / 4503599627370496.0 - 1.0;
  }
  for (size_t i = 0; i < n; ++i) y[i] = X[i] - 0.5 * X[i + n * (d > 1 ? 1 : 0)];

  core::RegressionData data;
  const double t_convert = best_of(repeats, [&] { data = core::make_regression_data(X.data(), N, D, y.data()); });
  std::vector<double>().swap(X);

  const std::vector<const double *> in_order = data.rows;
  const std::vector<double> labels_in_order = data.labels;
  core::seed_thread_rand(1);
  const double t_shuffle = best_of(repeats, [&] {
    data.rows = in_order;
    data.labels = labels_in_order;
    splitavg::shuffle_samples(data, 0, N - 1);
  });

  const splitavg::Parameters p{1e-3, 1e-4};
  const core::RunContext run{data, false, {}};
  auto pass = [&](int T) {
    core::WeightVector w(d, 0.0);
    return best_of(repeats, [&] {
      if (splitavg::pass_and_average(run, p, T, w) != T) std::abort();
    });
  };
  const double t_pass1 = pass(1), t_pass2 = pass(2);
  data.rows = in_order;
  data.labels = labels_in_order;
  const double t_pass1_in_order = pass(1), t_pass2_in_order = pass(2);

  uint64_t sink = 0;
  const double t_read1 = best_of(repeats, [&] { sink += read_all(data.features.data(), n * d, 1); });
  const double t_read2 = best_of(repeats, [&] { sink += read_all(data.features.data(), n * d, 2); });

  const double GB = 1e9;
  std::printf("conversion (X -> rows)          %8.3f s   %6.2f GB/s\n", t_convert, bytes / t_convert / GB);
  std::printf("shuffle (row pointers, labels)  %8.3f s\n", t_shuffle);
  std::printf("pass, 1 thread, shuffled        %8.3f s   %6.2f GB/s of X\n", t_pass1, bytes / t_pass1 / GB);
  std::printf("pass, 2 threads, shuffled       %8.3f s   %6.2f GB/s of X\n", t_pass2, bytes / t_pass2 / GB);
  std::printf("pass, 1 thread, caller's order  %8.3f s   %6.2f GB/s of X\n", t_pass1_in_order,
              bytes / t_pass1_in_order / GB);
  std::printf("pass, 2 threads, caller's order %8.3f s   %6.2f GB/s of X\n", t_pass2_in_order,
              bytes / t_pass2_in_order / GB);
  std::printf("plain read, 1 thread            %8.3f s   %6.2f GB/s\n", t_read1, bytes / t_read1 / GB);
  std::printf("plain read, 2 threads           %8.3f s   %6.2f GB/s\n", t_read2, bytes / t_read2 / GB);
  std::printf("(checksum %llx)\n", static_cast<unsigned long long>(sink));
  return 0;
}
