#include "core/kernels/catch_up_kernels.hpp"

#include <cfloat>
#include <cstring>

#include "core/kernels/l1_catchup.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
// GCC 12's AVX-512 headers start some intrinsics from an undefined vector and then warn of it.
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif

namespace core {
namespace {

// The catch-up of one feature, the subgradient's or the proximal step's.
template <bool Prox>
double one_catch_up(double w, double a, uint64_t steps) {
  if constexpr (Prox) return prox_catch_up(w, a, steps);
  return l1_catch_up(w, a, steps);
}

template <bool Prox>
void catch_up_generic(LazyFeature *f, const int32_t *columns, const uint64_t *behind, int64_t count, double a) {
  for (int64_t k = 0; k < count; ++k) {
    LazyFeature &fj = f[columns[k]];
    if (behind[k] != 0 && (fj.w != 0 || Prox)) fj.w = one_catch_up<Prox>(fj.w, a, behind[k]);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define STOCHL1_AVX512DQ __attribute__((target("avx512f,avx512dq,avx512vl")))
#define STOCHL1_IN_LINE inline __attribute__((always_inline))

// The lanes' arithmetic is kept inside these bounds, where every value below is a normal double
// and every operation named exact is: smaller amounts, larger weights and more steps behind go to
// the scalar catch-up (none occurs in a run with sensible data).
constexpr double kLeastAmount = 0x1p-900, kMostWeight = 0x1p1000, kMostSteps = 0x1p53;

// So do weights of 2^52 a and more: below that a is more than a unit of the weight's binade, so
// every step moves a weight by a unit at least, and the lanes need not handle a run that cannot
// move or a step that leaves a power of two as it is.
double most_weight(double amount) {
  return amount * 0x1p52 < kMostWeight ? amount * 0x1p52 : kMostWeight;
}

// Below kPlainSteps * a the binades hold a few steps each, and plain steps (a subtraction and two
// compares) take them for less than the turns that work out a run (some 20 operations, a division
// among them). On catch-ups recorded from sparse runs 8 took 15 % off the kernel's time; 4, 6, 12
// and 32 less. At least 2: the turns rely on v > 2a (see turn).
constexpr double kPlainSteps = 8;
static_assert(kPlainSteps >= 2, "the step across a binade's edge must start above a");

bool lanes_take(double amount) {
  return amount >= kLeastAmount && amount <= DBL_MAX;
}

// The one binade [p, 2p) whose steps can end in a tie, or infinity if none can: a tie needs a to be
// an odd number of half units, that is, a's lowest set bit to be half the unit p 2^-52.
double tie_binade(double a) {
  uint64_t bits;
  std::memcpy(&bits, &a, sizeof bits);
  double lowest = a;  // a power of two: its lowest set bit is the leading one
  if ((bits & ((uint64_t{1} << 52) - 1)) != 0) {
    double rest;
    const uint64_t cleared = bits & (bits - 1);
    std::memcpy(&rest, &cleared, sizeof rest);
    lowest = a - rest;  // exact: the two differ in that one bit
  }
  return lowest * 0x1p53;  // infinity when the binade would lie above every double
}

// What the lanes derive from the amount a, once a call: the binade of ties, the weight below
// which they step plainly, the weight from which the scalar catch-up takes over, and whether the
// binade of ties lies where the lanes turn (holding weights above kPlainSteps * a, so p above half
// that, and below `most`).
struct Bounds {
  double ties, low, most;
  bool ties_in_turns;
};

Bounds bounds_of(double amount) {
  Bounds b{tie_binade(amount), kPlainSteps * amount, most_weight(amount), false};
  b.ties_in_turns = b.ties > kPlainSteps / 2 * amount && b.ties < b.most;
  return b;
}

// One turn of l1_catch_up_in_runs's loop in every lane still falling (|w| = v > low = 8a, see
// kPlainSteps, with s > 0 steps left, s an integer held as a double): the run inside v's binade
// (steps_within_binade), then one step across the binade's edge when steps are left. In the binade
// [p, 2p) the unit is u = p 2^-52 and everything is an integer number of units below 2^53, so each
// sum and difference here is exact:
//   move = fl(p + a) - p is a rounded to whole units, an exact tie to an even count (the tie rule of
//     the steps, since p is an even number of units), as a < p / 4;
//   ceil = fl(p + a) - p rounded up is a rounded up to whole units; a tie (a an odd number of half
//     units) is possible in one binade only, `ties` (tie_binade);
//   the room v - p - ceil over move gives the steps that stay inside: floor(fl(room / move)) is
//     floor(room / move) for whole numbers room < 2^53 and move >= 1 units (v < 2^52 a, see
//     most_weight): for Q = room / move not whole and k the integer above it, k - Q >= 1 / move,
//     and rounding up to k would need k - Q <= ulp(Q) / 2 <= Q 2^-53, that is room >= 2^53 units;
//   n moves of `move` units stay at or above p, so v - n move is exact (an FMA rounds it once).
// As v > 8a, p > 4a: the run ends at p or above and the step across the edge starts above a.
// Ties are looked for only where that binade lies among the turns' (`Ties`). Lanes not falling are
// left as they are. Returns the lanes still above `low` with steps left.
template <bool Ties>
STOCHL1_AVX512DQ STOCHL1_IN_LINE __mmask8 turn(__m512d &v, __m512d &s, __mmask8 falling, __m512d a, __m512d ties,
                                               __m512d low) {
  const __m512d one = _mm512_set1_pd(1.0);
  const __m512d p = _mm512_and_pd(v, _mm512_castsi512_pd(_mm512_set1_epi64(int64_t{0x7FF} << 52)));
  const __m512d move = _mm512_sub_pd(_mm512_add_pd(p, a), p);
  const __m512d ceil = _mm512_sub_pd(_mm512_add_round_pd(p, a, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC), p);
  const __m512d off = _mm512_sub_pd(v, p);
  __mmask8 blocked = _mm512_cmp_pd_mask(off, ceil, _CMP_LT_OQ);
  if constexpr (Ties)
    blocked |=
        _mm512_cmp_pd_mask(p, ties, _CMP_EQ_OQ) & _mm512_test_epi64_mask(_mm512_castpd_si512(v), _mm512_set1_epi64(1));
  const __m512d room = _mm512_sub_pd(off, ceil);
  const __m512d q = _mm512_roundscale_pd(_mm512_div_pd(room, move), _MM_FROUND_TO_NEG_INF);
  const __m512d n = _mm512_maskz_min_pd(falling & static_cast<__mmask8>(~blocked), _mm512_add_pd(q, one), s);
  const __m512d after = _mm512_fnmadd_pd(n, move, v);
  s = _mm512_sub_pd(s, n);
  const __mmask8 edge = _mm512_mask_cmp_pd_mask(falling, s, _mm512_setzero_pd(), _CMP_GT_OQ);
  v = _mm512_mask_sub_pd(after, edge, after, a);
  s = _mm512_mask_sub_pd(s, edge, s, one);
  return _mm512_cmp_pd_mask(s, _mm512_setzero_pd(), _CMP_GT_OQ) & _mm512_cmp_pd_mask(v, low, _CMP_GT_OQ);
}

// One plain step, v <- fl(v - a), of every lane with v > a and steps left: the step itself, as the
// loop takes it. Returns the lanes that still have one to take.
STOCHL1_AVX512DQ STOCHL1_IN_LINE __mmask8 plain_step(__m512d &v, __m512d &s, __mmask8 falling, __m512d a) {
  v = _mm512_mask_sub_pd(v, falling, v, a);
  s = _mm512_mask_sub_pd(s, falling, s, _mm512_set1_pd(1.0));
  return _mm512_mask_cmp_pd_mask(falling, s, _mm512_setzero_pd(), _CMP_GT_OQ) &
         _mm512_mask_cmp_pd_mask(falling, v, a, _CMP_GT_OQ);
}

// One step of every lane on the signed weights x (l1_untouched_step).
STOCHL1_AVX512DQ STOCHL1_IN_LINE __m512d untouched_step(__m512d x, __m512d a) {
  const __mmask8 positive = _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_GT_OQ);
  const __mmask8 negative = _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_LT_OQ);
  return _mm512_mask_add_pd(_mm512_mask_sub_pd(x, positive, x, a), negative, x, a);
}

// The end of every lane's catch-up (l1_fall_end): from |w| = v with s steps left, w the weight
// before. The proximal step's fall is the same while |w| > a, and ends at +0 where steps are left.
template <bool Prox>
STOCHL1_AVX512DQ STOCHL1_IN_LINE __m512d fall_end(__m512d v, __m512d s, __m512d w, __m512d a) {
  const __m512d zero = _mm512_setzero_pd();
  // An exact zero is +0 from either side.
  const __mmask8 negative = _mm512_cmp_pd_mask(w, zero, _CMP_LT_OQ) & _mm512_cmp_pd_mask(v, zero, _CMP_NEQ_OQ);
  const __m512d x = _mm512_mask_sub_pd(v, negative, zero, v);
  if constexpr (Prox) return _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(s, zero, _CMP_EQ_OQ), x);
  const __m512d x1 = untouched_step(x, a), x2 = untouched_step(x1, a);
  const __mmask8 odd = _mm512_test_epi64_mask(_mm512_cvtpd_epu64(s), _mm512_set1_epi64(1));
  __m512d r = _mm512_mask_mov_pd(x2, odd, x1);
  const __mmask8 settles =
      _mm512_cmp_pd_mask(x2, zero, _CMP_EQ_OQ) & _mm512_cmp_pd_mask(s, _mm512_set1_pd(1.0), _CMP_NEQ_OQ);
  r = _mm512_mask_mov_pd(r, settles, zero);
  return _mm512_mask_mov_pd(r, _mm512_cmp_pd_mask(s, zero, _CMP_EQ_OQ), x);
}

// Eight features of a group: their weights and steps behind gathered; the lanes that move are those
// with steps behind and a nonzero weight (any weight for the proximal step, which makes -0 +0); one
// outside the bounds above is left to the scalar catch-up.
struct Lanes {
  __m512i offsets;
  __m512d w;
  __mmask8 moves, scalar;
};

template <bool Prox>
STOCHL1_AVX512DQ STOCHL1_IN_LINE Lanes gather(LazyFeature *f, __m256i columns, __mmask8 live, const uint64_t *behind,
                                              __m512d most, __m512d &v, __m512d &s) {
  Lanes l;
  l.offsets = _mm512_slli_epi64(_mm512_cvtepi32_epi64(columns), 4);  // 16 bytes a feature
  l.w = _mm512_castsi512_pd(
      _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), live, l.offsets, static_cast<void *>(f), 1));
  const __m512i steps = _mm512_maskz_loadu_epi64(live, behind);
  v = _mm512_abs_pd(l.w);
  l.moves = _mm512_cmpneq_epu64_mask(steps, _mm512_setzero_si512());
  if constexpr (!Prox) l.moves &= _mm512_cmp_pd_mask(v, _mm512_setzero_pd(), _CMP_NEQ_UQ);
  l.scalar = l.moves & (_mm512_cmp_pd_mask(v, most, _CMP_NLT_UQ) |
                        _mm512_cmpge_epu64_mask(steps, _mm512_set1_epi64(static_cast<int64_t>(kMostSteps))));
  s = _mm512_maskz_cvtepu64_pd(l.moves & static_cast<__mmask8>(~l.scalar), steps);
  return l;
}

