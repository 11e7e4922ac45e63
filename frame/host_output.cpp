#include "frame/host_output.hpp"

#include <omp.h>

#include <cstring>

#include "frame/host.hpp"
#include "mex.h"

namespace frame {

const char *flush_command() {
#ifdef HAVE_OCTAVE
  return "fflush(stdout);";
#else
  return "drawnow;";
#endif
}

void HostOutput::write(void *self, const char *text) {
  HostOutput &h = *static_cast<HostOutput *>(self);
  mexPrintf("%s", text);
  h.unshown_ = true;
  const size_t n = std::strlen(text);
  if (n == 0 || text[n - 1] != '\n') return;
  const double now = host_clock_seconds();
  if (!h.started_) {
    h.started_ = true;
    h.first_line_ = now;
  }
  // Never from inside a team: under Octave a pending Ctrl-C surfaces in the evaluation as an
  // exception, which may unwind the call (everything it owns is RAII) but must not leave a region.
  // A pending Ctrl-C is left to the solver, which stops at its next look and answers it with an
  // error of its own; a flush now would have the host act on it first.
  if (h.flushing_ * 100 > now - h.first_line_ || omp_in_parallel() || host_interrupt_pending()) return;
  mexEvalString(flush_command());
  h.unshown_ = false;
  h.flushing_ += host_clock_seconds() - now;
}

void HostOutput::flush(void *self) {
  HostOutput &h = *static_cast<HostOutput *>(self);
  // As after a line: never from inside a team, and not over a pending Ctrl-C.
  if (!h.unshown_ || omp_in_parallel() || host_interrupt_pending()) return;
  mexEvalString(flush_command());
  h.unshown_ = false;
}

core::ProgressSetup host_progress(bool wanted) {
  core::ProgressSetup setup;
  if (!wanted) return setup;
  setup.shown = true;
  setup.style = host_output_is_terminal() ? core::Progress::Style::InPlace : core::Progress::Style::PlainLines;
  setup.clock = host_clock_seconds;
  return setup;
}

}  // namespace frame
