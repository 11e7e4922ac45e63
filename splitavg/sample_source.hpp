// Where the samples of a split-and-average run live, and how the steps that need all of them are
// taken. The module holds every sample in one process (LocalSamples); the MPI program spreads the
// shares over processes and takes these steps together with the other processes. The run
// (fit_splitavg) is written once against this interface, a template on the row layout, so both
// follow one sequence on either layout.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/run/printer.hpp"
#include "core/run/stop_check.hpp"
#include "splitavg/split_average.hpp"

namespace splitavg {

template <typename Rows>
class SampleSource {
 public:
  virtual ~SampleSource() = default;

  // N: the samples of the whole problem.
  virtual int32_t total_samples() const = 0;
  // The size of a team over all places, from the size of this place's team; `problem` says why
  // this place's team could not start (here = 0 then), and is empty when it did.
  virtual int32_t all_threads(int32_t here, const std::string &problem) = 0;
  // The shares of T that this place's team of `here` threads works on.
  virtual ShareRange shares(int32_t here, int32_t T) const = 0;
  // F(w) (with the bias, when given) over all N samples in their shuffled order, as
  // core::objective_value sums it, asking `stop` as the rows are summed: once it has said stop the
  // value is unfinished.
  virtual double objective(const Rows &rows, const double *w, double lambda, const core::StopCheck &stop,
                           const double *bias) = 0;
  // w (D values) <- the average of all T share models' first D values (average_models); `models`
  // holds this place's shares.
  virtual void average(const ShareModels &models, int32_t here, int32_t T, int32_t D, double *w) = 0;
  // A step that may fail on one place has ended: throws on every place if it failed on any, this
  // place's own failure where it had one. Without failures it returns.
  virtual void agree(std::exception_ptr failure) = 0;
  // Lines a verbose run prints about where the samples are, after the thread count (the module:
  // none).
  virtual void describe(const core::Printer &) const {}
};

// Every sample in this process: the module's source.
template <typename Rows>
class LocalSamples final : public SampleSource<Rows> {
 public:
  explicit LocalSamples(int32_t N) : n_(N) {}
  int32_t total_samples() const override { return n_; }
  // A team that could not start is reported by the run (its threadTeam error).
  int32_t all_threads(int32_t here, const std::string &) override { return here; }
  ShareRange shares(int32_t here, int32_t T) const override { return ShareRange{n_, T, 0, here, 0}; }
  double objective(const Rows &rows, const double *w, double lambda, const core::StopCheck &stop,
                   const double *bias) override {
    return core::objective_value(rows, w, lambda, &stop, bias);
  }
  void average(const ShareModels &models, int32_t, int32_t T, int32_t D, double *w) override {
    average_models([&models](int32_t t) { return models.model(t); }, T, D, w);
  }
  void agree(std::exception_ptr failure) override {
    if (failure) std::rethrow_exception(failure);
  }

 private:
  int32_t n_;
};

}  // namespace splitavg
