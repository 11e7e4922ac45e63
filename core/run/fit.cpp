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

void start_progress(std::optional<Progress> &line, StopCheck &stop, bool verbose, const Printer &out,
                    const ProgressSetup &setup, const char *module, const char *unit, uint64_t total) {
  if (!setup.shown || verbose) return;
  if (setup.name)
    line.emplace(out, setup.style, setup.clock, setup.name, setup.unit, setup.total);
  else
    line.emplace(out, setup.style, setup.clock, module, unit, total);
  stop.show_progress(&*line);
}

bool team_started(FitResult &r, const TeamOutcome &team, int32_t asked) {
  if (!team.ok()) {
    r.fail(FitStatus::TeamFailed, "threadTeam", "%s", team.problem.c_str());
    return false;
  }
  if (asked > 0 && team.threads < asked)
    r.warn("threadsReduced",
           "opts.threads asked for a team of %d threads, but the OpenMP runtime gives %d (OMP_THREAD_LIMIT, "
           "OMP_MAX_ACTIVE_LEVELS, or a call from inside a parallel region); the run uses %d, as info.threads "
           "reports.",
           asked, team.threads, team.threads);
  return true;
}

void warn_if_diverged(FitResult &r) {
  for (size_t j = 0; j < r.w.size(); ++j) {
    const double v = r.w[j];
    if (std::isfinite(v)) continue;
    r.warn("diverged",
           "the run diverged: w(%zu) is %s. The step size is too large for these data; a smaller step size "
           "(stochl1_stepsize gives a safe one) or features scaled to unit size help.",
           j + 1,
           std::isnan(v) ? "NaN"
           : v > 0       ? "Inf"
                         : "-Inf");
    return;
  }
}

}  // namespace core
