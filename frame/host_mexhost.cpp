// mexhost: a test can simulate a Ctrl-C after a given number of checks, say whether the output
// counts as a terminal and run the clock by hand.
#include "frame/host.hpp"

#include "mexhost/display.h"
#include "mexhost/interrupt.h"

namespace frame {

bool host_interrupt_pending() {
  return mexhost_interrupt_pending();
}
void host_interrupt_clear() {
  mexhost_interrupt_clear();
}

bool host_output_is_terminal() {
  return mexhost_output_is_terminal();
}
double host_clock_seconds() {
  return mexhost_clock_seconds();
}

bool host_exception_is_interrupt(const std::exception &) {
  return false;
}
void host_pass_on_signal() {}

}  // namespace frame
