#include "core/run/fit.hpp"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

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
           "OMP_MAX_ACTIVE_LEVELS, a call from inside a parallel region, or a copy of the process made by fork, "
           "which has none of its worker threads); the run uses %d, as info.threads reports.",
           asked, team.threads, team.threads);
  return true;
}

void start_weights(FitResult &r, int32_t D, const FitOptions *options) {
  r.w.assign(static_cast<size_t>(D), 0.0);
  if (!options || options->w0.empty()) return;
  for (size_t j = 0; j < r.w.size(); ++j) r.w[j] = options->w0[j] + 0.0;
}

bool check_options(FitResult &r, const FitOptions &o, int32_t D, double stepSize, double lambda, uint64_t steps) {
  if (!o.w0.empty() && o.w0.size() != static_cast<size_t>(D)) {
    r.fail(FitStatus::Refused, "invalidOption",
           "opts.w0 must hold D = %d starting weights, one per column of X; it holds %zu.", D, o.w0.size());
    return false;
  }
  if ((o.prox || o.cumulative || o.average != 0) && !(stepSize >= 0 && lambda >= 0)) {
    r.fail(FitStatus::Refused, "invalidOption", "%s takes a stepSize and a lambda of at least 0; got %g and %g.",
           o.prox         ? "opts.l1 = 'prox'"
           : o.cumulative ? "opts.l1 = 'cumulative'"
                          : "opts.average",
           stepSize, lambda);
    return false;
  }
  if (o.average > 0 && steps > 0 && static_cast<uint64_t>(o.average) > steps) {
    r.fail(FitStatus::Refused, "invalidOption",
           "opts.average asks for the iterates from step %lld on, but the run makes %llu steps.",
           static_cast<long long>(o.average), static_cast<unsigned long long>(steps));
    return false;
  }
  return true;
}

void take_outcome(FitResult &r, double bias, uint64_t average_from, uint64_t averaged) {
  r.bias = bias;
  if (average_from == 0) return;
  r.average_from.assign(1, static_cast<double>(average_from));
  r.averaged.assign(1, static_cast<double>(averaged));
}

bool reserve_trace(FitResult &r, ObjectiveTrace *trace, int64_t iterations) {
  if (!trace || trace->every <= 0 || iterations <= 0) return true;
  const uint64_t entries = 2 + static_cast<uint64_t>(iterations) / static_cast<uint64_t>(trace->every);
  bool room = false;
  try {
    trace->values.reserve(entries);
    trace->iterations.reserve(entries);
    std::vector<double> output;  // the info output's two columns, released at once
    output.reserve(2 * entries);
    room = true;
  } catch (const std::bad_alloc &) {
  } catch (const std::length_error &) {
  }
  if (room) return true;
  trace->values = std::vector<double>();
  trace->iterations = std::vector<double>();
  r.fail(FitStatus::Refused, "outOfMemory",
         "opts.history = %d keeps %llu objectives, and there is not enough memory for them (%llu bytes); a larger "
         "opts.history keeps fewer.",
         trace->every, static_cast<unsigned long long>(entries), static_cast<unsigned long long>(32 * entries));
  return false;
}

void warn_if_diverged(FitResult &r, bool started_from_w0) {
  // A method that knows the cause has said so already.
  for (int k = 0; k < r.warning_count; ++k)
    if (std::strcmp(r.warnings[k].reason, "diverged") == 0) return;
  // Weights given to start from can overflow the first residual whatever the step size (even 0).
  const char *const cause =
      started_from_w0 ? "The step size or the starting weights (opts.w0) are too large for these data; a smaller "
                        "step size (stochl1_stepsize gives a safe one), smaller starting weights or features scaled "
                        "to unit size help."
                      : "The step size is too large for these data; a smaller step size (stochl1_stepsize gives a "
                        "safe one) or features scaled to unit size help.";
  const auto named = [](double v) { return std::isnan(v) ? "NaN" : v > 0 ? "Inf" : "-Inf"; };
  for (size_t j = 0; j < r.w.size(); ++j) {
    if (std::isfinite(r.w[j])) continue;
    r.warn("diverged", "the run diverged: w(%zu) is %s. %s", j + 1, named(r.w[j]), cause);
    return;
  }
  if (!std::isfinite(r.bias)) r.warn("diverged", "the run diverged: the intercept is %s. %s", named(r.bias), cause);
}

}  // namespace core
