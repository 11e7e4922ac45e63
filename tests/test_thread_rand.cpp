#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>
#include <utility>
#include <vector>

#include "core/kernels/kernels.hpp"
#include "core/random/batch_draws.hpp"
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

// Values drawn eight lanes at a time, and the shuffle's slots reduced without a division, in every
// version this processor runs: the values, the slots and the state afterwards are those of one
// draw at a time, for counts that leave partial blocks and divisors up to the largest there is.
TEST(BatchDraws, EveryVersionGivesTheOneByOneValuesSlotsAndState) {
  const int32_t top = 0x7fffffff;
  std::vector<uint64_t> states = {0, 1, ~uint64_t{0}, 0x8000000000000000ull};
  core::seed_thread_rand(5);
  for (int k = 0; k < 40; ++k) states.push_back(uint64_t(core::thread_rand()) << 33 ^ uint64_t(core::thread_rand()));
  const std::vector<int32_t> counts = {0, 1, 7, 8, 9, 15, 16, 17, 100, 1000};
  const std::vector<int32_t> firsts = {0, 1, 5, 511, 65535, 1 << 30, top - 1000};
  for (const core::Kernels &table : core::available_kernels()) {
    const core::DrawKernel version = core::draw_kernel_for(table.set);
    for (uint64_t start : states) {
      for (int32_t count : counts) {
        std::vector<int32_t> values(static_cast<size_t>(count) + 1, -1), one_by_one;
        core::ThreadRand rand{start};
        for (int32_t i = 0; i < count; ++i) one_by_one.push_back(rand.next());
        uint64_t state = start;
        version.values(state, count, values.data());
        values.pop_back();
        ASSERT_EQ(values, one_by_one) << version.name << " count " << count;
        ASSERT_EQ(state, rand.state) << version.name;

        for (int32_t first : firsts) {
          std::vector<int32_t> slots(static_cast<size_t>(count) + 1, -1), expected;
          for (int32_t i = 0; i < count; ++i) expected.push_back(one_by_one[static_cast<size_t>(i)] % (first + i + 1));
          state = start;
          version.slots(state, first, count, slots.data());
          ASSERT_EQ(slots.back(), -1) << "written past the count";
          slots.pop_back();
          ASSERT_EQ(slots, expected) << version.name << " first " << first << " count " << count;
          ASSERT_EQ(state, rand.state) << version.name;

          // The same slots clamped to the length of a head kept.
          for (int32_t b : {0, 1, 64, top}) {
            std::vector<int32_t> clamped(static_cast<size_t>(count) + 1, -1), expected_clamped;
            for (int32_t k : expected) expected_clamped.push_back(std::min(k, b));
            state = start;
            version.head(state, first, count, b, clamped.data());
            ASSERT_EQ(clamped.back(), -1) << "written past the count";
            clamped.pop_back();
            ASSERT_EQ(clamped, expected_clamped)
                << version.name << " first " << first << " count " << count << " b " << b;
            ASSERT_EQ(state, rand.state) << version.name;
          }
        }
      }
    }
  }
}

// The entry points count their draws and follow a script in the test builds, as next() does.
TEST(BatchDraws, CountAndFollowAScriptAsOneByOneDraws) {
  core::seed_thread_rand(8);
  const uint64_t before = core::thread_rand_draws();
  std::vector<int32_t> out(40);
  core::draw_values(core::this_thread_rand(), 20, out.data());
  core::draw_shuffle_slots(core::this_thread_rand(), 3, 20, out.data() + 20);
  core::draw_head_slots(core::this_thread_rand(), 40, 20, 5, out.data());
  EXPECT_EQ(core::thread_rand_draws() - before, 60u);

  core::ScriptedThreadRand script({10, 11, 12, 1000, 1001, 1002, 13, 1});
  core::draw_values(core::this_thread_rand(), 3, out.data());
  core::draw_shuffle_slots(core::this_thread_rand(), 9, 3, out.data() + 3);
  EXPECT_EQ(std::vector<int32_t>(out.begin(), out.begin() + 6),
            (std::vector<int32_t>{10, 11, 12, 1000 % 10, 1001 % 11, 1002 % 12}));
  // Steps 6 and 7 of a shuffle keeping 2: 13 % 7 = 6 is clamped to 2, 1 % 8 = 1 stays.
  int32_t head[2] = {-1, -1};
  core::draw_head_slots(core::this_thread_rand(), 6, 2, 2, head);
  EXPECT_EQ(head[0], 2);
  EXPECT_EQ(head[1], 1);
  EXPECT_EQ(script.consumed(), 8u);
}

// A jump gives the state that many draws on, and a part of the shuffle's last steps drawn from it
// places what those steps one at a time place, up to the largest step there is (2^31 - 2, whose
// blocks must not step past it).
TEST(BatchDraws, APartOfTheShuffleFromAJumpedStateIsThoseStepsOneAtATime) {
  const int32_t top = 0x7fffffff;
  for (uint64_t start : {uint64_t{1}, uint64_t{0x9E3779B97F4A7C15ull}}) {
    for (uint64_t steps : {uint64_t{0}, uint64_t{1}, uint64_t{7}, uint64_t{1000}, uint64_t{123457}}) {
      core::ThreadRand rand{start};
      for (uint64_t k = 0; k < steps; ++k) rand.next();
      EXPECT_EQ(core::rand_state_after(start, steps), rand.state) << steps;
    }
    for (const auto &[first, last] : {std::pair<int32_t, int32_t>{8, 8}, {8, 9}, {100, 1337}, {top - 1000, top}}) {
      const int32_t b = 8;
      std::vector<int32_t> hit(b + 2, -1), placed = hit;
      core::ThreadRand rand{core::rand_state_after(start, static_cast<uint64_t>(first))};
      for (int32_t j = first; j < last; ++j) {
        const int32_t k = rand.next() % (j + 1);
        if (k < b) placed[static_cast<size_t>(k)] = j;
      }
      core::shuffle_head_hits(core::rand_state_after(start, static_cast<uint64_t>(first)), first, last, b, hit.data());
      hit[b] = -1;  // the spare
      EXPECT_EQ(hit, placed) << first << ".." << last;
    }
  }
}
