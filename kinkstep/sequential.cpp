#include <ctime>
#include <vector>

#include "core/primitives.hpp"
#include "core/rows.hpp"
#include "core/sample_steps.hpp"
#include "kinkstep/subgradient.hpp"

namespace kinkstep {

namespace {

template <typename Rows>
core::WeightVector descend(const core::RunContext &run, const Rows &rows, const Parameters &p) {
  core::WeightVector w(static_cast<size_t>(rows.features()), 0.0);
  if (run.wants_objective()) {
    const double f = core::objective_value(rows, w.data(), p.lambda, &run.stop);
    if (run.stop.stopped()) return w;
    run.record_objective(f);
    if (run.verbose) run.out.printf("Initial object function = %f\n", f);
  }

  // One gradient buffer (dense rows) serves every step: each step overwrites all of it first.
  core::SampleSteps<Rows> steps(rows, p.stepSize, p.lambda);
  // The samples are drawn kAhead steps ahead, so that their memory can be fetched while the
  // current steps compute. The draws are the same values in the same order and no more of them:
  // nothing else uses this thread's generator in between. upcoming[(k + h) % kRing] holds the
  // sample of step k + h.
  constexpr int kAhead = core::SampleSteps<Rows>::kAhead, kRing = kAhead + 1;
  int32_t upcoming[kRing] = {};
  core::ThreadRand &rand = core::this_thread_rand();
  const int32_t N = rows.samples();
  for (int h = 0; h < kAhead && h < p.maxIter; ++h) upcoming[h] = rand.next() % N;
  for (int32_t k = 0; k < p.maxIter; ++k) {
    const int32_t i = upcoming[k % kRing];
    // A silent step touches about 3 D features (dense rows; sparse: 3 of its nonzeros): the host
    // is asked once enough of them add up (the first step and a verbose step, which prints, ask
    // every time). k steps are done.
    if ((run.verbose || k == 0) ? run.stop.should_stop(k) : run.stop.poll(steps.work(i), k)) break;
    if (k + kAhead < p.maxIter) upcoming[(k + kAhead) % kRing] = rand.next() % N;
    for (int h = 1; h <= kAhead && k + h < p.maxIter; ++h) steps.prefetch(upcoming[(k + h) % kRing], kAhead - h);
    steps.step(i, w.data());
    if (run.wants_objective()) {
      steps.bring_up_to_date(w.data());
      const double f = core::objective_value(rows, w.data(), p.lambda, &run.stop);
      if (run.stop.stopped()) break;
      run.record_objective(f);
      if (run.verbose) {
        const unsigned long ticks = static_cast<unsigned long>(std::clock());
        run.out.printf("Iteration %d, clock= %lu object function = %f\n", k, ticks, f);
      }
    }
  }
  steps.bring_up_to_date(w.data());
  return w;
}

}  // namespace

core::WeightVector sequential_subgradient_descent(const core::RunContext &run, const Parameters &p) {
  if (run.sparse) return descend(run, *run.sparse, p);
  return descend(run, core::DenseRows(run.data), p);
}

}  // namespace kinkstep
