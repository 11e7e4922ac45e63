// The MEX frame of the solver modules, as a gateway uses it: read the call (CallInputs), check what
// rules it out before the data are read (refused), then inside guard_memory build the data, call
// the module's fit_* entry and store its result (RunRecord). Compiled into each module once per
// host (it includes that host's mex.h); core/ and the solvers never see it.
#pragma once

#include "mex.h"
#include "frame/call_error.hpp"
#include "frame/call_shape.hpp"
#include "frame/host_output.hpp"
#include "frame/memory_guard.hpp"
#include "frame/options.hpp"
#include "frame/run_record.hpp"
#include "frame/scalar_inputs.hpp"
