// Golden fingerprints: every solver, for fixed seeds and team sizes, on problems of several shapes.
// A fingerprint is an FNV-1a hash over the bytes of the returned weights and of every printed line
// (clock readings masked). The expected values are those of the plain loops, and every faster
// version must reproduce them bit for bit. When one differs, the arithmetic, the order of a sum or
// the generator's consumption has changed.
#include <gtest/gtest.h>
#include <omp.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"
#include "core/run/run_context.hpp"
#include "driftwalk/langevin.hpp"
#include "driftwalk/noise.hpp"
#include "kinkstep/parallel.hpp"
#include "kinkstep/sequential.hpp"
#include "splitavg/sample_source.hpp"
#include "splitavg/shuffle.hpp"
#include "splitavg/split_average.hpp"
#include "test_support.hpp"

namespace {

class Fingerprint {
 public:
  void bytes(const void *p, size_t n) {
    const unsigned char *b = static_cast<const unsigned char *>(p);
    for (size_t k = 0; k < n; ++k) h_ = (h_ ^ b[k]) * 0x100000001b3ull;
  }
  template <typename Vector>
  void doubles(const Vector &v) {
    bytes(v.data(), v.size() * sizeof(double));
  }
  void ints(const std::vector<int32_t> &v) { bytes(v.data(), v.size() * sizeof(int32_t)); }
  // Printed text with every "clock= <ticks>" reading replaced by "clock= #".
  void text(const std::string &s) {
    std::string masked;
    for (size_t at = 0;;) {
      const size_t c = s.find("clock= ", at);
      if (c == std::string::npos) {
        masked += s.substr(at);
        break;
      }
      masked += s.substr(at, c + 7 - at) + "#";
      at = s.find_first_not_of("0123456789", c + 7);
      if (at == std::string::npos) break;
    }
    bytes(masked.data(), masked.size());
  }
  uint64_t value() const { return h_; }

 private:
  uint64_t h_ = 0xcbf29ce484222325ull;
};

// Deterministic features in [-1, 1) from a 64-bit LCG (no libm, so the data are the same
// everywhere), and labels from a sparse model plus a small disturbance.
core::RegressionData problem(int32_t N, int32_t D, uint64_t seed) {
  const size_t n = static_cast<size_t>(N), d = static_cast<size_t>(D);
  std::vector<double> X(n * d), y(n);
  uint64_t s = seed;
  auto next = [&s] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(s >> 11) * 0x1p-52 - 1.0;
  };
  for (double &v : X) v = next();
  for (size_t i = 0; i < n; ++i) {
    double target = 0.1 * next();
    for (size_t j = 0; j < d; j += 3) target = target + X[i + j * n] * (1.0 + 0.25 * static_cast<double>(j % 5));
    y[i] = target;
  }
  return core::make_regression_data(X.data(), N, D, y.data());
}

struct Shape {
  int32_t N, D;
};
// D not a multiple of 4 or 8, N not a multiple of the team sizes, one wide problem.
const Shape kShapes[] = {{3, 2}, {37, 1}, {101, 7}, {250, 13}, {1000, 100}, {97, 259}};

std::string hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(v));
  return buf;
}

// Runs fn(data, verbose, printer) for every shape, seed and verbosity and hashes it all.
template <typename Run>
uint64_t over_shapes(Run run) {
  Fingerprint f;
  uint64_t seed = 11;
  for (const Shape &sh : kShapes) {
    core::RegressionData data = problem(sh.N, sh.D, seed++);
    for (bool verbose : {false, true}) {
      std::string printed;
      const core::RunContext ctx{data, verbose, verbose ? core::Printer::to_string(&printed) : core::Printer()};
      f.doubles(run(data, ctx));
      f.text(printed);
    }
  }
  return f.value();
}

}  // namespace

TEST(Golden, KinkstepSequential) {
  const uint64_t h = over_shapes([](core::RegressionData &, const core::RunContext<core::RegressionData> &ctx) {
    core::seed_thread_rand(20240611u);
    return kinkstep::sequential_subgradient_descent(ctx, {0.01, 0.05, 300}).w;
  });
  EXPECT_EQ(hex(h), "0xec7817b087d4ffd9");
}

