// w = kinkstep(X, y, stepSize, lambda, maxIter, method, verbose)
#include "frame/frame.hpp"
#include "kinkstep/fit.hpp"

namespace {

const char *const kInputs[] = {"X", "y", "stepSize", "lambda", "maxIter", "method", "verbose"};
const frame::Signature kSignature{"kinkstep", kInputs, 7,
                                  frame::kSeedOption | frame::kThreadsOption | frame::kProgressOption};

void run(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[], frame::CallError &err) {
  frame::CallInputs in(kSignature, nlhs, nrhs, prhs, err);
  kinkstep::FitInputs p;
  p.stepSize = in.real("stepSize");
  p.lambda = in.real("lambda");
  p.maxIter = in.integer("maxIter");
  p.method = in.integer("method");
  const bool verbose = in.verbose("verbose");
  if (!in.ok()) return;
  frame::HostOutput host;
  if (frame::refused(kinkstep::check_kinkstep(in.shape().N, in.shape().D, p, verbose, host.printer()), err)) return;
  frame::guard_memory(in.shape(), err, [&] {
    frame::RunRecord record(in, host, verbose);
    const frame::ProblemData data = record.build_data(p.method.value == 1);  // method 1's team converts X
    record.finish(plhs,
                  data.is_sparse ? kinkstep::fit_kinkstep(data.sparse, p, record.run())
                                 : kinkstep::fit_kinkstep(data.dense, p, record.run()),
                  err);
  });
}

}  // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  frame::CallError err(kSignature.module);
  run(nlhs, plhs, nrhs, prhs, err);
  err.raise_if_set();
}
