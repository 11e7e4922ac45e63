// w = splitavg(X, y, stepSize, lambda, verbose)
#include <omp.h>

#include <optional>

#include "core/mex_frame.hpp"
#include "core/parameters.hpp"
#include "core/primitives.hpp"
#include "core/thread_rand.hpp"
#include "splitavg/elapsed.hpp"
#include "splitavg/shuffle.hpp"
#include "splitavg/split_average.hpp"

namespace {

const char *const kInputs[] = {"X", "y", "stepSize", "lambda", "verbose"};
const frame::Signature kSignature{"splitavg", kInputs, 5, frame::kSeedOption | frame::kThreadsOption | frame::kProgressOption};

void run(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[], frame::CallError &err) {
  frame::ProblemShape shape;
  double value[5];
  frame::CallOptions options;
  if (!frame::read_call(kSignature, nlhs, nrhs, prhs, shape, value, options, err)) return;
  if (!frame::check_finite(kSignature, value, {2, 3}, err)) return;

  splitavg::Parameters p;
  p.stepSize = value[2];
  p.lambda = value[3];
  const bool verbose = core::is_verbose(frame::read_int32(kSignature, value, 4, err));
  frame::HostOutput host;
  const core::Printer out = host.printer();

  frame::guard_memory(shape, err, [&] {
    const core::StopCheck stop = frame::host_stop_check();
    core::RegressionData data = frame::build_data(prhs[0], prhs[1], shape, stop);
    if (frame::interrupted(stop, err)) return;
    if (verbose) out.printf("N=%d, D=%d, lambda%f\n", shape.N, shape.D, p.lambda);
    // The clock starts whether or not the time will be printed.
    const double start = splitavg::whole_seconds(omp_get_wtime());
    frame::RunRecord record(nlhs, options);
    core::seed_thread_rand(record.seed());
    core::RunContext ctx{data, verbose, out};
    record.prepare(ctx, stop);
    if (!ctx.stop.stopped()) splitavg::shuffle_samples(data, 0, shape.N - 1, &ctx.stop);
    // The line counts the samples of the pass, from the end of the shuffle on.
    std::optional<core::Progress> line;
    if (!ctx.stop.stopped()) frame::start_progress(line, ctx, options, "splitavg", "samples", static_cast<uint64_t>(shape.N));
    const splitavg::SolveResult r =
        ctx.stop.stopped() ? splitavg::SolveResult{} : splitavg::split_average_solve(ctx, p);
    if (record.interrupted(ctx, err)) return;
    if (!frame::team_started(r.team_problem, options, r.threads, err)) return;
    if (!r.ok()) {
      err.set("threadTeam",
              "the pass needs a team of %d threads, as many as the first team had, but the OpenMP runtime "
              "gave it %d; check OMP_DYNAMIC and OMP_THREAD_LIMIT.",
              r.threads, r.pass_threads);
      return;
    }
    if (line) line->finish();
    if (r.empty_shares > 0 && shape.N > 0)
      err.warn("emptyShares",
               "%d of the %d shares were empty (more threads than the N = %d samples); their models are averaged "
               "in as zero weights, which shrinks the result by that fraction.",
               r.empty_shares, r.threads, shape.N);
    if (ctx.wants_objective()) {
      // The objective is evaluated before the clock is read again, so it counts into the time.
      const double f = ctx.objective(r.w.data(), p.lambda);
      if (record.interrupted(ctx, err)) return;
      ctx.record_objective(f);
      if (verbose) {
        const unsigned long elapsed = splitavg::elapsed_seconds(start, omp_get_wtime());
        out.printf("Final object function = %f, time= %lu\n", f, elapsed);
      }
    }
    frame::warn_if_diverged(r.w, err);
    record.store(plhs, r.w, r.threads, 1, err);
  });
}

}  // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  frame::CallError err(kSignature.module);
  run(nlhs, plhs, nrhs, prhs, err);
  err.raise_if_set();
}
