#include "splitavg/fit.hpp"

#include <omp.h>

#include "core/random/thread_rand.hpp"
#include "splitavg/elapsed.hpp"
#include "splitavg/shuffle.hpp"

namespace splitavg {
namespace {

template <typename Rows>
struct Splitavg {
  Rows &rows;
  const Parameters p;  // with the run's options
  const core::FitRun &run;
  SampleSource<Rows> &source;
  double start = 0.0;  // the clock at the start, in whole seconds

  core::FitResult check(const Rows &rows) const {
    core::FitResult r;
    if (!run.checked && p.options) core::check_options(r, *p.options, rows.D, p.stepSize, p.lambda, 0);
    return r;
  }
  void banner(const core::RunContext<Rows> &ctx) const {
    ctx.out.printf("N=%d, D=%d, lambda%f\n", source.total_samples(), rows.D, p.lambda);
  }
  void begin(core::RunContext<Rows> &ctx) {
    // The clock starts whether or not the time will be printed.
    start = whole_seconds(omp_get_wtime());
    if (run.in_drawn_order) return;
    core::seed_thread_rand(run.seed);
    shuffle_samples(rows, 0, rows.N - 1, &ctx.stop);
  }
  const char *name() const { return "splitavg"; }
  const char *unit() const { return "samples"; }
  uint64_t total() const { return static_cast<uint64_t>(source.total_samples()) * static_cast<uint64_t>(p.passes()); }
  core::FitResult solve(core::RunContext<Rows> &ctx) { return split_average_solve(ctx, p, source); }
  // Over all samples in their shuffled order, and recorded; the clock is read after it, so the
  // objective's evaluation counts into the time.
  bool final_objective(const core::RunContext<Rows> &ctx, const core::FitResult &r) {
    const double *bias = p.options && p.options->intercept ? &r.bias : nullptr;
    return ctx.report_objective(
        ctx.trace != nullptr, iterations(),
        [&] { return source.objective(rows, r.w.data(), p.lambda, ctx.stop, bias); },
        [&](double f) {
          const unsigned long elapsed = elapsed_seconds(start, omp_get_wtime());
          ctx.out.printf("Final object function = %f, time= %lu\n", f, elapsed);
        });
  }
  int32_t iterations() const { return p.passes(); }
};

}  // namespace

template <typename Rows>
core::FitResult fit_splitavg(Rows &rows, const Parameters &p, const core::FitRun &run, SampleSource<Rows> &source) {
  Parameters with_options = p;
  with_options.options = &run.options;
  Splitavg<Rows> method{rows, with_options, run, source};
  return core::run_fit(rows, method, run);
}

template <typename Rows>
core::FitResult fit_splitavg(Rows &rows, const Parameters &p, const core::FitRun &run) {
  LocalSamples<Rows> local(rows.N);
  return fit_splitavg(rows, p, run, local);
}

template core::FitResult fit_splitavg(core::RegressionData &, const Parameters &, const core::FitRun &,
                                      SampleSource<core::RegressionData> &);
template core::FitResult fit_splitavg(core::SparseRows &, const Parameters &, const core::FitRun &,
                                      SampleSource<core::SparseRows> &);
template core::FitResult fit_splitavg(core::RegressionData &, const Parameters &, const core::FitRun &);
template core::FitResult fit_splitavg(core::SparseRows &, const Parameters &, const core::FitRun &);

}  // namespace splitavg
