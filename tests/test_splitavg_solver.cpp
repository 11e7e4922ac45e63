#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"
#include "core/run/progress.hpp"
#include "core/sparse/sparse_rows.hpp"
#include "core/threads/busy.hpp"
#include "reference/tuned_pass.hpp"
#include "splitavg/elapsed.hpp"
#include "splitavg/sample_source.hpp"
#include "splitavg/shuffle.hpp"
#include "splitavg/split_average.hpp"
#include "test_support.hpp"

namespace {

// The module's solver with every sample in this process.
core::FitResult local_solve(const core::RunContext<core::RegressionData> &run, const splitavg::Parameters &p) {
  splitavg::LocalSamples<core::RegressionData> local(run.rows.N);
  return splitavg::split_average_solve(run, p, local);
}

// A dense problem with features and labels that are not round numbers.
core::RegressionData wavy_data(int32_t N, int32_t D) {
  std::vector<double> X(static_cast<size_t>(N) * static_cast<size_t>(D)), y(static_cast<size_t>(N));
  for (size_t k = 0; k < X.size(); ++k) X[k] = std::sin(0.37 * static_cast<double>(k) + 0.1);
  for (size_t k = 0; k < y.size(); ++k) y[k] = std::cos(1.3 * static_cast<double>(k));
  return core::make_regression_data(X.data(), N, D, y.data());
}

// The method written out plainly: one sequential pass over each share on a zero model, each step
// with a fresh gradient, then the models summed in thread order and divided by T.
core::WeightVector averaged_passes(const core::RegressionData &d, double stepSize, double lambda, int32_t T) {
  const int32_t chunk = d.N / T;
  std::vector<std::vector<double>> models;
  for (int32_t t = 0; t < T; ++t) {
    std::vector<double> m(static_cast<size_t>(d.D), 0.0);
    const int32_t last = t == T - 1 ? d.N - 1 : (t + 1) * chunk - 1;
    for (int32_t i = t * chunk; i <= last; ++i) {
      std::vector<double> g(static_cast<size_t>(d.D));
      core::sample_subgradient(d, i, m.data(), lambda, g.data());
      for (size_t j = 0; j < m.size(); ++j) m[j] -= stepSize * g[j];
    }
    models.push_back(m);
  }
  core::WeightVector w(static_cast<size_t>(d.D));
  for (size_t j = 0; j < w.size(); ++j) {
    double s = 0.0;
    for (const auto &m : models) s += m[j];
    w[j] = s / T;
  }
  return w;
}

std::vector<std::pair<int32_t, int32_t>> shares(int32_t N, int32_t T) {
  std::vector<std::pair<int32_t, int32_t>> out;
  for (int32_t t = 0; t < T; ++t) {
    const splitavg::Share s = splitavg::chunk_bounds(N, T, t);
    out.emplace_back(s.start, s.end);
  }
  return out;
}

using Ranges = std::vector<std::pair<int32_t, int32_t>>;

}  // namespace

TEST(ChunkBounds, RemainderGoesToTheLastThread) {
  EXPECT_EQ(shares(10, 3), (Ranges{{0, 2}, {3, 5}, {6, 9}}));
  EXPECT_EQ(shares(8, 4), (Ranges{{0, 1}, {2, 3}, {4, 5}, {6, 7}}));
  EXPECT_EQ(shares(2, 4), (Ranges{{0, -1}, {0, -1}, {0, -1}, {0, 1}}));
  EXPECT_TRUE(splitavg::chunk_bounds(2, 4, 0).empty());
  EXPECT_FALSE(splitavg::chunk_bounds(2, 4, 3).empty());
  EXPECT_EQ(shares(7, 1), (Ranges{{0, 6}}));
  for (int32_t T : {1, 2, 5})
    for (int32_t t = 0; t < T; ++t) EXPECT_TRUE(splitavg::chunk_bounds(0, T, t).empty()) << T << " " << t;
}

