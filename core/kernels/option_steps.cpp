#include "core/kernels/option_steps.hpp"

#include <algorithm>

#include "core/data/cache_hint.hpp"
#include "core/kernels/kernels.hpp"

namespace core {

void IterateSums::finish(double *w, double &b, StepsOutcome &out) const {
  out.average_from = from_;
  out.averaged = count_;
  if (count_ == 0) return;
  for (size_t j = 0; j < sums_.size(); ++j) w[j] = sums_[j].mean(count_);
  b = bias_.mean(count_);
}

// Full rows.

void OptionSteps<RegressionData>::step(int32_t i, double *w) {
  const StepKernels &k = kernels().step;
  const double *x = rows_.row(i);
  const int32_t D = rows_.D;
  double c = k.dot(x, w, D);
  if (rule_.intercept) c = c + b_;
  c = c - rows_.label(i);
  if (rule_.prox) {
    const double step = rule_.step, a = rule_.a;
    for (int32_t j = 0; j < D; ++j) w[j] = soft_threshold(w[j] - step * (c * x[j]), a);
  } else if (rule_.cumulative) {
    u_ = u_ + rule_.a;
    const double step = rule_.step;
    for (int32_t j = 0; j < D; ++j) {
      if (x[j] == 0) continue;  // the feature is not in the sample: no step, no clip
      w[j] = w[j] - step * (c * x[j]);
      StepRule::clip(w[j], q_[static_cast<size_t>(j)], u_);
    }
  } else {
    k.step(x, c, w, w, D, rule_.step, rule_.lambda);
  }
  if (rule_.intercept) b_ = b_ - rule_.step * c;
  ++t_;
  if (!sums_.wanted(t_)) return;
  for (int32_t j = 0; j < D; ++j) sums_[static_cast<size_t>(j)].add(w[j]);
  if (rule_.intercept) sums_.bias().add(b_);
  sums_.count();
}

StepsOutcome OptionSteps<RegressionData>::finish(double *w) {
  StepsOutcome out;
  sums_.finish(w, b_, out);
  out.bias = b_;
  return out;
}

// Sparse rows.

OptionSteps<SparseRows>::OptionSteps(const SparseRows &rows, const StepRule &rule)
    : group_catch_up_(rule.prox ? kernels().catch_up.prox_catch_up : kernels().catch_up.catch_up),
      rows_(rows),
      rule_(rule),
      features_(static_cast<size_t>(rows.D)),
      sums_(rows.D, rule) {
  for (int32_t h = 0; h < kGroup; ++h) group_slots_[h] = h;
}

void OptionSteps<SparseRows>::start_from(const double *w) {
  for (size_t j = 0; j < features_.size(); ++j) features_[j].w = w[j];
}

void OptionSteps<SparseRows>::catch_up(size_t j, uint64_t to, int32_t &n) {
  Feature &f = features_[j];
  const uint64_t behind = to - f.last;
  f.last = to;
  if (behind == 0 || f.w == 0) return;  // a zero weight stays (an averaged zero adds nothing)
  if (rule_.cumulative) {
    // The cumulative rule leaves a feature the samples do not hold as it is.
    const uint64_t first = to - behind + 1;
    if (sums_.from() != 0) {
      const uint64_t from = std::max(first, sums_.from());
      if (from <= to) sums_[j].add_times(f.w, to - from + 1);
    }
    return;
  }
  // Steps last + 1 .. to; those before the first averaged one are not summed.
  uint64_t plain = behind;
  if (sums_.from() != 0) {
    const uint64_t first = to - behind + 1;
    plain = sums_.from() <= first ? 0 : (sums_.from() - first < behind ? sums_.from() - first : behind);
  }
  const uint64_t summed = behind - plain;
  if (summed == 0 && plain > kInlineSteps) {
    group_features_[n].w = f.w;
    group_column_[n] = static_cast<int32_t>(j);
    group_behind_[n] = plain;
    if (++n == kGroup) {
      flush_group(n);
      n = 0;
    }
    return;
  }
  if (plain > 0) f.w = rule_.prox ? prox_catch_up(f.w, rule_.a, plain) : l1_catch_up(f.w, rule_.a, plain);
  if (summed > 0)
    f.w = rule_.prox ? prox_catch_up_summed(f.w, rule_.a, summed, sums_[j])
                     : l1_catch_up_summed(f.w, rule_.a, summed, sums_[j]);
}

void OptionSteps<SparseRows>::flush_group(int32_t n) {
  group_catch_up_(group_features_, group_slots_, group_behind_, n, rule_.a);
  for (int32_t h = 0; h < n; ++h) features_[static_cast<size_t>(group_column_[h])].w = group_features_[h].w;
}

void OptionSteps<SparseRows>::fetch_features(const SparseRow &x) const {
  const Feature *f = features_.data();
  for (int64_t k = 0; k < x.count; ++k) {
    const Feature *fj = f + x.columns[k];
    core::fetch_line_for_write(fj);
    core::fetch_line_for_write(reinterpret_cast<const char *>(fj + 1) - 1);
  }
}

void OptionSteps<SparseRows>::step(int32_t i, double *) {
  const SparseRow x = rows_.row(i);
  const int32_t *const columns = x.columns;
  const double *const values = x.values;
  Feature *const f = features_.data();
  int32_t n = 0;
  for (int64_t k = 0; k < x.count; ++k) catch_up(static_cast<size_t>(columns[k]), now_, n);
  if (n > 0) flush_group(n);
  double s = 0.0;
  for (int64_t k = 0; k < x.count; ++k) s = s + values[k] * f[columns[k]].w;
  double c = s;
  if (rule_.intercept) c = c + b_;
  c = c - rows_.label(i);
  const uint64_t t = now_ + 1;
  const bool summed = sums_.wanted(t);
  if (rule_.cumulative) u_ = u_ + rule_.a;
  for (int64_t k = 0; k < x.count; ++k) {
    Feature &fj = f[columns[k]];
    fj.w = rule_.next(fj.w, c * values[k]);
    if (rule_.cumulative && values[k] != 0) StepRule::clip(fj.w, fj.q, u_);
    fj.last = t;
    if (summed) sums_[static_cast<size_t>(columns[k])].add(fj.w);
  }
  if (rule_.intercept) {
    b_ = b_ - rule_.step * c;
    if (summed) sums_.bias().add(b_);
  }
  if (summed) sums_.count();
  now_ = t;
}

void OptionSteps<SparseRows>::bring_up_to_date(double *w) {
  int32_t n = 0;
  for (size_t j = 0; j < features_.size(); ++j) catch_up(j, now_, n);
  if (n > 0) flush_group(n);
  for (size_t j = 0; j < features_.size(); ++j) w[j] = features_[j].w;
}

StepsOutcome OptionSteps<SparseRows>::finish(double *w) {
  bring_up_to_date(w);
  StepsOutcome out;
  sums_.finish(w, b_, out);
  out.bias = b_;
  return out;
}

// Method 1's candidates.

void option_candidate(const RegressionData &rows, int32_t i, const double *w, double b, const StepRule &rule,
                      double *out, double *b_out) {
  const StepKernels &k = kernels().step;
  const double *x = rows.row(i);
  double c = k.dot(x, w, rows.D);
  if (rule.intercept) c = c + b;
  c = c - rows.label(i);
  if (rule.prox) {
    for (int32_t j = 0; j < rows.D; ++j) out[j] = soft_threshold(w[j] - rule.step * (c * x[j]), rule.a);
  } else {
    k.step(x, c, w, out, rows.D, rule.step, rule.lambda);
  }
  if (rule.intercept) *b_out = b - rule.step * c;
}

void option_candidate(const SparseRows &rows, int32_t i, const double *w, double b, const StepRule &rule, double *out,
                      double *b_out) {
  const SparseRow x = rows.row(i);
  double s = 0.0;
  for (int64_t k = 0; k < x.count; ++k) s = s + x.values[k] * w[x.columns[k]];
  double c = s;
  if (rule.intercept) c = c + b;
  c = c - rows.label(i);
  int64_t k = 0;
  for (int32_t j = 0; j < rows.D; ++j) {
    const double xj = (k < x.count && x.columns[k] == j) ? x.values[k++] : 0.0;
    out[j] = rule.next(w[j], c * xj);
  }
  if (rule.intercept) *b_out = b - rule.step * c;
}

}  // namespace core
