// splitavg's solver: the samples are cut into one contiguous share per OpenMP thread, every thread
// makes one pass of stochastic subgradient descent over its share on a model of its own, and the
// result is the plain average of the thread models.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/data/regression_data.hpp"
#include "core/run/run_context.hpp"

namespace splitavg {

struct Parameters {
  double stepSize = 0.0;
  double lambda = 0.0;
};

// The inclusive range of sample positions that thread t of T works on; empty when start > end.
// Every thread but the last takes chunk = floor(N / T) positions; the last also takes the rest.
struct Share {
  int32_t start = 0;
  int32_t end = -1;
  bool empty() const { return start > end; }
};
Share chunk_bounds(int32_t N, int32_t T, int32_t t);

// The shares one team works on: shares first .. first + count - 1 of T over the N samples of the
// whole problem. The local data hold the positions of those shares only, from position `offset` of
// the whole shuffled order on (the module: all of them, offset 0; an MPI process: its own).
struct ShareRange {
  int32_t N = 0;
  int32_t T = 0;
  int32_t first = 0;
  int32_t count = 0;
  int32_t offset = 0;
  // Share first + u in local positions.
  Share local(int32_t u) const {
    Share s = chunk_bounds(N, T, first + u);
    s.start -= offset;
    s.end -= offset;
    return s;
  }
};

// One model and one gradient buffer per share of a team, all zero. A gap of 64 bytes between slabs
// keeps any cache line from being written by two threads. Allocated before the team starts, so
// nothing inside the parallel region can throw.
class ShareModels {
 public:
  ShareModels(int32_t count, int32_t D)
      : d_(static_cast<size_t>(D)), stride_(2 * d_ + kGap), slabs_(static_cast<size_t>(count) * stride_, 0.0) {}
  double *model(int32_t u) { return slabs_.data() + static_cast<size_t>(u) * stride_; }
  const double *model(int32_t u) const { return slabs_.data() + static_cast<size_t>(u) * stride_; }
  double *gradient(int32_t u) { return model(u) + d_; }

 private:
  static constexpr size_t kGap = 64 / sizeof(double);
  size_t d_, stride_;
  std::vector<double> slabs_;
};

// The pass of a team of range.count threads, thread u on share range.first + u into models.model(u):
// one pass of stochastic subgradient descent over the share's positions, in order. Every thread of
// the module's team and of each MPI process runs it. Thread 0 (the calling thread) asks run.stop
// between blocks of samples and every thread looks at the answer; a stopped pass leaves its models
// unfinished. When run.stop drives a progress line, the team pauses for each due update, which the
// calling thread draws outside the region, and goes on where each thread stopped. Returns the size
// of the team the runtime gave; the pass runs only when that is exactly range.count. Whether the
// caller asked to stop is left in `stop`.
int32_t pass_shares(const core::RunContext &run, const Parameters &p, const ShareRange &range, ShareModels &models,
                    std::atomic<bool> &stop);

// w_j = (m_0[j] + m_1[j] + ... + m_{T-1}[j]) / T: the models summed in share order on one
// accumulator, then one division by T. model(s) gives share s's D values.
template <typename ModelOf>
void average_models(ModelOf model, int32_t T, int32_t D, double *w) {
  const double divisor = static_cast<double>(T);
  for (int32_t j = 0; j < D; ++j) {
    double s = 0.0;
    for (int32_t t = 0; t < T; ++t) s = s + model(t)[j];
    w[j] = s / divisor;
  }
}

struct SolveResult {
  core::WeightVector w;       // the averaged weights (all zero if the pass could not run)
  int32_t threads = 0;        // T: the size of the sizing team
  int32_t pass_threads = 0;   // the size the runtime gave the pass team
  int32_t asked_threads = 0;  // the team size asked for (opts.threads or the runtime's default)
  std::string team_problem;   // when set, no team was started: why it could not be
  int32_t empty_shares = 0;   // shares with no sample (T > N): their zero models are averaged in
  bool averaged = false;      // every share's pass ran to its end and w holds their average
  // The pass ran with exactly T threads, so every share was processed.
  bool ok() const { return threads >= 1 && pass_threads == threads; }
};

// Learns T from a first team (run.threads, else the default size; when it cannot start, only
// team_problem is set), zeroes w, runs the pass with T threads and averages. Prints "Number of
// threads" and "Initial object function" when the run is verbose. Asks run.stop in the objective
// and the pass; a stopped run leaves w unfinished. Draws nothing.
SolveResult split_average_solve(const core::RunContext &run, const Parameters &p);

// The pass and the average for T threads, into w (D doubles, left untouched on failure). Returns
// the size of the team the runtime gave; the pass runs only when that is exactly T. When the run
// has a progress line, the pass pauses for each update it draws (the team leaves its region and a
// new team of T goes on where each thread stopped): the weights are the same bits.
int32_t pass_and_average(const core::RunContext &run, const Parameters &p, int32_t T, core::WeightVector &w);

}  // namespace splitavg
