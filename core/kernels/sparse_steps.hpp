// The kernels of a step on compressed sparse rows (core::SparseRows), giving the bits of the dense
// kernels on full(X). A term x_ij * w_j with x_ij = 0 is +-0 while w_j is finite, and the in-order
// sums start at +0 and never become -0, so leaving such terms out changes no partial sum: the dot
// products and the gradient sums run over a row's nonzeros in increasing column order. (When a
// weight or a residual is an infinity or NaN, 0 * Inf is NaN in the dense sums and the two may
// differ.)
#pragma once

#include <cstdint>
#include <vector>

#include "core/data/cache_hint.hpp"
#include "core/data/large_allocator.hpp"
#include "core/kernels/kernels.hpp"
#include "core/kernels/l1_catchup.hpp"
#include "core/kernels/primitives.hpp"
#include "core/sparse/sparse_rows.hpp"

namespace core {

// Features a step of sample i touches about, for the Ctrl-C questions.
inline uint64_t row_work(const SparseRows &rows, int32_t i) {
  return static_cast<uint64_t>(rows.row(i).count) + 1;
}

// One-sample subgradient into all D entries of g, as sample_subgradient forms it on the dense row:
// c = x_i . w - y_i, g_j = add_l1_subgradient(c * x_ij, w_j, lambda), with c * 0 for the features
// the row does not hold. O(D + the row's nonzeros).
void sample_subgradient(const SparseRows &rows, int32_t i, const double *w, double lambda, double *g);

// kinkstep method 1's candidate, out = w - step * g with g as above (into the caller's buffer g):
// O(D) whatever the layout.
void subgradient_candidate(const SparseRows &rows, int32_t i, const double *w, double *g, double lambda, double step,
                           double *out);

// One thread's run of one-sample steps w <- w - stepSize * g from w = 0, each step costing the
// sample's nonzeros: a feature the sample does not touch only moves by the L1 term, which is
// applied lazily (l1_catch_up) when a later sample touches the feature, or when bring_up_to_date
// is called (at the end, and before anything reads all of w, such as an objective). The weights are
// then the bits the dense loop gives, step for step. Each weight is held beside the step it was last
// brought up to date at, so that a touched feature costs one cache line: 16 bytes a feature.
// Allocates only when made.
class LazyL1Steps {
 public:
  LazyL1Steps(int32_t D, double stepSize, double lambda)
      : step_size_(stepSize),
        lambda_(lambda),
        amount_(stepSize * lambda),
        catch_up_(kernels().catch_up.catch_up),
        steps_together_(kernels().catch_up.steps_together),
        features_(static_cast<size_t>(D)),
        fetch_features_(features_.size() * sizeof(Feature) > kCacheBytes) {}

  // The weights the steps start from (D values; zeros until set).
  void start_from(const double *w) {
    for (size_t j = 0; j < features_.size(); ++j) features_[j].w = w[j];
  }

  // One step on sample x with label y.
  void step(const SparseRow &x, double y) {
    const int32_t *const columns = x.columns;
    const double *const values = x.values;
    Feature *const f = features_.data();
    if (now_ < caught_up_to_) {
      // catch_up_ahead took this step's long catch-ups: a feature is at most a few steps behind.
      for (int64_t k = 0; k < x.count; ++k) {
        Feature &fj = f[columns[k]];
        const uint64_t behind = now_ - fj.last;
        if (behind != 0 && fj.w != 0) fj.w = l1_catch_up(fj.w, amount_, behind);
      }
    } else {
      // The touched features lie anywhere in memory: ask for all of them at once, so that their
      // cache misses overlap instead of following one another through the catch-ups.
      if (fetch_features_)
        for (int64_t k = 0; k < x.count; ++k) core::fetch_line_for_write(f + columns[k]);
      int64_t n = 0;
      for (int64_t k = 0; k < x.count; ++k) take(columns[k], now_, n);
      if (n > 0) catch_up_(f, group_columns_, group_behind_, n, amount_);
    }
    // The dot product in a loop of its own, free of calls, so that its sum stays in a register.
    double s = 0.0;
    for (int64_t k = 0; k < x.count; ++k) s = s + values[k] * f[columns[k]].w;
    const double c = s - y;
    const uint64_t after = now_ + 1;
    for (int64_t k = 0; k < x.count; ++k) {
      Feature &fj = f[columns[k]];
      // add_l1_subgradient as a choice between the three sums rather than a branch: the signs of
      // the weights are not predictable.
      const double t = c * values[k];
      const double g = by_sign(fj.w, t + lambda_, t - lambda_, t);
      fj.w = fj.w - step_size_ * g;
      fj.last = after;
    }
    now_ = after;
  }