template <bool Prox>
STOCHL1_AVX512DQ STOCHL1_IN_LINE void scatter(LazyFeature *f, const Lanes &l, __m512d v, __m512d s, __m512d a,
                                              const uint64_t *behind) {
  const __mmask8 vector = l.moves & static_cast<__mmask8>(~l.scalar);
  _mm512_mask_i64scatter_pd(static_cast<void *>(f), vector, l.offsets, fall_end<Prox>(v, s, l.w, a), 1);
  if (l.scalar) {
    int64_t offsets[8];
    _mm512_storeu_si512(offsets, l.offsets);
    for (int k = 0; k < 8; ++k)
      if (l.scalar >> k & 1) {
        LazyFeature &fj = f[offsets[k] / 16];
        fj.w = one_catch_up<Prox>(fj.w, _mm512_cvtsd_f64(a), behind[k]);
      }
  }
}

// The amount and what follows from it, in every lane.
struct Amount {
  __m512d a, ties, low, most;
};

STOCHL1_AVX512DQ STOCHL1_IN_LINE Amount amount_lanes(double amount, const Bounds &b) {
  return {_mm512_set1_pd(amount), _mm512_set1_pd(b.ties), _mm512_set1_pd(b.low), _mm512_set1_pd(b.most)};
}

// V vectors of eight features (the last one `tail` lanes, 1 to 8) turned together until none has
// a lane above `low` still falling, then stepped plainly until none is above a: up to four groups'
// chains of dependent operations overlap.
template <int V, bool Prox, bool Ties>
STOCHL1_AVX512DQ STOCHL1_IN_LINE void fall_together(LazyFeature *f, const int32_t *columns, const uint64_t *behind,
                                                    int tail, const Amount &c) {
  Lanes l[V];
  __m512d v[V], s[V];
  __mmask8 falling[V];
  __mmask8 any = 0;
  for (int k = 0; k < V; ++k) {
    const __mmask8 live = static_cast<__mmask8>(k + 1 < V ? 0xFF : (1u << tail) - 1);
    l[k] = gather<Prox>(f, _mm256_maskz_loadu_epi32(live, columns + 8 * k), live, behind + 8 * k, c.most, v[k], s[k]);
    falling[k] =
        _mm512_cmp_pd_mask(s[k], _mm512_setzero_pd(), _CMP_GT_OQ) & _mm512_cmp_pd_mask(v[k], c.low, _CMP_GT_OQ);
    any |= falling[k];
  }
  while (any) {
    any = 0;
    for (int k = 0; k < V; ++k) {
      falling[k] = turn<Ties>(v[k], s[k], falling[k], c.a, c.ties, c.low);
      any |= falling[k];
    }
  }
  for (int k = 0; k < V; ++k) {
    falling[k] = _mm512_cmp_pd_mask(s[k], _mm512_setzero_pd(), _CMP_GT_OQ) & _mm512_cmp_pd_mask(v[k], c.a, _CMP_GT_OQ);
    any |= falling[k];
  }
  while (any) {
    any = 0;
    for (int k = 0; k < V; ++k) {
      falling[k] = plain_step(v[k], s[k], falling[k], c.a);
      any |= falling[k];
    }
  }
  for (int k = 0; k < V; ++k) scatter<Prox>(f, l[k], v[k], s[k], c.a, behind + 8 * k);
}

