#include <ctime>
#include <vector>

#include "core/primitives.hpp"
#include "core/sample_steps.hpp"
#include "kinkstep/subgradient.hpp"

namespace kinkstep {
namespace {

// The method on either layout: the same draws, steps and lines, from the layout's kernels.
template <typename Data>
core::WeightVector descend(const core::RunContext &run, const Data &data, const Parameters &p) {
  core::WeightVector w(static_cast<size_t>(data.D), 0.0);
  if (run.wants_objective()) {
    const double f = run.objective(w.data(), p.lambda);
    if (run.stop.stopped()) return w;
    run.record_objective(f);
    if (run.verbose) run.out.printf("Initial object function = %f\n", f);
  }

  // One gradient buffer (dense rows) serves every step: each step overwrites all of it first.
  core::SampleSteps<Data> steps(data, p.stepSize, p.lambda);
  // Each sample is drawn one step ahead so that its row can be fetched from memory while the
  // current step computes. The draws are the same values in the same order and no more of them:
  // nothing else uses this thread's generator in between.
  core::ThreadRand &rand = core::this_thread_rand();
  int32_t next = p.maxIter > 0 ? rand.next() % data.N : 0;
  for (int32_t k = 0; k < p.maxIter; ++k) {
    // The host is asked once enough work adds up (the first step and a verbose step, which
    // prints, ask every time). k steps are done.
    if ((run.verbose || k == 0) ? run.stop.should_stop(k) : run.stop.poll(steps.work(next), k)) break;
    const int32_t i = next;
    if (k + 1 < p.maxIter) {
      next = rand.next() % data.N;
      steps.prefetch(next);
    }
    steps.step(i, w.data());
    if (run.wants_objective()) {
      steps.bring_up_to_date(w.data());
      const double f = run.objective(w.data(), p.lambda);
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
  return descend(run, run.data, p);
}

}  // namespace kinkstep
