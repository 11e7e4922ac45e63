// mexhost: a test says whether the output counts as a terminal and may run the clock by hand.
#include "frame/host_display.hpp"
#include "mexhost/display.h"

namespace frame {

bool host_output_is_terminal() {
  return mexhost_output_is_terminal();
}

double host_clock_seconds() {
  return mexhost_clock_seconds();
}

}  // namespace frame
