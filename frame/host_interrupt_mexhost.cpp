// mexhost: the test host can simulate a Ctrl-C after a given number of checks.
#include "frame/host_interrupt.hpp"
#include "mexhost/interrupt.h"

namespace frame {

bool host_interrupt_pending() {
  return mexhost_interrupt_pending();
}
void host_interrupt_clear() {
  mexhost_interrupt_clear();
}

}  // namespace frame
