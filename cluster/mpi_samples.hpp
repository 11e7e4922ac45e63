// The samples of an MPI run: each process holds the positions of its own shares, already in the
// shuffled order (the rows were routed there as they were read, see row_exchange). The steps that
// need every sample (the objective, the average) are collective, as is the agreement after any
// step that may fail on one process alone.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cluster/collective.hpp"
#include "splitavg/sample_layout.hpp"

namespace cluster {

// Faults a test can inject into one process (SPLITAVG_MPI_FAULT=nomem:R, killread:R, kill:R or
// stall:R): R runs out of memory for the rows of its shares, is killed by SIGKILL once it has read
// its rows or once its pass is done, or waits for a signal once the run is accepted (so that a
// test can interrupt a run that is surely still going).
struct InjectedFault {
  enum Kind { kNone, kNoMemory, kKillReading, kKill, kStall } kind = kNone;
  int rank = -1;
  static InjectedFault from_environment();
  bool hits(Kind k, int r) const { return kind == k && rank == r; }
};

class MpiSamples final : public splitavg::SampleLayout {
 public:
  // N samples in all; hold: process q holds positions hold[q] .. hold[q+1] - 1 (in shuffled
  // order); t: threads per process, already checked on every process. `started` runs when the
  // run reaches its pass (the progress line starts there).
  MpiSamples(MPI_Comm comm, int32_t t, int32_t N, std::vector<int32_t> hold, InjectedFault fault,
             std::function<void()> started = {});

  int32_t total_samples() const override { return N_; }
  // The rows already stand in the drawn order: nothing moves and nothing is drawn here.
  void shuffle(core::RegressionData &data, const core::StopCheck &stop) override;
  void shuffle(core::SparseRows &data, const core::StopCheck &stop) override;
  int32_t team_total(int32_t here, const std::string &problem) override;
  splitavg::ShareRange shares(int32_t here, int32_t T) const override;
  double objective(const core::RegressionData &data, const double *w, double lambda,
                   const core::StopCheck &stop) override;
  double objective(const core::SparseRows &data, const double *w, double lambda, const core::StopCheck &stop) override;
  void average(const splitavg::ShareModels &models, int32_t here, int32_t T, int32_t D, double *w) override;
  void settle(std::exception_ptr failure) override;
  void describe(const core::Printer &out) const override;

  // Seconds from the start of the run's pass to the start of the average (the pass, and the
  // initial objective when it is computed).
  double pass_seconds() const { return averaged_at_ - started_at_; }

 private:
  // Continues the one accumulator of the objective from process to process in position order.
  double sum_in_order(const std::vector<double> &terms, const double *w, int32_t D, double lambda);

  MPI_Comm comm_;
  int rank_ = 0, size_ = 1;
  int32_t threads_per_process_;
  int32_t N_;
  std::vector<int32_t> hold_;
  InjectedFault fault_;
  std::function<void()> started_;
  double started_at_ = 0.0, averaged_at_ = 0.0;
};

}  // namespace cluster
