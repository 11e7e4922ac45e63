// w = kinkstep(X, y, stepSize, lambda, maxIter, method, verbose)
#include <new>
#include <stdexcept>
#include <utility>

#include "core/mex_frame.hpp"
#include "core/parameters.hpp"
#include "core/primitives.hpp"
#include "core/thread_rand.hpp"
#include "kinkstep/subgradient.hpp"

namespace {

const char *const kInputs[] = {"X", "y", "stepSize", "lambda", "maxIter", "method", "verbose"};
const frame::Signature kSignature{"kinkstep", kInputs, 7, frame::kSeedOption | frame::kThreadsOption};

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
    err.set("invalidMethod", "input 6 (method) must be 0 (sequential) or 1 (parallel); got %d.", method);
    return;
  }
  if (shape.N == 0 && p.maxIter >= 1) {
    err.set("emptyData", "X has no rows, so no sample can be drawn for the %d iterations asked for.", p.maxIter);
    return;
  }

  frame::guard_memory(shape, err, [&] {
    const core::RegressionData data = frame::build_data(prhs[0], prhs[1], shape);
    core::RunContext ctx{data, verbose, out};
    frame::RunRecord record(nlhs, options);
    record.prepare(ctx);
    if (verbose) out.printf("N=%d, D=%d, method=%d, maxIter=%d\n", shape.N, shape.D, method, p.maxIter);
    core::seed_thread_rand(record.seed());
    core::WeightVector w;
    int32_t threads = 1;
    if (method == 0) {
      w = kinkstep::sequential_subgradient_descent(ctx, p);
    } else {
      kinkstep::ParallelResult r = kinkstep::parallel_averaged_descent(ctx, p);
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
    if (verbose) out.printf("Final object function = %f\n", core::objective_value(data, w.data(), p.lambda));
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