template <bool Prox, bool Ties>
STOCHL1_AVX512DQ void fall_in_groups(LazyFeature *f, const int32_t *columns, const uint64_t *behind, int64_t count,
                                     const Amount &c) {
  for (int64_t first = 0; first < count; first += 32) {
    const int n = static_cast<int>(count - first < 32 ? count - first : 32);
    const int tail = n - (n - 1) / 8 * 8;
    switch ((n + 7) / 8) {
      case 1:
        fall_together<1, Prox, Ties>(f, columns + first, behind + first, tail, c);
        break;
      case 2:
        fall_together<2, Prox, Ties>(f, columns + first, behind + first, tail, c);
        break;
      case 3:
        fall_together<3, Prox, Ties>(f, columns + first, behind + first, tail, c);
        break;
      default:
        fall_together<4, Prox, Ties>(f, columns + first, behind + first, tail, c);
        break;
    }
  }
}

template <bool Prox>
STOCHL1_AVX512DQ void catch_up_avx512dq(LazyFeature *f, const int32_t *columns, const uint64_t *behind, int64_t count,
                                        double amount) {
  if (!lanes_take(amount)) return catch_up_generic<Prox>(f, columns, behind, count, amount);
  const Bounds b = bounds_of(amount);
  const Amount c = amount_lanes(amount, b);
  if (b.ties_in_turns)
    fall_in_groups<Prox, true>(f, columns, behind, count, c);
  else
    fall_in_groups<Prox, false>(f, columns, behind, count, c);
}

