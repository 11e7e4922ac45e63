#include <ctime>
#include <vector>

#include "core/primitives.hpp"
#include "core/rows.hpp"
#include "core/step_runs.hpp"
#include "kinkstep/subgradient.hpp"

namespace kinkstep {

namespace {

// How many steps ahead a row is asked into the cache: enough rows in flight to cover a fetch from
// memory while the steps before compute. Measured on rows drawn from 40 MB: 16 ahead was best at
// D = 10, 4 to 8 at D = 100, 4 to 16 at D = 1000 (2 ahead was 1.4-1.7 times slower at D <= 100).
int32_t rows_ahead(int32_t D) {
  const int32_t a = D > 0 ? 800 / D : 16;
  return a < 4 ? 4 : a > 16 ? 16 : a;
}

template <typename Rows>
core::WeightVector descend(const core::RunContext &run, const Rows &rows, const Parameters &p) {
  core::WeightVector w(static_cast<size_t>(rows.features()), 0.0);
  if (run.wants_objective()) {
    const double f = core::objective_value(rows, w.data(), p.lambda, &run.stop);
    if (run.stop.stopped()) return w;
    run.record_objective(f);
    if (run.verbose) run.out.printf("Initial object function = %f\n", f);
  }

  // One gradient buffer serves every step (for the layouts whose step kernel uses one): each step
  // overwrites all of it before reading it.
  std::vector<double> g(static_cast<size_t>(rows.features()));
  // Samples are drawn kRowsAhead steps ahead so that their rows come from memory while the steps
  // before them compute, and each step gives the next sample's residual (on dense rows the step
  // kernel sums it as it writes the new weights). The draws are the same values in the same order:
  // nothing else uses this thread's generator in between, and none is drawn past maxIter (a run
  // stopped early has drawn up to kRowsAhead samples it did not step on).
  core::ThreadRand &rand = core::this_thread_rand();
  const int32_t N = rows.samples();
  constexpr int32_t kRing = 32;  // more than kRowsAhead, a power of two
  const int32_t kRowsAhead = rows_ahead(rows.features());
  int32_t drawn[kRing];
  const int32_t first_draws = p.maxIter < kRowsAhead ? p.maxIter : kRowsAhead;
  for (int32_t k = 0; k < first_draws; ++k) drawn[k] = rand.next() % N;
  const uint64_t step_work = 3 * static_cast<uint64_t>(rows.features()) + 8;
  double c = p.maxIter > 0 ? core::residual(rows, drawn[0], w.data()) : 0.0;
  for (int32_t k = 0; k < p.maxIter; ++k) {
    // A silent step touches about 3 D features: the host is asked once enough of them add up (the
    // first step and a verbose step, which prints, ask every time). k steps are done.
    if ((run.verbose || k == 0) ? run.stop.should_stop(k) : run.stop.poll(step_work, k)) break;
    const int32_t i = drawn[k % kRing];
    int32_t next = -1, ahead = -1;
    if (k + 1 < p.maxIter) {
      next = drawn[(k + 1) % kRing];
      if (k + kRowsAhead < p.maxIter) {
        ahead = rand.next() % N;
        drawn[(k + kRowsAhead) % kRing] = ahead;
      }
    }
    c = core::step_then_residual(rows, i, c, w.data(), g.data(), p.lambda, p.stepSize, next, ahead);
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