TEST(Golden, KinkstepParallel) {
  for (int T : {1, 2, 3}) {
    const TeamSize team(T);
    const uint64_t h = over_shapes([](core::RegressionData &, const core::RunContext<core::RegressionData> &ctx) {
      return kinkstep::parallel_averaged_descent(ctx, {0.02, 0.01, 120}).w;
    });
    const char *expected[] = {"0xf2ccc91df8ba11f4", "0x4b922cfc13092345", "0xcd7f4eb6387c1f19"};
    EXPECT_EQ(hex(h), expected[T - 1]) << "team of " << T;
  }
}

TEST(Golden, Driftwalk) {
  const uint64_t h = over_shapes([](core::RegressionData &data, const core::RunContext<core::RegressionData> &ctx) {
    core::seed_thread_rand(77u);
    driftwalk::Parameters p;
    p.stepScale = 2e-4;
    p.stepOffset = 10;
    p.stepPower = -0.55;
    p.lambda = 1;
    p.batchSize = data.N < 10 ? data.N : 10;
    p.maxIter = 40;
    return driftwalk::langevin_solve(ctx, p).w;
  });
  EXPECT_EQ(hex(h), "0x42543617a279b4b7");
}

// The same fingerprint from teams of every size, also on the batches too small to get a team in a
// module call.
TEST(Golden, DriftwalkOnEveryTeamSize) {
  for (int T = 1; T <= 4; ++T) {
    const DefaultTeam team(T);
    const uint64_t h = over_shapes([T](core::RegressionData &data, const core::RunContext<core::RegressionData> &run) {
      core::seed_thread_rand(77u);
      driftwalk::Parameters p;
      p.stepScale = 2e-4;
      p.stepOffset = 10;
      p.stepPower = -0.55;
      p.lambda = 1;
      p.batchSize = data.N < 10 ? data.N : 10;
      p.maxIter = 40;
      core::RunContext<core::RegressionData> ctx = run;
      ctx.threads = T;
      const core::FitResult r = driftwalk::detail::langevin_solve(ctx, p, 0);
      core::WeightVector w = r.w;
      if (r.threads != T) w.push_back(-1.0);  // spoils the fingerprint
      return w;
    });
    EXPECT_EQ(hex(h), "0x42543617a279b4b7") << "team of " << T;
  }
}

TEST(Golden, SplitavgWithShuffle) {
  for (int T : {1, 2, 3}) {
    const TeamSize team(T);
    const uint64_t h = over_shapes([](core::RegressionData &data, const core::RunContext<core::RegressionData> &ctx) {
      core::seed_thread_rand(1718000000u);
      splitavg::shuffle_samples(data, 0, data.N - 1);
      splitavg::LocalSamples<core::RegressionData> local(data.N);
      const core::FitResult r = splitavg::split_average_solve(ctx, {0.01, 0.001}, local);
      // The objective over the shuffled order, as the module prints it with its time.
      std::vector<double> out(r.w.begin(), r.w.end());
      out.push_back(core::objective_value(data, r.w.data(), 0.001));
      return out;
    });
    const char *expected[] = {"0x44ea31d49dd405a6", "0x026cc4565f93faea", "0x898c879a1dc0d722"};
    EXPECT_EQ(hex(h), expected[T - 1]) << "team of " << T;
  }
}

// Large permutations: indices beyond 32767 and the full range of the generator.
TEST(Golden, PermutationsAndNoise) {
  Fingerprint f;
  core::seed_thread_rand(5u);
  for (int32_t n : {1, 2, 1000, 70001}) f.ints(core::random_permutation(n));
  std::vector<double> z;
  for (int32_t r = 0; r < 32768; ++r) {
    const core::ScriptedThreadRand script({r});
    z.push_back(driftwalk::gaussian_noise(0.0, 1.0));
  }
  for (int k = 0; k < 20000; ++k) z.push_back(driftwalk::gaussian_noise(0.5, 2.0));  // wide generator values
  f.doubles(z);
  EXPECT_EQ(hex(f.value()), "0x38968a2d23254f0c");
}
