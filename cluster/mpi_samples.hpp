// The samples of an MPI run: each process starts with the block of rows it read and, after the
// shuffle, holds only the positions of its own shares. The steps that need every sample (the
// shuffle's exchange, the objective, the average) are collective, as is the agreement after any
// step that may fail on one process alone.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cluster/mat_input.hpp"
#include "cluster/row_routing.hpp"
#include "splitavg/sample_layout.hpp"

namespace cluster {

// Faults a test can inject into one process (SPLITAVG_MPI_FAULT=nomem:R or kill:R): R runs out of
// memory for its received rows, or is killed by SIGKILL once its pass is done.
struct InjectedFault {
  enum Kind { kNone, kNoMemory, kKill } kind = kNone;
  int rank = -1;
  static InjectedFault from_environment();
  bool hits(Kind k, int r) const { return kind == k && rank == r; }
};

// A collective check: when any process failed, every process throws RunFailure with the message
// of the lowest-numbered one that failed, so that one message is printed.
void agree(MPI_Comm comm, const std::string &failure);

class MpiSamples final : public splitavg::SampleLayout {
 public:
  // `read` (P + 1 offsets): process r read the samples read[r] .. read[r+1] - 1; `block` holds
  // this process's as rows. t: threads per process, already checked on every process.
  MpiSamples(MPI_Comm comm, int32_t t, std::vector<int32_t> read, core::RegressionData block, InjectedFault fault);

  int32_t total_samples() const override { return read_.back(); }
  // The program's stop check has nothing to ask (Ctrl-C reaches the processes through mpirun, which
  // ends the job); these steps leave it alone, so no process could leave a collective step early.
  void shuffle(core::RegressionData &data, const core::StopCheck &stop) override;
  int32_t team_total(int32_t here, const std::string &problem) override;
  splitavg::ShareRange shares(int32_t here, int32_t T) const override;
  double objective(const core::RegressionData &data, const double *w, double lambda,
                   const core::StopCheck &stop) override;
  void average(const splitavg::ShareModels &models, int32_t here, int32_t T, int32_t D, double *w) override;
  void settle(std::exception_ptr failure) override;
  void describe(const core::Printer &out) const override;

  // Bytes this process sent to others in the exchange (its own rows stay), and its seconds in it.
  uint64_t bytes_sent() const { return bytes_sent_; }
  double exchange_seconds() const { return exchange_seconds_; }
  // Seconds from the end of the shuffle to the start of the average: the pass, and the initial
  // objective when it is computed.
  double pass_seconds() const { return averaged_at_ - shuffled_at_; }

 private:
  MPI_Comm comm_;
  int rank_ = 0, size_ = 1;
  int32_t t_;
  std::vector<int32_t> read_, hold_;
  core::RegressionData block_;
  InjectedFault fault_;
  std::string step_;  // what the process was doing, for an out-of-memory message
  uint64_t bytes_sent_ = 0;
  double exchange_seconds_ = 0.0;
  double shuffled_at_ = 0.0, averaged_at_ = 0.0;
};

}  // namespace cluster
