// w = kinkstep(X, y, stepSize, lambda, maxIter, method, verbose)
#include "core/threads/busy.hpp"
#include "frame/gateway.hpp"
#include "kinkstep/fit.hpp"

namespace {

const char *const kInputs[] = {"X", "y", "stepSize", "lambda", "maxIter", "method", "verbose"};

struct Kinkstep {
  static constexpr frame::Signature signature{"kinkstep", kInputs, 7,
                                              frame::kSeedOption | frame::kThreadsOption | frame::kProgressOption |
                                                  frame::kHistoryOption | frame::kW0Option | frame::kInterceptOption |
                                                  frame::kL1Option | frame::kAverageOption};
  using Inputs = kinkstep::FitInputs;
  static Inputs read(frame::CallInputs &in) {
    return Inputs{in.real("stepSize"), in.real("lambda"), in.integer("maxIter"),
                  in.integer("method", "is no method (0 or 1)")};
  }
  static core::FitResult check(const frame::ProblemShape &s, const Inputs &p, const core::FitOptions &o, bool verbose,
                               const core::Printer &out) {
    return kinkstep::check_kinkstep(s.N, s.D, p, o, verbose, out);
  }
  // Method 1's team converts X, held to the processors free of other work as its candidates are
  // whatever opts.threads says (a thread beside a busy job would hold the conversion back, then
  // spin beside the solver). Method 0 steps on the calling thread alone, so its rows are converted
  // there too where the memory lies on several nodes (a team's pages would be partly remote for
  // it); on one node, its team converts them.
  static frame::Conversion conversion(const Inputs &p) {
    if (p.method.value == 1) return frame::Conversion::kFreeProcessors;
    return core::memory_on_one_node() ? frame::Conversion::kCallsTeam : frame::Conversion::kCallingThread;
  }
  static constexpr frame::RunRecord::OrderDraw draw = nullptr;
  template <typename Rows>
  static core::FitResult fit(Rows &rows, const Inputs &p, const core::FitRun &run) {
    return kinkstep::fit_kinkstep(rows, p, run);
  }
};

}  // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  frame::gateway<Kinkstep>(nlhs, plhs, nrhs, prhs);
}