TEST(ChunkBounds, SharesCoverEveryPositionOnceUpToTheLargestN) {
  for (int32_t N : {0, 1, 9, 1000, 2147483647})
    for (int32_t T : {1, 2, 3, 7, 64}) {
      int64_t next = 0;
      for (int32_t t = 0; t < T; ++t) {
        const splitavg::Share s = splitavg::chunk_bounds(N, T, t);
        if (s.empty()) continue;
        ASSERT_EQ(s.start, next) << N << " " << T << " " << t;
        ASSERT_GE(s.end, s.start);
        next = int64_t{s.end} + 1;
      }
      EXPECT_EQ(next, N) << N << " " << T;
    }
}

TEST(Shuffle, OnePermutationMovesRowsAndLabelsTogether) {
  // Rows a = (1, 2), b = (3, 4), c = (5, 6) with labels 10, 20, 30.
  const std::vector<double> X = {1, 3, 5, 2, 4, 6}, y = {10, 20, 30};
  core::RegressionData d = core::make_regression_data(X.data(), 3, 2, y.data());
  // Inside-out Fisher-Yates: draws 7 % 1, 2 % 2, 9 % 3 = 0, 0, 0 give p = (2, 0, 1).
  core::ScriptedThreadRand draws({7, 2, 9});
  splitavg::shuffle_samples(d, 0, 2);
  EXPECT_EQ(draws.consumed(), 3u);
  // Rows (c, a, b), back to back in the one block, each with its label.
  EXPECT_EQ(std::vector<double>(d.features.begin(), d.features.end()), (std::vector<double>{5, 6, 1, 2, 3, 4}));
  EXPECT_EQ(d.labels, (std::vector<double>{30, 10, 20}));
}

TEST(Shuffle, OnlyTheGivenRangeMoves) {
  const std::vector<double> X = {1, 2, 3, 4, 5}, y = {10, 20, 30, 40, 50};
  core::RegressionData d = core::make_regression_data(X.data(), 5, 1, y.data());
  core::ScriptedThreadRand draws({0, 0, 0});  // p = (2, 0, 1) over positions 1..3
  splitavg::shuffle_samples(d, 1, 3);
  EXPECT_EQ(draws.consumed(), 3u);
  EXPECT_EQ(std::vector<double>(d.features.begin(), d.features.end()), (std::vector<double>{1, 4, 2, 3, 5}));
  EXPECT_EQ(d.labels, (std::vector<double>{10, 40, 20, 30, 50}));
}

TEST(Shuffle, OneSampleDrawsOnceNoSampleDrawsNothing) {
  const std::vector<double> X = {4, 5}, y = {9};
  core::RegressionData one = core::make_regression_data(X.data(), 1, 2, y.data());
  uint64_t before = core::thread_rand_draws();
  splitavg::shuffle_samples(one, 0, 0);
  EXPECT_EQ(core::thread_rand_draws() - before, 1u);
  EXPECT_EQ(one.row(0)[0], 4);
  EXPECT_EQ(one.row(0)[1], 5);
  EXPECT_EQ(one.labels[0], 9);

  core::RegressionData none = core::make_regression_data(nullptr, 0, 2, nullptr);
  before = core::thread_rand_draws();
  splitavg::shuffle_samples(none, 0, -1);
  EXPECT_EQ(core::thread_rand_draws(), before);
}

TEST(Shuffle, ARangeOutsideTheTableIsRefusedBeforeAnythingMoves) {
  const std::vector<double> X = {1, 2, 3}, y = {1, 2, 3};
  core::RegressionData d = core::make_regression_data(X.data(), 3, 1, y.data());
  const uint64_t draws = core::thread_rand_draws();
  EXPECT_THROW(splitavg::shuffle_samples(d, 0, 3), std::out_of_range);
  EXPECT_THROW(splitavg::shuffle_samples(d, -1, 1), std::out_of_range);
  EXPECT_EQ(std::vector<double>(d.features.begin(), d.features.end()), X);
  EXPECT_EQ(core::thread_rand_draws(), draws);
}

