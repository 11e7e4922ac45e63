// What a progress line needs from the host: whether the output goes to a terminal (a line can be
// redrawn in place there; in a log or a pipe carriage returns make a mess) and a clock. One
// implementation per host is linked into each solver module.
#pragma once

namespace frame {

bool host_output_is_terminal();
// Seconds from any fixed origin.
double host_clock_seconds();

}  // namespace frame
