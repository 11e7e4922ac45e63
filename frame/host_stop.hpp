// The host's Ctrl-C as the solvers ask it, and the error that answers it.
#pragma once

#include "core/run/stop_check.hpp"
#include "frame/call_error.hpp"

namespace frame {

// Asks the host's interrupt query.
core::StopCheck host_stop_check();

// Sets the interrupted error and takes the host's request as handled.
void answer_interrupt(CallError &err);

}  // namespace frame
