// w = splitavg(X, y, stepSize, lambda, verbose)
#include "frame/gateway.hpp"
#include "splitavg/fit.hpp"
#include "splitavg/shuffle.hpp"

namespace {

const char *const kInputs[] = {"X", "y", "stepSize", "lambda", "verbose"};

struct Splitavg {
  static constexpr frame::Signature signature{"splitavg", kInputs, 5,
                                              frame::kSeedOption | frame::kThreadsOption | frame::kProgressOption |
                                                  frame::kW0Option | frame::kInterceptOption | frame::kL1Option |
                                                  frame::kAverageOption | frame::kPassesOption};
  using Inputs = splitavg::Parameters;
  static Inputs read(frame::CallInputs &in) { return Inputs{in.real("stepSize"), in.real("lambda")}; }
  static core::FitResult check(const frame::ProblemShape &s, const Inputs &p, const core::FitOptions &o, bool,
                               const core::Printer &) {
    core::FitResult r;
    core::check_options(r, o, s.D, p.stepSize, p.lambda, 0);
    return r;
  }
  // Held to the processors free of other work, as the pass's shares are whatever opts.threads says.
  static frame::Conversion conversion(const Inputs &) { return frame::Conversion::kFreeProcessors; }
  // Full rows are written by the pass's team straight into the shuffled order.
  static constexpr frame::RunRecord::OrderDraw draw = splitavg::draw_shuffle_order;
  template <typename Rows>
  static core::FitResult fit(Rows &rows, const Inputs &p, const core::FitRun &run) {
    return splitavg::fit_splitavg(rows, p, run);
  }
};

}  // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  frame::gateway<Splitavg>(nlhs, plhs, nrhs, prhs);
}
