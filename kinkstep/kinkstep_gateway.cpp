// w = kinkstep(X, y, stepSize, lambda, maxIter, method, verbose)
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "core/mex_frame.hpp"
#include "core/parameters.hpp"
#include "core/primitives.hpp"
#include "core/thread_rand.hpp"
#include "kinkstep/subgradient.hpp"

namespace {

const char *const kInputs[] = {"X", "y", "stepSize", "lambda", "maxIter", "method", "verbose"};
const frame::Signature kSignature{"kinkstep", kInputs, 7, frame::kSeedOption | frame::kThreadsOption | frame::kProgressOption};

void run(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[], frame::CallError &err) {
  frame::ProblemShape shape;
  double value[7];
  frame::CallOptions options;
  if (!frame::read_call(kSignature, nlhs, nrhs, prhs, shape, value, options, err)) return;
  if (!frame::check_finite(kSignature, value, {2, 3}, err)) return;

  kinkstep::Parameters p;
  p.stepSize = value[2];
  p.lambda = value[3];
  p.maxIter = frame::read_int32(kSignature, value, 4, err);
  const int32_t method = frame::read_int32(kSignature, value, 5, err);
  const bool verbose = core::is_verbose(frame::read_int32(kSignature, value, 6, err));
  frame::HostOutput host;
  const core::Printer out = host.printer();

  if (method != 0 && method != 1) {
    if (verbose) out.printf("N=%d, D=%d, method=%d, maxIter=%d\n", shape.N, shape.D, method, p.maxIter);
    out.printf("Method: 0 for sequential stocSubGD, 1 for parallel stocSubGD\n");
    char given[80];
    core::describe_given_integer(value[5], given, sizeof given);
    err.set("invalidMethod", "input 6 (method) must be 0 (sequential) or 1 (parallel); got %s.", given);
    return;
  }
  if (shape.N == 0 && p.maxIter >= 1) {
    err.set("emptyData", "X has no rows, so no sample can be drawn for the %d iterations asked for.", p.maxIter);
    return;
  }

  frame::guard_memory(shape, err, [&] {
    const core::StopCheck stop = frame::host_stop_check();
    const frame::ProblemData data = frame::build_data(prhs[0], prhs[1], shape, stop);
    core::RunContext ctx = data.context(verbose, out);
    frame::RunRecord record(nlhs, options);
    record.prepare(ctx, stop);
    if (record.interrupted(ctx, err)) return;
    if (verbose) out.printf("N=%d, D=%d, method=%d, maxIter=%d\n", shape.N, shape.D, method, p.maxIter);
    core::seed_thread_rand(record.seed());
    std::optional<core::Progress> line;
    frame::start_progress(line, ctx, options, "kinkstep", method == 0 ? "steps" : "iterations",
                          p.maxIter > 0 ? static_cast<uint64_t>(p.maxIter) : 0);
    core::WeightVector w;
    int32_t threads = 1;
    if (method == 0) {
      w = kinkstep::sequential_subgradient_descent(ctx, p);
    } else {
      // Every draw of method 1 is seeded from the iteration and thread numbers: opts.seed is
      // accepted (one options struct serves both methods) but plays no part, and info.seed says so.
      record.seed_plays_no_part();
      kinkstep::ParallelResult r = kinkstep::parallel_averaged_descent(ctx, p);
      if (!frame::team_started(r.team_problem, options, r.threads, err)) return;
      if (!r.complete && !ctx.stop.stopped()) {
        // Raised by mexFunction once the data and the weights are released.
        err.set("threadTeam",
                "method 1 started with %d threads but the OpenMP runtime gave iteration %d a team of %d; "
                "averaging it would mix in stale candidates, so no result is returned.",
                r.threads, r.failed_iteration, r.failed_team_size);
        return;
      }
      w = std::move(r.w);
      threads = r.threads;
    }
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
