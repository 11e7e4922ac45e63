#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/thread_rand.hpp"
#include "driftwalk/noise.hpp"

using driftwalk::NormalSampler;
using driftwalk::SwcEngine;

namespace {

constexpr double kUnit = 0x1p-48;

struct Draw {
  double z;
  uint64_t pairs;
};

// The standardised variate for generator value r, and how many pairs the polar method tried.
Draw standard_variate(uint32_t r) {
  SwcEngine e;
  driftwalk::swc_seed(e, driftwalk::noise_seed(r));
  NormalSampler p;
  const double z = driftwalk::normal_draw(p, e);
  return {z, e.steps / 2};
}

uint64_t as_integer(double u) { return static_cast<uint64_t>(u / kUnit); }

}  // namespace

TEST(GaussianNoise, StandardisedVariatesOfKnownValues) {
  const Draw d0 = standard_variate(0), d1 = standard_variate(1), d32767 = standard_variate(32767);
  EXPECT_NEAR(d0.z, -0.607753135712, 1e-11);
  EXPECT_EQ(d0.pairs, 1u);
  EXPECT_NEAR(d1.z, -0.204800946664, 1e-11);
  EXPECT_EQ(d1.pairs, 1u);
  EXPECT_NEAR(d32767.z, -1.26819964348, 1e-10);
  EXPECT_EQ(d32767.pairs, 3u);
}

TEST(GaussianNoise, AllFifteenBitValuesTogether) {
  double sum = 0, sum_sq = 0;
  uint64_t most_pairs = 0;
  for (uint32_t r = 0; r <= 32767; ++r) {
    const Draw d = standard_variate(r);
    ASSERT_TRUE(std::isfinite(d.z)) << r;
    most_pairs = std::max(most_pairs, d.pairs);
    sum += d.z;
    sum_sq += d.z * d.z;
  }
  const double mean = sum / 32768, sd = std::sqrt(sum_sq / 32768 - mean * mean);
  EXPECT_LE(most_pairs, 10u);
  EXPECT_NEAR(mean, -0.1055, 5e-4);
  EXPECT_NEAR(sd, 0.7639, 5e-4);
}

TEST(GaussianNoise, SeedingWordsAndTheFirstStep) {
  SwcEngine e;
  driftwalk::swc_seed(e, 100);
  EXPECT_EQ(e.index, 12);
  EXPECT_EQ(e.carry, 0.0);
  // The first seeding output, 100 * 40014, is the high 32 bits of the first 48-bit word.
  EXPECT_EQ(as_integer(e.ring[0]) >> 16, 100u * 40014u);
  for (int i = 0; i < 12; ++i) {
    EXPECT_LT(e.ring[i], 0.5) << i;
    EXPECT_EQ(static_cast<double>(as_integer(e.ring[i])) * kUnit, e.ring[i]) << i;
  }
  const uint64_t w7 = as_integer(e.ring[7]), w0 = as_integer(e.ring[0]);
  ASSERT_GE(w7, w0);
  EXPECT_EQ(as_integer(driftwalk::swc_next(e)), w7 - w0);
  EXPECT_EQ(e.carry, 0.0);
}

// Read as integers, the engine is X_n = (X_{n-5} - X_{n-12} - c) mod 2^48 with c the borrow of the
// step before: checked on a plain history over many wraps of the ring.
TEST(GaussianNoise, EngineIsSubtractWithBorrowOverManySteps) {
  for (uint32_t seed : {1u, 100u, 32867u, 2147483562u}) {
    SwcEngine e;
    driftwalk::swc_seed(e, seed);
    std::vector<uint64_t> x;
    for (int i = 0; i < 12; ++i) x.push_back(as_integer(e.ring[i]));
    uint64_t borrow = 0;
    for (size_t n = 12; n < 12 + 24 * 5; ++n) {
      const int64_t diff = int64_t(x[n - 5]) - int64_t(x[n - 12]) - int64_t(borrow);
      borrow = diff < 0;
      x.push_back(uint64_t(diff < 0 ? diff + (int64_t{1} << 48) : diff));
      const double u = driftwalk::swc_next(e);
      ASSERT_TRUE(u >= 0.0 && u < 1.0 && as_integer(u) == x[n]) << "seed " << seed << " step " << n << ": " << u;
    }
  }
}

TEST(GaussianNoise, SeedWrapsToOneAtTheModulus) {
  // r + 100 = 2147483563 reduces to 0, which becomes seed 1, as does r + 100 = 2147483564; the
  // thread's generator reaches these values.
  core::ScriptedThreadRand script({2147483463, 2147483464, 2147483462});
  const double a = driftwalk::gaussian_noise(0.0, 1.0), b = driftwalk::gaussian_noise(0.0, 1.0);
  const double c = driftwalk::gaussian_noise(0.0, 1.0);
  SwcEngine e;
  driftwalk::swc_seed(e, 1);
  NormalSampler p;
  EXPECT_EQ(a, driftwalk::normal_draw(p, e));
  EXPECT_EQ(b, a);
  EXPECT_NE(c, a);
}

TEST(GaussianNoise, OneGeneratorValuePerDrawScaledAndShifted) {
  const uint64_t before = core::thread_rand_draws();
  EXPECT_EQ(driftwalk::gaussian_noise(0.0, 0.0), 0.0);
  EXPECT_EQ(core::thread_rand_draws(), before + 1);

  core::ScriptedThreadRand script({0, 0, 32767});
  const double z = driftwalk::gaussian_noise(0.0, 1.0);
  EXPECT_EQ(z, standard_variate(0).z);
  EXPECT_EQ(driftwalk::gaussian_noise(3.0, -2.0), 3.0 + -2.0 * z);
  EXPECT_EQ(driftwalk::gaussian_noise(0.0, 1.0), standard_variate(32767).z);
  EXPECT_EQ(script.consumed(), 3u);
}
