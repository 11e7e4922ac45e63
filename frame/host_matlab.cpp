// MATLAB: libut's query, the one MEX files use to notice Ctrl-C.
#include "frame/host.hpp"

extern "C" bool utIsInterruptPending();
extern "C" bool utSetInterruptPending(bool);

namespace frame {

bool host_interrupt_pending() {
  return utIsInterruptPending();
}
void host_interrupt_clear() {
  utSetInterruptPending(false);
}

bool host_exception_is_interrupt(const std::exception &) {
  return false;
}
void host_pass_on_signal() {}

}  // namespace frame
