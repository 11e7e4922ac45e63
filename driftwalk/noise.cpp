#include "driftwalk/noise.hpp"

#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/kernels/cpu.hpp"
#include "core/random/thread_rand.hpp"

namespace driftwalk {
namespace {

constexpr double kCarryUnit = 0x1p-48;
constexpr int kSeedingSteps = 2 * SwcEngine::kLongLag;

// The seeding generator's k-th output from seed s is 40014^k * s mod m: with the powers in a table
// the 24 outputs are independent products instead of a chain of 24 dependent remainders.
struct Powers {
  uint32_t of[kSeedingSteps + 1];
};
constexpr Powers seeding_powers() {
  Powers p{};
  uint64_t v = 1;
  for (int k = 0; k <= kSeedingSteps; ++k) {
    p.of[k] = static_cast<uint32_t>(v);
    v = v * 40014u % kSeedModulus;
  }
  return p;
}
constexpr Powers kPowers = seeding_powers();

// Exact: m = 2^31 - 85, so 2^31 = 85 (mod m). For a, s < 2^31 the product is below 2^62; one fold
// of the bits above 31 leaves less than 2^38, a second less than 2m, one subtraction finishes.
// Always inlined, also into the vector versions of swc_seed.
__attribute__((always_inline)) inline uint32_t mul_mod(uint32_t a, uint32_t s) {
  uint64_t p = uint64_t{a} * s;
  p = (p >> 31) * 85u + (p & 0x7fffffffu);
  p = (p >> 31) * 85u + (p & 0x7fffffffu);
  return static_cast<uint32_t>(p >= kSeedModulus ? p - kSeedModulus : p);
}

}  // namespace

uint32_t mul_mod_seed_modulus(uint32_t a, uint32_t s) {
  return mul_mod(a, s);
}

// The 24 products are independent, so they are computed in vector registers where the processor
// has them (integer arithmetic: every version gives the same words).
__attribute__((target_clones("avx512f", "avx2", "default"))) void swc_seed(SwcEngine &e, uint32_t s) {
  uint32_t z[kSeedingSteps];
  for (int k = 0; k < kSeedingSteps; ++k) z[k] = mul_mod(kPowers.of[k + 1], s);
  for (int i = 0; i < SwcEngine::kLongLag; ++i) {
    // The first output gives the high 32 bits of the 48-bit word, the low 16 bits of the second
    // output the low 16 bits. The word is below 2^47 units of 2^-48, so the double is exact and
    // equal to a * 2^-32 + (b / 65536) * 2^-32.
    const uint64_t word = (uint64_t{z[2 * i]} << 16) | (z[2 * i + 1] & 0xffffu);
    e.ring[i] = static_cast<double>(word) * kCarryUnit;
  }
  e.carry = e.ring[SwcEngine::kLongLag - 1] == 0.0 ? kCarryUnit : 0.0;
  e.index = SwcEngine::kLongLag;
  e.steps = 0;
}

double swc_next(SwcEngine &e) {
  if (e.index < 0 || e.index >= SwcEngine::kRing) e.index = 0;
  const int i = e.index;
  const double xs = e.ring[(i + SwcEngine::kRing - SwcEngine::kShortLag) % SwcEngine::kRing];
  const double xr = e.ring[(i + SwcEngine::kRing - SwcEngine::kLongLag) % SwcEngine::kRing];
  const double t = xs - e.carry;
  double u = t - xr;
  if (xr > t) {
    u = u + 1.0;
    e.carry = kCarryUnit;
  } else {
    e.carry = 0.0;
  }
  e.ring[i] = u;
  e.index = i + 1;
  ++e.steps;
  return u;
}

double normal_draw(NormalSampler &p, SwcEngine &e) {
  double z;
  if (p.has_cached) {
    p.has_cached = false;
    z = p.cached;
  } else {
    double q1, q2, s;
    do {
      q1 = 2.0 * swc_next(e) - 1.0;
      q2 = 2.0 * swc_next(e) - 1.0;
      s = q2 * q2 + q1 * q1;
    } while (!(s > 0.0 && s < 1.0));
    const double f = std::sqrt((std::log(s) * -2.0) / s);
    p.cached = f * q2;
    p.has_cached = true;
    z = f * q1;
  }
  return z * p.sd + p.mean;
}

namespace {

// Seeds taken together: the engines of kLanes seeds run side by side, one lane each, so that the
// processor's vector registers carry several of them. Every operation is the scalar one applied
// per lane, and exact, so the variates are those of normal_draw.
constexpr int kLanes = 8;
// Polar pairs tried side by side. The lanes of a block run until the last of them is accepted; a
// seed still unaccepted after these (none of the 15-bit generator values, a few wider ones) is
// finished by normal_draw itself.
constexpr int kLanePairs = 10;

// kLanes doubles, and kLanes 64-bit masks (all ones where a comparison holds).
typedef double Lanes __attribute__((vector_size(kLanes * sizeof(double))));
typedef int64_t LaneMask __attribute__((vector_size(kLanes * sizeof(int64_t))));
typedef uint64_t LaneWord __attribute__((vector_size(kLanes * sizeof(uint64_t))));
constexpr uint64_t kTwo52Bits = 0x4330000000000000u;  // the bits of the double 2^52

// a * b on every lane, for a and b below 2^32: the plain product, which a version may replace by
// its one-instruction product of the low halves (GCC makes three of the whole words).
struct WholeProduct {
  __attribute__((always_inline)) static void of(const LaneWord &a, uint64_t b, LaneWord &out) { out = a * b; }
};
#if defined(__x86_64__)
struct LowHalvesAvx2 {
  __attribute__((target("avx2"))) static void of(const LaneWord &a, uint64_t b, LaneWord &out) {
    __m256i v[2];
    std::memcpy(v, &a, sizeof v);
    const __m256i f = _mm256_set1_epi64x(static_cast<long long>(b));
    v[0] = _mm256_mul_epu32(v[0], f);
    v[1] = _mm256_mul_epu32(v[1], f);
    std::memcpy(&out, v, sizeof out);
  }
};
struct LowHalvesAvx512 {
  __attribute__((target("avx512f"))) static void of(const LaneWord &a, uint64_t b, LaneWord &out) {
    __m512i v;
    std::memcpy(&v, &a, sizeof v);
    // (The masked form: the plain one trips GCC 12's uninitialised-value warning in its header.)
    v = _mm512_maskz_mul_epu32(0xff, v, _mm512_set1_epi64(static_cast<long long>(b)));
    std::memcpy(&out, &v, sizeof out);
  }
};
#endif

template <typename Product>
__attribute__((always_inline)) inline void variates_of_lanes(const uint32_t *seeds, double *z) {
  // x[n] holds the engine's n-th value of every lane: 0..11 seeded, then one per step. With at
  // most 2 * kLanePairs steps no value is needed again 24 steps later, so a plain history serves
  // as the ring.
  Lanes x[SwcEngine::kLongLag + 2 * kLanePairs];
  LaneWord seed;
  for (int l = 0; l < kLanes; ++l) seed[l] = seeds[l];
  for (int i = 0; i < SwcEngine::kLongLag; ++i) {
    // The same word as swc_seed: high 32 bits from the first output, low 16 from the second. The
    // word is below 2^47, so or-ing it into the mantissa of 2^52 and subtracting 2^52 converts it
    // exactly; times 2^-48 it is a * 2^-32 + (b / 65536) * 2^-32.
    LaneWord out[2];
    for (int h = 0; h < 2; ++h) {  // mul_mod on every lane
      // Every factor below 2^32: the seed and the power below 2^31, p >> 31 below 2^31 and 2^7.
      LaneWord p, folded;
      Product::of(seed, kPowers.of[2 * i + 1 + h], p);
      Product::of(p >> 31, 85u, folded);
      p = folded + (p & 0x7fffffffu);
      Product::of(p >> 31, 85u, folded);
      p = folded + (p & 0x7fffffffu);
      out[h] = p >= kSeedModulus ? p - kSeedModulus : p;
    }
    const LaneWord word = (out[0] << 16) | (out[1] & 0xffffu) | kTwo52Bits;
    x[i] = ((Lanes)word - 0x1p52) * kCarryUnit;  // a vector cast reinterprets the bits
  }
  const Lanes zero = {}, unit = zero + kCarryUnit;
  Lanes carry = x[SwcEngine::kLongLag - 1] == zero ? unit : zero;
  Lanes s_of = zero + 0.5, q1_of = zero;  // s_of stands until a lane is accepted
  LaneMask accepted = {};
  for (int pair = 0; pair < kLanePairs; ++pair) {
    const int n = SwcEngine::kLongLag + 2 * pair;
    Lanes q[2];
    for (int h = 0; h < 2; ++h) {
      const Lanes xs = x[n + h - SwcEngine::kShortLag], xr = x[n + h - SwcEngine::kLongLag];
      const Lanes t = xs - carry;
      const Lanes d = t - xr;
      const LaneMask borrow = xr > t;
      const Lanes u = borrow ? d + 1.0 : d;
      carry = borrow ? unit : zero;
      x[n + h] = u;
      q[h] = 2.0 * u - 1.0;
    }
    const Lanes s = q[1] * q[1] + q[0] * q[0];
    const LaneMask take = ~accepted & (s > 0.0) & (s < 1.0);
    s_of = take ? s : s_of;
    q1_of = take ? q[0] : q1_of;
    accepted |= take;
    int64_t all = -1;
    for (int l = 0; l < kLanes; ++l) all &= accepted[l];
    if (all) break;
  }
  for (int l = 0; l < kLanes; ++l) {
    if (accepted[l]) {
      z[l] = std::sqrt((std::log(s_of[l]) * -2.0) / s_of[l]) * q1_of[l];
    } else {
      SwcEngine e;
      swc_seed(e, seeds[l]);
      NormalSampler p;
      z[l] = normal_draw(p, e);
    }
  }
}

// The lanes in one version per instruction set, chosen at run time (an ifunc resolver, as
// target_clones makes, would run before a sanitizer's runtime is up).
template <void (*Lanes)(const uint32_t *, double *)>
void variates_in_blocks(const uint32_t *seeds, int32_t n, double *z) {
  int32_t k = 0;
  for (; k + kLanes <= n; k += kLanes) Lanes(seeds + k, z + k);
  if (k < n) {
    // The last few seeds padded with copies of the first of them.
    uint32_t padded[kLanes];
    double out[kLanes];
    for (int l = 0; l < kLanes; ++l) padded[l] = seeds[k + (k + l < n ? l : 0)];
    Lanes(padded, out);
    for (int32_t l = 0; k + l < n; ++l) z[k + l] = out[l];
  }
}

void lanes_generic(const uint32_t *seeds, double *z) {
  variates_of_lanes<WholeProduct>(seeds, z);
}
#if defined(__x86_64__)
// (flatten: the products' target attribute keeps them from being always_inline through the
// template.)
__attribute__((target("avx2"), flatten)) void lanes_avx2(const uint32_t *seeds, double *z) {
  variates_of_lanes<LowHalvesAvx2>(seeds, z);
}
__attribute__((target("avx512f"), flatten)) void lanes_avx512(const uint32_t *seeds, double *z) {
  variates_of_lanes<LowHalvesAvx512>(seeds, z);
}
#endif

}  // namespace

VariateKernel variate_kernel_for(core::InstructionSet s) {
#if defined(__x86_64__)
  if (s == core::InstructionSet::kAvx2) return {"avx2", variates_in_blocks<lanes_avx2>};
  if (s == core::InstructionSet::kAvx512f || s == core::InstructionSet::kAvx512vl)
    return {"avx512f", variates_in_blocks<lanes_avx512>};
#else
  (void)s;
#endif
  return {"generic", variates_in_blocks<lanes_generic>};
}

void standard_variates(const uint32_t *seeds, int32_t n, double *z) {
  // Chosen once, from the one detection of the processor; the choice allocates nothing, so the
  // first call may come from inside a team.
  static const VariateKernel chosen = variate_kernel_for(core::chosen_instruction_set());
  chosen.run(seeds, n, z);
}

double gaussian_noise(double mean, double sd) {
  return gaussian_noise(core::this_thread_rand(), mean, sd);
}

double gaussian_noise(core::ThreadRand &rand, double mean, double sd) {
  const uint32_t seed = noise_seed(static_cast<uint32_t>(rand.next()));

  SwcEngine engine;
  swc_seed(engine, seed);
  NormalSampler sampler;
  sampler.mean = mean;
  sampler.sd = sd;
  return normal_draw(sampler, engine);
}

}  // namespace driftwalk
