#include <ctime>
#include <vector>

#include "core/primitives.hpp"
#include "core/rows.hpp"
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

  // One gradient buffer serves every step: each step overwrites all of it before reading it.
  std::vector<double> g(static_cast<size_t>(rows.features()));
  // Each sample is drawn one step ahead so that its row can be fetched from memory while the
  // current step computes. The draws are the same values in the same order and no more of them:
  // nothing else uses this thread's generator in between.
  core::ThreadRand &rand = core::this_thread_rand();
  const int32_t N = rows.samples();
  const uint64_t step_work = 3 * static_cast<uint64_t>(rows.features()) + 8;
  int32_t next = p.maxIter > 0 ? rand.next() % N : 0;
  for (int32_t k = 0; k < p.maxIter; ++k) {
    // A silent step touches about 3 D features: the host is asked once enough of them add up (the
    // first step and a verbose step, which prints, ask every time). k steps are done.
    if ((run.verbose || k == 0) ? run.stop.should_stop(k) : run.stop.poll(step_work, k)) break;
    const int32_t i = next;
    if (k + 1 < p.maxIter) {
      next = rand.next() % N;
      rows.prefetch(next);
    }
    core::subgradient_step(rows, i, w.data(), g.data(), p.lambda, p.stepSize);
    if (run.wants_objective()) {
      const double f = core::objective_value(rows, w.data(), p.lambda, &run.stop);
      if (run.stop.stopped()) break;
      run.record_objective(f);
      if (run.verbose) {
        const unsigned long ticks = static_cast<unsigned long>(std::clock());
        run.out.printf("Iteration %d, clock= %lu object function = %f\n", k, ticks, f);
      }
    }
  }
  return w;
}

}  // namespace

core::WeightVector sequential_subgradient_descent(const core::RunContext &run, const Parameters &p) {
  return descend(run, core::DenseRows(run.data), p);
}

}  // namespace kinkstep