// The same turns on four lanes a vector with AVX2: compares give lane masks, a choice is a blend,
// the ceiling is the move plus a unit where the move is below a (no rounding up), the move's
// product and the difference are two exact operations instead of an FMA, there is no scatter, and
// the steps behind become doubles through the 2^52 trick, so the lanes take fewer than 2^52 of
// them.
#define STOCHL1_AVX2 __attribute__((target("avx2")))

struct Avx2Constants {
  __m256d a, ties, low, most, one, zero, exponent, magnitude, unit, two52;
  __m256i low_bit;
  bool ties_in_turns;
};

STOCHL1_AVX2 STOCHL1_IN_LINE Avx2Constants avx2_constants(double amount) {
  Avx2Constants c;
  c.a = _mm256_set1_pd(amount);
  const Bounds b = bounds_of(amount);
  c.ties = _mm256_set1_pd(b.ties);
  c.low = _mm256_set1_pd(b.low);
  c.most = _mm256_set1_pd(b.most);
  c.ties_in_turns = b.ties_in_turns;
  c.one = _mm256_set1_pd(1.0);
  c.zero = _mm256_setzero_pd();
  c.exponent = _mm256_castsi256_pd(_mm256_set1_epi64x(int64_t{0x7FF} << 52));
  c.magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(INT64_MAX));
  c.unit = _mm256_set1_pd(0x1p-52);
  c.two52 = _mm256_set1_pd(0x1p52);
  c.low_bit = _mm256_set1_epi64x(1);
  return c;
}

