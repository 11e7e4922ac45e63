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

// Samples each thread has passed, written by that thread once per block and read by thread 0 for
// the progress line; one cache line each.
struct alignas(64) PassedCount {
  std::atomic<int64_t> samples{0};
};

// What the threads of the pass share.
struct PassShared {
  std::atomic<bool> stop{false};
  std::atomic<bool> pause{false};
  std::vector<PassedCount> passed;  // one per thread, only when the run has a progress line
};

// One pass over the share from sample position `from` on, one sample after another; returns the
// position it stopped at (share.end + 1 when the share is done). The gradient buffer is reused:
// every step overwrites all of it before reading it, so the result is that of a fresh buffer per
// step. Between blocks of samples of about StopCheck::kWorkPerQuestion features thread 0 asks the
// host whether to stop (only the calling thread may ask) and every thread looks at the answer; a
// stopped pass leaves its models unfinished. When the run's progress line wants an update, thread
// 0 asks the team to pause: every thread leaves the region at its next look, the calling thread
// draws the line outside it, and the pass goes on from where each thread stopped.
int32_t descend_share(const core::RunContext &run, const Parameters &p, Share share, int32_t from, double *m,
                      double *g, PassShared &shared, int32_t t) {
  const core::RegressionData &data = run.data;
  const int64_t block =
      std::max<int64_t>(1, static_cast<int64_t>(core::StopCheck::kWorkPerQuestion / (static_cast<uint64_t>(data.D) + 1)));
  const core::Progress *progress = run.stop.progress();
  std::atomic<bool> &stop = shared.stop, &pause = shared.pause;
  int64_t until_look = 0;
  int32_t i = from;
  for (; i <= share.end; ++i) {
    if (until_look-- == 0) {
      until_look = block - 1;
      if (progress) shared.passed[static_cast<size_t>(t)].samples.store(i - share.start, std::memory_order_relaxed);
      if (t == 0) {
        // The progress line counts the samples of all threads together.
        uint64_t done = 0;
        if (progress)
          for (const PassedCount &c : shared.passed)
            done += static_cast<uint64_t>(c.samples.load(std::memory_order_relaxed));
        if (run.stop.should_stop(done))
          stop.store(true, std::memory_order_relaxed);
        else if (progress && progress->wanted())
          pause.store(true, std::memory_order_relaxed);
      }
      if (stop.load(std::memory_order_relaxed) || pause.load(std::memory_order_relaxed)) return i;
    }
    core::sample_subgradient(data, i, m, p.lambda, g);
    for (int32_t j = 0; j < data.D; ++j) m[j] = m[j] - p.stepSize * g[j];
  }
  return i;
}

}  // namespace

int32_t pass_and_average(const core::RunContext &run, const Parameters &p, int32_t T, core::WeightVector &w) {
  if (T < 1) return 0;
  const core::RegressionData &data = run.data;
  ThreadModels models(T, data.D);
  // Where each thread goes on after a pause.
  std::vector<int32_t> next(static_cast<size_t>(T));
  for (int32_t t = 0; t < T; ++t) next[static_cast<size_t>(t)] = chunk_bounds(data.N, T, t).start;

  int32_t team_size = 0;
  PassShared shared;
  if (run.stop.progress()) shared.passed = std::vector<PassedCount>(static_cast<size_t>(T));
  for (;;) {
    shared.pause.store(false);
#pragma omp parallel num_threads(T)
    {
      const int32_t size = omp_get_num_threads();
      const int32_t t = omp_get_thread_num();
      if (t == 0) team_size = size;
      // With another team size some shares would go unprocessed or be indexed past the table.
      if (size == T) {
        int32_t &at = next[static_cast<size_t>(t)];
        at = descend_share(run, p, chunk_bounds(data.N, T, t), at, models.model(t), models.gradient(t), shared, t);
      }
    }
    if (team_size != T || shared.stop.load()) return team_size;
    if (!shared.pause.load()) break;
    // The samples passed by all threads together.
    uint64_t passed = 0;
    for (int32_t t = 0; t < T; ++t)
      passed += static_cast<uint64_t>(next[static_cast<size_t>(t)] - chunk_bounds(data.N, T, t).start);
    run.stop.progress()->update(passed);
  }

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
  // Dynamic adjustment is off from the sizing team on, so that the load cannot shrink it.
  const core::FixedTeamSize fixed_team_size;
  const core::TeamSize size = core::sizing_team(run.threads);
  r.asked_threads = size.asked;
  if (!size.ok()) {
    r.team_problem = size.problem;
    return r;
  }
  r.threads = size.threads;
  // Printed by the calling thread, which is thread 0 of the sizing team, once that team has ended:
  // the host is never entered from inside a region.
  if (run.verbose) run.out.printf("Number of threads = %d\n", r.threads);
  r.w.assign(static_cast<size_t>(run.data.D), 0.0);
  for (int32_t t = 0; t < r.threads; ++t) r.empty_shares += chunk_bounds(run.data.N, r.threads, t).empty();
  if (run.wants_objective()) {
    const double f = run.objective(r.w.data(), p.lambda);
    if (run.stop.stopped()) return r;
    run.record_objective(f);
    if (run.verbose) run.out.printf("Initial object function = %f\n", f);
  }
  r.pass_threads = pass_and_average(run, p, r.threads, r.w);
  return r;
}

}  // namespace splitavg
