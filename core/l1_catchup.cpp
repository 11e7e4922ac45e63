#include "core/l1_catchup.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace core {
namespace {

constexpr uint64_t kHidden = uint64_t{1} << 52;           // the implicit leading bit of a normal double
constexpr uint64_t kLargest = (uint64_t{1} << 53) - 1;    // the largest significand of a binade

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
// `steps`, 0 when not even the next one is provably inside); |a| < v is required.
uint64_t steps_within_binade(uint64_t &W, int32_t base, double amount, bool growing, uint64_t steps) {
  const Units a = units_of(amount);
  const int32_t shift = base - a.base;  // >= 0, as amount < v
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
  uint64_t n;
  if (!growing) {
    const uint64_t bottom = base > 0 ? kHidden : 0;
    if (W < bottom + ceil_r) return 0;
    if (move == 0) return steps;
    n = (W - bottom - ceil_r) / move + 1;
    if (n > steps) n = steps;
    W -= n * move;  // move <= ceil_r, so W stays >= bottom
  } else {
    if (W + ceil_r > kLargest) return 0;
    if (move == 0) return steps;
    n = (kLargest - ceil_r - W) / move + 1;
    if (n > steps) n = steps;
    W += n * move;
  }
  return n;
}

}  // namespace

double l1_catch_up(double w, double a, uint64_t steps) {
  // A step on a positive weight is fl(v - a) with v = w; on a negative one fl(w + a), which is
  // -fl(|w| - a) since rounding to nearest is symmetric, except for an exact zero, which is +0
  // either way. So the runs inside a binade are taken on |w|.
  const bool finite_amount = std::isfinite(a) && a != 0;
  const double amount = std::fabs(a);
  double before = 0.0;  // the value two steps back, while single steps are taken
  bool have_before = false;
  while (steps > 0) {
    if (!(w > 0 || w < 0)) return w;  // zero and NaN stay as they are
    if (a == 0) return w;             // w - (+-0) is w
    const double v = std::fabs(w);
    if (finite_amount && amount < v && v <= DBL_MAX) {
      Units u = units_of(v);
      const uint64_t n = steps_within_binade(u.W, u.base, amount, a < 0, steps);
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

}  // namespace core
