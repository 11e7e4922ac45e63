#include "splitavg/split_average.hpp"

#include <omp.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <vector>

#include "core/primitives.hpp"
#include "core/team.hpp"

namespace splitavg {

Share chunk_bounds(int32_t N, int32_t T, int32_t t) {
  // The quotient is formed in double and truncated; for 32-bit N and T it is the integer quotient.
  const int32_t chunk = static_cast<int32_t>(std::floor(static_cast<double>(N) / static_cast<double>(T)));
  Share s;
  s.start = t * chunk;  // t < T, so t * chunk <= N: no overflow
  s.end = (t == T - 1) ? N - 1 : (t + 1) * chunk - 1;
  return s;
}

// Samples a thread takes between two looks at whether the call is to stop.
constexpr int32_t kStopBlock = 4096;

// The gradient buffer is reused: every step overwrites all of it before reading it, so the result
// is that of a fresh buffer per step.
void descend_share(const core::RunContext &run, const Parameters &p, Share share, double *m, double *g,
                   std::atomic<bool> &stop, bool asks_host) {
  const core::RegressionData &data = run.data;
  const size_t row_bytes = static_cast<size_t>(data.D) * sizeof(double);
  for (int32_t i = share.start; i <= share.end; ++i) {
    if ((i - share.start) % kStopBlock == 0) {
      if (asks_host && run.stop.should_stop()) stop.store(true, std::memory_order_relaxed);
      if (stop.load(std::memory_order_relaxed)) return;
    }
    // After the shuffle the next row lies anywhere in memory: ask for it while this one is worked on.
    if (i < share.end) {
      const char *next = reinterpret_cast<const char *>(data.row(i + 1));
      for (size_t b = 0; b < row_bytes; b += 64) __builtin_prefetch(next + b);
    }
    core::sample_subgradient(data, i, m, p.lambda, g);
    for (int32_t j = 0; j < data.D; ++j) m[j] = m[j] - p.stepSize * g[j];
  }
}

int32_t pass_shares(const core::RunContext &run, const Parameters &p, const ShareRange &range, ShareModels &models,
                    std::atomic<bool> &stop) {
  int32_t team_size = 0;
#pragma omp parallel num_threads(range.count)
  {
    const int32_t size = omp_get_num_threads();
    const int32_t u = omp_get_thread_num();
    if (u == 0) team_size = size;
    // With another team size some shares would go unprocessed or be indexed past the table.
    if (size == range.count) descend_share(run, p, range.local(u), models.model(u), models.gradient(u), stop, u == 0);
  }
  return team_size;
}

int32_t pass_and_average(const core::RunContext &run, const Parameters &p, int32_t T, core::WeightVector &w) {
  if (T < 1) return 0;
  const core::RegressionData &data = run.data;
  ShareModels models(T, data.D);
  std::atomic<bool> stop{false};
  const int32_t team_size = pass_shares(run, p, ShareRange{data.N, T, 0, T, 0}, models, stop);
  if (team_size != T || stop.load()) return team_size;
  average_models([&models](int32_t t) { return models.model(t); }, T, data.D, w.data());
  return team_size;
}

}  // namespace splitavg
