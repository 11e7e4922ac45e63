// w = splitavg(X, y, stepSize, lambda, verbose)
#include "frame/frame.hpp"
#include "splitavg/fit.hpp"

namespace {

const char *const kInputs[] = {"X", "y", "stepSize", "lambda", "verbose"};
const frame::Signature kSignature{"splitavg", kInputs, 5,
                                  frame::kSeedOption | frame::kThreadsOption | frame::kProgressOption};

void run(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[], frame::CallError &err) {
  frame::CallInputs in(kSignature, nlhs, nrhs, prhs, err);
  splitavg::Parameters p;
  p.stepSize = in.real("stepSize");
  p.lambda = in.real("lambda");
  const bool verbose = in.verbose("verbose");
  if (!in.ok()) return;
  frame::HostOutput host;
  frame::guard_memory(in.shape(), err, [&] {
    frame::RunRecord record(in, host, verbose);
    // Full rows are written by the pass's team straight into the shuffled order.
    frame::ProblemData data = record.build_data(true, splitavg::draw_shuffle_order);
    record.finish(plhs,
                  data.is_sparse        ? splitavg::fit_splitavg(data.sparse, p, record.run())
                  : data.in_drawn_order ? splitavg::fit_splitavg(splitavg::ShuffledRows{data.dense}, p, record.run())
                                        : splitavg::fit_splitavg(data.dense, p, record.run()),
                  err);
  });
}

}  // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  frame::CallError err(kSignature.module);
  run(nlhs, plhs, nrhs, prhs, err);
  err.raise_if_set();
}
