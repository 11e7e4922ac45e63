#include "kinkstep/sequential.hpp"

#include <ctime>

#include "core/kernels/option_steps.hpp"
#include "core/kernels/sample_steps.hpp"
#include "core/random/thread_rand.hpp"

namespace kinkstep {
namespace {

// The loop, on the steps the method picked: the defined step (SampleSteps) or the step with the
// call's options (OptionSteps).
template <typename Rows, typename Steps>
core::FitResult descend(const core::RunContext<Rows> &run, const Parameters &p, Steps &steps) {
  core::FitResult r;
  core::start_weights(r, run.rows.D, p.options);
  double *const w = r.w.data();
  steps.start_from(w);
  if (!run.report_initial_objective(w, p.lambda, steps.bias())) return r.stopped();

  // Samples are drawn `ahead` steps ahead so that their memory comes in while the steps before them
  // compute, and each step gives the next sample's residual where the layout can (on full rows the
  // step kernel sums it as it writes the new weights). The draws are the same values in the same
  // order: nothing else uses this thread's generator in between, and none is drawn past maxIter (a
  // run stopped early has drawn up to `ahead` samples it did not step on).
  core::ThreadRand &rand = core::this_thread_rand();
  const int32_t N = run.rows.N;
  constexpr int32_t kRing = 32;  // more than any layout's look-ahead, a power of two
  const int32_t ahead_by = steps.ahead();
  int32_t drawn[kRing];
  const int32_t first_draws = p.maxIter < ahead_by ? p.maxIter : ahead_by;
  for (int32_t k = 0; k < first_draws; ++k) drawn[k] = rand.next() % N;
  if (p.maxIter > 0) steps.start(drawn[0], w);
  int32_t prepared_to = 0;  // the steps before it are prepared (catch_up_ahead)
  for (int32_t k = 0; k < p.maxIter; ++k) {
    const int32_t i = drawn[k % kRing];
    // A silent step touches about 3 D features (full rows; sparse: 3 of its nonzeros): the host is
    // asked once enough of them add up (the first step and a verbose step, which prints, ask every
    // time). k steps are done.
    if ((run.verbose || k == 0) ? run.stop.should_stop(k) : run.stop.poll(steps.work(i), k)) return r.stopped();
    // The draw ahead first (compared with the steps left: k + ahead_by may pass 2^31 - 1).
    int32_t next = -1, ahead = -1;
    if (ahead_by < p.maxIter - k) {
      ahead = rand.next() % N;
      drawn[(k + ahead_by) % kRing] = ahead;
    }
    if (k + 1 < p.maxIter) next = drawn[(k + 1) % kRing];
    steps.look_ahead(drawn, kRing, k, p.maxIter);
    if (k >= prepared_to) {
      // Never across an objective, which reads every weight as the steps before it leave it.
      int32_t end = k + 1;
      while (end - k < steps.batch() && end < p.maxIter && !run.wants_objective(end)) ++end;
      steps.catch_up_ahead(drawn, kRing, k, end);
      prepared_to = end;
    }
    steps.step_then_next(i, w, next, ahead);
    if (run.wants_objective(k + 1)) {
      steps.bring_up_to_date(w);
      const bool reported = run.report_objective(
          k + 1, w, p.lambda,
          [&](double f) {
            // The clock is read after the objective.
            const unsigned long ticks = static_cast<unsigned long>(std::clock());
            run.out.printf("Iteration %d, clock= %lu object function = %f\n", k, ticks, f);
          },
          steps.bias());
      if (!reported) return r.stopped();
    }
  }
  const core::StepsOutcome outcome = steps.finish(w);
  core::take_outcome(r, outcome.bias, outcome.average_from, outcome.averaged);
  return r;
}

}  // namespace

template <typename Rows>
core::FitResult sequential_subgradient_descent(const core::RunContext<Rows> &run, const Parameters &p) {
  if (!p.options || p.options->plain_steps()) {
    core::SampleSteps<Rows> steps(run.rows, p.stepSize, p.lambda);
    return descend(run, p, steps);
  }
  const core::StepRule rule(p.stepSize, p.lambda, *p.options, p.maxIter > 0 ? static_cast<uint64_t>(p.maxIter) : 0);
  core::OptionSteps<Rows> steps(run.rows, rule);
  return descend(run, p, steps);
}

template core::FitResult sequential_subgradient_descent(const core::RunContext<core::RegressionData> &,
                                                        const Parameters &);
template core::FitResult sequential_subgradient_descent(const core::RunContext<core::SparseRows> &, const Parameters &);

}  // namespace kinkstep
