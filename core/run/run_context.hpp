// Everything one call shares with its solver: the data, whether to print and where, and what the
// caller asked for beyond the weights.
#pragma once

#include <cstdint>
#include <vector>

#include "core/kernels/primitives.hpp"
#include "core/run/printer.hpp"
#include "core/data/regression_data.hpp"
#include "core/sparse/sparse_kernels.hpp"
#include "core/sparse/sparse_rows.hpp"
#include "core/run/stop_check.hpp"

namespace core {

struct RunContext {
  RunContext(const RegressionData &d, bool verbose_ = false, Printer out_ = {})
      : data(d), verbose(verbose_), out(out_) {}
  // A run on compressed sparse rows: `shape` gives N and D and holds no rows.
  RunContext(const RegressionData &shape, const SparseRows &rows, bool verbose_ = false, Printer out_ = {})
      : data(shape), sparse(&rows), verbose(verbose_), out(out_) {}

  // The samples: dense rows in `data`, or, when `sparse` is set, compressed sparse rows there (and
  // only N and D in `data`). A solver picks its kernels by the layout once, before its loop.
  const RegressionData &data;
  const SparseRows *sparse = nullptr;
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
  double objective(const double *w, double lambda) const {
    return sparse ? objective_value(*sparse, w, lambda, &stop) : objective_value(data, w, lambda, &stop);
  }
  void record_objective(double f) const {
    if (objective_trace) objective_trace->push_back(f);
  }
};

}  // namespace core
