#include "core/run/fit.hpp"

#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "core/run/parameters.hpp"

namespace core {

IntegerInput IntegerInput::read(double given) {
  IntegerInput in;
  in.value = to_int32_parameter(given);
  in.given = given;
  return in;
}

namespace {
void format_into(Notice &n, const char *reason, const char *fmt, va_list args) {
  n.reason = reason;
  std::vsnprintf(n.message, sizeof n.message, fmt, args);
}
}  // namespace

void Notice::set(const char *why, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  format_into(*this, why, fmt, args);
  va_end(args);
}

void FitResult::warn(const char *reason, const char *fmt, ...) {
  if (warning_count == kMaxWarnings) return;
  va_list args;
  va_start(args, fmt);
  format_into(warnings[warning_count++], reason, fmt, args);
  va_end(args);
}

FitResult &FitResult::fail(FitStatus s, const char *reason, const char *fmt, ...) {
  status = s;
  va_list args;
  va_start(args, fmt);
  format_into(error, reason, fmt, args);
  va_end(args);
  return *this;
}

RunContext FitRun::context(const RegressionData &data) const {
  RunContext ctx(data, verbose, out);
  ctx.objective_trace = objective_trace;
  ctx.threads = threads;
  ctx.stop = stop;
  return ctx;
}

RunContext FitRun::context(const RegressionData &shape, const SparseRows &rows) const {
  RunContext ctx(shape, rows, verbose, out);
  ctx.objective_trace = objective_trace;
  ctx.threads = threads;
  ctx.stop = stop;
  return ctx;
}

void start_progress(std::optional<Progress> &line, RunContext &ctx, const ProgressSetup &setup, const char *module,
                    const char *unit, uint64_t total) {
  if (!setup.shown || ctx.verbose) return;
  if (setup.name) line.emplace(ctx.out, setup.style, setup.clock, setup.name, setup.unit, setup.total);
  else line.emplace(ctx.out, setup.style, setup.clock, module, unit, total);
  ctx.stop.show_progress(&*line);
}

bool team_started(FitResult &r, const char *problem, int32_t asked, int32_t threads) {
  if (problem && problem[0] != '\0') {
    r.fail(FitStatus::TeamFailed, "threadTeam", "%s", problem);
    return false;
  }
  if (asked > 0 && threads < asked)
    r.warn("threadsReduced",
           "opts.threads asked for a team of %d threads, but the OpenMP runtime gives %d (OMP_THREAD_LIMIT, "
           "OMP_MAX_ACTIVE_LEVELS, or a call from inside a parallel region); the run uses %d, as info.threads "
           "reports.",
           asked, threads, threads);
  return true;
}

void warn_if_diverged(FitResult &r) {
  for (size_t j = 0; j < r.w.size(); ++j) {
    const double v = r.w[j];
    if (std::isfinite(v)) continue;
    r.warn("diverged",
           "the run diverged: w(%zu) is %s. The step size is too large for these data; a smaller step size "
           "(stochl1_stepsize gives a safe one) or features scaled to unit size help.",
           j + 1, std::isnan(v) ? "NaN" : v > 0 ? "Inf" : "-Inf");
    return;
  }
}

void finish_fit(FitResult &r, const RunContext &ctx, std::optional<Progress> &line, double lambda, int32_t maxIter) {
  if (ctx.stop.stopped()) {
    r.stopped();
    return;
  }
  if (line) line->finish();
  const double final_f = ctx.verbose ? ctx.objective(r.w.data(), lambda) : 0.0;
  if (ctx.stop.stopped()) {
    r.stopped();
    return;
  }
  if (ctx.verbose) ctx.out.printf("Final object function = %f\n", final_f);
  warn_if_diverged(r);
  r.iterations = maxIter > 0 ? maxIter : 0;
}

}  // namespace core
