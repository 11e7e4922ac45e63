#include "core/kernels/l1_catchup.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace core {
namespace {

constexpr uint64_t kHidden = uint64_t{1} << 52;         // the implicit leading bit of a normal double
constexpr uint64_t kLargest = (uint64_t{1} << 53) - 1;  // the largest significand of a binade

uint64_t bits_of(double x) {
  uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

double from_bits(uint64_t b) {
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

// A positive finite double as W units of its binade, the unit being 2^(base - 1074): base is the
// biased exponent less one, and 0 for the subnormals, which share the unit of the lowest normal
// binade, so that [0, 2^-1021) is one evenly spaced grid.
struct Units {
  uint64_t W;
  int32_t base;
};

Units units_of(double v) {
  const uint64_t b = bits_of(v);
  const int32_t E = static_cast<int32_t>(b >> 52);
  const uint64_t M = b & (kHidden - 1);
  if (E == 0) return {M, 0};
  return {M | kHidden, E - 1};
}

// The inverse of units_of for W up to kLargest: the exponent field and the hidden bit add up.
double from_units(uint64_t W, int32_t base) {
  return from_bits((static_cast<uint64_t>(base) << 52) + W);
}

bool same_bits(double x, double y) {
  return bits_of(x) == bits_of(y);
}

// v <- fl(v - a) repeatedly (fl(v + |a|) when `growing`), for steps whose exact result provably
// stays inside v's binade [B, 2^53) units, where every representable value is a whole unit and
// rounding to the nearest double is rounding to the nearest integer. With r = |a| in units,
// m = floor(r): a step moves W by m when the fraction of r is below one half, by m + 1 above it;
// on a tie (fraction exactly one half) round-half-even makes the result even, so from an even W on
// every step moves by the even one of m, m + 1. The exact result of a step from W is W -+ r, which
// stays in the binade while W -+ ceil(r) does. Returns the number of steps applied to W (at most
// `steps`, 0 when not even the next one is provably inside); |a| < v is required, and `a` holds
// |a| in units of its own binade.
uint64_t steps_within_binade(uint64_t &W, int32_t base, Units a, bool growing, uint64_t steps) {
  const int32_t shift = base - a.base;  // >= 0, as |a| < v
  uint64_t move, ceil_r;
  if (shift > 54) {
    // r < 2^53 / 2^55: the step rounds back to W unless it crosses the binade's edge.
    move = 0;
    ceil_r = 1;
  } else {
    const uint64_t m = a.W >> shift;
    const uint64_t rest = a.W & ((uint64_t{1} << shift) - 1);
    if (rest == 0) {
      move = m;
      ceil_r = m;
    } else {
      const uint64_t half = uint64_t{1} << (shift - 1);
      ceil_r = m + 1;
      if (rest < half)
        move = m;
      else if (rest > half)
        move = m + 1;
      else if (W & 1)
        return 0;  // a tie from an odd W: the single step makes it even
      else
        move = m + (m & 1);
    }
  }
  // The room for steps: step t (from 0) stays inside while t * move <= room.
  uint64_t room;
  if (!growing) {
    const uint64_t bottom = base > 0 ? kHidden : 0;
    if (W < bottom + ceil_r) return 0;
    room = W - bottom - ceil_r;
  } else {
    if (W + ceil_r > kLargest) return 0;
    room = kLargest - ceil_r - W;
  }
  if (move == 0) return steps;
  // n = min(steps, room / move + 1), without the division when all the steps fit (move and room
  // are below 2^53, so the product is formed in 128 bits).
  uint64_t n;
  if (static_cast<unsigned __int128>(steps - 1) * move <= room)
    n = steps;
  else
    n = room / move + 1;
  if (growing)
    W += n * move;
  else
    W -= n * move;  // move <= ceil_r, so W stays >= bottom
  return n;
}

// Every case, step by step where no closed form is proven: a negative amount (the weight grows,
// possibly to overflow), an infinite or NaN amount, an infinite weight.
double catch_up_any(double w, double a, uint64_t steps) {
  // A step on a positive weight is fl(v - a) with v = w; on a negative one fl(w + a), which is
  // -fl(|w| - a) since rounding to nearest is symmetric, except for an exact zero, which is +0
  // either way. So the runs inside a binade are taken on |w|.
  const bool finite_amount = std::isfinite(a) && a != 0;
  const double amount = std::fabs(a);
  const Units amount_units = finite_amount ? units_of(amount) : Units{0, 0};
  double before = 0.0;  // the value two steps back, while single steps are taken
  bool have_before = false;
  while (steps > 0) {
    if (!(w > 0 || w < 0)) return w;  // zero and NaN stay as they are
    if (a == 0) return w;             // w - (+-0) is w
    const double v = std::fabs(w);
    if (finite_amount && amount < v && v <= DBL_MAX) {
      Units u = units_of(v);
      const uint64_t n = steps_within_binade(u.W, u.base, amount_units, a < 0, steps);
      if (n > 0) {
        steps -= n;
        const double moved = from_units(u.W, u.base);
        w = moved == 0 ? 0.0 : (w > 0 ? moved : -moved);
        have_before = false;
        continue;
      }
    }
    // A binade's edge, a tie from an odd W, or the steps around zero (|w| <= |a|): one at a time.
    // The step is a fixed map, so a value that recurs after one or two steps repeats for ever.
    const double next = l1_untouched_step(w, a);
    --steps;
    if (same_bits(next, w)) return next;
    if (have_before && same_bits(next, before)) return steps % 2 == 0 ? next : w;
    before = w;
    have_before = true;
    w = next;
  }
  return w;
}

// The steps one at a time, each value added to `sum` when there is one, until a value recurs after
// one or two steps (the step is a fixed map: it then repeats for ever, and the rest is counted at
// once). For the cases without a closed form with a >= 0: an infinite or NaN weight or amount, a
// zero amount.
template <bool Prox>
double one_at_a_time(double w, double a, uint64_t steps, ExactSum *sum) {
  double before = 0.0;
  bool have_before = false;
  while (steps > 0) {
    const double next = Prox ? prox_untouched_step(w, a) : l1_untouched_step(w, a);
    --steps;
    if (sum) sum->add(next);
    if (same_bits(next, w)) {
      if (sum) sum->add_times(next, steps);
      return next;
    }
    if (have_before && same_bits(next, before)) {
      // The values alternate w, next, w, ... from here.
      if (sum) {
        sum->add_times(w, (steps + 1) / 2);
        sum->add_times(next, steps / 2);
      }
      return steps % 2 == 0 ? next : w;
    }
    before = w;
    have_before = true;
    w = next;
  }
  return w;
}

// A run of n steps inside one binade, from W units down by `move` units a step: the values after
// each step, W - move, ..., W - n * move, add up to n * W - move * n (n + 1) / 2 units.
void add_run(ExactSum &sum, uint64_t W, uint64_t W_end, uint64_t n, int32_t base, bool negative) {
  const uint64_t move = (W - W_end) / n;
  const unsigned __int128 triangle = (n % 2 == 0) ? static_cast<unsigned __int128>(n / 2) * (n + 1)
                                                  : static_cast<unsigned __int128>(n) * ((n + 1) / 2);
  sum.add_units(static_cast<unsigned __int128>(n) * W - triangle * move, base, negative);
}

// The catch-up for a > 0 finite and w finite and nonzero: |w| falls toward zero binade by binade
// (the sign stays while |w| > a, since then |w| - a > 0 exactly and rounds to a positive value), a
// run inside a binade being one integer multiplication. Below a: the subgradient step alternates
// between two values (see l1_catch_up), the proximal one stays at +0.
template <bool Prox>
double falling(double w, double a, uint64_t steps, ExactSum *sum) {
  const Units amount = units_of(a);
  const bool negative = w < 0;
  double v = std::fabs(w);
  while (v > a) {
    Units u = units_of(v);
    const uint64_t from = u.W;
    const uint64_t n = steps_within_binade(u.W, u.base, amount, false, steps);
    if (n > 0) {
      steps -= n;
      if (sum) add_run(*sum, from, u.W, n, u.base, negative);
      v = from_units(u.W, u.base);
    } else {
      // Across the binade's edge (or a tie from an odd W). A step that leaves v as it was (v a
      // power of two and a at most a quarter of its unit) leaves it so for good.
      const double next = v - a;
      if (next == v) {
        if (sum) sum->add_times(negative ? -v : v, steps);
        return negative ? -v : v;
      }
      v = next;
      --steps;
      if (sum) sum->add(negative ? -v : v);
    }
    if (steps == 0) return v == 0 ? 0.0 : (negative ? -v : v);  // an exact zero is +0 from either side
  }
  if (v == 0 || Prox) return 0.0;
  // 0 < |w| <= a. With x1 the next value: if |w| >= a/2, w - a is exact (Sterbenz) and the next
  // step gives back w; otherwise |x1| lies in [a/2, a], so x1 + a is exact, x2 = x1 + a and the
  // step after gives back x1. Either way the values alternate x1, x2, x1, ... unless one is zero,
  // which stays.
  const double x1 = l1_untouched_step(negative ? -v : v, a);
  if (steps == 1) {
    if (sum) sum->add(x1);
    return x1;
  }
  const double x2 = l1_untouched_step(x1, a);
  if (x2 == 0) {
    if (sum) sum->add(x1);
    return 0.0;
  }
  if (sum) {
    sum->add_times(x1, (steps + 1) / 2);
    sum->add_times(x2, steps / 2);
  }
  return steps % 2 == 1 ? x1 : x2;
}

template <bool Prox>
double catch_up_nonnegative(double w, double a, uint64_t steps, ExactSum *sum) {
  if (steps == 0) return w;
  if (w == 0) return Prox ? 0.0 : w;  // a zero weight stays (the proximal step makes it +0)
  if (a > 0 && a <= DBL_MAX && std::fabs(w) <= DBL_MAX) return falling<Prox>(w, a, steps, sum);
  return one_at_a_time<Prox>(w, a, steps, sum);
}

}  // namespace

double prox_catch_up(double w, double a, uint64_t steps) {
  return catch_up_nonnegative<true>(w, a, steps, nullptr);
}

double l1_catch_up_summed(double w, double a, uint64_t steps, ExactSum &sum) {
  return catch_up_nonnegative<false>(w, a, steps, &sum);
}

double prox_catch_up_summed(double w, double a, uint64_t steps, ExactSum &sum) {
  return catch_up_nonnegative<true>(w, a, steps, &sum);
}

double l1_catch_up_in_runs(double w, double a, uint64_t steps) {
  if (steps == 0 || !(w > 0 || w < 0) || a == 0) return w;  // zero and NaN weights stay
  if (!(a > 0 && a <= DBL_MAX) || !(std::fabs(w) <= DBL_MAX)) return catch_up_any(w, a, steps);

  // The usual case, a > 0 and w finite: |w| falls toward zero, binade by binade (on |w|, as above:
  // the sign stays while |w| > a, since then |w| - a > 0 exactly and rounds to a positive value).
  const Units amount = units_of(a);
  double v = std::fabs(w);
  while (v > a) {
    Units u = units_of(v);
    const uint64_t n = steps_within_binade(u.W, u.base, amount, false, steps);
    if (n > 0) {
      steps -= n;
      v = from_units(u.W, u.base);
    } else {
      // Across the binade's edge (or a tie from an odd W); a step that leaves v as it was (v a
      // power of two and a at most a quarter of its unit) leaves it so for good.
      const double next = v - a;
      if (next == v) break;
      v = next;
      --steps;
    }
    if (steps == 0) break;
  }
  return l1_fall_end(v, w<0, a, v> a ? 0 : steps);  // above a only as a fixed point
}

double l1_fall_end(double v, bool negative, double a, uint64_t steps) {
  if (v == 0) return 0.0;  // an exact zero is +0 from either side, and stays
  const double x = negative ? -v : v;
  if (steps == 0) return x;
  // 0 < |w| <= a. With x1 the next value: if |w| >= a/2, w - a is exact (Sterbenz) and the next
  // step gives back w; otherwise |x1| lies in [a/2, a], so x1 + a is exact, x2 = x1 + a and the
  // step after gives back x1. Either way the values alternate x1, x2, x1, ... unless one is zero,
  // which stays.
  const double x1 = l1_untouched_step(x, a);
  if (steps == 1) return x1;
  const double x2 = l1_untouched_step(x1, a);
  if (x2 == 0) return 0.0;
  return steps % 2 == 1 ? x1 : x2;
}

}  // namespace core
