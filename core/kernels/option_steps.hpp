// The one-sample step with the options a call may add to the defined step (FitOptions): an
// intercept, the proximal L1 step, averaging the iterates. It has the interface of SampleSteps, so
// that a solver's loop is written once and the method picks the steps once: SampleSteps for the
// defined step (the fastest kernels), OptionSteps when an option changes the step.
//
// A step on sample i with residual c = x_i . w [+ b] - y_i (the bias inside the parentheses):
//   subgradient: w_j <- w_j - stepSize * (c x_ij + lambda sign(w_j))     (the defined step)
//   prox:        w_j <- soft_threshold(w_j - stepSize * (c x_ij), a),    a = fl(stepSize * lambda)
//   intercept:   b <- b - stepSize * c                                   (no L1 term)
// and, when the step's number t (from 1) is at least the first averaged one, every w_j (and b) is
// added to its exact sum; the result is then fl(fl(sum) / count). Sparse rows give the bits of
// full(X) for every option: the untouched features' steps are caught up lazily and exactly, their
// iterates summed a binade run at a time (l1_catchup).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/data/cache_hint.hpp"
#include "core/data/large_allocator.hpp"
#include "core/data/regression_data.hpp"
#include "core/kernels/dense_steps.hpp"
#include "core/kernels/exact_sum.hpp"
#include "core/kernels/l1_catchup.hpp"
#include "core/run/fit_options.hpp"
#include "core/sparse/sparse_rows.hpp"

namespace core {

// The step's constants, from the parameters, the options and the number of steps the run makes.
struct StepRule {
  double step = 0.0, lambda = 0.0;
  double a = 0.0;  // fl(step * lambda): the proximal threshold, and the untouched subgradient move
  bool prox = false, cumulative = false, intercept = false;
  uint64_t average_from = 0;  // 0: no averaging

  StepRule() = default;
  StepRule(double stepSize, double lambda_, const FitOptions &o, uint64_t steps)
      : step(stepSize),
        lambda(lambda_),
        a(stepSize * lambda_),
        prox(o.prox),
        cumulative(o.cumulative),
        intercept(o.intercept),
        average_from(o.average_from(steps)) {}
  // w_j's new value from its old one and c x_ij (the cumulative rule's data step: its clip follows).
  double next(double wj, double cx) const {
    if (prox) return soft_threshold(wj - step * cx, a);
    if (cumulative) return wj - step * cx;
    return wj - step * add_l1_subgradient(cx, wj, lambda);
  }
  // The cumulative rule's clip of w_j, with u the penalty so far and q_j what w_j has taken.
  static void clip(double &wj, double &qj, double u) {
    const double z = wj;
    if (z > 0)
      wj = std::max(0.0, z - (u + qj));
    else if (z < 0)
      wj = std::min(0.0, z + (u - qj));
    qj = qj + (wj - z);
  }
};

// What a model's steps hand back besides its weights.
struct StepsOutcome {
  double bias = 0.0;
  uint64_t average_from = 0;  // 0: nothing averaged
  uint64_t averaged = 0;
};

// The exact sums of averaged iterates, one per weight and one for the bias.
class IterateSums {
 public:
  IterateSums(int32_t D, const StepRule &rule) : from_(rule.average_from), sums_(from_ ? static_cast<size_t>(D) : 0) {}
  bool wanted(uint64_t t) const { return from_ != 0 && t >= from_; }
  uint64_t from() const { return from_; }
  ExactSum &operator[](size_t j) { return sums_[j]; }
  ExactSum &bias() { return bias_; }
  void count() { ++count_; }
  // The mean of the averaged iterates into w (and b); nothing when no step was averaged.
  void finish(double *w, double &b, StepsOutcome &out) const;

 private:
  uint64_t from_;
  std::vector<ExactSum, LargeArrayAllocator<ExactSum>> sums_;
  ExactSum bias_;
  uint64_t count_ = 0;
};

template <typename Rows>
class OptionSteps;

// Full rows: the residual by the dispatched dot kernel, the subgradient step by the dispatched step
// kernel, the proximal step in a loop of its own; w is the caller's array.
template <>
class OptionSteps<RegressionData> {
 public:
  OptionSteps(const RegressionData &rows, const StepRule &rule)
      : rows_(rows), rule_(rule), sums_(rows.D, rule), q_(rule.cumulative ? static_cast<size_t>(rows.D) : 0) {}
  void start_from(const double *) {}
  void step(int32_t i, double *w);
  void bring_up_to_date(double *) {}
  void pass(int32_t first, int32_t count, double *w) {
    for (int32_t i = first; i < first + count; ++i) step(i, w);
  }
  int32_t ahead() const { return 8; }
  void start(int32_t, const double *) {}
  void look_ahead(const int32_t *, int32_t, int32_t, int32_t) const {}
  int32_t batch() const { return 1; }
  void catch_up_ahead(const int32_t *, int32_t, int32_t, int32_t) {}
  void step_then_next(int32_t i, double *w, int32_t, int32_t ahead) {
    if (ahead >= 0) {
      core::fetch_line(rows_.row(ahead));
      core::fetch_line(rows_.labels.data() + ahead);
    }
    step(i, w);
  }
  uint64_t work(int32_t) const { return 4 * static_cast<uint64_t>(rows_.D) + 8; }
  const double *bias() const { return rule_.intercept ? &b_ : nullptr; }
  // w becomes the result (the mean of the averaged iterates, when averaging).
  StepsOutcome finish(double *w);

