// w = driftwalk(X, y, stepScale, stepOffset, stepPower, lambda, batchSize, maxIter, verbose)
#include "driftwalk/fit.hpp"
#include "frame/gateway.hpp"

namespace {

const char *const kInputs[] = {"X",      "y",         "stepScale", "stepOffset", "stepPower",
                               "lambda", "batchSize", "maxIter",   "verbose"};

struct Driftwalk {
  static constexpr frame::Signature signature{
      "driftwalk", kInputs, 9,
      frame::kSeedOption | frame::kThreadsOption | frame::kProgressOption | frame::kHistoryOption | frame::kW0Option};
  using Inputs = driftwalk::FitInputs;
  static Inputs read(frame::CallInputs &in) {
    return Inputs{in.real("stepScale"), in.real("stepOffset"),   in.real("stepPower"),
                  in.real("lambda"),    in.integer("batchSize"), in.integer("maxIter")};
  }
  static core::FitResult check(const frame::ProblemShape &s, const Inputs &p, const core::FitOptions &o, bool,
                               const core::Printer &) {
    return driftwalk::check_driftwalk(s.N, s.D, p, o);
  }
  static frame::Conversion conversion(const Inputs &) { return frame::Conversion::kCallsTeam; }
  static constexpr frame::RunRecord::OrderDraw draw = nullptr;
  template <typename Rows>
  static core::FitResult fit(Rows &rows, const Inputs &p, const core::FitRun &run) {
    return driftwalk::fit_driftwalk(rows, p, run);
  }
};

}  // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  frame::gateway<Driftwalk>(nlhs, plhs, nrhs, prhs);
}
