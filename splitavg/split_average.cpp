#include "splitavg/split_average.hpp"

#include <omp.h>

#include <algorithm>
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

// The gradient buffer is reused: every step overwrites all of it before reading it, so the result
// is that of a fresh buffer per step. The host is asked between blocks of samples of about
// StopCheck::kWorkPerQuestion features.
void descend_share(const core::RunContext &run, const Parameters &p, Share share, double *m, double *g,
                   std::atomic<bool> &stop, bool asks_host) {
  const core::RegressionData &data = run.data;
  const int64_t block = std::max<int64_t>(
      1, static_cast<int64_t>(core::StopCheck::kWorkPerQuestion / (static_cast<uint64_t>(data.D) + 1)));
  int64_t until_look = 0;
  for (int32_t i = share.start; i <= share.end; ++i) {
    if (until_look-- == 0) {
      until_look = block - 1;
      if (asks_host && run.stop.should_stop()) stop.store(true, std::memory_order_relaxed);
      if (stop.load(std::memory_order_relaxed)) return;
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
