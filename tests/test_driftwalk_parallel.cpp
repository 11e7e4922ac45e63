// driftwalk on a team: the draws are shared out as parts of the one generator's sequence and every
// piece of work is computed as on one thread, so weights, printed lines and the generator's
// consumption are those of one thread whatever the team.
#include <gtest/gtest.h>
#include <omp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"
#include "core/run/progress.hpp"
#include "core/threads/busy.hpp"
#include "driftwalk/langevin.hpp"
#include "test_support.hpp"

namespace {

// Features and labels that exercise every weight, from a small LCG (no libm in the data).
core::RegressionData uneven(int32_t N, int32_t D, uint64_t seed) {
  std::vector<double> X(static_cast<size_t>(N) * static_cast<size_t>(D)), y(static_cast<size_t>(N));
  uint64_t s = seed;
  auto next = [&s] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(s >> 11) * 0x1p-52 - 0.5;
  };
  for (double &v : X) v = next();
  for (double &v : y) v = 3.0 * next();
  return core::make_regression_data(X.data(), N, D, y.data());
}

// Every line with its clock reading masked.
std::vector<std::string> masked(const std::string &text) {
  std::vector<std::string> out;
  for (std::string line : lines_of(text)) {
    const size_t at = line.find("clock= ");
    if (at != std::string::npos) line = line.substr(0, at + 7) + "#" + line.substr(line.find(',', at));
    out.push_back(line);
  }
  return out;
}

struct Outcome {
  core::WeightVector w;
  std::vector<std::string> lines;
  uint64_t draws;      // generator values taken by the run
  int32_t next_value;  // the generator's next value after the run
  int32_t threads;     // the team size the run reports
};

// One verbose run with teams of `threads` (1: no team at all) at any batch size.
Outcome run(const core::RegressionData &data, const driftwalk::Parameters &p, int32_t threads, uint32_t seed) {
  const DefaultTeam team(threads);  // also keeps the runtime from shrinking the team
  std::string text;
  core::RunContext ctx{data, true, core::Printer::to_string(&text)};
  ctx.threads = threads;
  core::seed_thread_rand(seed);
  const uint64_t before = core::thread_rand_draws();
  Outcome o;
  const core::FitResult r = driftwalk::detail::langevin_solve(ctx, p, 0);
  o.w = r.w;
  o.threads = r.threads;
  o.draws = core::thread_rand_draws() - before;
  o.next_value = core::thread_rand();
  o.lines = masked(text);
  return o;
}

struct Case {
  int32_t N, D, B, maxIter;
};
// Fewer samples in the batch or fewer features than threads, D not a multiple of a cache line,
// the whole data set as the batch, shapes with several blocks of features, and tall ones whose
// permutation each thread draws a part of in several blocks, for a small batch and for one of
// nearly every sample.
const Case kCases[] = {{3, 2, 2, 6},       {37, 1, 5, 9},    {101, 7, 10, 12},  {250, 13, 250, 5}, {60, 17, 3, 8},
                       {1000, 100, 50, 6}, {97, 259, 40, 4}, {300, 1100, 9, 3}, {20000, 3, 4, 5},  {6000, 2, 5990, 3}};

driftwalk::Parameters parameters(const Case &c) {
  driftwalk::Parameters p;
  p.stepScale = 3e-3;
  p.stepOffset = 10;
  p.stepPower = -0.55;
  p.lambda = 0.5;
  p.batchSize = c.B;
  p.maxIter = c.maxIter;
  return p;
}

}  // namespace

TEST(DriftwalkTeams, EveryTeamSizeGivesTheOneThreadBitsLinesAndDraws) {
  uint64_t seed = 5;
  for (const Case &c : kCases) {
    const core::RegressionData data = uneven(c.N, c.D, seed);
    const driftwalk::Parameters p = parameters(c);
    const Outcome alone = run(data, p, 1, static_cast<uint32_t>(seed));
    ASSERT_EQ(alone.threads, 1);
    EXPECT_EQ(alone.draws, static_cast<uint64_t>(c.maxIter) * static_cast<uint64_t>(c.N + c.D));
    ASSERT_EQ(alone.lines.size(), static_cast<size_t>(c.maxIter) + 1);
    bool moved = false;
    for (double v : alone.w) moved = moved || (v != 0.0 && std::isfinite(v));
    EXPECT_TRUE(moved) << c.N << "x" << c.D;
    for (int32_t T = 2; T <= 4; ++T) {
      const Outcome team = run(data, p, T, static_cast<uint32_t>(seed));
      const std::string what = std::to_string(c.N) + "x" + std::to_string(c.D) + " B=" + std::to_string(c.B) +
                               " team of " + std::to_string(T);
      EXPECT_EQ(team.threads, T) << what;
      ASSERT_EQ(team.w.size(), alone.w.size());
      for (size_t k = 0; k < team.w.size(); ++k)
        ASSERT_EQ(std::memcmp(&team.w[k], &alone.w[k], sizeof(double)), 0) << what << " weight " << k;
      EXPECT_EQ(team.lines, alone.lines) << what;
      EXPECT_EQ(team.draws, alone.draws) << what;
      EXPECT_EQ(team.next_value, alone.next_value) << what;
    }
    ++seed;
  }
}

