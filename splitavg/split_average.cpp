#include "splitavg/split_average.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <vector>

#include "core/kernels/primitives.hpp"
#include "core/data/dense_rows.hpp"
#include "core/kernels/sample_steps.hpp"
#include "core/threads/team.hpp"

namespace splitavg {

Share chunk_bounds(int32_t N, int32_t T, int32_t t) {
  // The rows' conversion writes the same blocks, each on the thread whose share it is.
  const core::RowBlock block = core::row_block(N, T, t);
  Share s;
  s.start = block.begin;
  s.end = block.end - 1;
  return s;
}

namespace {

// Samples each thread has passed, written by that thread once per block and read by thread 0 for
// the progress line; one cache line each.
struct alignas(64) PassedCount {
  std::atomic<int64_t> samples{0};
};

// What the threads of one pass share.
struct PassShared {
  std::atomic<bool> stop{false};
  std::atomic<bool> pause{false};
  std::vector<PassedCount> passed;  // one per thread, only when the run has a progress line
};

// One pass over the share from local position `from` on, one sample after another; returns the
// position it stopped at (share.end + 1 when the share is done). The gradient buffer is reused:
// every step overwrites all of it before reading it, so the result is that of a fresh buffer per
// step. Between blocks of samples of about StopCheck::kWorkPerQuestion features thread 0 asks the
// host whether to stop (only the calling thread may ask) and every thread looks at the answer; a
// stopped pass leaves its models unfinished. When the run's progress line wants an update, thread
// 0 asks the team to pause: every thread leaves the region at its next look, the calling thread
// draws the line outside it, and the pass goes on from where each thread stopped.
// The work of one sample's step, for the Ctrl-C questions: D + 1 features on dense rows, about its
// nonzeros on sparse ones.
template <typename Rows>
uint64_t sample_work(const Rows &rows) {
  return static_cast<uint64_t>(rows.features()) + 1;
}
uint64_t sample_work(const core::SparseRows &rows) {
  return 3 * static_cast<uint64_t>(rows.nonzeros() / std::max<int32_t>(1, rows.N)) + 8;
}

template <typename Rows>
int32_t descend_from(const core::RunContext &run, const Rows &rows, Share share, int32_t from, double *m,
                     core::SampleSteps<Rows> &steps, PassShared &shared, int32_t t) {
  const int64_t block =
      std::max<int64_t>(1, static_cast<int64_t>(core::StopCheck::kWorkPerQuestion / sample_work(rows)));
  const core::Progress *progress = run.stop.progress();
  std::atomic<bool> &stop = shared.stop, &pause = shared.pause;
  int32_t i = from;
  while (i <= share.end) {
    {
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
    // The block's samples back to back, each step from the model the one before left (on dense rows
    // one kernel call, which carries each step's dot product into the next).
    const int32_t count = static_cast<int32_t>(std::min<int64_t>(block, static_cast<int64_t>(share.end) - i + 1));
    steps.pass(i, count, m);
    i += count;
  }
  steps.bring_up_to_date(m);  // the share is done (a pause or a stop returned above)
  return i;
}

template <typename Rows>
int32_t pass_shares_of(const core::RunContext &run, const Rows &rows, const Parameters &p, const ShareRange &range,
                       ShareModels &models, std::atomic<bool> &stop) {
  const int32_t count = range.count;
  // Each share's steps, made before the team starts (nothing inside a region may allocate). The
  // gradient buffer of dense rows is the share's slab; every step overwrites all of it first.
  std::vector<core::SampleSteps<Rows>> steps;
  steps.reserve(static_cast<size_t>(count));
  for (int32_t u = 0; u < count; ++u) steps.emplace_back(rows, p.stepSize, p.lambda, models.gradient(u));
  // Where each thread goes on after a pause.
  std::vector<int32_t> next(static_cast<size_t>(count));
  for (int32_t u = 0; u < count; ++u) next[static_cast<size_t>(u)] = range.local(u).start;
  PassShared shared;
  if (run.stop.progress()) shared.passed = std::vector<PassedCount>(static_cast<size_t>(count));
  int32_t team_size = 0;
  for (;;) {
    shared.pause.store(false);
#pragma omp parallel num_threads(count)
    {
      const int32_t size = omp_get_num_threads();
      const int32_t u = omp_get_thread_num();
      if (u == 0) team_size = size;
      // With another team size some shares would go unprocessed or be indexed past the table.
      if (size == count) {
        int32_t &at = next[static_cast<size_t>(u)];
        at = descend_from(run, rows, range.local(u), at, models.model(u), steps[static_cast<size_t>(u)], shared, u);
      }
    }
    if (team_size != count || shared.stop.load()) break;
    if (!shared.pause.load()) break;
    // The samples passed by all threads together.
    uint64_t passed = 0;
    for (int32_t u = 0; u < count; ++u)
      passed += static_cast<uint64_t>(next[static_cast<size_t>(u)] - range.local(u).start);
    run.stop.progress()->update(passed);
  }
  if (shared.stop.load()) stop.store(true, std::memory_order_relaxed);
  return team_size;
}

}  // namespace

int32_t pass_shares(const core::RunContext &run, const Parameters &p, const ShareRange &range, ShareModels &models,
                    std::atomic<bool> &stop) {
  if (run.sparse) return pass_shares_of(run, *run.sparse, p, range, models, stop);
  return pass_shares_of(run, core::DenseRows(run.data), p, range, models, stop);
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
