#include "core/run/progress.hpp"

#include <omp.h>

#include <cstdio>

namespace core {

Progress::Progress(Printer out, Style style, Clock clock, const char *module, const char *unit, uint64_t total)
    : out_(out), style_(style), clock_(clock), module_(module), unit_(unit), total_(total) {
  start_ = clock_();
  level_ = omp_get_level();
  last_draw_ = start_;
}

Progress::~Progress() {
  if (!open_) return;
  // No flush: the run is ending, perhaps by an error or a pending Ctrl-C, and the host shows its
  // output before the error or the prompt anyway. Nothing may leave a destructor.
  try {
    out_.printf("\n");
  } catch (...) {
  }
}

bool Progress::due(double now, uint64_t done) const {
  // Plain lines are at most ten: each mark is printed, whatever it costs.
  if (style_ == Style::PlainLines) return total_ > 0 && static_cast<int>(done * 10 / total_) > last_decile_;
  // Drawing in place costs a host evaluation or more: never more than 1 % of the time so far.
  if (drawing_ * 100.0 > now - start_) return false;
  return now - last_draw_ >= kInterval;
}

void Progress::at_check_point(uint64_t done) {
  if (wanted_) return;
  const double now = clock_();
  if (!due(now, done)) return;
  // The host is never entered from inside a team: the solver draws once the region has ended.
  if (omp_get_level() > level_) {
    wanted_ = true;
    return;
  }
  draw(done, now, false);
}

void Progress::update(uint64_t done) {
  const double now = clock_();
  if (!wanted_ && !due(now, done)) return;
  wanted_ = false;
  draw(done, now, false);
}

void Progress::finish() {
  wanted_ = false;
  if (style_ == Style::PlainLines && last_decile_ >= 10) return;
  draw(total_, clock_(), true);
}

void Progress::draw(uint64_t done, double now, bool final) {
  if (done > total_) done = total_;
  if (style_ == Style::PlainLines && total_ > 0) {
    // A line for each tenth passed since the last one, each at its mark: a log reads 10 %, 20 %,
    // ..., 100 % however far apart the run's check points are. The time is when it was noticed.
    // A mark between two counts is shown at the first count past it (3 of 25 for 10 %, not 2:
    // the line never shows less than its tenth done). Marks that fall on one count (a run of
    // fewer than ten steps) share its line.
    const int decile = static_cast<int>(done * 10 / total_);
    for (int mark = last_decile_ + 1; mark <= decile; ++mark) {
      const uint64_t at = (total_ * static_cast<uint64_t>(mark) + 9) / 10;
      if (at == last_at_) continue;
      last_at_ = at;
      draw_line(at, done, now, mark == 10 || final);
    }
    last_decile_ = decile > last_decile_ ? decile : last_decile_;
    out_.flush();
    last_draw_ = now;
    drawing_ += clock_() - now;
    return;
  }
  draw_line(done, done, now, final);
  out_.flush();
  last_draw_ = now;
  drawing_ += clock_() - now;
}

void Progress::draw_line(uint64_t done, uint64_t measured, double now, bool final) {
  const double elapsed = now - start_;
  const int percent = total_ > 0 ? static_cast<int>(done * 100 / total_) : 100;
  char text[256];
  int n = std::snprintf(text, sizeof text, "%s: %d%% (%llu of %llu %s), %.1f s elapsed", module_, percent,
                        static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_), unit_, elapsed);
  if (n < 0) return;
  if (!final && measured > 0 && measured < total_ && static_cast<size_t>(n) < sizeof text) {
    const double left = elapsed * static_cast<double>(total_ - measured) / static_cast<double>(measured);
    const int more = std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ", about %.1f s left", left);
    if (more > 0) n += more;
  }
  if (style_ == Style::InPlace) {
    // Spaces over what is left of a longer previous text.
    const int pad = width_ > n ? width_ - n : 0;
    out_.printf("\r%s%*s%s", text, pad, "", final ? "\n" : "");
    width_ = n;
    open_ = !final;
  } else {
    out_.printf("%s\n", text);
    if (total_ == 0) last_decile_ = 10;
  }
}

}  // namespace core
