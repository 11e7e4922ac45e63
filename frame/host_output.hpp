// A call's messages on the host, and how often the host is asked to show them.
#pragma once

#include "core/run/fit.hpp"
#include "core/run/printer.hpp"

namespace frame {

// One call's messages: text goes to mexPrintf, and after a line the host is asked to show its
// output now (Octave: fflush(stdout), which also gets past its pager; MATLAB: drawnow), so that
// a long run's lines appear while it runs. A flush costs a host evaluation (about 15 us in
// Octave), so a line is flushed only while the flushes so far took under 1 % of the time since
// the first line: a line that follows real work shows at once, a burst of cheap lines costs at
// most 1 % more. A silent run prints nothing and never flushes.
class HostOutput {
 public:
  HostOutput() = default;
  HostOutput(const HostOutput &) = delete;
  HostOutput &operator=(const HostOutput &) = delete;
  // The printer refers to this object: it must not outlive it. Its flush() shows what was
  // printed at once, whatever the budget (the progress line keeps its own).
  core::Printer printer() { return core::Printer(&HostOutput::write, this, &HostOutput::flush); }

 private:
  static void write(void *self, const char *text);
  static void flush(void *self);
  bool started_ = false;
  double first_line_ = 0.0;  // seconds on the host's clock
  double flushing_ = 0.0;    // seconds spent flushing so far
  bool unshown_ = false;     // text printed since the last flush
};

// What the host evaluates to show its output at once.
const char *flush_command();

// The progress line on this host, when `wanted`: redrawn in place on a terminal, plain lines
// every 10 % elsewhere, timed by the host's clock.
core::ProgressSetup host_progress(bool wanted);

}  // namespace frame
