#include <omp.h>

#include <cstddef>
#include <vector>

#include "core/kernels/primitives.hpp"
#include "core/data/dense_rows.hpp"
#include "core/sparse/sparse_kernels.hpp"
#include "core/threads/team.hpp"
#include "core/random/thread_rand.hpp"
#include "kinkstep/subgradient.hpp"

namespace kinkstep {
namespace {

// Doubles per thread slice, rounded up to whole cache lines so that no two threads write one line.
std::size_t slice_stride(int32_t D) {
  constexpr std::size_t line = 64 / sizeof(double);
  return (static_cast<std::size_t>(D) + line - 1) / line * line;
}

int32_t team_of_T(int32_t threads, int32_t) {
  return threads;
}

}  // namespace

namespace {

template <typename Rows>
ParallelResult averaged_descent(const core::RunContext &run, const Rows &rows, const Parameters &p,
                                detail::StepTeamRequest request) {
  const int32_t N = rows.samples(), D = rows.features();
  ParallelResult r;

  // Sizing team, of the runtime's default size unless the caller asked for one, with dynamic
  // adjustment already off so that the load cannot shrink it. The thread count is printed after
  // it, still on the calling thread: a print may allocate, and nothing that can throw runs inside
  // a region.
  const core::FixedTeamSize fixed_team_size;
  const core::TeamSize size = core::sizing_team(run.threads);
  r.asked_threads = size.asked;
  if (!size.ok()) {
    r.team_problem = size.problem;
    r.complete = false;
    return r;
  }
  const int32_t T = size.threads;
  r.threads = T;
  if (run.verbose) run.out.printf("Number of threads = %d\n", T);

  // Everything the teams write is allocated here, once per call: a candidate and a gradient buffer
  // per thread, and per thread the iteration whose candidate its slice holds.
  const std::size_t stride = slice_stride(D);
  std::vector<double> candidates(static_cast<std::size_t>(T) * stride);
  std::vector<double> gradients(static_cast<std::size_t>(T) * stride);
  std::vector<int32_t> written(static_cast<std::size_t>(T), -1);
  r.w.assign(static_cast<std::size_t>(D), 0.0);
  double *const w = r.w.data();
  if (run.wants_objective()) {
    const double f = core::objective_value(rows, w, p.lambda, &run.stop);
    if (run.stop.stopped()) return r;
    run.record_objective(f);
    if (run.verbose) run.out.printf("Initial object function = %f\n", f);
  }

  const double divisor = static_cast<double>(T);
  for (int32_t k = 0; k < p.maxIter; ++k) {
    if (run.stop.should_stop(k)) return r;
    int32_t team = 0;
#pragma omp parallel num_threads(request(T, k))
    {
      const int32_t t = omp_get_thread_num();
      if (t == 0) team = omp_get_num_threads();
      if (t < T) {  // a thread beyond T has no slice; the check below rejects such a team
        const std::size_t at = static_cast<std::size_t>(t) * stride;
        double *const g = gradients.data() + at;
        double *const candidate = candidates.data() + at;
        // Unsigned, so that k + t wraps like the 32-bit seed it is instead of overflowing.
        core::seed_thread_rand(static_cast<uint32_t>(k) + static_cast<uint32_t>(t));
        const int32_t i = core::draw_sample(N);
        core::subgradient_candidate(rows, i, w, g, p.lambda, p.stepSize, candidate);
        written[static_cast<std::size_t>(t)] = k;
      }
    }

    int32_t fresh = 0;
    for (int32_t stamp : written) fresh += stamp == k;
    if (team != T || fresh != T) {
      r.complete = false;
      r.failed_iteration = k;
      r.failed_team_size = team;
      return r;
    }

    // Sum in thread order, then one division by T.
    for (int32_t j = 0; j < D; ++j) {
      double s = 0.0;
      for (int32_t t = 0; t < T; ++t) s = s + candidates[static_cast<std::size_t>(t) * stride + j];
      w[j] = s / divisor;
    }
    if (run.wants_objective()) {
      const double f = core::objective_value(rows, w, p.lambda, &run.stop);
      if (run.stop.stopped()) return r;
      run.record_objective(f);
      if (run.verbose) run.out.printf("Iteration %d, object function = %f\n", k, f);
    }
  }
  return r;
}

}  // namespace

ParallelResult parallel_averaged_descent(const core::RunContext &run, const Parameters &p) {
  return detail::parallel_averaged_descent(run, p, team_of_T);
}

ParallelResult detail::parallel_averaged_descent(const core::RunContext &run, const Parameters &p,
                                                 StepTeamRequest request) {
  if (run.sparse) return averaged_descent(run, *run.sparse, p, request);
  return averaged_descent(run, core::DenseRows(run.data), p, request);
}

}  // namespace kinkstep
