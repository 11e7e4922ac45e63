// Everything one call shares with its solver: the data, whether to print and where, and what the
// caller asked for beyond the weights.
#pragma once

#include <cstdint>
#include <vector>

#include "core/primitives.hpp"
#include "core/printer.hpp"
#include "core/regression_data.hpp"
#include "core/stop_check.hpp"

namespace core {

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
  // The objective at w, asking `stop` as the rows are summed: when stop.stopped() afterwards, the
  // value is unfinished and must be neither printed nor recorded.
  double objective(const double *w, double lambda) const { return objective_value(data, w, lambda, &stop); }
  void record_objective(double f) const {
    if (objective_trace) objective_trace->push_back(f);
  }
};

}  // namespace core
