// The L1 part of the steps a sample does not touch, applied lazily.
//
// In a one-sample step the gradient of a feature j the sample does not touch is c*0 + lambda*sign(w_j)
// (the residual c times a zero feature is +-0, and +-0 + lambda is lambda), so such a step moves
// w_j by the same amount a = fl(stepSize * lambda) every time:
//   w_j > 0: w_j <- fl(w_j - a);   w_j < 0: w_j <- fl(w_j + a);   a zero (or NaN) weight stays.
// A sparse solver skips the untouched features and brings a feature up to date only when a sample
// touches it (and at the end, and before an objective): l1_catch_up gives exactly the value the
// step-by-step loop would have reached, bit for bit.
//
// This holds while c is finite. Once the residual is an infinity or NaN, c*0 is NaN and the dense
// step turns every weight into NaN; the lazy form leaves the untouched ones alone.
//
// Weights that start at +0 never become -0 in these solvers (x - y is -0 in round-to-nearest only
// when x is -0 and y is +0), so a zero weight simply stays as it is.
#pragma once

#include <cmath>
#include <cstdint>

#include "core/kernels/exact_sum.hpp"
#include "core/kernels/primitives.hpp"

namespace core {

// One untouched step.
inline double l1_untouched_step(double w, double a) {
  if (w > 0) return w - a;
  if (w < 0) return w + a;
  return w;
}

// `steps` untouched steps at once, the same bits as `steps` calls of l1_untouched_step. Within one
// binade of |w| every step moves w by the same whole number of units in the last place (or by one
// of two on an exact tie, which the first rounding settles), so a run of steps that provably stays
// inside the binade is one integer multiplication; binade crossings and the steps around zero are
// taken one at a time, and the values near zero, which settle into a fixed point or a cycle of two,
// end the loop as soon as the cycle shows. Costs O(binades crossed), whatever `steps` is.
double l1_catch_up_in_runs(double w, double a, uint64_t steps);

// The same, the few steps of a feature touched again soon (a dense X stored as sparse touches most
// features every step or two) taken one by one in line: cheaper there than a call that sets up runs.
constexpr uint64_t kInlineSteps = 4;
inline double l1_catch_up(double w, double a, uint64_t steps) {
  if (steps > kInlineSteps) return l1_catch_up_in_runs(w, a, steps);
  for (; steps > 0; --steps) w = by_sign(w, w - a, w + a, w);
  return w;
}

// The end of a catch-up that fell to |w| = v <= a (negative: w < 0) with `steps` left, or to any v
// with none left: the values near zero alternate between two, unless one is zero.
double l1_fall_end(double v, bool negative, double a, uint64_t steps);

// The soft threshold of the proximal L1 step, a = fl(stepSize * lambda) >= 0: +0 when |v| <= a,
// else sign(v) * fl(|v| - a) (v - a or v + a: rounding to nearest is symmetric). A NaN stays NaN.
inline double soft_threshold(double v, double a) {
  if (std::fabs(v) <= a) return 0.0;
  return v > 0 ? v - a : v + a;
}

// The proximal form of an untouched step: the soft threshold of w_j - stepSize * (c * 0) = w_j. It
// follows the subgradient step down to |w_j| <= a and then stays at +0 instead of entering a cycle.
inline double prox_untouched_step(double w, double a) {
  return soft_threshold(w, a);
}

// `steps` proximal untouched steps at once, the same bits as `steps` calls of prox_untouched_step;
// a >= 0 is required (the proximal step takes no negative step size or penalty).
double prox_catch_up(double w, double a, uint64_t steps);

// The same two catch-ups, each also adding every value it passes through (the weight after each of
// the `steps` steps) into `sum`: what averaging the iterates needs, at the same cost. a >= 0 is
// required.
double l1_catch_up_summed(double w, double a, uint64_t steps, ExactSum &sum);
double prox_catch_up_summed(double w, double a, uint64_t steps, ExactSum &sum);

}  // namespace core
