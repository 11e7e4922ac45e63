#include "frame/host_stop.hpp"

#include "frame/host_interrupt.hpp"

namespace frame {

core::StopCheck host_stop_check() {
  return core::StopCheck(host_interrupt_pending);
}

void answer_interrupt(CallError &err) {
  host_interrupt_clear();
  err.set("interrupted", "interrupted by the user; the run was stopped and its result discarded.");
}

}  // namespace frame