// A clock that moves a second at every reading: a progress line is due at every question.
double hurried_clock() {
  static double now = 0.0;
  return now += 1.0;
}

// Stop pressed at the host's n-th question.
int g_questions_to_stop = 0;
bool stop_pressed() {
  return --g_questions_to_stop < 0;
}

TEST(DriftwalkTeams, AProgressLineOrAStopInsideTheTeamsRunEndsItAsOneThreadWould) {
  // Silent runs: one region runs every iteration, left at each question (a progress line due every
  // time) or at a stop. Both findings come from the calling thread inside the region and must reach
  // every thread in the same iteration, whatever the others are doing.
  const core::RegressionData data = uneven(300, 200, 9);
  const driftwalk::Parameters p = parameters({300, 200, 100, 40});
  const DefaultTeam team(3);
  std::vector<core::WeightVector> w;
  for (int32_t T : {1, 2, 3}) {
    std::string lines;
    core::Progress progress(core::Printer::to_string(&lines), core::Progress::Style::PlainLines, hurried_clock,
                            "driftwalk", "iterations", 40);
    core::RunContext ctx{data, false, {}};
    ctx.threads = T;
    ctx.stop.show_progress(&progress);
    core::seed_thread_rand(4);
    const core::FitResult r = driftwalk::detail::langevin_solve(ctx, p, 0);
    EXPECT_EQ(r.status, core::FitStatus::Done) << T;
    EXPECT_EQ(r.threads, T);
    EXPECT_NE(lines.find("driftwalk: "), std::string::npos) << T;
    w.push_back(r.w);
  }
  EXPECT_EQ(w[1], w[0]);
  EXPECT_EQ(w[2], w[0]);
  for (int32_t T : {2, 3}) {
    for (int questions : {1, 5, 17}) {
      g_questions_to_stop = questions;
      core::RunContext ctx{data, false, {}};
      ctx.stop = core::StopCheck(stop_pressed);
      ctx.threads = T;
      core::seed_thread_rand(4);
      EXPECT_EQ(driftwalk::detail::langevin_solve(ctx, p, 0).status, core::FitStatus::Stopped)
          << T << " threads, stop at question " << questions;
    }
  }
}

TEST(DriftwalkTeams, ASmallIterationStaysOnTheCallingThread) {
  const core::RegressionData data = uneven(300, 64, 3);
  driftwalk::Parameters p = parameters({300, 64, 1, 2});
  const DefaultTeam team(4);
  core::RunContext ctx{data, false, {}};
  ctx.threads = 4;
  // The iteration's work just below and at the threshold.
  p.batchSize = 1;
  while (driftwalk::parallel_work(300, 64, p.batchSize + 1) < driftwalk::kMinParallelWork) ++p.batchSize;
  ASSERT_LT(p.batchSize, 300);
  const core::FitResult below = driftwalk::langevin_solve(ctx, p);
  EXPECT_EQ(below.threads, 1);
  p.batchSize += 1;
  EXPECT_EQ(driftwalk::langevin_solve(ctx, p).threads, 4);
  // Every part counts: a tall X with a batch of one, or many features.
  EXPECT_GE(driftwalk::parallel_work(8192, 1, 1), driftwalk::kMinParallelWork);
  EXPECT_LT(driftwalk::parallel_work(8000, 1, 1), driftwalk::kMinParallelWork);
  EXPECT_GE(driftwalk::parallel_work(1, 1024, 1), driftwalk::kMinParallelWork);
  // The default team when none is asked for (on processors free of other work); one thread when no
  // iteration runs or one is asked for.
  ctx.threads = 0;
  const core::FreeProcessorsForTests idle(64);
  EXPECT_EQ(driftwalk::langevin_solve(ctx, p).threads, 4);
  p.maxIter = 0;
  EXPECT_EQ(driftwalk::langevin_solve(ctx, p).threads, 1);
  p.maxIter = 2;
  ctx.threads = 1;
  EXPECT_EQ(driftwalk::langevin_solve(ctx, p).threads, 1);
  // Below the threshold the team size asked for changes nothing.
  p.batchSize -= 1;
  ctx.threads = 3;
  core::seed_thread_rand(0);
  const core::WeightVector a = driftwalk::langevin_solve(ctx, p).w;
  ctx.threads = 1;
  core::seed_thread_rand(0);
  EXPECT_EQ(driftwalk::langevin_solve(ctx, p).w, a);
  EXPECT_EQ(below.w.size(), 64u);
}

