// splitavg's solver: the samples are cut into one contiguous share per OpenMP thread, every thread
// makes one pass of stochastic subgradient descent over its share on a model of its own, and the
// result is the plain average of the thread models.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/kernels/option_steps.hpp"
#include "core/run/fit.hpp"
#include "core/run/run_context.hpp"
#include "core/threads/shares.hpp"

namespace splitavg {

struct Parameters {
  double stepSize = 0.0;
  double lambda = 0.0;
  const core::FitOptions *options = nullptr;  // null: the defined run (one pass, the defined step)
  int32_t passes() const { return options ? options->passes : 1; }
};

// The shares of the pass: core::chunk_bounds, the one cut of the positions into T shares.
using core::chunk_bounds;
using core::Share;

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

// One model per share of a team, all zero until start_from. A gap of 64 bytes between models keeps any cache line
// from being written by two threads. Allocated before the team starts, so nothing inside the
// parallel region can throw.
class ShareModels {
 public:
  ShareModels(int32_t count, int32_t D)
      : d_(static_cast<size_t>(D)), stride_(d_ + kGap), slabs_(static_cast<size_t>(count) * stride_, 0.0) {}
  double *model(int32_t u) { return slabs_.data() + static_cast<size_t>(u) * stride_; }
  // Every model starts from w (D values).
  void start_from(const double *w) {
    for (size_t u = 0; u < slabs_.size() / stride_; ++u)
      for (size_t j = 0; j < d_; ++j) slabs_[u * stride_ + j] = w[j];
  }
  const double *model(int32_t u) const { return slabs_.data() + static_cast<size_t>(u) * stride_; }

 private:
  static constexpr size_t kGap = 64 / sizeof(double);
  size_t d_, stride_;
  std::vector<double> slabs_;
};

// The pass of range.count shares, share u (range.first + u) into models.model(u): p.passes()
// passes of stochastic subgradient descent over the share's positions, each in the same order,
// from the model as it stands (with the call's options, the optioned step; the model ends as the
// steps' result, and outcomes[u] holds its bias and what was averaged). A team of range.count
// threads takes a share each; where fewer processors are free of other processes' work, a team of
// that many takes several each in turn (the same models). Every MPI process runs it on its
// shares. Thread 0 (the calling thread) asks run.stop between blocks of samples and every thread
// looks at the answer; a stopped pass leaves its models unfinished. When run.stop drives a
// progress line, the team pauses for each due update, which the calling thread draws outside the
// region, and goes on where each share stopped. Returns range.count when the runtime gave the team
// asked for (the pass ran), else the size it gave. Whether the caller asked to stop is left in
// `stop`.
template <typename Rows>
int32_t pass_shares(const core::RunContext<Rows> &run, const Parameters &p, const ShareRange &range,
                    ShareModels &models, std::atomic<bool> &stop, std::vector<core::StepsOutcome> *outcomes = nullptr);

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

template <typename Rows>
class SampleSource;

// The solver: learns T from a first team over every place of `source` (run.threads, else the
// default size; a team that cannot start makes r TeamFailed, one smaller than asked warns
// threadsReduced), prints "Number of threads" (and the source's own lines), zeroes w, prints
// "Initial object function", runs the pass of this place's shares and averages all T models into
// r.w. A pass that got another team size makes r TeamFailed; a stopped one returns r.stopped().
// Warns emptyShares when there are more shares than samples. Draws nothing.
template <typename Rows>
core::FitResult split_average_solve(const core::RunContext<Rows> &run, const Parameters &p, SampleSource<Rows> &source);

}  // namespace splitavg
