// What the frame asks of the host it runs in, beyond mex.h: Ctrl-C and the display. One
// implementation per host is linked into each solver module (host_octave.cpp, host_matlab.cpp,
// host_mexhost.cpp; Octave and MATLAB share host_terminal.cpp for the display).
#pragma once

#include <exception>

#include "core/run/stop_check.hpp"
#include "frame/call_error.hpp"

namespace frame {

// Whether the user has asked the host to stop (Ctrl-C), asked between iterations on the calling
// thread.
bool host_interrupt_pending();
// Takes the request as handled, so that the host does not act on it a second time after the
// module has answered it with an error.
void host_interrupt_clear();
// Whether an exception the host raised inside the call (while it showed our output, say) is its
// Ctrl-C.
bool host_exception_is_interrupt(const std::exception &e);
// A signal that ends the session and arrived during the call (Octave: a termination), passed on to
// the host once the call has released everything; nothing where none came.
void host_pass_on_signal();

// Whether the output goes to a terminal: a line can be redrawn in place there; in a log or a pipe
// carriage returns make a mess.
bool host_output_is_terminal();
// Seconds from any fixed origin.
double host_clock_seconds();

// The host's Ctrl-C as the solvers ask it.
inline core::StopCheck host_stop_check() {
  return core::StopCheck(host_interrupt_pending);
}

// Sets the interrupted error and takes the host's request as handled.
inline void answer_interrupt(CallError &err) {
  host_interrupt_clear();
  err.set("interrupted", "interrupted by the user; the run was stopped and its result discarded.");
}

}  // namespace frame
