// The one-sample step w <- w - stepSize * g of kinkstep method 0 and of splitavg's pass from the
// starting weights, once per layout (the step with a call's options: OptionSteps, the same
// interface), so that a solver's loop is written once: step(i, w) takes the
// step of sample i, and bring_up_to_date(w) leaves every weight current in w (a no-op for full
// rows, whose steps write w; sparse rows step weights of their own and apply the L1 term of the
// steps that did not touch a feature, see LazyL1Steps). Call it before anything reads w and at the
// end. Both give the bits of the plain loop's step.
#pragma once

#include <cstdint>

#include "core/data/cache_hint.hpp"
#include "core/data/regression_data.hpp"
#include "core/kernels/dense_steps.hpp"
#include "core/kernels/option_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/sparse/sparse_rows.hpp"

namespace core {

template <typename Rows>
class SampleSteps;

// Full rows: every step is the dispatched kernel, in place on w.
template <>
class SampleSteps<RegressionData> {
 public:
  SampleSteps(const RegressionData &rows, double stepSize, double lambda)
      : rows_(rows), step_size_(stepSize), lambda_(lambda) {}
  void start_from(const double *) {}  // the steps write the caller's w
  void step(int32_t i, double *w) { subgradient_step(rows_, i, w, lambda_, step_size_); }
  void bring_up_to_date(double *) {}
  const double *bias() const { return nullptr; }
  StepsOutcome finish(double *) { return {}; }
  // Steps on samples first .. first + count - 1 in order (a share's pass): one dispatched kernel
  // call, which carries each step's dot product into the next.
  void pass(int32_t first, int32_t count, double *w) { pass_samples(rows_, first, count, w, lambda_, step_size_); }

  // A loop that draws its samples ahead: start(first, w) before the first step, then for each step
  // look_ahead(ring, ...) and step_then_next(i, w, next, ahead), where next is the sample of the
  // step after (-1: none) and ahead the one just drawn ahead() steps on (-1: none). Each step gives
  // the next sample's residual (the kernel sums it as it writes the new weights) and asks the row
  // `ahead` into the cache.
  // How many steps ahead: enough rows in flight to cover a fetch from memory while the steps before
  // compute. Measured on rows drawn from 40 MB (bench/stochl1_bench steps): 16 ahead was best at
  // D = 10, 4 to 8 at D = 100, 4 to 16 at D = 1000 (2 ahead was 1.4-1.7 times slower at D <= 100).
  int32_t ahead() const {
    const int32_t a = rows_.D > 0 ? 800 / rows_.D : 16;
    return a < 4 ? 4 : a > 16 ? 16 : a;
  }
  void start(int32_t first, const double *w) { c_ = residual(rows_, first, w); }
  void look_ahead(const int32_t *, int32_t, int32_t, int32_t) const {}
  // Steps whose preparation may be taken together (sparse rows: their catch-ups), and that
  // preparation for steps k .. end - 1: nothing here.
  int32_t batch() const { return 1; }
  void catch_up_ahead(const int32_t *, int32_t, int32_t, int32_t) {}
  void step_then_next(int32_t i, double *w, int32_t next, int32_t ahead) {
    c_ = step_then_residual(rows_, i, c_, w, lambda_, step_size_, next, ahead);
  }
  // About the features a step of sample i touches, for the Ctrl-C questions.
  uint64_t work(int32_t) const { return 3 * static_cast<uint64_t>(rows_.D) + 8; }

 private:
  const RegressionData &rows_;
  double step_size_, lambda_;
  double c_ = 0.0;  // the residual of the next step's sample
};

// Sparse rows: a step costs the sample's nonzeros. The weights being stepped live inside (beside
// the step each was last brought up to date at); start_from(w) sets them, bring_up_to_date(w)
// writes them to w, which the steps themselves leave alone.
template <>
class SampleSteps<SparseRows> {
 public:
  SampleSteps(const SparseRows &rows, double stepSize, double lambda) : rows_(rows), lazy_(rows.D, stepSize, lambda) {}
  void start_from(const double *w) { lazy_.start_from(w); }
  void step(int32_t i, double *) { lazy_.step(rows_.row(i), rows_.label(i)); }
  void bring_up_to_date(double *w) { lazy_.bring_up_to_date(w); }
  const double *bias() const { return nullptr; }
  StepsOutcome finish(double *w) {
    lazy_.bring_up_to_date(w);
    return {};
  }
  void pass(int32_t first, int32_t count, double *w) {
    const int32_t together = batch();
    for (int32_t i = first; i < first + count; ++i) {
      if (together > 1 && (i - first) % together == 0) {
        SparseRow x[kMostTogether];
        const int32_t n = first + count - i < together ? first + count - i : together;
        for (int32_t d = 0; d < n; ++d) x[d] = rows_.row(i + d);
        lazy_.catch_up_ahead(x, n);
      }
      step(i, w);
    }
  }
  // The look-ahead loop of the full rows' steps (above): the residual is the step's own, and the
  // fetches are staged over the samples drawn ahead.
  int32_t ahead() const { return kOffsetsAhead; }
  // The long catch-ups of a few steps at once fill the catch-up kernel's lanes: one step's few
  // features leave most of them idle while the turns run as long as its slowest feature's.
  // Only where catch-ups are long: a feature is touched about once in D / (nonzeros a row) steps,
  // and in fuller rows most were touched a step or two before, which the step takes in line.
  int32_t batch() const {
    const int32_t n = lazy_.steps_together();
    if (static_cast<double>(rows_.D) * rows_.N < 32.0 * static_cast<double>(rows_.nonzeros())) return 1;
    return n < kMostTogether ? n : kMostTogether;
  }
  void catch_up_ahead(const int32_t *ring, int32_t ring_size, int32_t k, int32_t end) {
    if (end - k < 2) return;  // one step takes its own catch-ups
    SparseRow x[kMostTogether];
    const int32_t n = end - k < kMostTogether ? end - k : kMostTogether;
    for (int32_t d = 0; d < n; ++d) x[d] = rows_.row(ring[(k + d) % ring_size]);
    lazy_.catch_up_ahead(x, n);
  }
  void start(int32_t, const double *) {}
  void look_ahead(const int32_t *ring, int32_t ring_size, int32_t k, int32_t steps) const {
    SparseFetchAhead::look_ahead(rows_, ring, ring_size, k, steps, kWeightsAhead,
                                 [this](const SparseRow &x) { lazy_.prefetch(x); });
  }
  void step_then_next(int32_t i, double *w, int32_t, int32_t) { step(i, w); }
  // The weights go further ahead than a step alone needs (SparseFetchAhead): catch_up_ahead reads
  // them up to three steps before their own step.
  static constexpr int kOffsetsAhead = SparseFetchAhead::kOffsetsAhead, kWeightsAhead = 7, kMostTogether = 8;
  // catch_up_ahead reads the samples of the steps it prepares from the ring: they must be drawn.
  static_assert(kMostTogether <= kOffsetsAhead, "steps taken together beyond the samples drawn ahead");
  uint64_t work(int32_t i) const { return 3 * static_cast<uint64_t>(rows_.row(i).count) + 8; }

 private:
  const SparseRows &rows_;
  LazyL1Steps lazy_;
};

}  // namespace core
