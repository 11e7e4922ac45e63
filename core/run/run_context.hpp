// Everything one call shares with its solver: the samples (as a row layout, the template
// parameter), whether to print and where, and what the caller asked for beyond the weights.
#pragma once

#include <cstdint>
#include <vector>

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/primitives.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/run/printer.hpp"
#include "core/run/stop_check.hpp"

namespace core {

template <typename Rows>
struct RunContext {
  explicit RunContext(const Rows &rows_, bool verbose_ = false, Printer out_ = {})
      : rows(rows_), verbose(verbose_), out(out_) {}

  const Rows &rows;
  bool verbose = false;
  Printer out;
  // When set, the solver appends the objective it reports (initial, then per iteration), whether
  // or not it prints.
  std::vector<double> *objective_trace = nullptr;
  // The team size of every team of the call; 0 leaves it to the OpenMP runtime.
  int32_t threads = 0;
  StopCheck stop;

  bool wants_objective() const { return verbose || objective_trace != nullptr; }
  // The objective at w over the run's samples, asking `stop` as the rows are summed: when
  // stop.stopped() afterwards, the value is unfinished.
  double objective(const double *w, double lambda) const { return objective_value(rows, w, lambda, &stop); }
  void record_objective(double f) const {
    if (objective_trace) objective_trace->push_back(f);
  }

  // The one way an objective is reported: computed only when the run wants it, recorded, and
  // printed through print(f) when the run is verbose. `objective()` computes it (the run's own
  // samples, or a sample source's that lie in several places). False when the run was stopped
  // while it was summed: the value is then neither recorded nor printed.
  template <typename Objective, typename Print>
  bool report_objective(Objective objective, Print print) const {
    if (!wants_objective()) return true;
    const double f = objective();
    if (stop.stopped()) return false;
    record_objective(f);
    if (verbose) print(f);
    return true;
  }
  template <typename Print>
  bool report_objective(const double *w, double lambda, Print print) const {
    return report_objective([&] { return objective(w, lambda); }, print);
  }
  // "Initial object function = %f", the line every solver reports before its first step.
  bool report_initial_objective(const double *w, double lambda) const {
    return report_objective(w, lambda, [this](double f) { out.printf("Initial object function = %f\n", f); });
  }
};

}  // namespace core
