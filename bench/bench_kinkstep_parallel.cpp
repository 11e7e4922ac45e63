// Cost of one kinkstep method-1 iteration (a team of 2 threads, one step each, then the average)
// against the same two steps and the same average done one after the other on one thread.
//
//   build/bench/bench_kinkstep_parallel
//
// "per_iteration" is the wall-clock time of one iteration. The sequential variant checks once that it
// reproduces the parallel method's weights bit for bit, so both do the same work.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <vector>

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"
#include "kinkstep/parallel.hpp"
#include "kinkstep/sequential.hpp"

namespace {

constexpr int32_t kSamples = 1000;
constexpr int32_t kIterations = 1000;  // per solver call
constexpr int kThreads = 2;

struct Problem {
  std::vector<double> X, y;
  core::RegressionData data;
  explicit Problem(int32_t D) : X(static_cast<size_t>(kSamples) * D), y(kSamples) {
    for (size_t k = 0; k < X.size(); ++k) X[k] = std::sin(1.0 + static_cast<double>(k)) / std::sqrt(D);
    for (size_t k = 0; k < y.size(); ++k) y[k] = std::cos(static_cast<double>(k));
    data = core::make_regression_data(X.data(), kSamples, D, y.data());
  }
};

const kinkstep::Parameters kParams{0.01, 0.01, kIterations};

core::WeightVector parallel_run(const core::RegressionData &d) {
  return kinkstep::parallel_averaged_descent(core::RunContext(d, false, {}), kParams).w;
}

// The parallel method's steps, thread after thread, on the calling thread.
core::WeightVector sequential_run(const core::RegressionData &d) {
  const size_t D = static_cast<size_t>(d.D);
  core::WeightVector w(D, 0.0);
  std::vector<double> g(D), candidates(kThreads * D);
  for (int32_t k = 0; k < kParams.maxIter; ++k) {
    for (int t = 0; t < kThreads; ++t) {
      core::seed_thread_rand(static_cast<uint32_t>(k) + static_cast<uint32_t>(t));
      core::sample_subgradient(d, core::draw_sample(d.N), w.data(), kParams.lambda, g.data());
      double *c = candidates.data() + t * D;
      for (size_t j = 0; j < D; ++j) c[j] = w[j] - kParams.stepSize * g[j];
    }
    for (size_t j = 0; j < D; ++j) {
      double s = 0.0;
      for (int t = 0; t < kThreads; ++t) s = s + candidates[t * D + j];
      w[j] = s / static_cast<double>(kThreads);
    }
  }
  return w;
}

void per_iteration(benchmark::State &state) {
  state.counters["per_iteration"] =
      benchmark::Counter(kIterations, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ParallelIteration(benchmark::State &state) {
  const Problem pb(static_cast<int32_t>(state.range(0)));
  omp_set_num_threads(kThreads);
  for (auto _ : state) benchmark::DoNotOptimize(parallel_run(pb.data));
  per_iteration(state);
}

void BM_SameStepsSequential(benchmark::State &state) {
  const Problem pb(static_cast<int32_t>(state.range(0)));
  omp_set_num_threads(kThreads);
  if (sequential_run(pb.data) != parallel_run(pb.data)) {
    state.SkipWithError("the sequential steps do not reproduce the parallel method");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(sequential_run(pb.data));
  per_iteration(state);
}

}  // namespace

BENCHMARK(BM_ParallelIteration)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SameStepsSequential)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
