// The one skeleton of the solver modules' gateways. A module describes itself in a struct:
//   static const Signature signature;            its name, inputs and options
//   struct Inputs; static Inputs read(CallInputs &in);
//                                                the named reads of its scalar inputs
//   static core::FitResult check(const ProblemShape &, const Inputs &, const core::FitOptions &, bool verbose,
//                                const core::Printer &);
//                                                what rules the call out before the data are read
//   static Conversion conversion(const Inputs &); static constexpr RunRecord::OrderDraw draw;
//                                                how its data are built
//   template <typename Rows> static core::FitResult fit(Rows &, const Inputs &, const core::FitRun &);
//                                                its entry, on either row layout
// and its mexFunction is gateway<Module>(...): read and check the call, build the data inside the
// memory guard, visit their layout once, run the entry and store its result.
#pragma once

#include <variant>

#include "frame/call_error.hpp"
#include "frame/call_shape.hpp"
#include "frame/host_output.hpp"
#include "frame/memory_guard.hpp"
#include "frame/options.hpp"
#include "frame/run_record.hpp"
#include "frame/scalar_inputs.hpp"
#include "mex.h"

namespace frame {

template <typename Module>
void run_call(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[], CallError &err) {
  CallInputs in(Module::signature, nlhs, nrhs, prhs, err);
  const typename Module::Inputs p = Module::read(in);
  const bool verbose = in.verbose("verbose");
  if (!in.ok()) return;
  HostOutput host;
  if (refused(Module::check(in.shape(), p, in.options().fit, verbose, host.printer()), err)) return;
  guard_memory(in.shape(), err, [&] {
    RunRecord record(in, host, verbose);
    ProblemData data = record.build_data(Module::conversion(p), Module::draw);
    const core::FitResult r = std::visit([&](auto &rows) { return Module::fit(rows, p, record.run()); }, data);
    record.finish(plhs, r, err);
  });
}

template <typename Module>
void gateway(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
  CallError err(Module::signature.module);
  run_call<Module>(nlhs, plhs, nrhs, prhs, err);
  err.raise_if_set();
}

}  // namespace frame
