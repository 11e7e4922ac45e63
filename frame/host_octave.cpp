// Octave: its SIGINT handler raises these flags and the interpreter checks them between
// statements; a long-running module has to look at them itself.
#include <octave/octave-config.h>
#include <octave/quit.h>

#include "frame/host.hpp"

namespace frame {

bool host_interrupt_pending() {
  return octave_signal_caught != 0 || octave_interrupt_state > 0;
}

void host_interrupt_clear() {
  octave_signal_caught = 0;
  octave_interrupt_state = 0;
}

}  // namespace frame
