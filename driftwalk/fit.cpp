#include "driftwalk/fit.hpp"

#include <optional>

#include "core/run/parameters.hpp"
#include "core/random/thread_rand.hpp"

namespace driftwalk {

core::FitResult check_driftwalk(int32_t N, const FitInputs &in) {
  core::FitResult r;
  const int32_t maxIter = in.maxIter.value, B = in.batchSize.value;
  if (maxIter >= 1 && N == 0)
    return r.fail(core::FitStatus::Refused, "emptyData",
                  "X has no rows, so no mini-batch can be drawn for the %d iterations asked for.", maxIter);
  if (maxIter >= 1 && (B < 1 || B > N)) {
    char given[80];
    core::describe_given_integer(in.batchSize.given, given, sizeof given);
    return r.fail(core::FitStatus::Refused, "invalidBatchSize",
                  "input 7 (batchSize) must be a whole number from 1 to N = %d; got %s.", N, given);
  }
  return r;
}

namespace {

// The run on the context's samples (dense rows, or sparse rows with N and D in `data`).
core::FitResult fit_on(const core::RegressionData &data, const core::SparseRows *sparse, const FitInputs &in,
                       const core::FitRun &run) {
  core::FitResult r = check_driftwalk(data.N, in);
  if (!r.done()) return r;
  core::RunContext ctx = sparse ? run.context(data, *sparse) : run.context(data);
  if (ctx.stop.stopped()) return r.stopped();  // during the conversion of the data
  const Parameters p = in.parameters();
  if (ctx.verbose) ctx.out.printf("N=%d, D=%d, maxIter=%d\n", data.N, data.D, p.maxIter);
  core::seed_thread_rand(run.seed);
  std::optional<core::Progress> line;
  core::start_progress(line, ctx, run.progress, "driftwalk", "iterations",
                       p.maxIter > 0 ? static_cast<uint64_t>(p.maxIter) : 0);
  core::TeamSize team;
  r.w = langevin_solve(ctx, p, &r.threads, &team);
  if (team.asked > 0 && !core::team_started(r, team.problem.c_str(), run.threads, team.threads)) return r;
  core::finish_fit(r, ctx, line, p.lambda, p.maxIter);
  return r;
}

}  // namespace

core::FitResult fit_driftwalk(const core::RegressionData &data, const FitInputs &in, const core::FitRun &run) {
  return fit_on(data, nullptr, in, run);
}

core::FitResult fit_driftwalk(const core::SparseRows &rows, const FitInputs &in, const core::FitRun &run) {
  core::RegressionData shape;
  shape.N = rows.N;
  shape.D = rows.D;
  return fit_on(shape, &rows, in, run);
}

}  // namespace driftwalk
