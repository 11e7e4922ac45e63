// Every tuned solver against its textbook loop (tests/reference/plain_loops), bit for bit, on full
// rows and on the same data as compressed sparse rows: the dispatched kernels, the look-ahead of the
// draws, the lazy L1 catch-up, the teams and the fused loops change the speed and nothing else.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/random/thread_rand.hpp"
#include "core/sparse/sparse_rows.hpp"
#include "driftwalk/langevin.hpp"
#include "kinkstep/parallel.hpp"
#include "kinkstep/sequential.hpp"
#include "reference/plain_loops.hpp"
#include "splitavg/fit.hpp"
#include "test_support.hpp"
#include "two_layouts.hpp"

namespace {

struct Shape {
  int32_t N, D;
};
const Shape kShapes[] = {{1, 1}, {7, 3}, {60, 9}, {301, 33}, {40, 150}};

}  // namespace

TEST(PlainLoops, KinkstepSequentialIsItsTextbookLoop) {
  uint64_t seed = 3;
  for (const Shape &sh : kShapes) {
    const Problem p = problem(sh.N, sh.D, seed++);
    const kinkstep::Parameters params{0.05, 0.01, 5 * sh.N + 7};
    core::seed_thread_rand(static_cast<uint32_t>(seed));
    const std::vector<double> plain =
        reference::kinkstep_sequential(p.dense, params.stepSize, params.lambda, params.maxIter);
    core::seed_thread_rand(static_cast<uint32_t>(seed));
    EXPECT_TRUE(same_bits(kinkstep::sequential_subgradient_descent(core::RunContext(p.dense), params).w, plain))
        << sh.N << "x" << sh.D;
    core::seed_thread_rand(static_cast<uint32_t>(seed));
    EXPECT_TRUE(same_bits(kinkstep::sequential_subgradient_descent(core::RunContext(p.sparse), params).w, plain))
        << sh.N << "x" << sh.D << " sparse";
  }
}

TEST(PlainLoops, KinkstepParallelIsItsTextbookLoop) {
  uint64_t seed = 13;
  for (const Shape &sh : kShapes)
    for (int32_t T = 1; T <= 3; ++T) {
      const Problem p = problem(sh.N, sh.D, seed++);
      const kinkstep::Parameters params{0.05, 0.01, 40};
      const std::vector<double> plain =
          reference::kinkstep_parallel(p.dense, params.stepSize, params.lambda, params.maxIter, T);
      const DefaultTeam team(T);
      EXPECT_TRUE(same_bits(kinkstep::parallel_averaged_descent(core::RunContext(p.dense), params).w, plain))
          << sh.N << "x" << sh.D << " T=" << T;
      EXPECT_TRUE(same_bits(kinkstep::parallel_averaged_descent(core::RunContext(p.sparse), params).w, plain))
          << sh.N << "x" << sh.D << " T=" << T << " sparse";
    }
}

TEST(PlainLoops, DriftwalkIsItsTextbookLoop) {
  uint64_t seed = 23;
  for (const Shape &sh : kShapes)
    for (int32_t T : {1, 2, 3}) {
      const Problem p = problem(sh.N, sh.D, seed++);
      driftwalk::Parameters params;
      params.stepScale = 1e-3;
      params.stepOffset = 10;
      params.stepPower = -0.55;
      params.lambda = 0.3;
      params.batchSize = sh.N > 5 ? sh.N / 2 : sh.N;
      params.maxIter = 12;
      core::seed_thread_rand(static_cast<uint32_t>(seed));
      const std::vector<double> plain =
          reference::driftwalk(p.dense, params.stepScale, params.stepOffset, params.stepPower, params.lambda,
                               params.batchSize, params.maxIter);
      for (bool sparse : {false, true}) {
        core::seed_thread_rand(static_cast<uint32_t>(seed));
        const DefaultTeam team(T);
        // Teams even on batches this small, which a call would keep on one thread.
        core::FitResult r;
        if (sparse) {
          core::RunContext ctx(p.sparse);
          ctx.threads = T;
          r = driftwalk::detail::langevin_solve(ctx, params, 0);
        } else {
          core::RunContext ctx(p.dense);
          ctx.threads = T;
          r = driftwalk::detail::langevin_solve(ctx, params, 0);
        }
        EXPECT_TRUE(same_bits(r.w, plain)) << sh.N << "x" << sh.D << " T=" << T << (sparse ? " sparse" : "");
      }
    }
}

TEST(PlainLoops, SplitavgIsItsTextbookLoop) {
  uint64_t seed = 33;
  for (const Shape &sh : kShapes)
    for (int32_t T : {1, 2, 3, 5}) {
      Problem p = problem(sh.N, sh.D, seed++);
      const splitavg::Parameters params{0.05, 0.01};
      core::seed_thread_rand(static_cast<uint32_t>(seed));
      const std::vector<double> plain = reference::splitavg(p.dense, params.stepSize, params.lambda, T);
      core::FitRun run;
      run.seed = static_cast<uint32_t>(seed);
      run.threads = T;
      EXPECT_TRUE(same_bits(splitavg::fit_splitavg(p.dense, params, run).w, plain))
          << sh.N << "x" << sh.D << " T=" << T;
      EXPECT_TRUE(same_bits(splitavg::fit_splitavg(p.sparse, params, run).w, plain))
          << sh.N << "x" << sh.D << " T=" << T << " sparse";
    }
}
