// Octave: its signal handling raises these flags and the interpreter checks them between
// statements; a long-running module has to look at them itself.
#include <octave/octave-config.h>
#include <octave/quit.h>

#include <exception>

#include "frame/host.hpp"

namespace frame {
namespace {

// Octave's answer to a signal other than Ctrl-C that ends the session (a termination, a hang-up):
// an exception, held until the call has released everything and then passed on to Octave.
std::exception_ptr held_signal;

}  // namespace

bool host_interrupt_pending() {
  if (octave_interrupt_state > 0) return true;  // Ctrl-C
  if (held_signal) return true;
  if (octave_signal_caught == 0) return false;
  // Another signal: Octave responds as it would between statements. A child process that ended is
  // noted and the run goes on; a termination ends the call, then the session, as without us.
  try {
    octave_quit();
  } catch (const octave::interrupt_exception &) {
    return true;
  } catch (...) {
    held_signal = std::current_exception();
    return true;
  }
  return false;
}

void host_interrupt_clear() {
  octave_signal_caught = 0;
  octave_interrupt_state = 0;
}

bool host_exception_is_interrupt(const std::exception &e) {
  return dynamic_cast<const octave::interrupt_exception *>(&e) != nullptr;
}

void host_pass_on_signal() {
  if (!held_signal) return;
  const std::exception_ptr signal = held_signal;
  held_signal = nullptr;
  std::rethrow_exception(signal);
}

}  // namespace frame
