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

namespace {

// Every thread's model and gradient share one slab; a gap of 64 bytes between slabs keeps any cache
// line from being written by two threads. Everything is allocated before the team starts, so
// nothing inside the parallel region can throw.
class ThreadModels {
 public:
  ThreadModels(int32_t T, int32_t D)
      : d_(static_cast<size_t>(D)), stride_(2 * d_ + kGap), slabs_(static_cast<size_t>(T) * stride_, 0.0) {}
  double *model(int32_t t) { return slabs_.data() + static_cast<size_t>(t) * stride_; }
  double *gradient(int32_t t) { return model(t) + d_; }

 private:
  static constexpr size_t kGap = 64 / sizeof(double);
  size_t d_, stride_;
  std::vector<double> slabs_;
};

// Samples a thread takes between two looks at whether the call is to stop.
constexpr int32_t kStopBlock = 4096;

// One pass over the share, one sample after another. The gradient buffer is reused: every step
// overwrites all of it before reading it, so the result is that of a fresh buffer per step.
// Between blocks of samples thread 0 asks the host whether to stop (only the calling thread may
// ask) and every thread looks at the answer; a stopped pass leaves its models unfinished.
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

}  // namespace

int32_t pass_and_average(const core::RunContext &run, const Parameters &p, int32_t T, core::WeightVector &w) {
  if (T < 1) return 0;
  const core::RegressionData &data = run.data;
  ThreadModels models(T, data.D);

  int32_t team_size = 0;
  std::atomic<bool> stop{false};
#pragma omp parallel num_threads(T)
  {
    const int32_t size = omp_get_num_threads();
    const int32_t t = omp_get_thread_num();
    if (t == 0) team_size = size;
    // With another team size some shares would go unprocessed or be indexed past the table.
    if (size == T) descend_share(run, p, chunk_bounds(data.N, T, t), models.model(t), models.gradient(t), stop, t == 0);
  }
  if (team_size != T || stop.load()) return team_size;

  // Sum in thread order on one accumulator, then one division by T.
  const double divisor = static_cast<double>(T);
  for (int32_t j = 0; j < data.D; ++j) {
    double s = 0.0;
    for (int32_t t = 0; t < T; ++t) s = s + models.model(t)[j];
    w[static_cast<size_t>(j)] = s / divisor;
  }
  return team_size;
}

SolveResult split_average_solve(const core::RunContext &run, const Parameters &p) {
  SolveResult r;
  r.threads = core::sizing_team(run.threads);
  // Printed by the calling thread, which is thread 0 of the sizing team, once that team has ended:
  // the host is never entered from inside a region.
  if (run.verbose) run.out.printf("Number of threads = %d\n", r.threads);
  const core::FixedTeamSize fixed_team_size;
  r.w.assign(static_cast<size_t>(run.data.D), 0.0);
  if (run.wants_objective()) {
    const double f = core::objective_value(run.data, r.w.data(), p.lambda);
    run.record_objective(f);
    if (run.verbose) run.out.printf("Initial object function = %f\n", f);
  }
  r.pass_threads = pass_and_average(run, p, r.threads, r.w);
  return r;
}

}  // namespace splitavg
