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
  const Parameters &p;
  const core::FitRun &run;
  SampleSource<Rows> &source;
  double start = 0.0;  // the clock at the start, in whole seconds

  core::FitResult check(const Rows &) const { return core::FitResult(); }
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
  uint64_t total() const { return static_cast<uint64_t>(source.total_samples()); }
  core::FitResult solve(core::RunContext<Rows> &ctx) { return split_average_solve(ctx, p, source); }
  // Over all samples in their shuffled order, and recorded; the clock is read after it, so the
  // objective's evaluation counts into the time.
  bool final_objective(const core::RunContext<Rows> &ctx, const core::FitResult &r) {
    return ctx.report_objective([&] { return source.objective(rows, r.w.data(), p.lambda, ctx.stop); },
                                [&](double f) {
                                  const unsigned long elapsed = elapsed_seconds(start, omp_get_wtime());
                                  ctx.out.printf("Final object function = %f, time= %lu\n", f, elapsed);
                                });
  }
  int32_t iterations() const { return 1; }
};

}  // namespace

template <typename Rows>
core::FitResult fit_splitavg(Rows &rows, const Parameters &p, const core::FitRun &run, SampleSource<Rows> &source) {
  Splitavg<Rows> method{rows, p, run, source};
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
