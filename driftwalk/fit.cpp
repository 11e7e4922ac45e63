#include "driftwalk/fit.hpp"

#include <algorithm>
#include <cmath>

#include "core/random/thread_rand.hpp"
#include "core/run/parameters.hpp"

namespace driftwalk {

core::FitResult check_driftwalk(int32_t N, int32_t D, const FitInputs &in, const core::FitOptions &options) {
  core::FitResult r;
  const int32_t maxIter = in.maxIter.value, B = in.batchSize.value;
  if (maxIter >= 1 && N == 0)
    return r.fail(core::FitStatus::Refused, "emptyData",
                  "X has no rows, so no mini-batch can be drawn for the %d iteration%s asked for.", maxIter,
                  maxIter == 1 ? "" : "s");
  if (maxIter >= 1 && (B < 1 || B > N)) {
    char given[80];
    core::describe_given_integer(in.batchSize.given, given, sizeof given);
    return r.fail(core::FitStatus::Refused, "invalidBatchSize",
                  "input 7 (batchSize) must be a whole number from 1 to N = %d; got %s.", N, given);
  }
  core::check_options(r, options, D, 0.0, 0.0, 0);
  return r;
}

namespace {

// The first iteration whose step a * (t + b)^gamma is not a number or infinite, or -1. Only two
// can be: t = 0, where t + b is smallest (a negative base with a fractional power gives NaN), and
// t = -b when b is a whole number of at most 0 (zero to a negative power is infinite); beyond
// those the steps are finite, or overflow only as a too large stepScale does.
int64_t first_undefined_step(const Parameters &p) {
  const auto undefined = [&](double t) {
    return !std::isfinite(std::pow(t + p.stepOffset, p.stepPower) * p.stepScale);
  };
  if (p.maxIter < 1) return -1;
  if (undefined(0.0)) return 0;
  if (p.stepOffset <= 0 && p.stepOffset == std::floor(p.stepOffset) && -p.stepOffset < p.maxIter &&
      undefined(-p.stepOffset))
    return static_cast<int64_t>(-p.stepOffset);
  return -1;
}

// Weights that are not finite because the schedule gave such a step: said so, rather than the
// advice of a smaller step size.
void warn_if_schedule_undefined(core::FitResult &r, const Parameters &p) {
  const int64_t t = first_undefined_step(p);
  if (t < 0 || std::all_of(r.w.begin(), r.w.end(), [](double v) { return std::isfinite(v); })) return;
  const double eps = std::pow(static_cast<double>(t) + p.stepOffset, p.stepPower) * p.stepScale;
  r.warn("diverged",
         "the run diverged: its step size stepScale * (t + stepOffset)^stepPower is %s at iteration t = %lld "
         "(stepOffset = %g, stepPower = %g), and the weights took it. Keep t + stepOffset above 0 for every t "
         "from 0 on.",
         std::isnan(eps) ? "NaN" : "infinite", static_cast<long long>(t), p.stepOffset, p.stepPower);
}

Parameters with_options(Parameters p, const core::FitOptions &options) {
  p.options = &options;
  return p;
}

template <typename Rows>
struct Driftwalk {
  const FitInputs &in;
  const core::FitRun &run;
  Parameters p = with_options(in.parameters(), run.options);

  core::FitResult check(const Rows &rows) const {
    return run.checked ? core::FitResult() : check_driftwalk(rows.N, rows.D, in, run.options);
  }
  void banner(const core::RunContext<Rows> &ctx) const {
    ctx.out.printf("N=%d, D=%d, maxIter=%d\n", ctx.rows.N, ctx.rows.D, p.maxIter);
  }
  void begin(core::RunContext<Rows> &) const { core::seed_thread_rand(run.seed); }
  const char *name() const { return "driftwalk"; }
  const char *unit() const { return "iterations"; }
  uint64_t total() const { return p.maxIter > 0 ? static_cast<uint64_t>(p.maxIter) : 0; }
  core::FitResult solve(core::RunContext<Rows> &ctx) const {
    core::FitResult r = langevin_solve(ctx, p);
    if (r.done()) warn_if_schedule_undefined(r, p);
    return r;
  }
  bool final_objective(const core::RunContext<Rows> &ctx, const core::FitResult &r) const {
    return core::report_final_objective(ctx, r.w.data(), p.lambda, iterations());
  }
  int32_t iterations() const { return p.maxIter > 0 ? p.maxIter : 0; }
};

}  // namespace

template <typename Rows>
core::FitResult fit_driftwalk(const Rows &rows, const FitInputs &in, const core::FitRun &run) {
  Driftwalk<Rows> method{in, run};
  return core::run_fit(rows, method, run);
}

template core::FitResult fit_driftwalk(const core::RegressionData &, const FitInputs &, const core::FitRun &);
template core::FitResult fit_driftwalk(const core::SparseRows &, const FitInputs &, const core::FitRun &);

}  // namespace driftwalk
