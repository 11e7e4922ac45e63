#include "splitavg/fit.hpp"

#include <omp.h>

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/kernels/primitives.hpp"
#include "core/threads/team.hpp"
#include "core/random/thread_rand.hpp"
#include "splitavg/elapsed.hpp"
#include "splitavg/shuffle.hpp"

namespace splitavg {

void SampleLayout::shuffle(core::SparseRows &, const core::StopCheck &) {
  throw std::logic_error("this sample layout holds dense rows only");
}

double SampleLayout::objective(const core::SparseRows &, const double *, double, const core::StopCheck &) {
  throw std::logic_error("this sample layout holds dense rows only");
}

void LocalSamples::shuffle(core::RegressionData &data, const core::StopCheck &stop) {
  if (!in_order_) shuffle_samples(data, 0, n_ - 1, &stop);
}

void LocalSamples::shuffle(core::SparseRows &data, const core::StopCheck &stop) {
  if (!in_order_) shuffle_samples(data, 0, n_ - 1, &stop);
}

double LocalSamples::objective(const core::RegressionData &data, const double *w, double lambda,
                               const core::StopCheck &stop) {
  return core::objective_value(data, w, lambda, &stop);
}

double LocalSamples::objective(const core::SparseRows &data, const double *w, double lambda,
                               const core::StopCheck &stop) {
  return core::objective_value(data, w, lambda, &stop);
}

namespace {

// The objective over the run's samples, whichever layout holds them.
double objective_of(SampleLayout &layout, const core::RunContext &run, const double *w, double lambda) {
  return run.sparse ? layout.objective(*run.sparse, w, lambda, run.stop)
                    : layout.objective(run.data, w, lambda, run.stop);
}

}  // namespace

void LocalSamples::average(const ShareModels &models, int32_t, int32_t T, int32_t D, double *w) {
  average_models([&models](int32_t t) { return models.model(t); }, T, D, w);
}

SolveResult solve_shares(const core::RunContext &run, const Parameters &p, SampleLayout &layout) {
  SolveResult r;
  // Dynamic adjustment is off from the sizing team on, so that the load cannot shrink it.
  const core::FixedTeamSize fixed_team_size;
  const core::TeamSize size = core::sizing_team(run.threads);
  r.asked_threads = size.asked;
  r.threads = layout.team_total(size.ok() ? size.threads : 0, size.problem);
  if (!size.ok()) {
    r.team_problem = size.problem;
    return r;
  }
  // Printed by the calling thread, which is thread 0 of the sizing team, once that team has ended:
  // the host is never entered from inside a region.
  if (run.verbose) {
    run.out.printf("Number of threads = %d\n", r.threads);
    layout.describe(run.out);
  }
  std::exception_ptr failure;
  try {
    r.w.assign(static_cast<size_t>(run.data.D), 0.0);
  } catch (...) {
    failure = std::current_exception();
  }
  layout.settle(failure);
  const int32_t N = layout.total_samples();
  for (int32_t t = 0; t < r.threads; ++t) r.empty_shares += chunk_bounds(N, r.threads, t).empty();
  if (run.wants_objective()) {
    const double f = objective_of(layout, run, r.w.data(), p.lambda);
    if (run.stop.stopped()) return r;
    run.record_objective(f);
    if (run.verbose) run.out.printf("Initial object function = %f\n", f);
  }
  std::unique_ptr<ShareModels> models;
  try {
    models = std::make_unique<ShareModels>(size.threads, run.data.D);
  } catch (...) {
    failure = std::current_exception();
  }
  layout.settle(failure);
  std::atomic<bool> stop{false};
  const int32_t team_size = pass_shares(run, p, layout.shares(size.threads, r.threads), *models, stop);
  r.pass_threads = layout.team_total(team_size, std::string());
  if (r.pass_threads != r.threads || stop.load()) return r;
  layout.average(*models, size.threads, r.threads, run.data.D, r.w.data());
  r.averaged = true;
  return r;
}

SolveResult split_average_solve(const core::RunContext &run, const Parameters &p) {
  LocalSamples local(run.data.N);
  return solve_shares(run, p, local);
}

namespace {

// The run up to its final objective line on either layout. The progress line, when the caller
// asks for one, starts into `line` once the shuffle is done, so that it counts the pass alone.
template <typename Data>
SolveResult split_average_run(Data &data, core::RunContext &run, const Parameters &p, std::optional<uint32_t> seed,
                              SampleLayout &layout, const core::ProgressSetup &progress,
                              std::optional<core::Progress> &line) {
  if (run.verbose) run.out.printf("N=%d, D=%d, lambda%f\n", layout.total_samples(), data.D, p.lambda);
  // The clock starts whether or not the time will be printed.
  const double start = whole_seconds(omp_get_wtime());
  if (seed) core::seed_thread_rand(*seed);  // else the order was drawn before the rows were built
  layout.shuffle(data, run.stop);
  if (run.stop.stopped()) return SolveResult{};
  core::start_progress(line, run, progress, "splitavg", "samples", static_cast<uint64_t>(layout.total_samples()));
  SolveResult r = solve_shares(run, p, layout);
  if (run.stop.stopped() || !r.ok()) return r;
  if (run.wants_objective()) {
    // The objective is evaluated before the clock is read again, so it counts into the time.
    const double f = layout.objective(data, r.w.data(), p.lambda, run.stop);
    if (run.stop.stopped()) return r;  // unfinished: neither printed nor recorded
    run.record_objective(f);
    if (run.verbose) {
      const unsigned long elapsed = elapsed_seconds(start, omp_get_wtime());
      run.out.printf("Final object function = %f, time= %lu\n", f, elapsed);
    }
  }
  return r;
}

template <typename Data>
core::FitResult fit_on(Data &data, const Parameters &p, const core::FitRun &run, core::RunContext &ctx,
                       SampleLayout &layout, std::optional<core::Progress> &line, bool order_drawn = false) {
  core::FitResult f;
  if (ctx.stop.stopped()) return f.stopped();  // during the conversion of the data
  SolveResult r = split_average_run(data, ctx, p, order_drawn ? std::nullopt : std::optional<uint32_t>(run.seed),
                                    layout, run.progress, line);
  // A stop before the average ends the run at once; one in the final objective comes after the
  // checks of the finished pass below, and their warnings are given with it.
  if (!r.averaged && ctx.stop.stopped()) return f.stopped();
  if (!core::team_started(f, r.team_problem.c_str(), run.threads, r.threads)) return f;
  if (!r.ok())
    return f.fail(core::FitStatus::TeamFailed, "threadTeam",
                  "the pass needs a team of %d threads, as many as the first team had, but the OpenMP runtime "
                  "gave it %d; check OMP_DYNAMIC and OMP_THREAD_LIMIT.",
                  r.threads, r.pass_threads);
  if (line && !ctx.stop.stopped()) line->finish();
  const int32_t N = layout.total_samples();
  if (r.empty_shares > 0 && N > 0)
    f.warn("emptyShares",
           "%d of the %d shares were empty (more threads than the N = %d samples); their models are averaged "
           "in as zero weights, which shrinks the result by that fraction.",
           r.empty_shares, r.threads, N);
  if (ctx.stop.stopped()) return f.stopped();
  f.w = std::move(r.w);
  f.threads = r.threads;
  f.iterations = 1;
  core::warn_if_diverged(f);
  return f;
}

}  // namespace

namespace {

// Every sample in this process (the module's run): the progress line, when asked for, counts the
// samples of the pass, from the end of the shuffle on. `in_order`: the rows already stand in the
// drawn order (no seeding, no shuffle here).
template <typename Data>
core::FitResult fit_local(Data &data, int32_t N, const Parameters &p, const core::FitRun &run, core::RunContext &ctx,
                          bool in_order) {
  std::optional<core::Progress> line;
  LocalSamples local(N, in_order);
  return fit_on(data, p, run, ctx, local, line, in_order);
}

}  // namespace

core::FitResult fit_splitavg(core::RegressionData &data, const Parameters &p, const core::FitRun &run) {
  core::RunContext ctx = run.context(data);
  return fit_local(data, data.N, p, run, ctx, false);
}

std::vector<int32_t> draw_shuffle_order(int32_t N, uint32_t seed, const core::StopCheck &stop) {
  core::seed_thread_rand(seed);
  std::vector<int32_t> order(static_cast<size_t>(N > 0 ? N : 0));
  core::random_permutation(core::this_thread_rand(), N, order.data(), &stop);
  return order;
}

core::FitResult fit_splitavg(ShuffledRows rows, const Parameters &p, const core::FitRun &run) {
  core::RunContext ctx = run.context(rows.data);
  return fit_local(rows.data, rows.data.N, p, run, ctx, true);
}

core::FitResult fit_splitavg(core::RegressionData &data, const Parameters &p, const core::FitRun &run,
                             SampleLayout &layout) {
  core::RunContext ctx = run.context(data);
  std::optional<core::Progress> line;
  return fit_on(data, p, run, ctx, layout, line, true);
}

core::FitResult fit_splitavg(core::SparseRows &rows, const Parameters &p, const core::FitRun &run,
                             SampleLayout &layout) {
  core::RegressionData shape;
  shape.N = rows.N;
  shape.D = rows.D;
  core::RunContext ctx = run.context(shape, rows);
  std::optional<core::Progress> line;
  return fit_on(rows, p, run, ctx, layout, line, true);
}

core::FitResult fit_splitavg(core::SparseRows &rows, const Parameters &p, const core::FitRun &run) {
  core::RegressionData shape;
  shape.N = rows.N;
  shape.D = rows.D;
  core::RunContext ctx = run.context(shape, rows);
  return fit_local(rows, rows.N, p, run, ctx, false);
}

}  // namespace splitavg