STOCHL1_AVX2 STOCHL1_IN_LINE __m256d odd_lanes(__m256d x, const Avx2Constants &c) {
  return _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(_mm256_castpd_si256(x), c.low_bit), c.low_bit));
}

template <bool Ties>
STOCHL1_AVX2 STOCHL1_IN_LINE __m256d turn_avx2(__m256d &v, __m256d &s, __m256d falling, const Avx2Constants &c) {
  const __m256d p = _mm256_and_pd(v, c.exponent);
  const __m256d u = _mm256_mul_pd(p, c.unit);
  const __m256d move = _mm256_sub_pd(_mm256_add_pd(p, c.a), p);
  const __m256d ceil = _mm256_add_pd(move, _mm256_and_pd(_mm256_cmp_pd(move, c.a, _CMP_LT_OQ), u));
  const __m256d off = _mm256_sub_pd(v, p);
  __m256d blocked = _mm256_cmp_pd(off, ceil, _CMP_LT_OQ);
  if constexpr (Ties)
    blocked = _mm256_or_pd(blocked, _mm256_and_pd(_mm256_cmp_pd(p, c.ties, _CMP_EQ_OQ), odd_lanes(v, c)));
  const __m256d room = _mm256_sub_pd(off, ceil);
  const __m256d q = _mm256_floor_pd(_mm256_div_pd(room, move));
  const __m256d n = _mm256_and_pd(_mm256_min_pd(_mm256_add_pd(q, c.one), s), _mm256_andnot_pd(blocked, falling));
  const __m256d after = _mm256_sub_pd(v, _mm256_mul_pd(n, move));
  s = _mm256_sub_pd(s, n);
  const __m256d edge = _mm256_and_pd(falling, _mm256_cmp_pd(s, c.zero, _CMP_GT_OQ));
  v = _mm256_blendv_pd(after, _mm256_sub_pd(after, c.a), edge);
  s = _mm256_sub_pd(s, _mm256_and_pd(edge, c.one));
  return _mm256_and_pd(_mm256_cmp_pd(s, c.zero, _CMP_GT_OQ), _mm256_cmp_pd(v, c.low, _CMP_GT_OQ));
}

