// Whether the user asked a running call to stop (Ctrl-C). Only the calling thread asks the host.
// A loop reports the work it has done (features touched, draws made) and the host is asked once
// that work reaches kWorkPerQuestion: a question every few tens of microseconds whatever a step
// costs, so a press is answered within a fraction of a second and a cheap step pays almost nothing.
// The same questions drive the run's progress line, when it has one: a loop that counts its steps
// passes how many are done, and each question hands the latest count to the line.
#pragma once

#include <cstdint>

#include "core/run/progress.hpp"

namespace core {

class StopCheck {
 public:
  // About 20-60 us of the modules' arithmetic on one core.
  static constexpr uint64_t kWorkPerQuestion = uint64_t{1} << 16;

  StopCheck() = default;
  explicit StopCheck(bool (*pending)()) : pending_(pending) {}

  // Asks the host now. Once it has said stop, the answer stays stop.
  bool should_stop() const {
    work_ = 0;
    if (!stopped_ && pending_ && pending_()) stopped_ = true;
    if (progress_ && !stopped_) progress_->at_check_point(done_);
    return stopped_;
  }
  // The same, with `done` steps of the run finished.
  bool should_stop(uint64_t done) const {
    done_ = done;
    return should_stop();
  }
  // Counts `work` units and asks the host when enough have been done since the last question.
  bool poll(uint64_t work) const {
    work_ += work;
    if (work_ < kWorkPerQuestion) return stopped_;
    return should_stop();
  }
  // The same, with `done` steps of the run finished.
  bool poll(uint64_t work, uint64_t done) const {
    done_ = done;
    return poll(work);
  }
  bool stopped() const { return stopped_; }

  // From now on the questions also drive `progress` (which must outlive the run), or none.
  void show_progress(Progress *progress) { progress_ = progress; }
  Progress *progress() const { return progress_; }

 private:
  bool (*pending_)() = nullptr;
  Progress *progress_ = nullptr;
  mutable bool stopped_ = false;
  mutable uint64_t work_ = 0;
  mutable uint64_t done_ = 0;
};

}  // namespace core
