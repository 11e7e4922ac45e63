#include "kinkstep/fit.hpp"

#include <optional>
#include <utility>

#include "core/run/parameters.hpp"
#include "core/random/thread_rand.hpp"

namespace kinkstep {

core::FitResult check_kinkstep(int32_t N, int32_t D, const FitInputs &in, bool verbose, const core::Printer &out) {
  core::FitResult r;
  const int32_t method = in.method.value, maxIter = in.maxIter.value;
  if (method != 0 && method != 1) {
    if (verbose) out.printf("N=%d, D=%d, method=%d, maxIter=%d\n", N, D, method, maxIter);
    out.printf("Method: 0 for sequential stocSubGD, 1 for parallel stocSubGD\n");
    char given[80];
    core::describe_given_integer(in.method.given, given, sizeof given);
    return r.fail(core::FitStatus::Refused, "invalidMethod",
                  "input 6 (method) must be 0 (sequential) or 1 (parallel); got %s.", given);
  }
  if (N == 0 && maxIter >= 1)
    return r.fail(core::FitStatus::Refused, "emptyData",
                  "X has no rows, so no sample can be drawn for the %d iterations asked for.", maxIter);
  return r;
}

namespace {

// The run on the context's samples (dense rows, or sparse rows with N and D in `data`).
core::FitResult fit_on(const core::RegressionData &data, const core::SparseRows *sparse, const FitInputs &in,
                       const core::FitRun &run) {
  core::FitResult r = check_kinkstep(data.N, data.D, in, run.verbose, run.out);
  if (!r.done()) return r;
  core::RunContext ctx = sparse ? run.context(data, *sparse) : run.context(data);
  if (ctx.stop.stopped()) return r.stopped();  // during the conversion of the data
  const Parameters p = in.parameters();
  const int32_t method = in.method.value;
  if (ctx.verbose) ctx.out.printf("N=%d, D=%d, method=%d, maxIter=%d\n", data.N, data.D, method, p.maxIter);
  core::seed_thread_rand(run.seed);
  std::optional<core::Progress> line;
  core::start_progress(line, ctx, run.progress, "kinkstep", method == 0 ? "steps" : "iterations",
                       p.maxIter > 0 ? static_cast<uint64_t>(p.maxIter) : 0);
  if (method == 0) {
    r.w = sequential_subgradient_descent(ctx, p);
  } else {
    // Every draw of method 1 is seeded from the iteration and thread numbers: the seed is accepted
    // (one options struct serves both methods) but plays no part.
    r.seed_used = false;
    ParallelResult pr = parallel_averaged_descent(ctx, p);
    if (!core::team_started(r, pr.team_problem.c_str(), run.threads, pr.threads)) return r;
    if (!pr.complete && !ctx.stop.stopped())
      return r.fail(core::FitStatus::TeamFailed, "threadTeam",
                    "method 1 started with %d threads but the OpenMP runtime gave iteration %d a team of %d; "
                    "averaging it would mix in stale candidates, so no result is returned.",
                    pr.threads, pr.failed_iteration, pr.failed_team_size);
    r.w = std::move(pr.w);
    r.threads = pr.threads;
  }
  core::finish_fit(r, ctx, line, p.lambda, p.maxIter);
  return r;
}

}  // namespace

core::FitResult fit_kinkstep(const core::RegressionData &data, const FitInputs &in, const core::FitRun &run) {
  return fit_on(data, nullptr, in, run);
}

core::FitResult fit_kinkstep(const core::SparseRows &rows, const FitInputs &in, const core::FitRun &run) {
  core::RegressionData shape;
  shape.N = rows.N;
  shape.D = rows.D;
  return fit_on(shape, &rows, in, run);
}

}  // namespace kinkstep
