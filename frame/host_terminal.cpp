// Octave and MATLAB: mexPrintf ends on the process's standard output when it is a terminal
// (octave-cli, matlab -nodesktop); in Octave's and MATLAB's desktops, in a script whose output is
// piped or logged (octave-cli script.m > log, matlab -batch) it is not one, and plain lines suit.
#include <unistd.h>

#include <chrono>

#include "frame/host.hpp"

namespace frame {

bool host_output_is_terminal() {
  return isatty(STDOUT_FILENO) == 1;
}

double host_clock_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace frame
