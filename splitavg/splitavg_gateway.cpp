// w = splitavg(X, y, stepSize, lambda, verbose)
#include <optional>

#include "core/mex_frame.hpp"
#include "core/parameters.hpp"
#include "splitavg/run.hpp"

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
    frame::ProblemData data = frame::build_data(prhs[0], prhs[1], shape, stop);
    if (frame::interrupted(stop, err)) return;
    frame::RunRecord record(nlhs, options);
    core::RunContext ctx = data.context(verbose, out);
    record.prepare(ctx, stop);
    // The line counts the samples of the pass, from the end of the shuffle on.
    std::optional<core::Progress> line;
    splitavg::LocalSamples local(shape.N, [&] {
      frame::start_progress(line, ctx, options, "splitavg", "samples", static_cast<uint64_t>(shape.N));
    });
    const splitavg::SolveResult r = data.is_sparse
                                        ? splitavg::run_split_average(data.sparse, ctx, p, record.seed(), local)
                                        : splitavg::run_split_average(data.dense, ctx, p, record.seed(), local);
    // A stop before the average ends the call at once; one in the final objective comes after the
    // checks of the finished pass below, and their warnings are given with it.
    if (!r.averaged && record.interrupted(ctx, err)) return;
    if (!frame::team_started(r.team_problem, options, r.threads, err)) return;
    if (!r.ok()) {
      err.set("threadTeam",
              "the pass needs a team of %d threads, as many as the first team had, but the OpenMP runtime "
              "gave it %d; check OMP_DYNAMIC and OMP_THREAD_LIMIT.",
              r.threads, r.pass_threads);
      return;
    }
    if (line && !ctx.stop.stopped()) line->finish();
    if (r.empty_shares > 0 && shape.N > 0)
      err.warn("emptyShares",
               "%d of the %d shares were empty (more threads than the N = %d samples); their models are averaged "
               "in as zero weights, which shrinks the result by that fraction.",
               r.empty_shares, r.threads, shape.N);
    if (record.interrupted(ctx, err)) return;
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
