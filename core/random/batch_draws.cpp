#include "core/random/batch_draws.hpp"

#include <algorithm>
#include <cstring>

namespace core {
namespace {

constexpr int kLanes = 8;
typedef uint64_t Words __attribute__((vector_size(kLanes * sizeof(uint64_t))));
typedef uint32_t Halves __attribute__((vector_size(kLanes * sizeof(uint32_t))));
typedef int32_t Ints __attribute__((vector_size(kLanes * sizeof(int32_t))));
typedef double Doubles __attribute__((vector_size(kLanes * sizeof(double))));

// The step that moves a state `steps` steps on at once: state * mul + inc (mod 2^64).
struct Jump {
  uint64_t mul, inc;
};
constexpr Jump jump_of(int steps) {
  Jump j{1, 0};
  for (int k = 0; k < steps; ++k) j = {j.mul * kRandMultiplier, j.inc * kRandMultiplier + kRandIncrement};
  return j;
}
constexpr Jump kLaneJump = jump_of(kLanes);

__attribute__((always_inline)) inline uint64_t step(uint64_t state) {
  return state * kRandMultiplier + kRandIncrement;
}

// Lane l holds the state of value l; each jump moves every lane kLanes values on. (Vectors pass
// by reference: their registers differ between the versions.)
__attribute__((always_inline)) inline void lanes_from(uint64_t state, Words &s) {
  for (int l = 0; l < kLanes; ++l) {
    s[l] = state;
    state = step(state);
  }
}

// rand_output on every lane.
__attribute__((always_inline)) inline void outputs_of(const Words &old, Halves &out) {
  const Halves x = __builtin_convertvector(((old >> 18) ^ old) >> 27, Halves);
  const Halves r = __builtin_convertvector(old >> 59, Halves);
  out = ((x >> r) | (x << ((32u - r) & 31u))) >> 1;
}

__attribute__((always_inline)) inline void values_of_lanes(uint64_t &state, int32_t count, int32_t *out) {
  int32_t i = 0;
  if (count >= kLanes) {
    Words s;
    lanes_from(state, s);
    for (; i + kLanes <= count; i += kLanes) {
      Halves v;
      outputs_of(s, v);
      s = s * kLaneJump.mul + kLaneJump.inc;
      std::memcpy(out + i, &v, sizeof v);
    }
    state = s[0];
  }
  for (; i < count; ++i) {
    out[i] = rand_output(state);
    state = step(state);
  }
}

// v % d for v < 2^31 and 1 <= d < 2^31 without an integer division: the quotient v / d rounded to
// a double is never rounded up to the next integer m + 1. A quotient that is not an integer lies
// at least 1/d below m + 1, and rounding reaches m + 1 only from within half its last place, at
// most (m + 1) * 2^-53: that would need d * (m + 1) >= 2^53, where d * (m + 1) <= v + d < 2^32.
// So its truncation is the integer quotient q and v - q * d the remainder. Both conversions are of
// values below 2^31, as signed integers, which every vector set has.
// `use` takes the slots of steps first + i .. first + i + 7 (block) or of one step (one).
template <typename Use>
__attribute__((always_inline)) inline void slots_of_lanes(uint64_t &state, int32_t first, int32_t count, Use &use) {
  int32_t i = 0;
  if (count >= kLanes) {
    Words s;
    lanes_from(state, s);
    Halves d;  // first + i + 1 of every lane: at most 2^31 - 1 + kLanes, so unsigned
    for (int l = 0; l < kLanes; ++l) d[l] = static_cast<uint32_t>(first) + static_cast<uint32_t>(l) + 1u;
    for (; i + kLanes <= count; i += kLanes) {
      Halves v;
      outputs_of(s, v);
      s = s * kLaneJump.mul + kLaneJump.inc;
      const Doubles q = __builtin_convertvector((Ints)v, Doubles) / __builtin_convertvector((Ints)d, Doubles);
      const Ints k = (Ints)(v - (Halves) __builtin_convertvector(q, Ints) * d);
      use.block(i, k);
      d += static_cast<uint32_t>(kLanes);
    }
    state = s[0];
  }
  for (; i < count; ++i) {
    use.one(i, rand_output(state) % (first + i + 1));
    state = step(state);
  }
}

struct StoreSlots {
  int32_t *slot;
  __attribute__((always_inline)) void block(int32_t i, const Ints &k) { std::memcpy(slot + i, &k, sizeof k); }
  __attribute__((always_inline)) void one(int32_t i, int32_t k) { slot[i] = k; }
};

// The slot clamped to b, the head's length: a step that places nothing in the head writes the spare
// entry p[b] instead, so that placing is one store without a branch (whether a step hits the head
// cannot be predicted while j is a few times b, and a mispredicted branch here also throws away the
// divisions in flight).
struct ClampedSlots {
  int32_t *slot;
  int32_t b;
  __attribute__((always_inline)) void block(int32_t i, const Ints &k) {
    const Ints clamped = k < b ? k : b;
    std::memcpy(slot + i, &clamped, sizeof clamped);
  }
  __attribute__((always_inline)) void one(int32_t i, int32_t k) { slot[i] = k < b ? k : b; }
};

// One version per instruction set, chosen at run time as the other kernels are.
void values_generic(uint64_t &state, int32_t count, int32_t *out) {
  values_of_lanes(state, count, out);
}
void slots_generic(uint64_t &state, int32_t first, int32_t count, int32_t *slot) {
  StoreSlots use{slot};
  slots_of_lanes(state, first, count, use);
}
void head_generic(uint64_t &state, int32_t first, int32_t count, int32_t b, int32_t *slot) {
  ClampedSlots use{slot, b};
  slots_of_lanes(state, first, count, use);
}
#if defined(__x86_64__)
__attribute__((target("avx2"))) void values_avx2(uint64_t &state, int32_t count, int32_t *out) {
  values_of_lanes(state, count, out);
}
__attribute__((target("avx2"))) void slots_avx2(uint64_t &state, int32_t first, int32_t count, int32_t *slot) {
  StoreSlots use{slot};
  slots_of_lanes(state, first, count, use);
}
__attribute__((target("avx2"))) void head_avx2(uint64_t &state, int32_t first, int32_t count, int32_t b,
                                               int32_t *slot) {
  ClampedSlots use{slot, b};
  slots_of_lanes(state, first, count, use);
}
__attribute__((target("avx512f"))) void values_avx512(uint64_t &state, int32_t count, int32_t *out) {
  values_of_lanes(state, count, out);
}
__attribute__((target("avx512f"))) void slots_avx512(uint64_t &state, int32_t first, int32_t count, int32_t *slot) {
  StoreSlots use{slot};
  slots_of_lanes(state, first, count, use);
}
__attribute__((target("avx512f"))) void head_avx512(uint64_t &state, int32_t first, int32_t count, int32_t b,
                                                    int32_t *slot) {
  ClampedSlots use{slot, b};
  slots_of_lanes(state, first, count, use);
}
#endif

const DrawKernel &chosen_draw_kernel() {
  // Chosen once; the choice allocates nothing, so the first call may come from inside a team.
  static const DrawKernel chosen = draw_kernel_for(chosen_instruction_set());
  return chosen;
}

}  // namespace

DrawKernel draw_kernel_for(InstructionSet s) {
#if defined(__x86_64__)
  if (s == InstructionSet::kAvx2) return {"avx2", values_avx2, slots_avx2, head_avx2};
  if (s == InstructionSet::kAvx512f || s == InstructionSet::kAvx512vl)
    return {"avx512f", values_avx512, slots_avx512, head_avx512};
#else
  (void)s;
#endif
  return {"generic", values_generic, slots_generic, head_generic};
}

void draw_values(ThreadRand &rand, int32_t count, int32_t *out) {
#ifdef STOCHL1_TEST_SEAMS
  if (rand.script) {
    for (int32_t i = 0; i < count; ++i) out[i] = rand.next();
    return;
  }
  rand.draws += static_cast<uint64_t>(count > 0 ? count : 0);
#endif
  chosen_draw_kernel().values(rand.state, count, out);
}

void draw_shuffle_slots(ThreadRand &rand, int32_t first, int32_t count, int32_t *slot) {
#ifdef STOCHL1_TEST_SEAMS
  if (rand.script) {
    for (int32_t i = 0; i < count; ++i) slot[i] = rand.next() % (first + i + 1);
    return;
  }
  rand.draws += static_cast<uint64_t>(count > 0 ? count : 0);
#endif
  chosen_draw_kernel().slots(rand.state, first, count, slot);
}

void draw_head_slots(ThreadRand &rand, int32_t first, int32_t count, int32_t b, int32_t *slot) {
#ifdef STOCHL1_TEST_SEAMS
  if (rand.script) {
    for (int32_t i = 0; i < count; ++i) slot[i] = std::min(rand.next() % (first + i + 1), b);
    return;
  }
  rand.draws += static_cast<uint64_t>(count > 0 ? count : 0);
#endif
  chosen_draw_kernel().head(rand.state, first, count, b, slot);
}

uint64_t rand_state_after(uint64_t state, uint64_t steps) {
  uint64_t mul = kRandMultiplier, inc = kRandIncrement;  // the step 2^i times, for i = 0, 1, ...
  uint64_t total_mul = 1, total_inc = 0;
  for (; steps > 0; steps >>= 1) {
    if (steps & 1) {
      total_mul *= mul;
      total_inc = total_inc * mul + inc;
    }
    inc = (mul + 1) * inc;
    mul *= mul;
  }
  return total_mul * state + total_inc;
}

void shuffle_head_hits(uint64_t state, int32_t first, int32_t last, int32_t b, int32_t *hit) {
  constexpr int32_t kBlock = 512;
  int32_t slot[kBlock];
  const DrawKernel &kernel = chosen_draw_kernel();
  for (int32_t at = first, count = 0; at < last; at += count) {  // never past last, which may be 2^31 - 1
    count = std::min(kBlock, last - at);
    kernel.head(state, at, count, b, slot);
    for (int32_t i = 0; i < count; ++i) hit[slot[i]] = at + i;  // hit[b] when it falls outside
  }
}

bool draws_scripted(const ThreadRand &rand) {
#ifdef STOCHL1_TEST_SEAMS
  return rand.script != nullptr;
#else
  (void)rand;
  return false;
#endif
}

void count_draws(ThreadRand &rand, uint64_t n) {
#ifdef STOCHL1_TEST_SEAMS
  rand.draws += n;
#else
  (void)rand;
  (void)n;
#endif
}

}  // namespace core