  // The untouched steps of the features of rows[0 .. count - 1], the samples of the next `count`
  // steps in order, taken together before those steps (the catch-ups of several steps side by side
  // fill the kernel's lanes): each feature is brought up to the step of the first of them that
  // holds it, unless it is up to date now (touched at the last step, or brought up to date). A
  // later one, and one left as it was, are fewer than `count` steps behind at their step, which
  // takes those steps in line. Nothing may read the weights before those steps are taken.
  void catch_up_ahead(const SparseRow *rows, int count) {
    Feature *const f = features_.data();
    int64_t n = 0;
    for (int d = 0; d < count; ++d) {
      const SparseRow &x = rows[d];
      const uint64_t to = now_ + static_cast<uint64_t>(d);
      for (int64_t k = 0; k < x.count; ++k) {
        const int32_t j = x.columns[k];
        Feature &fj = f[j];
        // Taken for an earlier sample of these (its step is at least now_), or up to date now.
        if (fj.last >= now_) continue;
        take(j, to, n);
      }
    }
    if (n > 0) catch_up_(f, group_columns_, group_behind_, n, amount_);
    caught_up_to_ = now_ + static_cast<uint64_t>(count);
  }

  // How many steps catch_up_ahead should be given at once (1: not worth calling).
  int steps_together() const { return steps_together_; }

  // A hint that x comes next: its features are fetched.
  void prefetch(const SparseRow &x) const {
    if (!fetch_features_) return;
    const Feature *const f = features_.data();
    for (int64_t k = 0; k < x.count; ++k) core::fetch_line_for_write(f + x.columns[k]);
  }

  // Every weight brought up to the steps taken, and written to w (D values).
  void bring_up_to_date(double *w) {
    Feature *const f = features_.data();
    const int32_t D = static_cast<int32_t>(features_.size());
    for (int32_t first = 0; first < D; first += kGroup) {
      const int32_t n = D - first < kGroup ? D - first : kGroup;
      for (int32_t h = 0; h < n; ++h) {
        group_columns_[h] = first + h;
        group_behind_[h] = now_ - f[first + h].last;
      }
      catch_up_(f, group_columns_, group_behind_, n, amount_);
    }
    for (int32_t j = 0; j < D; ++j) {
      f[j].last = now_;
      w[j] = f[j].w;
    }
  }

  uint64_t steps_taken() const { return now_; }

 private:
  using Feature = LazyFeature;
  // Feature j brought up to step `to`: a few steps in line (a feature touched again soon, as in
  // fuller rows), more into the group for the kernel (n of them so far), which goes once full. Its
  // step becomes `to`.
  void take(int32_t j, uint64_t to, int64_t &n) {
    Feature &fj = features_[static_cast<size_t>(j)];
    const uint64_t behind = to - fj.last;
    fj.last = to;
    if (behind == 0 || fj.w == 0) return;
    if (behind <= kInlineSteps) {
      fj.w = l1_catch_up(fj.w, amount_, behind);
      return;
    }
    group_columns_[n] = j;
    group_behind_[n] = behind;
    if (++n == kGroup) {
      catch_up_(features_.data(), group_columns_, group_behind_, n, amount_);
      n = 0;
    }
  }
  // The features of a group of catch-ups.
  static constexpr int32_t kGroup = 64;
  int32_t group_columns_[kGroup];
  uint64_t group_behind_[kGroup];
  // Features beyond this many bytes are mostly not in the cache when a step touches them.
  static constexpr size_t kCacheBytes = size_t{1} << 19;
  double step_size_, lambda_, amount_;
  void (*catch_up_)(LazyFeature *f, const int32_t *columns, const uint64_t *behind, int64_t count, double a);
  int steps_together_;
  uint64_t now_ = 0;
  uint64_t caught_up_to_ = 0;  // the steps before it had their long catch-ups taken ahead
  std::vector<Feature, LargeArrayAllocator<Feature>> features_;
  bool fetch_features_;  // the touched features are fetched ahead of the step
};

}  // namespace core
