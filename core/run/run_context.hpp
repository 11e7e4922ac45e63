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

// The objectives a run reports into its info output: the initial one, one every `every` iterations
// when opts.history asks, and the final one, each with the iterations done when it was taken.
struct ObjectiveTrace {
  std::vector<double> values;
  std::vector<double> iterations;
  int32_t every = 0;  // 0: the initial and final objective only
};

template <typename Rows>
struct RunContext {
  explicit RunContext(const Rows &rows_, bool verbose_ = false, Printer out_ = {})
      : rows(rows_), verbose(verbose_), out(out_) {}

  const Rows &rows;
  bool verbose = false;
  Printer out;
  // When set, the run records its objectives there (see ObjectiveTrace), whether or not it prints.
  ObjectiveTrace *trace = nullptr;
  // The team size of every team of the call; 0 leaves it to the OpenMP runtime.
  int32_t threads = 0;
  StopCheck stop;

  // Whether the trace takes the objective after `done` iterations (done >= 1).
  bool traced_after(int64_t done) const { return trace && trace->every > 0 && done % trace->every == 0; }
  // Whether the objective after `done` iterations is wanted: printed or traced.
  bool wants_objective(int64_t done) const { return verbose || traced_after(done); }
  // The objective at w (and the bias b, when given) over the run's samples, asking `stop` as the
  // rows are summed: when stop.stopped() afterwards, the value is unfinished.
  double objective(const double *w, double lambda, const double *bias = nullptr) const {
    return objective_value(rows, w, lambda, &stop, bias);
  }
  void record_objective(double f, int64_t done) const {
    if (!trace) return;
    trace->values.push_back(f);
    trace->iterations.push_back(static_cast<double>(done));
  }

  // The one way an objective is reported: computed only when it is printed (verbose) or recorded
  // (`record`), and then printed through print(f). `objective()` computes it (the run's own samples,
  // or a sample source's that lie in several places). False when the run was stopped while it was
  // summed: the value is then neither recorded nor printed.
  template <typename Objective, typename Print>
  bool report_objective(bool record, int64_t done, Objective objective, Print print) const {
    if (!verbose && !record) return true;
    const double f = objective();
    if (stop.stopped()) return false;
    if (record) record_objective(f, done);
    if (verbose) print(f);
    return true;
  }
  // The objective after iteration `done` (>= 1) at w (and the bias, when given).
  template <typename Print>
  bool report_objective(int64_t done, const double *w, double lambda, Print print, const double *bias = nullptr) const {
    return report_objective(
        traced_after(done), done, [&] { return objective(w, lambda, bias); }, print);
  }
  // "Initial object function = %f", the line every solver reports before its first step; always
  // recorded.
  bool report_initial_objective(const double *w, double lambda, const double *bias = nullptr) const {
    return report_objective(
        trace != nullptr, 0, [&] { return objective(w, lambda, bias); },
        [this](double f) { out.printf("Initial object function = %f\n", f); });
  }
};

}  // namespace core