TEST(Shuffle, ALargeShuffleIsAPermutationOfTheSamples) {
  core::RegressionData d = wavy_data(1000, 3);
  using Sample = std::pair<std::vector<double>, double>;
  const auto sample = [&](int32_t i) {
    return Sample(std::vector<double>(d.row(i), d.row(i) + d.D), d.labels[static_cast<size_t>(i)]);
  };
  std::vector<Sample> before;
  for (int32_t i = 0; i < d.N; ++i) before.push_back(sample(i));
  core::seed_thread_rand(5);
  splitavg::shuffle_samples(d, 0, d.N - 1);
  std::vector<Sample> after;
  for (int32_t i = 0; i < d.N; ++i) after.push_back(sample(i));
  EXPECT_NE(after, before);
  std::sort(before.begin(), before.end());
  std::sort(after.begin(), after.end());
  EXPECT_EQ(after, before);  // every row kept its own label
}

TEST(Shuffle, CompressedRowsFollowTheFullRowsThroughEveryShuffle) {
  // The same samples as full and as compressed rows, shuffled alike: whole, then a part (the
  // order table exists by then), and a part of a set never shuffled before.
  const int32_t N = 500, D = 4;
  std::vector<double> X(static_cast<size_t>(N) * D), y(static_cast<size_t>(N));
  for (size_t k = 0; k < X.size(); ++k) X[k] = k % 3 == 0 ? 0.0 : std::sin(static_cast<double>(k));
  for (size_t i = 0; i < y.size(); ++i) y[i] = std::cos(static_cast<double>(i));
  std::vector<uint64_t> jc{0}, ir;
  std::vector<double> pr;
  for (int32_t j = 0; j < D; ++j) {
    for (int32_t i = 0; i < N; ++i)
      if (X[static_cast<size_t>(i + j * N)] != 0) ir.push_back(static_cast<uint64_t>(i)), pr.push_back(X[i + j * N]);
    jc.push_back(ir.size());
  }
  const auto same = [&](const core::RegressionData &full, const core::SparseRows &rows, const char *when) {
    for (int32_t i = 0; i < N; ++i) {
      std::vector<double> x(D, 0.0);
      const core::SparseRow r = rows.row(i);
      for (int64_t k = 0; k < r.count; ++k) x[static_cast<size_t>(r.columns[k])] = r.values[k];
      ASSERT_EQ(x, std::vector<double>(full.row(i), full.row(i) + D)) << when << ", sample " << i;
      ASSERT_EQ(rows.label(i), full.label(i)) << when << ", sample " << i;
    }
  };
  for (const bool whole_first : {true, false}) {
    core::RegressionData full = core::make_regression_data(X.data(), N, D, y.data());
    core::SparseRows rows = core::make_sparse_rows(jc.data(), ir.data(), pr.data(), pr.size(), N, D, y.data());
    if (whole_first) {
      core::seed_thread_rand(11);
      splitavg::shuffle_samples(full, 0, N - 1);
      core::seed_thread_rand(11);
      splitavg::shuffle_samples(rows, 0, N - 1);
      same(full, rows, "whole");
    }
    core::seed_thread_rand(12);
    splitavg::shuffle_samples(full, 7, N - 20);
    core::seed_thread_rand(12);
    splitavg::shuffle_samples(rows, 7, N - 20);
    same(full, rows, whole_first ? "whole, then a part" : "a part");
  }
}

TEST(SplitAverage, ThreadShareWorkedExample) {
  // Share: row (1, 2) label 1, then row (3, 4) label 1; stepSize 0.1, lambda 0.5.
  const std::vector<double> X = {1, 3, 2, 4}, y = {1, 1};
  const core::RegressionData d = core::make_regression_data(X.data(), 2, 2, y.data());
  TeamSize one(1);
  const core::FitResult r = local_solve(core::RunContext(d, false, {}), {0.1, 0.5});
  ASSERT_TRUE(r.done());
  EXPECT_EQ(r.threads, 1);
  // m = (0.1, 0.2) after the first step; c = 0.1 gives g = (0.8, 0.9), so m = (0.02, 0.11).
  EXPECT_NEAR(r.w[0], 0.02, 1e-15);
  EXPECT_NEAR(r.w[1], 0.11, 1e-15);
  const double c = (3 * 0.1 + 4 * 0.2) - 1;
  EXPECT_EQ(r.w[0], 0.1 - 0.1 * (c * 3 + 0.5));
  EXPECT_EQ(r.w[1], 0.2 - 0.1 * (c * 4 + 0.5));
}

