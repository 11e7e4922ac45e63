#include "driftwalk/noise.hpp"

#include <cmath>

#include "core/thread_rand.hpp"

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
