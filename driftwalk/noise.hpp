// The Langevin noise: every draw seeds a private subtract-with-carry engine from one value of the
// calling thread's generator and returns the first variate of one Marsaglia polar pair. So each
// draw consumes exactly one generator value, and its standardised variate is a pure function of
// that value. Engine and sampler are small values on the stack; nothing touches the heap.
#pragma once

#include <cstdint>
#include <vector>

#include "core/kernels/cpu.hpp"
#include "core/random/thread_rand.hpp"

namespace driftwalk {

constexpr uint32_t kSeedModulus = 2147483563u;  // of the seeding generator
constexpr uint32_t kSeedOffset = 100u;          // added to the generator value to form the seed

// The seeding generator: z <- 40014 * z mod 2147483563, the product in 64 bits (it cannot
// overflow). Returns the new z.
inline uint32_t seeding_step(uint32_t &z) {
  z = static_cast<uint32_t>(uint64_t{40014} * z % kSeedModulus);
  return z;
}

// (a * s) mod 2147483563 for a, s below 2^31, without a division.
uint32_t mul_mod_seed_modulus(uint32_t a, uint32_t s);

// Subtract-with-carry, base 2^48, lags 5 and 12, values kept as doubles in [0, 1) that are whole
// multiples of 2^-48, so every operation is exact. Plain data so that tests can read the ring.
struct SwcEngine {
  static constexpr int kRing = 24;
  static constexpr int kLongLag = 12;
  static constexpr int kShortLag = 5;

  int32_t index = 0;  // ring position the next step writes
  double ring[kRing] = {};
  double carry = 0.0;  // 0 or 2^-48
  uint64_t steps = 0;  // values produced since seeding (for tests and diagnostics)
};

// Fills ring[0..11] from seed s (1 .. 2147483562), sets carry and index = 12. The seeding generator
// never reaches 0 from a seed in that range (the modulus is prime), so word 11 is never 0 and the
// carry after seeding is 0; the rule is applied all the same.
void swc_seed(SwcEngine &e, uint32_t s);

// The next uniform value u, 0 <= u < 1.
double swc_next(SwcEngine &e);

struct NormalSampler {
  double mean = 0.0;
  double sd = 1.0;
  bool has_cached = false;
  double cached = 0.0;  // standardised second variate of the last pair
};

// Polar method: the first uniform of the accepted pair gives the returned variate, the second is
// cached. Returns z * sd + mean.
double normal_draw(NormalSampler &p, SwcEngine &e);

// The engine seed for generator value r: (r + 100) mod 2147483563 in unsigned 32-bit arithmetic,
// with 0 replaced by 1.
inline uint32_t noise_seed(uint32_t r) {
  const uint32_t s = (r + kSeedOffset) % kSeedModulus;
  return s == 0 ? 1u : s;
}

// The standardised variate (mean 0, sd 1) of each engine seed: z[k] is what normal_draw returns
// from a fresh sampler on an engine seeded with seeds[k], so that gaussian_noise(mean, sd) of the
// generator value r equals z * sd + mean for the seed noise_seed(r). Touches no generator and
// allocates nothing, so team threads may share the work.
void standard_variates(const uint32_t *seeds, int32_t n, double *z);

// standard_variates in the version built for an instruction set (eight engines per block in
// vector registers of its width); the one for core::chosen_instruction_set() runs.
struct VariateKernel {
  const char *name;
  void (*run)(const uint32_t *seeds, int32_t n, double *z);
};
VariateKernel variate_kernel_for(core::InstructionSet s);

// One normal variate mean + sd * z; takes exactly one value from core::thread_rand().
double gaussian_noise(double mean, double sd);
// The same with the calling thread's generator passed in, for loops that draw many.
double gaussian_noise(core::ThreadRand &rand, double mean, double sd);

}  // namespace driftwalk
