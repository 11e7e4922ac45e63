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

namespace {

// A problem with zeros among the features (so that the sparse rows skip some), in both layouts.
struct Problem {
  core::RegressionData dense;
  core::SparseRows sparse;
};

Problem problem(int32_t N, int32_t D, uint64_t seed) {
  const size_t n = static_cast<size_t>(N), d = static_cast<size_t>(D);
  std::vector<double> X(n * d), y(n);
  uint64_t s = seed;
  auto next = [&s] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(s >> 11) * 0x1p-52 - 0.5;
  };
  for (double &v : X) v = next() < -0.2 ? 0.0 : next();
  for (double &v : y) v = 2.0 * next();
  Problem p;
  p.dense = core::make_regression_data(X.data(), N, D, y.data());
  std::vector<size_t> jc(1, 0), ir;
  std::vector<double> pr;
  for (size_t j = 0; j < d; ++j) {
    for (size_t i = 0; i < n; ++i)
      if (X[i + j * n] != 0.0) {
        ir.push_back(i);
        pr.push_back(X[i + j * n]);
      }
    jc.push_back(ir.size());
  }
  p.sparse = core::make_sparse_rows(jc.data(), ir.data(), pr.data(), pr.size(), N, D, y.data());
  return p;
}

::testing::AssertionResult same_bits(const std::vector<double> &a, const std::vector<double> &b) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
  for (size_t k = 0; k < a.size(); ++k)
    if (std::memcmp(&a[k], &b[k], sizeof(double)) != 0)
      return ::testing::AssertionFailure() << "w(" << k + 1 << ") " << a[k] << " against " << b[k];
  return ::testing::AssertionSuccess();
}

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
