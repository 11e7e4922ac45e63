#include <ctime>
#include <vector>

#include "core/primitives.hpp"
#include "core/step_kernels.hpp"
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

}  // namespace

core::WeightVector sequential_subgradient_descent(const core::RunContext &run, const Parameters &p) {
  const core::RegressionData &data = run.data;
  core::WeightVector w(static_cast<size_t>(data.D), 0.0);
  if (run.wants_objective()) {
    const double f = run.objective(w.data(), p.lambda);
    if (run.stop.stopped()) return w;
    run.record_objective(f);
    if (run.verbose) run.out.printf("Initial object function = %f\n", f);
  }

  // Samples are drawn kRowsAhead steps ahead so that their rows come from memory while the steps
  // before them compute; each step also carries the next sample's dot product (the step kernel
  // sums it as it writes the new weights). The draws are the same values in the same order: nothing
  // else uses this thread's generator in between, and none is drawn past maxIter (a run stopped
  // early has drawn up to kRowsAhead samples it did not step on).
  const core::StepKernels &kernel = core::step_kernels();
  core::ThreadRand &rand = core::this_thread_rand();
  constexpr int32_t kRing = 32;  // more than kRowsAhead, a power of two
  const int32_t kRowsAhead = rows_ahead(data.D);
  int32_t drawn[kRing];
  const int32_t first_draws = p.maxIter < kRowsAhead ? p.maxIter : kRowsAhead;
  for (int32_t k = 0; k < first_draws; ++k) drawn[k] = rand.next() % data.N;
  double *const wp = w.data();
  const uint64_t step_work = 3 * static_cast<uint64_t>(data.D) + 8;
  double dot = p.maxIter > 0 ? kernel.dot(data.row(drawn[0]), wp, data.D) : 0.0;
  for (int32_t k = 0; k < p.maxIter; ++k) {
    // A silent step touches about 3 D features: the host is asked once enough of them add up (the
    // first step and a verbose step, which prints, ask every time). k steps are done.
    if ((run.verbose || k == 0) ? run.stop.should_stop(k) : run.stop.poll(step_work, k)) break;
    const int32_t i = drawn[k % kRing];
    const double c = dot - data.labels[static_cast<size_t>(i)];
    if (k + 1 < p.maxIter) {
      const double *ahead = nullptr;
      if (k + kRowsAhead < p.maxIter) {
        const int32_t later = rand.next() % data.N;
        drawn[(k + kRowsAhead) % kRing] = later;
        ahead = data.row(later);
      }
      dot = kernel.step_then_dot(data.row(i), c, wp, data.D, p.stepSize, p.lambda, data.row(drawn[(k + 1) % kRing]),
                                 ahead);
    } else {
      kernel.step(data.row(i), c, wp, wp, data.D, p.stepSize, p.lambda);
    }
    if (run.wants_objective()) {
      const double f = run.objective(w.data(), p.lambda);
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

}  // namespace kinkstep