 private:
  const RegressionData &rows_;
  StepRule rule_;
  double b_ = 0.0;
  uint64_t t_ = 0;  // steps taken
  IterateSums sums_;
  double u_ = 0.0;         // the cumulative rule's penalty so far
  std::vector<double> q_;  // and what each weight has taken
};

// Sparse rows: a step costs the sample's nonzeros; the features it does not touch take their steps
// lazily (as LazyL1Steps), with the proximal catch-up when the rule is proximal and their iterates
// summed when averaging. The weights live inside: start_from(w) sets them, bring_up_to_date(w)
// writes them out.
template <>
class OptionSteps<SparseRows> {
 public:
  OptionSteps(const SparseRows &rows, const StepRule &rule);
  void start_from(const double *w);
  void step(int32_t i, double *);
  void bring_up_to_date(double *w);
  void pass(int32_t first, int32_t count, double *w) {
    for (int32_t i = first; i < first + count; ++i) step(i, w);
  }
  int32_t ahead() const { return SparseFetchAhead::kOffsetsAhead; }
  void start(int32_t, const double *) {}
  int32_t batch() const { return 1; }
  void catch_up_ahead(const int32_t *, int32_t, int32_t, int32_t) {}
  void look_ahead(const int32_t *ring, int32_t ring_size, int32_t k, int32_t steps) const {
    SparseFetchAhead::look_ahead(rows_, ring, ring_size, k, steps, kFeaturesAhead,
                                 [this](const SparseRow &x) { fetch_features(x); });
  }
  void step_then_next(int32_t i, double *w, int32_t, int32_t) { step(i, w); }
  uint64_t work(int32_t i) const { return 4 * static_cast<uint64_t>(rows_.row(i).count) + 8; }
  const double *bias() const { return rule_.intercept ? &b_ : nullptr; }
  StepsOutcome finish(double *w);

 private:
  struct Feature {
    double w = 0.0;
    uint64_t last = 0;  // the step w was last brought up to date at
    double q = 0.0;     // the cumulative rule: the penalty w has taken
  };
  static constexpr int32_t kFeaturesAhead = 3;
  static_assert(kFeaturesAhead <= SparseFetchAhead::kOffsetsAhead, "features fetched beyond the samples drawn");
  // The features x touches, each record's first and last byte (24 bytes may span two lines).
  void fetch_features(const SparseRow &x) const;
  // Feature j's untouched steps up to step `to`, the averaged ones summed. A long catch-up that sums
  // nothing goes into the group (n of them so far), which the dispatched kernel takes once full or
  // once the caller flushes it.
  void catch_up(size_t j, uint64_t to, int32_t &n);
  void flush_group(int32_t n);

  static constexpr int32_t kGroup = 64;
  void (*group_catch_up_)(LazyFeature *f, const int32_t *columns, const uint64_t *behind, int64_t count, double a);
  LazyFeature group_features_[kGroup];
  int32_t group_slots_[kGroup];  // 0 .. kGroup - 1: the kernel reads and writes group_features_ in order
  int32_t group_column_[kGroup];
  uint64_t group_behind_[kGroup];

  const SparseRows &rows_;
  StepRule rule_;
  double b_ = 0.0;
  double u_ = 0.0;  // the cumulative rule's penalty so far
  uint64_t now_ = 0;
  std::vector<Feature, LargeArrayAllocator<Feature>> features_;
  IterateSums sums_;
};

// kinkstep method 1's candidate with the options' rule: out = the step from w on sample i, and the
// candidate bias into *b_out when the rule has an intercept (b: the current bias). O(D) on either
// layout; sparse rows give the bits of full(X) (an untouched feature's c x_ij is c * 0).
void option_candidate(const RegressionData &rows, int32_t i, const double *w, double b, const StepRule &rule,
                      double *out, double *b_out);
void option_candidate(const SparseRows &rows, int32_t i, const double *w, double b, const StepRule &rule, double *out,
                      double *b_out);

}  // namespace core