TEST(DriftwalkTeams, ABusyMachineHoldsTheDefaultTeamToItsFreeProcessorsWithTheSameBits) {
  const core::RegressionData data = uneven(300, 200, 5);
  const driftwalk::Parameters p = parameters({300, 200, 100, 6});
  const DefaultTeam team(4);
  core::RunContext ctx{data, false, {}};
  std::vector<core::FitResult> runs;
  for (int32_t free : {64, 3, 1}) {
    const core::FreeProcessorsForTests busy(free);
    core::seed_thread_rand(11);
    runs.push_back(driftwalk::langevin_solve(ctx, p));
  }
  EXPECT_EQ(runs[0].threads, 4);
  EXPECT_EQ(runs[1].threads, 3);
  EXPECT_EQ(runs[2].threads, 1);
  EXPECT_EQ(runs[1].w, runs[0].w);
  EXPECT_EQ(runs[2].w, runs[0].w);
  EXPECT_EQ(runs[1].warning_count, 0);  // the default, held back: nothing was asked for
  // A team the caller asks for is the team it gets, busy or not.
  const core::FreeProcessorsForTests busy(1);
  ctx.threads = 4;
  core::seed_thread_rand(11);
  const core::FitResult asked = driftwalk::langevin_solve(ctx, p);
  EXPECT_EQ(asked.threads, 4);
  EXPECT_EQ(asked.w, runs[0].w);
}

TEST(FreeProcessors, ASpinningProcessTakesAProcessorAway) {
  const int32_t processors = omp_get_num_procs();
  const int32_t quiet = core::free_processors();
  EXPECT_GE(quiet, 1);
  EXPECT_LE(quiet, processors);
  // Threads of our own that run (a team's spinning workers) are not counted as busy.
  int32_t inside = 0;
#pragma omp parallel num_threads(2)
  {
#pragma omp master
    inside = core::free_processors();
  }
  EXPECT_GE(inside, 1);
  if (processors < 2) GTEST_SKIP() << "one processor: nothing to take away";
  if (processors < sysconf(_SC_NPROCESSORS_ONLN)) GTEST_SKIP() << "held to some processors: every one counts as free";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (volatile unsigned long spin = 0;; spin = spin + 1) {
    }
  }
  // The child is ready to run from its first instruction on; the count is a snapshot, so a few
  // readings are taken.
  int32_t least = processors;
  for (int k = 0; k < 200 && least == processors; ++k) {
    least = std::min(least, core::free_processors());
    usleep(1000);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_LE(least, processors - 1);
}

TEST(DriftwalkTeams, ATeamLeavesTheCallersDynamicSettingAlone) {
  const core::RegressionData data = uneven(100, 80, 9);
  for (int dynamic : {0, 1}) {
    omp_set_dynamic(dynamic);
    core::RunContext ctx{data, false, {}};
    ctx.threads = 2;
    EXPECT_GE(driftwalk::langevin_solve(ctx, parameters({100, 80, 60, 3})).threads, 1);
    EXPECT_EQ(omp_get_dynamic(), dynamic);
  }
  omp_set_dynamic(0);
}

// No features: nothing to share, and still N + D draws per iteration, with a team or without.
TEST(DriftwalkTeams, NoFeaturesDrawsThePermutationsOnly) {
  const core::RegressionData data = core::make_regression_data(nullptr, 5, 0, std::vector<double>(5, 1.0).data());
  for (int32_t T : {1, 2, 3}) {
    const Outcome o = run(data, parameters({5, 0, 2, 4}), T, 8);
    EXPECT_TRUE(o.w.empty());
    EXPECT_EQ(o.draws, 4u * 5u) << T;
    EXPECT_EQ(o.lines.size(), 5u) << T;
  }
}