// One plain step of the lanes still falling (see plain_step); the others subtract +0.
STOCHL1_AVX2 STOCHL1_IN_LINE __m256d plain_step_avx2(__m256d &v, __m256d &s, __m256d falling, const Avx2Constants &c) {
  v = _mm256_sub_pd(v, _mm256_and_pd(falling, c.a));
  s = _mm256_sub_pd(s, _mm256_and_pd(falling, c.one));
  return _mm256_and_pd(falling, _mm256_and_pd(_mm256_cmp_pd(s, c.zero, _CMP_GT_OQ), _mm256_cmp_pd(v, c.a, _CMP_GT_OQ)));
}

STOCHL1_AVX2 STOCHL1_IN_LINE __m256d untouched_step_avx2(__m256d x, const Avx2Constants &c) {
  const __m256d r = _mm256_blendv_pd(x, _mm256_sub_pd(x, c.a), _mm256_cmp_pd(x, c.zero, _CMP_GT_OQ));
  return _mm256_blendv_pd(r, _mm256_add_pd(x, c.a), _mm256_cmp_pd(x, c.zero, _CMP_LT_OQ));
}

template <bool Prox>
STOCHL1_AVX2 STOCHL1_IN_LINE __m256d fall_end_avx2(__m256d v, __m256d s, __m256d w, const Avx2Constants &c) {
  const __m256d negative = _mm256_and_pd(_mm256_cmp_pd(w, c.zero, _CMP_LT_OQ), _mm256_cmp_pd(v, c.zero, _CMP_NEQ_OQ));
  const __m256d x = _mm256_blendv_pd(v, _mm256_sub_pd(c.zero, v), negative);
  if constexpr (Prox) return _mm256_and_pd(x, _mm256_cmp_pd(s, c.zero, _CMP_EQ_OQ));
  const __m256d x1 = untouched_step_avx2(x, c), x2 = untouched_step_avx2(x1, c);
  // s < 2^52 is a whole number: its parity is the last bit of s + 2^52.
  __m256d r = _mm256_blendv_pd(x2, x1, odd_lanes(_mm256_add_pd(s, c.two52), c));
  const __m256d settles = _mm256_and_pd(_mm256_cmp_pd(x2, c.zero, _CMP_EQ_OQ), _mm256_cmp_pd(s, c.one, _CMP_NEQ_OQ));
  r = _mm256_blendv_pd(r, c.zero, settles);
  return _mm256_blendv_pd(r, x, _mm256_cmp_pd(s, c.zero, _CMP_EQ_OQ));
}

