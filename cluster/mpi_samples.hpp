// The samples of an MPI run: each process holds the positions of its own shares, already in the
// shuffled order (the rows were routed there as they were read, see routes and row_exchange), as
// full or compressed sparse rows. The steps that need every sample (the objective, the average) are
// collective, as is the agreement after any step that may fail on one process alone.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cluster/collective.hpp"
#include "splitavg/sample_source.hpp"

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

template <typename Rows>
class MpiSamples final : public splitavg::SampleSource<Rows> {
 public:
  // N samples in all; hold: process q holds positions hold[q] .. hold[q+1] - 1 (in shuffled
  // order); t: threads per process, already checked on every process.
  MpiSamples(MPI_Comm comm, int32_t t, int32_t N, std::vector<int32_t> hold, InjectedFault fault);

  int32_t total_samples() const override { return N_; }
  int32_t all_threads(int32_t here, const std::string &problem) override;
  splitavg::ShareRange shares(int32_t here, int32_t T) const override;
  // The terms are formed by every process at once; only their sum runs from process to process,
  // each continuing the one accumulator in position order, so the bits are those of one sum.
  double objective(const Rows &rows, const double *w, double lambda, const core::StopCheck &stop,
                   const double *bias) override;
  // The module's sum, s = m_0 + m_1 + ... + m_{T-1} on one accumulator per feature, as a relay:
  // each process adds its own shares' models, in share order, to the sum the process before it
  // passed on, so no process ever holds more than one sum (not all T models).
  void average(const splitavg::ShareModels &models, int32_t here, int32_t T, int32_t D, double *w) override;
  void agree(std::exception_ptr failure) override;
  void describe(const core::Printer &out) const override;

  // Seconds from the start of the run's pass (its team's sizing) to the start of the average.
  double pass_seconds() const { return averaged_at_ - started_at_; }

 private:
  MPI_Comm comm_;
  int rank_ = 0, size_ = 1;
  int32_t threads_per_process_;
  int32_t N_;
  std::vector<int32_t> first_held_;
  InjectedFault fault_;
  double started_at_ = 0.0, averaged_at_ = 0.0;
};

}  // namespace cluster
