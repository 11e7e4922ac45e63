#include "kinkstep/parallel.hpp"

#include <omp.h>

#include <cstddef>
#include <vector>

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/option_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"
#include "core/threads/busy.hpp"
#include "core/threads/team.hpp"

namespace kinkstep {
namespace {

// Doubles in a cache line: the threads' slices start on lines of their own so that no two threads
// write one line.
constexpr std::size_t kLine = 64 / sizeof(double);

// Doubles per thread slice, rounded up to whole cache lines.
std::size_t slice_stride(int32_t D) {
  return (static_cast<std::size_t>(D) + kLine - 1) / kLine * kLine;
}

int32_t team_of_T(int32_t threads, int32_t) {
  return threads;
}

}  // namespace

template <typename Rows>
core::FitResult parallel_averaged_descent(const core::RunContext<Rows> &run, const Parameters &p) {
  return detail::parallel_averaged_descent(run, p, team_of_T);
}

template <typename Rows>
core::FitResult detail::parallel_averaged_descent(const core::RunContext<Rows> &run, const Parameters &p,
                                                  StepTeamRequest request) {
  const Rows &rows = run.rows;
  const int32_t N = rows.N, D = rows.D;
  core::FitResult r;
  // Every draw of method 1 is seeded from the iteration and thread numbers.
  r.seed_used = false;

  // The team size T, of the runtime's default unless the caller asked for one, with dynamic
  // adjustment already off so that the load cannot shrink a team. The thread count is printed
  // after it, still on the calling thread: a print may allocate, and nothing that can throw runs
  // inside a region.
  const core::FixedTeamSize fixed_team_size;
  // The T candidates of an iteration are computed by P threads, thread p taking p, p + P, ...: the
  // result depends on T only, and a thread that shares a processor with another process's work
  // would hold every iteration's join back (up to 100 times one thread's time beside a busy job).
  // Where fewer processors are free than the team asked for, T is learnt without a team.
  const int32_t free = core::free_processors();
  const core::TeamOutcome team = core::sizing_team_for(run.threads, free);
  if (!core::team_started(r, team, run.threads)) return r;
  const int32_t T = team.threads;
  r.threads = T;
  if (run.verbose) run.out.printf("Number of threads = %d\n", T);
  const int32_t P = free < T ? free : T;

  // Everything the teams write is allocated here, once per call: a candidate and a gradient buffer
  // per thread, and per thread the iteration whose candidate its slice holds; with the call's
  // options, a candidate bias per thread and the sums of the averaged iterates.
  const std::size_t stride = slice_stride(D);
  std::vector<double> candidates(static_cast<std::size_t>(T) * stride);
  std::vector<double> gradients(static_cast<std::size_t>(T) * stride);
  std::vector<int32_t> written(static_cast<std::size_t>(T), -1);
  const bool options = p.options && !p.options->plain_steps();
  const core::StepRule rule =
      options ? core::StepRule(p.stepSize, p.lambda, *p.options, p.maxIter > 0 ? static_cast<uint64_t>(p.maxIter) : 0)
              : core::StepRule();
  std::vector<double> candidate_bias(options ? kLine * static_cast<std::size_t>(T) : 0);
  core::IterateSums sums(D, rule);
  double b = 0.0;
  const double *const bias = rule.intercept ? &b : nullptr;
  core::start_weights(r, D, p.options);
  double *const w = r.w.data();
  if (!run.report_initial_objective(w, p.lambda, bias)) return r.stopped();

  const double divisor = static_cast<double>(T);
  for (int32_t k = 0; k < p.maxIter; ++k) {
    if (run.stop.should_stop(k)) return r.stopped();
    int32_t size = 0;
#pragma omp parallel num_threads(request(P, k))
    {
      const int32_t first = omp_get_thread_num();
      if (first == 0) size = omp_get_num_threads();
      // A thread beyond P takes no candidate; the check below rejects such a team.
      for (int32_t t = first; first < P && t < T; t += P) {
        const std::size_t at = static_cast<std::size_t>(t) * stride;
        double *const g = gradients.data() + at;
        double *const candidate = candidates.data() + at;
        // Unsigned, so that k + t wraps like the 32-bit seed it is instead of overflowing.
        core::seed_thread_rand(static_cast<uint32_t>(k) + static_cast<uint32_t>(t));
        const int32_t i = core::draw_sample(N);
        if (options)
          core::option_candidate(rows, i, w, b, rule, candidate,
                                 candidate_bias.data() + static_cast<std::size_t>(t) * kLine);
        else
          core::subgradient_candidate(rows, i, w, g, p.lambda, p.stepSize, candidate);
        written[static_cast<std::size_t>(t)] = k;
      }
    }

    int32_t fresh = 0;
    for (int32_t stamp : written) fresh += stamp == k;
    if (size != P || fresh != T)
      return r.fail(core::FitStatus::TeamFailed, "threadTeam",
                    "method 1 started with %d threads but the OpenMP runtime gave iteration %d a team of %d; "
                    "averaging it would mix in stale candidates, so no result is returned.",
                    P, k, size);

    // Sum in thread order, then one division by T.
    for (int32_t j = 0; j < D; ++j) {
      double s = 0.0;
      for (int32_t t = 0; t < T; ++t) s = s + candidates[static_cast<std::size_t>(t) * stride + j];
      w[j] = s / divisor;
    }
    if (rule.intercept) {
      double s = 0.0;
      for (int32_t t = 0; t < T; ++t) s = s + candidate_bias[static_cast<std::size_t>(t) * kLine];
      b = s / divisor;
    }
    if (sums.wanted(static_cast<uint64_t>(k) + 1)) {
      for (int32_t j = 0; j < D; ++j) sums[static_cast<std::size_t>(j)].add(w[j]);
      if (rule.intercept) sums.bias().add(b);
      sums.count();
    }
    const bool reported = run.report_objective(
        k + 1, w, p.lambda, [&](double f) { run.out.printf("Iteration %d, object function = %f\n", k, f); }, bias);
    if (!reported) return r.stopped();
  }
  core::StepsOutcome outcome;
  sums.finish(w, b, outcome);
  core::take_outcome(r, b, outcome.average_from, outcome.averaged);
  return r;
}

template core::FitResult parallel_averaged_descent(const core::RunContext<core::RegressionData> &, const Parameters &);
template core::FitResult parallel_averaged_descent(const core::RunContext<core::SparseRows> &, const Parameters &);
template core::FitResult detail::parallel_averaged_descent(const core::RunContext<core::RegressionData> &,
                                                           const Parameters &, StepTeamRequest);
template core::FitResult detail::parallel_averaged_descent(const core::RunContext<core::SparseRows> &,
                                                           const Parameters &, StepTeamRequest);

}  // namespace kinkstep