// Up to sixteen features, four vectors of four.
template <bool Prox, bool Ties>
STOCHL1_AVX2 void fall_together_avx2(LazyFeature *f, const int32_t *columns, const uint64_t *behind, int count,
                                     const Avx2Constants &c) {
  constexpr int V = 4;
  __m256d w[V], v[V], s[V], falling[V];
  int moves[V], scalar[V];
  int any = 0;
  for (int k = 0; k < V; ++k) {
    double lanes_w[4] = {0, 0, 0, 0};
    uint64_t lanes_s[4] = {0, 0, 0, 0};
    for (int h = 0; h < 4 && 4 * k + h < count; ++h) {
      lanes_w[h] = f[columns[4 * k + h]].w;
      lanes_s[h] = behind[4 * k + h];
    }
    w[k] = _mm256_loadu_pd(lanes_w);
    const __m256i steps = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(lanes_s));
    v[k] = _mm256_and_pd(w[k], c.magnitude);
    const __m256d moving =
        _mm256_andnot_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(steps, _mm256_setzero_si256())),
                         Prox ? _mm256_castsi256_pd(_mm256_set1_epi64x(-1)) : _mm256_cmp_pd(v[k], c.zero, _CMP_NEQ_UQ));
    const __m256d outside =
        _mm256_or_pd(_mm256_cmp_pd(v[k], c.most, _CMP_NLT_UQ),
                     _mm256_castsi256_pd(_mm256_cmpgt_epi64(_mm256_srli_epi64(steps, 52), _mm256_setzero_si256())));
    moves[k] = _mm256_movemask_pd(moving);
    scalar[k] = _mm256_movemask_pd(_mm256_and_pd(moving, outside));
    // The steps behind as doubles: the bits of 2^52 + steps, less 2^52 (exact below 2^52).
    const __m256d as_double =
        _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(steps, _mm256_castpd_si256(c.two52))), c.two52);
    s[k] = _mm256_and_pd(as_double, _mm256_andnot_pd(outside, moving));
    falling[k] = _mm256_and_pd(_mm256_cmp_pd(s[k], c.zero, _CMP_GT_OQ), _mm256_cmp_pd(v[k], c.low, _CMP_GT_OQ));
    any |= _mm256_movemask_pd(falling[k]);
  }
  while (any) {
    any = 0;
    for (int k = 0; k < V; ++k) {
      falling[k] = turn_avx2<Ties>(v[k], s[k], falling[k], c);
      any |= _mm256_movemask_pd(falling[k]);
    }
  }
  for (int k = 0; k < V; ++k) {
    falling[k] = _mm256_and_pd(_mm256_cmp_pd(s[k], c.zero, _CMP_GT_OQ), _mm256_cmp_pd(v[k], c.a, _CMP_GT_OQ));
    any |= _mm256_movemask_pd(falling[k]);
  }
  while (any) {
    any = 0;
    for (int k = 0; k < V; ++k) {
      falling[k] = plain_step_avx2(v[k], s[k], falling[k], c);
      any |= _mm256_movemask_pd(falling[k]);
    }
  }
  for (int k = 0; k < V; ++k) {
    double out[4];
    _mm256_storeu_pd(out, fall_end_avx2<Prox>(v[k], s[k], w[k], c));
    for (int h = 0; h < 4 && 4 * k + h < count; ++h) {
      LazyFeature &fj = f[columns[4 * k + h]];
      if (scalar[k] >> h & 1)
        fj.w = one_catch_up<Prox>(fj.w, _mm256_cvtsd_f64(c.a), behind[4 * k + h]);
      else if (moves[k] >> h & 1)
        fj.w = out[h];
    }
  }
}

template <bool Prox>
STOCHL1_AVX2 void catch_up_avx2(LazyFeature *f, const int32_t *columns, const uint64_t *behind, int64_t count,
                                double amount) {
  if (!lanes_take(amount)) return catch_up_generic<Prox>(f, columns, behind, count, amount);
  const Avx2Constants c = avx2_constants(amount);
  for (int64_t first = 0; first < count; first += 16) {
    const int n = static_cast<int>(count - first < 16 ? count - first : 16);
    if (c.ties_in_turns)
      fall_together_avx2<Prox, true>(f, columns + first, behind + first, n, c);
    else
      fall_together_avx2<Prox, false>(f, columns + first, behind + first, n, c);
  }
}
#endif

}  // namespace

CatchUpKernel catch_up_kernel_for(InstructionSet s) {
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  if (s == InstructionSet::kAvx512vl && __builtin_cpu_supports("avx512dq"))
    return {"avx512dq", catch_up_avx512dq<false>, catch_up_avx512dq<true>, 3};
  if (s != InstructionSet::kGeneric) return {"avx2", catch_up_avx2<false>, catch_up_avx2<true>, 3};
#endif
  (void)s;
  return {"generic", catch_up_generic<false>, catch_up_generic<true>, 1};
}

}  // namespace core
