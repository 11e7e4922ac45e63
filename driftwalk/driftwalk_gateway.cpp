// w = driftwalk(X, y, stepScale, stepOffset, stepPower, lambda, batchSize, maxIter, verbose)
#include <optional>

#include "core/mex_frame.hpp"
#include "core/parameters.hpp"
#include "core/primitives.hpp"
#include "core/thread_rand.hpp"
#include "driftwalk/langevin.hpp"

namespace {

const char *const kInputs[] = {"X",      "y",         "stepScale", "stepOffset", "stepPower",
                               "lambda", "batchSize", "maxIter",   "verbose"};
const frame::Signature kSignature{"driftwalk", kInputs, 9,
                                  frame::kSeedOption | frame::kThreadsOption | frame::kProgressOption};

void run(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[], frame::CallError &err) {
  frame::ProblemShape shape;
  double value[9];
  frame::CallOptions options;
  if (!frame::read_call(kSignature, nlhs, nrhs, prhs, shape, value, options, err)) return;
  if (!frame::check_finite(kSignature, value, {2, 3, 4, 5}, err)) return;

  driftwalk::Parameters p;
  p.stepScale = value[2];
  p.stepOffset = value[3];
  p.stepPower = value[4];
  p.lambda = value[5];
  p.batchSize = frame::read_int32(kSignature, value, 6, err);
  p.maxIter = frame::read_int32(kSignature, value, 7, err);
  const bool verbose = core::is_verbose(frame::read_int32(kSignature, value, 8, err));

  // A mini-batch is the first batchSize entries of a permutation of the N samples.
  if (p.maxIter >= 1 && shape.N == 0) {
    err.set("emptyData", "X has no rows, so no mini-batch can be drawn for the %d iterations asked for.", p.maxIter);
    return;
  }
  if (p.maxIter >= 1 && (p.batchSize < 1 || p.batchSize > shape.N)) {
    char given[80];
    core::describe_given_integer(value[6], given, sizeof given);
    err.set("invalidBatchSize", "input 7 (batchSize) must be a whole number from 1 to N = %d; got %s.", shape.N,
            given);
    return;
  }

  frame::HostOutput host;
  const core::Printer out = host.printer();
  frame::guard_memory(shape, err, [&] {
    const core::StopCheck stop = frame::host_stop_check();
    const frame::ProblemData data = frame::build_data(prhs[0], prhs[1], shape, stop);
    core::RunContext ctx = data.context(verbose, out);
    frame::RunRecord record(nlhs, options);
    record.prepare(ctx, stop);
    if (record.interrupted(ctx, err)) return;
    if (verbose) out.printf("N=%d, D=%d, maxIter=%d\n", shape.N, shape.D, p.maxIter);
    core::seed_thread_rand(record.seed());
    std::optional<core::Progress> line;
    frame::start_progress(line, ctx, options, "driftwalk", "iterations",
                          p.maxIter > 0 ? static_cast<uint64_t>(p.maxIter) : 0);
    int32_t threads = 1;
    core::TeamSize team;
    const core::WeightVector w = driftwalk::langevin_solve(ctx, p, &threads, &team);
    if (team.asked > 0 && !frame::team_started(team.problem, options, team.threads, err)) return;
    if (record.interrupted(ctx, err)) return;
    if (line) line->finish();
    const double final_f = verbose ? ctx.objective(w.data(), p.lambda) : 0.0;
    if (record.interrupted(ctx, err)) return;
    if (verbose) out.printf("Final object function = %f\n", final_f);
    frame::warn_if_diverged(w, err);
    record.store(plhs, w, threads, p.maxIter > 0 ? p.maxIter : 0, err);
  });
}

}  // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  frame::CallError err(kSignature.module);
  run(nlhs, plhs, nrhs, prhs, err);
  err.raise_if_set();
}
