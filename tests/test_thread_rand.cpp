#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "core/random/thread_rand.hpp"

namespace {

std::vector<int32_t> draws(uint32_t seed, int n) {
  core::seed_thread_rand(seed);
  std::vector<int32_t> v;
  for (int k = 0; k < n; ++k) v.push_back(core::thread_rand());
  return v;
}

}  // namespace

// Values computed by an independent transcription of the documented algorithm.
TEST(ThreadRand, MatchesTheDocumentedAlgorithm) {
  EXPECT_EQ(draws(0, 5), (std::vector<int32_t>{546353490, 139395237, 519911054, 688734428, 1016776710}));
  EXPECT_EQ(draws(1, 5), (std::vector<int32_t>{649593896, 2133509031, 22537711, 628533910, 2087206536}));
  EXPECT_EQ(draws(42, 5), (std::vector<int32_t>{1672117434, 884478241, 2000521919, 371715788, 1124278378}));
  EXPECT_EQ(draws(4294967295u, 5), (std::vector<int32_t>{1404628041, 1565898971, 87535228, 168878472, 1960048859}));
}

TEST(ThreadRand, StaysInRangeAndLooksUniform) {
  core::seed_thread_rand(7);
  const int n = 200000;
  double sum = 0;
  int low_bit = 0;
  std::vector<int> bins(16, 0);
  for (int k = 0; k < n; ++k) {
    const int32_t v = core::thread_rand();
    ASSERT_GE(v, 0);
    ASSERT_LE(v, core::kThreadRandMax);
    sum += v;
    low_bit += v & 1;
    ++bins[static_cast<size_t>(v >> 27)];
  }
  EXPECT_NEAR(sum / n / core::kThreadRandMax, 0.5, 0.005);
  EXPECT_NEAR(static_cast<double>(low_bit) / n, 0.5, 0.005);
  for (int b : bins) EXPECT_NEAR(b, n / 16.0, 5 * std::sqrt(n / 16.0));
}

// The parallel method reseeds with k + t: neighbouring seeds must not give related draws.
TEST(ThreadRand, ConsecutiveSeedsGiveUnrelatedSequences) {
  const int seeds = 4000;
  std::vector<int> first_mod_3(3, 0);
  int equal_neighbours = 0;
  int32_t previous = -1;
  for (int s = 0; s < seeds; ++s) {
    core::seed_thread_rand(static_cast<uint32_t>(s));
    const int32_t v = core::thread_rand();
    ++first_mod_3[static_cast<size_t>(v % 3)];
    if (previous >= 0 && (previous % 3) == (v % 3)) ++equal_neighbours;
    previous = v;
  }
  for (int c : first_mod_3) EXPECT_NEAR(c, seeds / 3.0, 5 * std::sqrt(seeds / 3.0));
  EXPECT_NEAR(equal_neighbours, seeds / 3.0, 5 * std::sqrt(seeds / 3.0));
}

TEST(ThreadRand, EachThreadHasItsOwnState) {
  const std::vector<int32_t> expected = draws(42, 3);
  core::seed_thread_rand(42);
  std::vector<int32_t> other;
  std::thread t([&] {
    core::seed_thread_rand(1);  // must not disturb this thread's sequence
    other = draws(42, 3);
  });
  t.join();
  std::vector<int32_t> mine;
  for (int k = 0; k < 3; ++k) mine.push_back(core::thread_rand());
  EXPECT_EQ(mine, expected);
  EXPECT_EQ(other, expected);
}

TEST(ThreadRand, UnseededThreadBehavesAsSeededWithOne) {
  const std::vector<int32_t> seeded_one = draws(1, 3);
  std::vector<int32_t> fresh;
  std::thread t([&] {
    for (int k = 0; k < 3; ++k) fresh.push_back(core::thread_rand());
  });
  t.join();
  EXPECT_EQ(fresh, seeded_one);
}

TEST(ThreadRand, ScriptReplacesTheGeneratorAndCountsDraws) {
  const uint64_t before = core::thread_rand_draws();
  {
    core::ScriptedThreadRand script({5, 9});
    EXPECT_EQ(core::thread_rand(), 5);
    EXPECT_EQ(core::thread_rand(), 9);
    EXPECT_EQ(core::thread_rand(), 0);  // exhausted
    EXPECT_EQ(script.consumed(), 2u);
  }
  EXPECT_EQ(core::thread_rand_draws() - before, 3u);
  core::seed_thread_rand(0);
  EXPECT_EQ(core::thread_rand(), 546353490);  // the generator is back
}
