// One solver call from its data on: the host's stop check, the data, the run handed to the
// module's fit_* entry, and the entry's result turned into the call's outputs, errors and warnings.
#pragma once

#include <cstdint>
#include <vector>

#include "core/data/regression_data.hpp"
#include "core/run/fit.hpp"
#include "core/run/stop_check.hpp"
#include "frame/call_error.hpp"
#include "frame/data_input.hpp"
#include "frame/host_output.hpp"
#include "frame/scalar_inputs.hpp"
#include "mex.h"

namespace frame {

// The second output: a 1 x 1 struct with the fields seed (the seed the call used, to replay it
// through opts.seed; [] when no seed played a part, kinkstep method 1), threads (the team size, 1
// for the sequential methods), iterations (splitavg: its passes), time (the run's wall seconds),
// objective (the initial objective, one every opts.history iterations, the final one) and
// history_iterations (the iterations done at each); with opts.intercept the intercept, and when
// the iterates were averaged average_from and averaged (per share for splitavg). Null if the host
// could not create it.
mxArray *make_info(const core::FitResult &r, uint32_t seed, double seconds, const core::ObjectiveTrace &trace,
                   bool intercept);

// A check made before the data are read refused the call: sets its error. False when it did not.
bool refused(const core::FitResult &check, CallError &err);

// Who converts a call's X.
enum class Conversion {
  kCallingThread,   // the calling thread alone
  kCallsTeam,       // the call's team: opts.threads, else the OpenMP default
  kFreeProcessors,  // the same, an opts.threads size too held to the processors free of other work
};

class RunRecord {
 public:
  RunRecord(const CallInputs &in, HostOutput &host, bool verbose);
  // The order of the samples a run draws from its seed (position k holds sample order[k]),
  // asking `stop` as it draws; unfinished once it says stop.
  using OrderDraw = std::vector<int32_t> (*)(int32_t N, uint32_t seed, const core::StopCheck &stop);

  // The data, converted as `by` says while the host's stop check is asked; the run's clock starts
  // after them. With `draw`, the seed is taken first and full rows are written straight into the
  // order it draws (the run's in_drawn_order); otherwise the seed is taken after the data.
  ProblemData build_data(Conversion by = Conversion::kCallingThread, OrderDraw draw = nullptr);
  // The run for the fit_* entry: verbosity, the host's printer and stop check, opts.threads, the
  // seed (opts.seed, else a distinct one per call), the objective history (only when the second
  // output is asked for), the progress line (opts.progress) and the options beyond the defined run. The gateway has
  // made the entry's check.
  const core::FitRun &run() const { return run_; }
  // The entry's warnings, then: its error, the interrupted error, or w in plhs[0] and, when asked
  // for, the run's info in plhs[1].
  void finish(mxArray *plhs[], const core::FitResult &r, CallError &err);

 private:
  const CallInputs &in_;
  void take_seed();

  core::FitRun run_;
  core::ObjectiveTrace trace_;  // the run's reported objectives, when the info output is asked for
  double start_ = 0.0;
};

}  // namespace frame
