#include "core/kernels/catch_up_kernels.hpp"

#include <cfloat>
#include <cstring>

#include "core/kernels/l1_catchup.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
// GCC 12's AVX-512 headers start some intrinsics from an undefined vector and then warn of it.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace core {
namespace {

void catch_up_generic(LazyFeature *f, const int32_t *columns, const uint64_t *behind, int64_t count, double a) {
  for (int64_t k = 0; k < count; ++k) {
    LazyFeature &fj = f[columns[k]];
    if (behind[k] != 0 && fj.w != 0) fj.w = l1_catch_up(fj.w, a, behind[k]);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define STOCHL1_AVX512DQ __attribute__((target("avx512f,avx512dq,avx512vl")))

// The amount's parts, broadcast to every lane.
struct Amount {
  __m512i bits, W, base;
  __m512d value;
};

// One turn of l1_catch_up_in_runs's loop in every lane, on |w| as bits b with s steps left: the
// run inside b's binade (steps_within_binade, with the division in double precision), then one step
// across the binade's edge when steps are left and |w| is still above the amount. The division:
// room < 2^53 and move >= 1 are integers, both exact as doubles, and floor(fl(room / move)) is
// floor(room / move). For Q = room / move not whole and k the integer above it, k - Q >= 1 / move;
// rounding up to k would need k - Q <= ulp(Q) / 2 <= Q 2^-53, that is room >= 2^53. A lane without steps or already at
// or below the amount is left as it is. Returns the lanes still falling.
STOCHL1_AVX512DQ inline __attribute__((always_inline)) __mmask8 turn(__m512i &b, __m512i &s, const Amount &amount) {
  const __m512i one = _mm512_set1_epi64(1), hidden = _mm512_set1_epi64(int64_t{1} << 52);
  const __mmask8 active = _mm512_cmpneq_epu64_mask(s, _mm512_setzero_si512()) & _mm512_cmpgt_epu64_mask(b, amount.bits);
  // b as W units of 2^(base - 1074), the subnormals sharing the lowest normal binade's unit.
  const __m512i E = _mm512_srli_epi64(b, 52);
  const __mmask8 normal = _mm512_cmpneq_epu64_mask(E, _mm512_setzero_si512());
  const __m512i base = _mm512_mask_sub_epi64(E, normal, E, one);
  const __m512i W0 =
      _mm512_or_si512(_mm512_and_si512(b, _mm512_sub_epi64(hidden, one)), _mm512_maskz_mov_epi64(normal, hidden));
  const __m512i bottom = _mm512_maskz_mov_epi64(_mm512_cmpgt_epu64_mask(base, _mm512_setzero_si512()), hidden);
  // The amount in these units, r = m + rest / 2^shift; a shift above 54 moves as 55 does (m = 0,
  // rest = the amount's W below half).
  const __m512i shift = _mm512_min_epu64(_mm512_sub_epi64(base, amount.base), _mm512_set1_epi64(55));
  const __m512i m = _mm512_srlv_epi64(amount.W, shift);
  const __m512i power = _mm512_sllv_epi64(one, shift);
  const __m512i rest = _mm512_and_si512(amount.W, _mm512_sub_epi64(power, one));
  const __m512i half = _mm512_srli_epi64(power, 1);
  const __mmask8 inexact = _mm512_cmpneq_epu64_mask(rest, _mm512_setzero_si512());
  const __mmask8 tie = inexact & _mm512_cmpeq_epu64_mask(rest, half);
  const __m512i ceil_r = _mm512_mask_add_epi64(m, inexact, m, one);
  __m512i move = _mm512_mask_add_epi64(m, _mm512_cmpgt_epu64_mask(rest, half), m, one);
  move = _mm512_mask_add_epi64(move, tie, move, _mm512_and_si512(m, one));
  const __mmask8 odd = _mm512_test_epi64_mask(W0, one);
  const __mmask8 blocked = (tie & odd) | _mm512_cmplt_epu64_mask(W0, _mm512_add_epi64(bottom, ceil_r));
  const __m512i room = _mm512_maskz_sub_epi64(static_cast<__mmask8>(~blocked), _mm512_sub_epi64(W0, bottom), ceil_r);
  const __mmask8 still = _mm512_cmpeq_epu64_mask(move, _mm512_setzero_si512());
  const __m512i divisor = _mm512_mask_mov_epi64(move, still, one);
  const __m512i q = _mm512_cvttpd_epu64(_mm512_div_pd(_mm512_cvtepu64_pd(room), _mm512_cvtepu64_pd(divisor)));
  __m512i n = _mm512_min_epu64(_mm512_add_epi64(q, one), s);
  n = _mm512_mask_mov_epi64(n, still, s);
  n = _mm512_maskz_mov_epi64(active & static_cast<__mmask8>(~blocked), n);
  const __m512i after =
      _mm512_add_epi64(_mm512_slli_epi64(base, 52), _mm512_sub_epi64(W0, _mm512_mullo_epi64(n, move)));
  s = _mm512_sub_epi64(s, n);
  const __mmask8 edge =
      active & _mm512_cmpneq_epu64_mask(s, _mm512_setzero_si512()) & _mm512_cmpgt_epu64_mask(after, amount.bits);
  const __m512i stepped = _mm512_castpd_si512(_mm512_sub_pd(_mm512_castsi512_pd(after), amount.value));
  b = _mm512_mask_mov_epi64(after, edge, stepped);
  s = _mm512_mask_sub_epi64(s, edge, s, one);
  return _mm512_cmpneq_epu64_mask(s, _mm512_setzero_si512()) & _mm512_cmpgt_epu64_mask(b, amount.bits);
}

// One step of every lane on the signed weights x (l1_untouched_step).
STOCHL1_AVX512DQ inline __attribute__((always_inline)) __m512d untouched_step(__m512d x, __m512d a) {
  const __mmask8 positive = _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_GT_OQ);
  const __mmask8 negative = _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_LT_OQ);
  return _mm512_mask_add_pd(_mm512_mask_sub_pd(x, positive, x, a), negative, x, a);
}

// The end of every lane's catch-up (l1_fall_end): from |w| as bits b with s steps left, w the
// weight before.
STOCHL1_AVX512DQ inline __attribute__((always_inline)) __m512i fall_end(__m512i b, __m512i s, __m512i w,
                                                                        const Amount &amount) {
  const __m512i zero = _mm512_setzero_si512(), one = _mm512_set1_epi64(1);
  const __m512i sign = _mm512_set1_epi64(INT64_MIN);
  // An exact zero is +0 from either side.
  const __mmask8 negative = _mm512_test_epi64_mask(w, sign) & _mm512_cmpneq_epu64_mask(b, zero);
  const __m512d x = _mm512_castsi512_pd(_mm512_mask_or_epi64(b, negative, b, sign));
  const __m512d x1 = untouched_step(x, amount.value), x2 = untouched_step(x1, amount.value);
  const __mmask8 odd = _mm512_test_epi64_mask(s, one);
  __m512d r = _mm512_mask_mov_pd(x2, odd, x1);
  const __mmask8 settles = _mm512_cmp_pd_mask(x2, _mm512_setzero_pd(), _CMP_EQ_OQ) & _mm512_cmpneq_epu64_mask(s, one);
  r = _mm512_mask_mov_pd(r, settles, _mm512_setzero_pd());
  r = _mm512_mask_mov_pd(r, _mm512_cmpeq_epu64_mask(s, zero), x);
  return _mm512_castpd_si512(r);
}

// Eight features of a group: their weights and steps behind gathered, the lanes that need no runs
// (no steps behind, a zero weight) kept as they are, an infinite or NaN weight left to the scalar
// catch-up afterwards.
struct Lanes {
  __m512i offsets, w, b, s;
  __mmask8 live, special;
};

STOCHL1_AVX512DQ inline __attribute__((always_inline)) Lanes gather(LazyFeature *f, __m256i columns, __mmask8 live,
                                                                    const uint64_t *behind) {
  Lanes l;
  l.live = live;
  l.offsets = _mm512_slli_epi64(_mm512_cvtepi32_epi64(columns), 4);  // 16 bytes a feature
  const __m512i zero = _mm512_setzero_si512();
  l.w = _mm512_mask_i64gather_epi64(zero, live, l.offsets, static_cast<void *>(f), 1);
  l.b = _mm512_and_si512(l.w, _mm512_set1_epi64(INT64_MAX));
  l.special = live & _mm512_cmpge_epu64_mask(l.b, _mm512_set1_epi64(int64_t{0x7FF} << 52));
  l.s = _mm512_maskz_loadu_epi64(live & static_cast<__mmask8>(~l.special), behind);
  return l;
}

STOCHL1_AVX512DQ inline __attribute__((always_inline)) void scatter(LazyFeature *f, const Lanes &l, __m512i b,
                                                                    __m512i s, const Amount &amount,
                                                                    const uint64_t *behind, double a) {
  const __m512i zero = _mm512_setzero_si512();
  // The lanes that moved: steps behind and a nonzero finite weight.
  const __mmask8 moved = _mm512_cmpneq_epu64_mask(l.s, zero) & _mm512_cmpneq_epu64_mask(l.b, zero);
  _mm512_mask_i64scatter_epi64(static_cast<void *>(f), moved, l.offsets, fall_end(b, s, l.w, amount), 1);
  if (l.special) {
    int64_t offsets[8];
    _mm512_storeu_si512(offsets, l.offsets);
    for (int k = 0; k < 8; ++k)
      if (l.special >> k & 1) {
        LazyFeature &fj = f[offsets[k] / 16];
        fj.w = l1_catch_up(fj.w, a, behind[k]);
      }
  }
}

// V vectors of eight features (the last one `tail` lanes, 1 to 8) turned together until none has
// a lane still falling: up to four groups' chains of dependent operations overlap.
template <int V>
STOCHL1_AVX512DQ inline __attribute__((always_inline)) void fall_together(LazyFeature *f, const int32_t *columns,
                                                                          const uint64_t *behind, int tail,
                                                                          const Amount &amount, double a) {
  Lanes l[V];
  __m512i b[V], s[V];
  for (int v = 0; v < V; ++v) {
    const __mmask8 live = static_cast<__mmask8>(v + 1 < V ? 0xFF : (1u << tail) - 1);
    l[v] = gather(f, _mm256_maskz_loadu_epi32(live, columns + 8 * v), live, behind + 8 * v);
    b[v] = l[v].b;
    s[v] = l[v].s;
  }
  for (bool falling = true; falling;) {
    __mmask8 any = 0;
    for (int v = 0; v < V; ++v) any |= turn(b[v], s[v], amount);
    falling = any != 0;
  }
  for (int v = 0; v < V; ++v) scatter(f, l[v], b[v], s[v], amount, behind + 8 * v, a);
}

STOCHL1_AVX512DQ void catch_up_avx512dq(LazyFeature *f, const int32_t *columns, const uint64_t *behind, int64_t count,
                                        double a) {
  if (!(a > 0 && a <= DBL_MAX)) {
    catch_up_generic(f, columns, behind, count, a);
    return;
  }
  uint64_t a_bits;
  std::memcpy(&a_bits, &a, sizeof a_bits);
  const uint64_t E = a_bits >> 52, fraction = a_bits & ((uint64_t{1} << 52) - 1);
  Amount amount;
  amount.bits = _mm512_set1_epi64(static_cast<int64_t>(a_bits));
  amount.W = _mm512_set1_epi64(static_cast<int64_t>(E == 0 ? fraction : fraction | (uint64_t{1} << 52)));
  amount.base = _mm512_set1_epi64(static_cast<int64_t>(E == 0 ? 0 : E - 1));
  amount.value = _mm512_set1_pd(a);
  for (int64_t first = 0; first < count; first += 32) {
    const int n = static_cast<int>(count - first < 32 ? count - first : 32);
    const int tail = n - (n - 1) / 8 * 8;
    switch ((n + 7) / 8) {
      case 1:
        fall_together<1>(f, columns + first, behind + first, tail, amount, a);
        break;
      case 2:
        fall_together<2>(f, columns + first, behind + first, tail, amount, a);
        break;
      case 3:
        fall_together<3>(f, columns + first, behind + first, tail, amount, a);
        break;
      default:
        fall_together<4>(f, columns + first, behind + first, tail, amount, a);
        break;
    }
  }
}
#endif

}  // namespace

CatchUpKernel catch_up_kernel_for(InstructionSet s) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (s == InstructionSet::kAvx512vl && __builtin_cpu_supports("avx512dq")) return {"avx512dq", catch_up_avx512dq};
#endif
  (void)s;
  return {"generic", catch_up_generic};
}

}  // namespace core
