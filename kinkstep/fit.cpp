#include "kinkstep/fit.hpp"

#include "core/random/thread_rand.hpp"
#include "core/run/parameters.hpp"
#include "kinkstep/parallel.hpp"
#include "kinkstep/sequential.hpp"

namespace kinkstep {

core::FitResult check_kinkstep(int32_t N, int32_t D, const FitInputs &in, const core::FitOptions &options, bool verbose,
                               const core::Printer &out) {
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
  if (!core::check_options(r, options, D, in.stepSize, in.lambda, maxIter > 0 ? static_cast<uint64_t>(maxIter) : 0))
    return r;
  if (method == 1 && options.cumulative)
    r.fail(core::FitStatus::Refused, "invalidOption",
           "opts.l1 = 'cumulative' is for method 0: method 1 averages candidates from one shared w, which keeps no "
           "penalty of its own per weight.");
  return r;
}

namespace {

Parameters with_options(Parameters p, const core::FitOptions &options) {
  p.options = &options;
  return p;
}

template <typename Rows>
struct Kinkstep {
  const FitInputs &in;
  const core::FitRun &run;
  Parameters p = with_options(in.parameters(), run.options);

  core::FitResult check(const Rows &rows) const {
    return run.checked ? core::FitResult() : check_kinkstep(rows.N, rows.D, in, run.options, run.verbose, run.out);
  }
  void banner(const core::RunContext<Rows> &ctx) const {
    ctx.out.printf("N=%d, D=%d, method=%d, maxIter=%d\n", ctx.rows.N, ctx.rows.D, in.method.value, p.maxIter);
  }
  void begin(core::RunContext<Rows> &) const { core::seed_thread_rand(run.seed); }
  const char *name() const { return "kinkstep"; }
  const char *unit() const { return in.method.value == 0 ? "steps" : "iterations"; }
  uint64_t total() const { return p.maxIter > 0 ? static_cast<uint64_t>(p.maxIter) : 0; }
  core::FitResult solve(core::RunContext<Rows> &ctx) const {
    return in.method.value == 0 ? sequential_subgradient_descent(ctx, p) : parallel_averaged_descent(ctx, p);
  }
  bool final_objective(const core::RunContext<Rows> &ctx, const core::FitResult &r) const {
    return core::report_final_objective(ctx, r.w.data(), p.lambda, iterations(),
                                        p.options->intercept ? &r.bias : nullptr);
  }
  int32_t iterations() const { return p.maxIter > 0 ? p.maxIter : 0; }
};

}  // namespace

template <typename Rows>
core::FitResult fit_kinkstep(const Rows &rows, const FitInputs &in, const core::FitRun &run) {
  Kinkstep<Rows> method{in, run};
  return core::run_fit(rows, method, run);
}

template core::FitResult fit_kinkstep(const core::RegressionData &, const FitInputs &, const core::FitRun &);
template core::FitResult fit_kinkstep(const core::SparseRows &, const FitInputs &, const core::FitRun &);

}  // namespace kinkstep
