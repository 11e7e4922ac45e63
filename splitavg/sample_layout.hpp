// Where the samples of a split-and-average run live, and how the steps that need all of them are
// taken. The module holds every sample in one process (LocalSamples); the MPI program spreads the
// shares over processes and takes these steps together with the other processes. The run itself
// (fit_splitavg) is written once against this interface, so both follow one sequence.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "core/run/printer.hpp"
#include "core/data/regression_data.hpp"
#include "core/sparse/sparse_rows.hpp"
#include "core/run/stop_check.hpp"
#include "splitavg/split_average.hpp"

namespace splitavg {

class SampleLayout {
 public:
  virtual ~SampleLayout() = default;

  // N: the samples of the whole problem.
  virtual int32_t total_samples() const = 0;
  // Puts all N samples into the order of one core::random_permutation(N) drawn on the calling
  // thread (the sample at position p[k] moves to k), and leaves in `data` the positions of the
  // shares this place works on. Asks `stop` as it goes and ends early (the order unfinished) once
  // it says stop.
  virtual void shuffle(core::RegressionData &data, const core::StopCheck &stop) = 0;
  // The same for compressed sparse rows (a layout that holds only dense rows refuses them).
  virtual void shuffle(core::SparseRows &data, const core::StopCheck &stop);
  // The size of a team over all places, from the size of this place's team; `problem` says why
  // this place's team could not start (here = 0 then), and is empty when it did.
  virtual int32_t team_total(int32_t here, const std::string &problem) = 0;
  // The shares of T that this place's team of `here` threads works on.
  virtual ShareRange shares(int32_t here, int32_t T) const = 0;
  // F(w) over all N samples in their shuffled order, as core::objective_value sums it, asking
  // `stop` as the rows are summed: once it has said stop the value is unfinished.
  virtual double objective(const core::RegressionData &data, const double *w, double lambda,
                           const core::StopCheck &stop) = 0;
  virtual double objective(const core::SparseRows &data, const double *w, double lambda, const core::StopCheck &stop);
  // w (D values) <- the average of all T share models (average_models); `models` holds this
  // place's shares.
  virtual void average(const ShareModels &models, int32_t here, int32_t T, int32_t D, double *w) = 0;
  // A step that may fail on one place has ended: throws on every place if it failed on any, this
  // place's own failure where it had one. Without failures it returns.
  virtual void settle(std::exception_ptr failure) = 0;
  // Lines a verbose run prints about the layout after the thread count (the module: none).
  virtual void describe(const core::Printer &) const {}
};

// Every sample in this process: the module's layout.
class LocalSamples final : public SampleLayout {
 public:
  // With `in_order`, the samples already stand in the order of the drawn permutation: the
  // shuffle moves nothing and draws nothing.
  explicit LocalSamples(int32_t N, bool in_order = false) : n_(N), in_order_(in_order) {}
  int32_t total_samples() const override { return n_; }
  void shuffle(core::RegressionData &data, const core::StopCheck &stop) override;
  void shuffle(core::SparseRows &data, const core::StopCheck &stop) override;
  // A team that could not start is reported by the caller (SolveResult::team_problem).
  int32_t team_total(int32_t here, const std::string &) override { return here; }
  ShareRange shares(int32_t here, int32_t T) const override { return ShareRange{n_, T, 0, here, 0}; }
  double objective(const core::RegressionData &data, const double *w, double lambda,
                   const core::StopCheck &stop) override;
  double objective(const core::SparseRows &data, const double *w, double lambda, const core::StopCheck &stop) override;
  void average(const ShareModels &models, int32_t here, int32_t T, int32_t D, double *w) override;
  void settle(std::exception_ptr failure) override {
    if (failure) std::rethrow_exception(failure);
  }

 private:
  int32_t n_;
  bool in_order_;
};

}  // namespace splitavg
