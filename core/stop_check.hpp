// Whether the user asked a running call to stop (Ctrl-C). Only the calling thread asks the host.
// A loop reports the work it has done (features touched, draws made) and the host is asked once
// that work reaches kWorkPerQuestion: a question every few tens of microseconds whatever a step
// costs, so a press is answered within a fraction of a second and a cheap step pays almost nothing.
#pragma once

#include <cstdint>

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
    return stopped_;
  }
  // Counts `work` units and asks the host when enough have been done since the last question.
  bool poll(uint64_t work) const {
    work_ += work;
    if (work_ < kWorkPerQuestion) return stopped_;
    return should_stop();
  }
  bool stopped() const { return stopped_; }

 private:
  bool (*pending_)() = nullptr;
  mutable bool stopped_ = false;
  mutable uint64_t work_ = 0;
};

}  // namespace core