TEST(SplitAverage, FourThreadsOnTwoSamplesAverageTheLastModelWithThreeZeros) {
  const std::vector<double> X = {1, 3, 2, 4}, y = {1, 1};
  const core::RegressionData d = core::make_regression_data(X.data(), 2, 2, y.data());
  TeamSize four(4);
  const core::FitResult r = local_solve(core::RunContext(d, false, {}), {0.1, 0.5});
  ASSERT_TRUE(r.done());
  ASSERT_EQ(r.threads, 4);
  const double c = (3 * 0.1 + 4 * 0.2) - 1;
  EXPECT_EQ(r.w[0], (0.1 - 0.1 * (c * 3 + 0.5)) / 4);
  EXPECT_EQ(r.w[1], (0.2 - 0.1 * (c * 4 + 0.5)) / 4);
}

TEST(SplitAverage, OneThreadIsAPlainSequentialPass) {
  const core::RegressionData d = wavy_data(301, 7);
  TeamSize one(1);
  const core::FitResult r = local_solve(core::RunContext(d, false, {}), {0.01, 0.05});
  ASSERT_TRUE(r.done());
  core::WeightVector m(7, 0.0);
  std::vector<double> g(7);
  for (int32_t i = 0; i < d.N; ++i) {
    core::sample_subgradient(d, i, m.data(), 0.05, g.data());
    for (size_t j = 0; j < m.size(); ++j) m[j] = m[j] - 0.01 * g[j];
  }
  EXPECT_EQ(r.w, m);
  EXPECT_NE(m, core::WeightVector(7, 0.0));
}

TEST(SplitAverage, EveryTeamSizeGivesTheAverageOfItsSharesAndRepeatsBitForBit) {
  const core::RegressionData d = wavy_data(1003, 9);
  for (int T : {1, 2, 3, 4}) {
    TeamSize size(T);
    const core::FitResult a = local_solve(core::RunContext(d, false, {}), {0.02, 0.01});
    const core::FitResult b = local_solve(core::RunContext(d, false, {}), {0.02, 0.01});
    ASSERT_TRUE(a.done()) << T;
    EXPECT_EQ(a.threads, T);
    EXPECT_EQ(a.w, b.w) << T;
    EXPECT_EQ(a.w, averaged_passes(d, 0.02, 0.01, T)) << T;
  }
}

double one_second_a_reading() {
  static double now = 0.0;
  return now += 1.0;
}

TEST(SplitAverage, FewerFreeProcessorsThanSharesPassEveryShareThroughTheProgressPauses) {
  // On a busy machine fewer threads pass the shares, each several in turn; an update of the
  // progress line is due at every question, so the team pauses and goes on from each share's place.
  const core::RegressionData d = wavy_data(20000, 40);
  const core::WeightVector expected = averaged_passes(d, 0.001, 0.01, 3);
  TeamSize three(3);
  for (int32_t free : {1, 2, 64}) {
    const core::FreeProcessorsForTests processors(free);
    std::string text;
    core::Progress line(core::Printer::to_string(&text), core::Progress::Style::PlainLines, one_second_a_reading,
                        "splitavg", "samples", 20000);
    core::RunContext run(d, false, {});
    run.stop.show_progress(&line);
    const core::FitResult r = local_solve(run, {0.001, 0.01});
    ASSERT_TRUE(r.done()) << free;
    EXPECT_EQ(r.threads, 3);
    EXPECT_EQ(r.w, expected) << free;
    // Thread 0 asks the host: alone it passes all three shares; in a team, its own share, a third.
    EXPECT_GE(lines_of(text).size(), free == 1 ? 9u : 2u) << free << ": " << text;
  }
}

TEST(SplitAverage, NoSamplesLeaveZerosAndDrawNothing) {
  const core::RegressionData d = core::make_regression_data(nullptr, 0, 3, nullptr);
  for (int T : {1, 3}) {
    TeamSize size(T);
    std::string text;
    const uint64_t draws = core::thread_rand_draws();
    const core::FitResult r = local_solve(core::RunContext(d, true, core::Printer::to_string(&text)), {0.1, 0.5});
    ASSERT_TRUE(r.done());
    EXPECT_EQ(r.w, core::WeightVector(3, 0.0));
    EXPECT_EQ(core::thread_rand_draws(), draws);
    EXPECT_EQ(text, "Number of threads = " + std::to_string(T) + "\nInitial object function = 0.000000\n");
  }
}

