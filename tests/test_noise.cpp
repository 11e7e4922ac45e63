#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"
#include "driftwalk/noise.hpp"
#include "reference/direct.hpp"

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

uint64_t as_integer(double u) {
  return static_cast<uint64_t>(u / kUnit);
}

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

// The tuned source against the step-by-step transcription in tests/reference, bit for bit.
TEST(GaussianNoise, SameValuesAsTheDirectTranscription) {
  std::vector<int32_t> values;
  for (int32_t r = 0; r <= 32767; ++r) values.push_back(r);
  // Wider generator values: the largest, those next to the modulus and the one reducing to 0.
  for (int32_t r : {2147483647, 2147483646, 2147483462, 2147483463, 2147483464, 2147483562}) values.push_back(r);
  core::seed_thread_rand(12345);
  for (int k = 0; k < 100000; ++k) values.push_back(core::thread_rand());

  std::vector<double> tuned, direct;
  {
    core::ScriptedThreadRand script(values);
    for (size_t k = 0; k < values.size(); ++k) tuned.push_back(driftwalk::gaussian_noise(0.25, 1.5));
  }
  {
    core::ScriptedThreadRand script(values);
    for (size_t k = 0; k < values.size(); ++k) direct.push_back(reference::gaussian_noise(0.25, 1.5));
  }
  for (size_t k = 0; k < values.size(); ++k)
    ASSERT_EQ(std::memcmp(&tuned[k], &direct[k], sizeof(double)), 0)
        << "generator value " << values[k] << ": " << tuned[k] << " vs " << direct[k];
}

TEST(GaussianNoise, DivisionFreeRemainderIsExact) {
  // Every power of the multiplier against seeds across the range, and the extremes of both factors.
  const uint32_t m = driftwalk::kSeedModulus;
  std::vector<uint32_t> seeds = {1, 2, 100, 32867, m - 1, m - 2, 0x7fffffffu};
  core::seed_thread_rand(9);
  for (int k = 0; k < 20000; ++k) seeds.push_back(static_cast<uint32_t>(core::thread_rand()));
  for (uint32_t s : seeds) {
    uint32_t z = s % m;
    for (int k = 0; k < 30; ++k) {
      const uint32_t before = z;
      ASSERT_EQ(driftwalk::mul_mod_seed_modulus(40014u, before), driftwalk::seeding_step(z)) << before;
    }
    for (uint32_t a : {1u, 40014u, m - 1, 0x7fffffffu})
      ASSERT_EQ(driftwalk::mul_mod_seed_modulus(a, s), static_cast<uint32_t>(uint64_t{a} * s % m)) << a << " " << s;
  }
}

TEST(RandomPermutation, SameAsTheDirectTranscription) {
  for (int32_t n : {0, 1, 2, 3, 1000, 65537, 300000}) {
    std::vector<int32_t> tuned(static_cast<size_t>(n)), direct(static_cast<size_t>(n));
    core::seed_thread_rand(static_cast<uint32_t>(n) + 1);
    const uint64_t before = core::thread_rand_draws();
    core::random_permutation(n, tuned.data());
    EXPECT_EQ(core::thread_rand_draws() - before, static_cast<uint64_t>(n));
    core::seed_thread_rand(static_cast<uint32_t>(n) + 1);
    reference::random_permutation(n, direct.data());
    ASSERT_EQ(tuned, direct) << "n = " << n;
  }
}

// Only the head of the shuffle formed: the same entries as the whole one's, from the same number of
// draws, with heads shorter and longer than a block of slots, all of it, and none.
TEST(RandomPermutation, HeadIsTheWholeShufflesHead) {
  const std::vector<std::pair<int32_t, int32_t>> shapes = {{0, 0},        {1, 0},        {1, 1},        {5, 3},
                                                           {1000, 1},     {1000, 999},   {1000, 1000},  {1000, 5000},
                                                           {100000, 100}, {100000, 600}, {300001, 512}, {7, -3}};
  for (const auto &[n, b] : shapes) {
    for (uint32_t seed : {1u, 2u, 3u}) {
      core::seed_thread_rand(seed);
      std::vector<int32_t> whole(static_cast<size_t>(n));
      core::random_permutation(n, whole.data());
      const int32_t after_whole = core::thread_rand();

      core::seed_thread_rand(seed);
      const size_t kept = static_cast<size_t>(std::max(0, std::min(b, n)));
      std::vector<int32_t> head(kept + 2, -7);  // its spare entry, and one to see nothing past it
      const uint64_t before = core::thread_rand_draws();
      core::random_permutation_head(core::this_thread_rand(), n, b, head.data());
      EXPECT_EQ(core::thread_rand_draws() - before, static_cast<uint64_t>(n));
      EXPECT_EQ(core::thread_rand(), after_whole) << "the generator is left where the whole shuffle leaves it";
      EXPECT_EQ(head.back(), -7) << "written past the spare entry";
      head.resize(kept);
      ASSERT_EQ(head, std::vector<int32_t>(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(kept)))
          << "n = " << n << ", b = " << b << ", seed " << seed;
    }
  }
}

// Seeds taken eight at a time side by side must give what one draw at a time gives: every 15-bit
// generator value, wide ones, values whose draw needs more polar pairs than the lanes try (125318
// needs 15, 859316 needs 17), and counts that leave a partial block.
TEST(GaussianNoise, StandardVariatesOfManySeedsAreTheOneByOneDraws) {
  std::vector<uint32_t> values;
  for (uint32_t r = 0; r <= 32767; ++r) values.push_back(r);
  for (uint32_t r : {125318u, 484389u, 859316u, 1059812u, 2147483647u, 2147483463u, 2147483464u}) values.push_back(r);
  core::seed_thread_rand(77);
  for (int k = 0; k < 20000; ++k) values.push_back(static_cast<uint32_t>(core::thread_rand()));
  std::vector<uint32_t> seeds;
  for (uint32_t r : values) seeds.push_back(driftwalk::noise_seed(r));

  std::vector<double> one_by_one;
  {
    std::vector<int32_t> script(values.begin(), values.end());
    core::ScriptedThreadRand draws(script);
    for (size_t k = 0; k < values.size(); ++k) one_by_one.push_back(driftwalk::gaussian_noise(0.0, 1.0));
  }
  std::vector<double> together(values.size(), 99.0);
  driftwalk::standard_variates(seeds.data(), static_cast<int32_t>(seeds.size()), together.data());
  for (size_t k = 0; k < values.size(); ++k)
    ASSERT_EQ(std::memcmp(&together[k], &one_by_one[k], sizeof(double)), 0)
        << "generator value " << values[k] << ": " << together[k] << " vs " << one_by_one[k];
  EXPECT_GT(standard_variate(125318).pairs, 10u);
  EXPECT_GT(standard_variate(859316).pairs, 10u);

  // Short runs from every offset, and nothing written past the end.
  for (int32_t n : {0, 1, 7, 8, 9, 17}) {
    for (size_t at : {size_t{0}, size_t{32765}, size_t{32768}}) {
      std::vector<double> z(static_cast<size_t>(n) + 1, 42.0);
      driftwalk::standard_variates(seeds.data() + at, n, z.data());
      for (int32_t k = 0; k < n; ++k) ASSERT_EQ(z[static_cast<size_t>(k)], one_by_one[at + static_cast<size_t>(k)]);
      EXPECT_EQ(z.back(), 42.0) << n;
    }
  }
}
