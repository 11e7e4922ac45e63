// w = driftwalk(X, y, stepScale, stepOffset, stepPower, lambda, batchSize, maxIter, verbose)
#include "driftwalk/fit.hpp"
#include "frame/frame.hpp"

namespace {

const char *const kInputs[] = {"X",      "y",         "stepScale", "stepOffset", "stepPower",
                               "lambda", "batchSize", "maxIter",   "verbose"};
const frame::Signature kSignature{"driftwalk", kInputs, 9,
                                  frame::kSeedOption | frame::kThreadsOption | frame::kProgressOption};

void run(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[], frame::CallError &err) {
  frame::CallInputs in(kSignature, nlhs, nrhs, prhs, err);
  driftwalk::FitInputs p;
  p.stepScale = in.real("stepScale");
  p.stepOffset = in.real("stepOffset");
  p.stepPower = in.real("stepPower");
  p.lambda = in.real("lambda");
  p.batchSize = in.integer("batchSize");
  p.maxIter = in.integer("maxIter");
  const bool verbose = in.verbose("verbose");
  if (!in.ok() || frame::refused(driftwalk::check_driftwalk(in.shape().N, p), err)) return;
  frame::HostOutput host;
  frame::guard_memory(in.shape(), err, [&] {
    frame::RunRecord record(in, host, verbose);
    const frame::ProblemData data = record.build_data(true);
    record.finish(plhs,
                  data.is_sparse ? driftwalk::fit_driftwalk(data.sparse, p, record.run())
                                 : driftwalk::fit_driftwalk(data.dense, p, record.run()),
                  err);
  });
}

}  // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  frame::CallError err(kSignature.module);
  run(nlhs, plhs, nrhs, prhs, err);
  err.raise_if_set();
}
