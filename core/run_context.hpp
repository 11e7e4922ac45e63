// Everything one call shares with its solver: the data, whether to print and where, and what the
// caller asked for beyond the weights.
#pragma once

#include <cstdint>
#include <vector>

#include "core/printer.hpp"
#include "core/regression_data.hpp"

namespace core {

// Asked by the calling thread between iterations; once it says stop, the solver returns early
// and the caller throws the result away.
class StopCheck {
 public:
  StopCheck() = default;
  explicit StopCheck(bool (*pending)()) : pending_(pending) {}
  bool should_stop() const {
    if (!stopped_ && pending_ && pending_()) stopped_ = true;
    return stopped_;
  }
  bool stopped() const { return stopped_; }

 private:
  bool (*pending_)() = nullptr;
  mutable bool stopped_ = false;
};

struct RunContext {
  RunContext(const RegressionData &d, bool verbose_ = false, Printer out_ = {})
      : data(d), verbose(verbose_), out(out_) {}

  const RegressionData &data;
  bool verbose = false;
  Printer out;
  // When set, the solver appends the objective it prints (initial, then per iteration), whether
  // or not it prints.
  std::vector<double> *objective_trace = nullptr;
  // The team size of every team of the call; 0 leaves it to the OpenMP runtime.
  int32_t threads = 0;
  StopCheck stop;

  bool wants_objective() const { return verbose || objective_trace != nullptr; }
  void record_objective(double f) const {
    if (objective_trace) objective_trace->push_back(f);
  }
};

}  // namespace core