TEST(SplitAverage, VerboseMessagesInOrderAndSilentRunGivesTheSameWeights) {
  const core::RegressionData d = wavy_data(50, 3);
  double sum_sq = 0.0;
  for (double v : d.labels) sum_sq += v * v;
  char initial[64];
  std::snprintf(initial, sizeof initial, "Initial object function = %f", sum_sq);
  TeamSize three(3);
  std::string loud_text, quiet_text;
  const core::FitResult loud =
      local_solve(core::RunContext(d, true, core::Printer::to_string(&loud_text)), {0.05, 0.1});
  const core::FitResult quiet =
      local_solve(core::RunContext(d, false, core::Printer::to_string(&quiet_text)), {0.05, 0.1});
  EXPECT_EQ(lines_of(loud_text), (std::vector<std::string>{"Number of threads = 3", initial}));
  EXPECT_EQ(quiet_text, "");
  EXPECT_EQ(loud.w, quiet.w);
}

TEST(SplitAverage, APassTeamOfAnotherSizeIsReportedAndLeavesWAlone) {
  const core::RegressionData d = wavy_data(30, 2);
  const core::FreeProcessorsForTests idle(64);
  // With no active levels allowed every team has one thread, whatever is asked for.
  const int saved = omp_get_max_active_levels();
  omp_set_max_active_levels(0);
  core::WeightVector w(2, 7.0);
  const int32_t got = reference::pass_and_average(core::RunContext(d), {0.1, 0.1}, 3, w);
  omp_set_max_active_levels(saved);
  EXPECT_EQ(got, 1);
  EXPECT_EQ(w, core::WeightVector(2, 7.0));
}

TEST(ElapsedSeconds, CountsTheSecondMarksPassedSinceTheTruncatedStart) {
  EXPECT_EQ(splitavg::elapsed_seconds(splitavg::whole_seconds(100.7), 101.2), 1u);
  EXPECT_EQ(splitavg::elapsed_seconds(splitavg::whole_seconds(100.2), 100.9), 0u);
  EXPECT_EQ(splitavg::elapsed_seconds(splitavg::whole_seconds(100.9), 103.1), 3u);
  EXPECT_EQ(splitavg::elapsed_seconds(splitavg::whole_seconds(0.4), 0.6), 0u);
}

TEST(ElapsedSeconds, ReadingsOf2To31SecondsOrMoreStayRight) {
  const double two31 = 2147483648.0;
  // A 32-bit start would overflow here and print a wrong or negative count.
  EXPECT_EQ(splitavg::elapsed_seconds(splitavg::whole_seconds(two31 + 0.9), two31 + 3.1), 3u);
  EXPECT_EQ(splitavg::elapsed_seconds(splitavg::whole_seconds(two31 - 0.5), two31 + 0.25), 1u);
  EXPECT_EQ(splitavg::elapsed_seconds(splitavg::whole_seconds(4294967296.7), 4294967301.2), 5u);
  EXPECT_EQ(splitavg::elapsed_seconds(splitavg::whole_seconds(1e15 + 0.5), 1e15 + 42.75), 42u);
}

TEST(ElapsedSeconds, NeverNegativeNeverWrapped) {
  EXPECT_EQ(splitavg::elapsed_seconds(splitavg::whole_seconds(100.9), 99.0), 0u);  // clock went back
  EXPECT_EQ(splitavg::elapsed_seconds(splitavg::whole_seconds(100.0), std::nan("")), 0u);
  EXPECT_EQ(splitavg::elapsed_seconds(0.0, std::numeric_limits<double>::infinity()),
            std::numeric_limits<unsigned long>::max());
  EXPECT_EQ(splitavg::elapsed_seconds(0.0, 1e300), std::numeric_limits<unsigned long>::max());
}
