#include <ctime>
#include <vector>

#include "core/kernels/primitives.hpp"
#include "core/data/dense_rows.hpp"
#include "core/kernels/sample_steps.hpp"
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

  // The step of either layout (dense rows: the dispatched kernels; sparse rows: the lazy L1 steps).
  core::SampleSteps<Rows> steps(rows, p.stepSize, p.lambda);
  // Samples are drawn `ahead` steps ahead so that their memory comes in while the steps before them
  // compute, and each step gives the next sample's residual where the layout can (on dense rows the
  // step kernel sums it as it writes the new weights). The draws are the same values in the same
  // order: nothing else uses this thread's generator in between, and none is drawn past maxIter (a
  // run stopped early has drawn up to `ahead` samples it did not step on).
  core::ThreadRand &rand = core::this_thread_rand();
  const int32_t N = rows.samples();
  constexpr int32_t kRing = 32;  // more than any layout's look-ahead, a power of two
  const int32_t ahead_by = steps.ahead();
  int32_t drawn[kRing];
  const int32_t first_draws = p.maxIter < ahead_by ? p.maxIter : ahead_by;
  for (int32_t k = 0; k < first_draws; ++k) drawn[k] = rand.next() % N;
  if (p.maxIter > 0) steps.start(drawn[0], w.data());
  for (int32_t k = 0; k < p.maxIter; ++k) {
    const int32_t i = drawn[k % kRing];
    // A silent step touches about 3 D features (dense rows; sparse: 3 of its nonzeros): the host
    // is asked once enough of them add up (the first step and a verbose step, which prints, ask
    // every time). k steps are done.
    if ((run.verbose || k == 0) ? run.stop.should_stop(k) : run.stop.poll(steps.work(i), k)) break;
    int32_t next = -1, ahead = -1;
    if (k + 1 < p.maxIter) {
      next = drawn[(k + 1) % kRing];
      if (k + ahead_by < p.maxIter) {
        ahead = rand.next() % N;
        drawn[(k + ahead_by) % kRing] = ahead;
      }
    }
    steps.look_ahead(drawn, kRing, k, p.maxIter);
    steps.step_then_next(i, w.data(), next, ahead);
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
