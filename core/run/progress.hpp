// The progress line of a long silent run: "kinkstep: 42% (420000 of 1000000 steps), 1.2 s
// elapsed, about 1.7 s left". It is driven by the run's Ctrl-C questions (StopCheck), so a run
// looks at its clock only where it already asks the host, a few times per 100 us of work.
//
// On a terminal the line is redrawn in place (carriage return) at most every kInterval seconds,
// skipped while what drawing has cost so far exceeds 1 % of the time since the start; in a log or
// a pipe a plain line is printed for each 10 % mark passed (at most ten lines). Only the
// calling thread draws, never inside a parallel region: there a due update is only noted
// (wanted()) for the solver to draw once the region has ended.
#pragma once

#include <cstdint>

#include "core/run/printer.hpp"

namespace core {

class Progress {
 public:
  enum class Style { InPlace, PlainLines };
  using Clock = double (*)();  // seconds, from any fixed origin

  static constexpr double kInterval = 0.25;  // at most four updates a second

  // `module` and `unit` must outlive the object; the clock starts now.
  Progress(Printer out, Style style, Clock clock, const char *module, const char *unit, uint64_t total);
  // Ends an open in-place line with a newline, so that whatever follows (an error, the prompt)
  // starts on a line of its own; the host shows it with what follows.
  ~Progress();
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;

  // At a check point with `done` units of work finished: draws when an update is due; inside a
  // parallel region it only notes that one is.
  void at_check_point(uint64_t done);
  // An update was due inside a parallel region and has not been drawn yet.
  bool wanted() const { return wanted_; }
  // Draws `done` now if an update is due (or was noted as due inside a region).
  void update(uint64_t done);
  // The run finished: the line at 100 % and a newline, whatever the budget.
  void finish();

 private:
  bool due(double now, uint64_t done) const;
  void draw(uint64_t done, double now, bool final);
  // One line showing `done`; the time left is estimated from `measured`, the work done by now.
  void draw_line(uint64_t done, uint64_t measured, double now, bool final);

  Printer out_;
  Style style_;
  Clock clock_;
  const char *module_;
  const char *unit_;
  uint64_t total_;
  double start_;
  double last_draw_;
  double drawing_ = 0.0;  // seconds spent drawing so far
  int level_ = 0;         // the OpenMP nesting level of the calling thread
  int last_decile_ = 0;   // plain lines: the last tenth printed
  uint64_t last_at_ = 0;  // plain lines: the count the last line showed
  int width_ = 0;         // in place: the length of the text on the line now
  bool open_ = false;     // in place: a line is drawn and not yet ended
  bool wanted_ = false;
};

}  // namespace core
