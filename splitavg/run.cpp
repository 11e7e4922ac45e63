#include "splitavg/run.hpp"

#include <omp.h>

#include <atomic>
#include <memory>

#include "core/primitives.hpp"
#include "core/team.hpp"
#include "core/thread_rand.hpp"
#include "splitavg/elapsed.hpp"
#include "splitavg/shuffle.hpp"

namespace splitavg {

void LocalSamples::shuffle(core::RegressionData &data) {
  shuffle_samples(data, 0, n_ - 1);
}

double LocalSamples::objective(const core::RegressionData &data, const double *w, double lambda) {
  return core::objective_value(data, w, lambda);
}

void LocalSamples::average(const ShareModels &models, int32_t, int32_t T, int32_t D, double *w) {
  average_models([&models](int32_t t) { return models.model(t); }, T, D, w);
}

SolveResult solve_shares(const core::RunContext &run, const Parameters &p, SampleLayout &layout) {
  SolveResult r;
  const int32_t here = core::sizing_team(run.threads);
  r.threads = layout.team_total(here);
  // Printed by the calling thread, which is thread 0 of the sizing team, once that team has ended:
  // the host is never entered from inside a region.
  if (run.verbose) {
    run.out.printf("Number of threads = %d\n", r.threads);
    layout.describe(run.out);
  }
  const core::FixedTeamSize fixed_team_size;
  std::unique_ptr<ShareModels> models;
  std::exception_ptr failure;
  try {
    r.w.assign(static_cast<size_t>(run.data.D), 0.0);
    models = std::make_unique<ShareModels>(here, run.data.D);
  } catch (...) {
    failure = std::current_exception();
  }
  layout.settle(failure);
  if (run.wants_objective()) {
    const double f = layout.objective(run.data, r.w.data(), p.lambda);
    run.record_objective(f);
    if (run.verbose) run.out.printf("Initial object function = %f\n", f);
  }
  std::atomic<bool> stop{false};
  const int32_t team_size = pass_shares(run, p, layout.shares(here, r.threads), *models, stop);
  r.pass_threads = layout.team_total(team_size);
  if (r.pass_threads != r.threads || stop.load()) return r;
  layout.average(*models, here, r.threads, run.data.D, r.w.data());
  return r;
}

SolveResult split_average_solve(const core::RunContext &run, const Parameters &p) {
  LocalSamples local(run.data.N);
  return solve_shares(run, p, local);
}

SolveResult run_split_average(core::RegressionData &data, const core::RunContext &run, const Parameters &p,
                              uint32_t seed, SampleLayout &layout) {
  if (run.verbose) run.out.printf("N=%d, D=%d, lambda%f\n", layout.total_samples(), data.D, p.lambda);
  // The clock starts whether or not the time will be printed.
  const double start = whole_seconds(omp_get_wtime());
  core::seed_thread_rand(seed);
  layout.shuffle(data);
  const SolveResult r = solve_shares(run, p, layout);
  if (run.stop.stopped() || !r.ok()) return r;
  if (run.wants_objective()) {
    // The objective is evaluated before the clock is read again, so it counts into the time.
    const double f = layout.objective(data, r.w.data(), p.lambda);
    run.record_objective(f);
    if (run.verbose) {
      const unsigned long elapsed = elapsed_seconds(start, omp_get_wtime());
      run.out.printf("Final object function = %f, time= %lu\n", f, elapsed);
    }
  }
  return r;
}

}  // namespace splitavg
