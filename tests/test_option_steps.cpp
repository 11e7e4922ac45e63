// The options beyond the defined step (an intercept, the proximal L1 step, averaged iterates,
// starting weights, more passes) against their textbook loops (tests/reference/option_loops), bit
// for bit, on full rows and on the same data as sparse rows; and the two pieces that make the
// sparse rows' identity possible: the exact sum and the catch-ups that sum a run of untouched
// steps at once, each against MPFR and a step-by-step loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/kernels/exact_sum.hpp"
#include "core/kernels/l1_catchup.hpp"
#include "core/random/thread_rand.hpp"
#include "driftwalk/langevin.hpp"
#include "kinkstep/parallel.hpp"
#include "kinkstep/sequential.hpp"
#include "reference/option_loops.hpp"
#include "splitavg/fit.hpp"
#include "test_support.hpp"
#include "two_layouts.hpp"

namespace {

bool same_double(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Doubles of every kind of size: ordinary values, values near the subnormal range and subnormals,
// and values near the largest, of either sign.
std::vector<double> mixed_terms(size_t n, uint32_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> kind(0, 9), scale(-60, 60);
  std::vector<double> v(n);
  for (double &x : v) {
    const int k = kind(gen);
    if (k < 5)
      x = std::ldexp(unit(gen), scale(gen));
    else if (k < 7)
      x = std::ldexp(unit(gen), -1030 + scale(gen) / 4);
    else if (k < 8)
      x = std::ldexp(unit(gen), 1000 + scale(gen) / 4);
    else
      x = std::ldexp(std::round(unit(gen) * 1000), -1074);  // subnormal multiples of the least unit
  }
  return v;
}

}  // namespace

TEST(ExactSum, IsTheCorrectlyRoundedSumWhateverTheOrder) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::vector<double> terms = mixed_terms(seed * 37, seed);
    reference::MpfrSum exact;
    core::ExactSum sum;
    for (double x : terms) {
      exact.add(x);
      sum.add(x);
    }
    EXPECT_TRUE(same_double(sum.value(), exact.value())) << seed << ": " << sum.value() << " " << exact.value();
    std::shuffle(terms.begin(), terms.end(), std::mt19937(seed));
    core::ExactSum shuffled;
    for (double x : terms) shuffled.add(x);
    EXPECT_TRUE(same_double(shuffled.value(), sum.value())) << seed;
  }
}

TEST(ExactSum, TheMeanIsTheExactQuotientRoundedOnce) {
  // Against MPFR's correctly rounded quotient, for counts of one limb and of two.
  const uint64_t counts[] = {1, 2, 3, 7, 10, 1000003, uint64_t{1} << 32, (uint64_t{1} << 32) + 1, ~uint64_t{0}};
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    const std::vector<double> terms = mixed_terms(seed * 29, seed + 100);
    reference::MpfrSum exact;
    core::ExactSum sum;
    for (double x : terms) {
      exact.add(x);
      sum.add(x);
    }
    for (uint64_t count : counts)
      EXPECT_TRUE(same_double(sum.mean(count), exact.mean(count)))
          << seed << " / " << count << ": " << sum.mean(count) << " " << exact.mean(count);
  }
  // Subnormal quotients, where the part of a unit left decides: 5 / 2 units is a tie (to even: 2),
  // 7 / 2 one too (4), 5 / 3 rounds up, 4 / 3 down, and a negative one that rounds to zero is -0.
  const struct {
    double sum;
    uint64_t count;
    double mean;
  } tiny[] = {{5 * 0x1p-1074, 2, 2 * 0x1p-1074},
              {7 * 0x1p-1074, 2, 4 * 0x1p-1074},
              {5 * 0x1p-1074, 3, 2 * 0x1p-1074},
              {4 * 0x1p-1074, 3, 0x1p-1074},
              {-0x1p-1074, 3, -0.0},
              {0x1p-1074, 2, 0.0}};
  for (const auto &c : tiny) {
    core::ExactSum sum;
    sum.add(c.sum);
    EXPECT_TRUE(same_double(sum.mean(c.count), c.mean)) << c.sum << " / " << c.count;
  }
}

TEST(ExactSum, TheMeanOfEqualTermsIsThatTermEvenWhereTheirSumOverflows) {
  for (double x : {0.1, -1.0 / 3.0, 1e307, -DBL_MAX, 0x1p-1074, 2.5e-310}) {
    for (uint64_t count : {uint64_t{3}, uint64_t{6}, uint64_t{1000}, uint64_t{3} << 40}) {
      core::ExactSum sum;
      sum.add_times(x, count);
      EXPECT_TRUE(same_double(sum.mean(count), x)) << x << " x " << count;
    }
  }
  core::ExactSum zero;
  zero.add(0.5);
  zero.add(-0.5);
  EXPECT_TRUE(same_double(zero.mean(4), 0.0));  // an exact zero is +0
  core::ExactSum inf;
  inf.add(-std::numeric_limits<double>::infinity());
  EXPECT_EQ(inf.mean(2), -std::numeric_limits<double>::infinity());
}

TEST(ExactSum, ZerosSpecialValuesAndOverflowAreWhatIeeeAdditionGives) {
  core::ExactSum cancel;
  for (double x : {1e300, -1e-300, 3.0, -1e300, 1e-300, -3.0}) cancel.add(x);
  EXPECT_TRUE(same_double(cancel.value(), 0.0));  // an exact zero is +0
  core::ExactSum negative_zero;
  negative_zero.add(-0.0);
  EXPECT_TRUE(same_double(negative_zero.value(), 0.0));
  core::ExactSum over;
  for (int k = 0; k < 3; ++k) over.add(DBL_MAX);
  EXPECT_EQ(over.value(), std::numeric_limits<double>::infinity());
  core::ExactSum back;  // over and back: exact in between, so the sum is DBL_MAX again
  for (int k = 0; k < 3; ++k) back.add(DBL_MAX);
  for (int k = 0; k < 2; ++k) back.add(-DBL_MAX);
  EXPECT_EQ(back.value(), DBL_MAX);
  const double inf = std::numeric_limits<double>::infinity();
  core::ExactSum plus_inf, both, with_nan;
  plus_inf.add(1.0);
  plus_inf.add(inf);
  EXPECT_EQ(plus_inf.value(), inf);
  both.add(inf);
  both.add(-inf);
  EXPECT_TRUE(std::isnan(both.value()));
  with_nan.add(std::nan(""));
  EXPECT_TRUE(std::isnan(with_nan.value()));
  // Ties round to even: 2^53 + 1 is halfway between two doubles.
  core::ExactSum tie;
  tie.add(0x1p53);
  tie.add(1.0);
  EXPECT_EQ(tie.value(), 0x1p53);
  tie.add(0x1p-1074);  // past the tie: up
  EXPECT_EQ(tie.value(), 0x1p53 + 2.0);
}

TEST(ExactSum, RunsAddedAtOnceEqualTheirTermsAddedOneByOne) {
  for (double x : {1.0 / 3.0, -2.5e-310, 7e250, -0x1.fffffffffffffp1023, 0x1p-1074}) {
    for (uint64_t count : {uint64_t{1}, uint64_t{2}, uint64_t{999}, uint64_t{12345}}) {
      core::ExactSum at_once, one_by_one;
      at_once.add_times(x, count);
      for (uint64_t k = 0; k < count; ++k) one_by_one.add(x);
      EXPECT_TRUE(same_double(at_once.value(), one_by_one.value())) << x << " x " << count;
    }
  }
  // k units of 2^(unit - 1074), k up to 2^117: as the sum of its parts.
  const unsigned __int128 k = (static_cast<unsigned __int128>(0x1234567890abcdefull) << 53) | 0x1fffffffffffffull;
  for (int32_t unit : {0, 1, 31, 32, 1000, 1900}) {
    core::ExactSum at_once, parts;
    at_once.add_units(k, unit, true);
    // In pieces of 53 bits, each an exact double.
    for (int piece = 0; piece < 3; ++piece) {
      const uint64_t bits = static_cast<uint64_t>(k >> (53 * piece)) & ((uint64_t{1} << 53) - 1);
      parts.add(-std::ldexp(static_cast<double>(bits), unit - 1074 + 53 * piece));
    }
    EXPECT_TRUE(same_double(at_once.value(), parts.value())) << unit;
  }
}

TEST(ExactSum, CarriesAreSettledBeforeAnyChunkOverflows) {
  // 2^29 + 3 additions of a value whose pieces fill their chunks: more than the chunks hold unsettled.
  const double x = 0x1.fffffffffffffp600;
  const uint64_t count = (uint64_t{1} << 29) + 3;
  core::ExactSum sum;
  for (uint64_t k = 0; k < count; ++k) sum.add(x);
  core::ExactSum at_once;
  at_once.add_times(x, count);
  EXPECT_TRUE(same_double(sum.value(), at_once.value()));
  EXPECT_EQ(sum.value(), x * static_cast<double>(count));  // exact: count < 2^30 and x has room
}

namespace {

// `steps` untouched steps one at a time from w, every value passed through summed exactly.
double stepwise(double w, double a, uint64_t steps, bool prox, reference::MpfrSum *sum) {
  for (uint64_t k = 0; k < steps; ++k) {
    w = prox ? core::prox_untouched_step(w, a) : core::l1_untouched_step(w, a);
    if (sum) sum->add(w);
  }
  return w;
}

}  // namespace

TEST(CatchUp, TheProximalAndTheSummedCatchUpsAreTheirStepwiseLoops) {
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> unit(0.1, 1.0);
  std::uniform_int_distribution<int> ratio(-3, 24), sign(0, 1);
  std::uniform_int_distribution<uint64_t> length(0, 3000);
  int cases = 0;
  for (int k = 0; k < 3000; ++k) {
    const double a = std::ldexp(unit(gen), -20 + ratio(gen) % 5);
    double w = std::ldexp(unit(gen), ratio(gen)) * a;
    if (sign(gen)) w = -w;
    const uint64_t steps = length(gen);
    for (bool prox : {false, true}) {
      reference::MpfrSum expected_sum;
      const double expected = stepwise(w, a, steps, prox, &expected_sum);
      core::ExactSum sum;
      const double summed =
          prox ? core::prox_catch_up_summed(w, a, steps, sum) : core::l1_catch_up_summed(w, a, steps, sum);
      const double plain = prox ? core::prox_catch_up(w, a, steps) : core::l1_catch_up(w, a, steps);
      ASSERT_TRUE(same_double(summed, expected)) << w << " " << a << " " << steps << " prox " << prox;
      ASSERT_TRUE(same_double(plain, expected)) << w << " " << a << " " << steps << " prox " << prox;
      ASSERT_TRUE(same_double(sum.value(), expected_sum.value())) << w << " " << a << " " << steps << " prox " << prox;
      ++cases;
    }
  }
  EXPECT_EQ(cases, 6000);
}

TEST(CatchUp, EdgeCasesOfTheSummedCatchUps) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  struct Case {
    double w, a;
    uint64_t steps;
  };
  const Case cases[] = {
      {0.3, 0.0, 50},              // no move: w stays, summed 50 times
      {-0.0, 0.1, 10},             // a zero stays
      {inf, 0.1, 7},               // an infinity stays
      {nan, 0.1, 7},               // so does a NaN
      {0.3, inf, 5},               // an infinite move
      {1.0, 0x1p-1074, 100},       // the least move: the steps round back to w
      {0x1p-1070, 0x1p-1074, 40},  // subnormal weights
      {0.75, 0.5, 1000001},        // near zero at once: the cycle's sums counted
      {3.0, 1.0 / 3.0, 999999},    // binade runs, then the cycle
      {-5e-300, 1e-301, 77},       // negative, near the subnormals
  };
  for (const Case &c : cases)
    for (bool prox : {false, true}) {
      reference::MpfrSum expected_sum;
      const double expected = stepwise(c.w, c.a, c.steps, prox, &expected_sum);
      core::ExactSum sum;
      const double got =
          prox ? core::prox_catch_up_summed(c.w, c.a, c.steps, sum) : core::l1_catch_up_summed(c.w, c.a, c.steps, sum);
      EXPECT_TRUE(same_double(got, expected)) << c.w << " " << c.a << " prox " << prox;
      const double s = sum.value(), e = expected_sum.value();
      EXPECT_TRUE(same_double(s, e) || (std::isnan(s) && std::isnan(e))) << c.w << " " << c.a << " prox " << prox;
    }
}

namespace {

struct OptionCase {
  const char *label;
  reference::Options options;
};

std::vector<OptionCase> option_cases(int32_t D) {
  std::vector<double> w0(static_cast<size_t>(D));
  for (int32_t j = 0; j < D; ++j) w0[static_cast<size_t>(j)] = j % 3 == 0 ? -0.0 : 0.05 * std::sin(j + 1.0);
  std::vector<OptionCase> out;
  out.push_back({"intercept", {}});
  out.back().options.intercept = true;
  out.push_back({"prox", {}});
  out.back().options.prox = true;
  out.push_back({"average", {}});
  out.back().options.average = -1;
  out.push_back({"average from 5", {}});
  out.back().options.average = 5;
  out.push_back({"w0", {}});
  out.back().options.w0 = w0;
  out.push_back({"all", {}});
  out.back().options = {w0, true, true, false, -1, 1};
  out.push_back({"prox averaged", {}});
  out.back().options.prox = true;
  out.back().options.average = 3;
  out.push_back({"cumulative", {}});
  out.back().options.cumulative = true;
  out.push_back({"cumulative averaged, w0, intercept", {}});
  out.back().options = {w0, true, false, true, 4, 1};
  return out;
}

core::FitOptions fit_options(const reference::Options &o) {
  core::FitOptions f;
  f.w0 = o.w0;
  f.intercept = o.intercept;
  f.prox = o.prox;
  f.cumulative = o.cumulative;
  f.average = o.average;
  f.passes = o.passes;
  return f;
}

// The last shape is 2 % full: a feature is touched about once in 50 steps, so the long catch-ups
// (through the kernels, several steps' at once) are exercised too.
const struct {
  int32_t N, D;
  double zero_below;
} kShapes[] = {{1, 1, -0.2}, {7, 3, -0.2}, {60, 9, -0.2}, {301, 33, -0.2}, {40, 150, -0.2}, {300, 400, 1.46}};

}  // namespace

TEST(OptionSteps, KinkstepSequentialWithEachOptionIsItsTextbookLoopOnEitherLayout) {
  uint64_t seed = 5;
  for (const auto &sh : kShapes) {
    const Problem p = problem(sh.N, sh.D, seed++, sh.zero_below);
    for (const OptionCase &c : option_cases(sh.D)) {
      const core::FitOptions o = fit_options(c.options);
      kinkstep::Parameters params{0.05, 0.02, 5 * sh.N + 7, &o};
      core::seed_thread_rand(static_cast<uint32_t>(seed));
      const reference::Fit plain = reference::kinkstep_sequential(p.dense, 0.05, 0.02, params.maxIter, c.options);
      for (bool sparse : {false, true}) {
        core::seed_thread_rand(static_cast<uint32_t>(seed));
        const core::FitResult r = sparse ? kinkstep::sequential_subgradient_descent(core::RunContext(p.sparse), params)
                                         : kinkstep::sequential_subgradient_descent(core::RunContext(p.dense), params);
        const std::string where =
            std::to_string(sh.N) + "x" + std::to_string(sh.D) + " " + c.label + (sparse ? " sparse" : " full");
        EXPECT_TRUE(same_bits(r.w, plain.w)) << where;
        EXPECT_TRUE(same_double(r.bias, plain.b)) << where;
        if (c.options.average != 0) {
          EXPECT_EQ(r.averaged.at(0), static_cast<double>(plain.averaged)) << where;
        }
      }
    }
  }
}

TEST(OptionSteps, KinkstepParallelWithEachOptionIsItsTextbookLoopOnEitherLayout) {
  uint64_t seed = 9;
  for (const auto &sh : kShapes) {
    const Problem p = problem(sh.N, sh.D, seed++, sh.zero_below);
    for (const OptionCase &c : option_cases(sh.D)) {
      if (c.options.cumulative) continue;  // method 0 only
      const core::FitOptions o = fit_options(c.options);
      const kinkstep::Parameters params{0.05, 0.02, 2 * sh.N + 3, &o};
      for (int32_t T : {1, 3}) {
        const reference::Fit plain = reference::kinkstep_parallel(p.dense, 0.05, 0.02, params.maxIter, T, c.options);
        for (bool sparse : {false, true}) {
          core::RunContext dense_ctx(p.dense);
          core::RunContext sparse_ctx(p.sparse);
          dense_ctx.threads = sparse_ctx.threads = T;
          const core::FitResult r = sparse ? kinkstep::parallel_averaged_descent(sparse_ctx, params)
                                           : kinkstep::parallel_averaged_descent(dense_ctx, params);
          const std::string where = std::to_string(sh.N) + "x" + std::to_string(sh.D) + " T " + std::to_string(T) +
                                    " " + c.label + (sparse ? " sparse" : " full");
          ASSERT_EQ(r.threads, T) << where;
          EXPECT_TRUE(same_bits(r.w, plain.w)) << where;
          EXPECT_TRUE(same_double(r.bias, plain.b)) << where;
        }
      }
    }
  }
}

TEST(OptionSteps, SplitavgWithEachOptionAndMorePassesIsItsTextbookLoopOnEitherLayout) {
  uint64_t seed = 13;
  for (const auto &sh : kShapes) {
    for (OptionCase c : option_cases(sh.D)) {
      for (int32_t passes : {1, 3}) {
        c.options.passes = passes;
        const core::FitOptions o = fit_options(c.options);
        for (int32_t T : {1, 2, 3}) {
          Problem p = problem(sh.N, sh.D, seed, sh.zero_below);
          core::seed_thread_rand(static_cast<uint32_t>(seed));
          const reference::Fit plain = reference::splitavg(p.dense, 0.05, 0.02, T, c.options);
          for (bool sparse : {false, true}) {
            core::FitRun run;
            run.seed = static_cast<uint32_t>(seed);
            run.threads = T;
            run.options = o;
            const splitavg::Parameters params{0.05, 0.02};
            const core::FitResult r =
                sparse ? splitavg::fit_splitavg(p.sparse, params, run) : splitavg::fit_splitavg(p.dense, params, run);
            const std::string where = std::to_string(sh.N) + "x" + std::to_string(sh.D) + " T " + std::to_string(T) +
                                      " passes " + std::to_string(passes) + " " + c.label +
                                      (sparse ? " sparse" : " full");
            ASSERT_TRUE(r.done()) << where << ": " << (r.error.reason ? r.error.message : "");
            EXPECT_TRUE(same_bits(r.w, plain.w)) << where;
            EXPECT_TRUE(same_double(r.bias, plain.b)) << where;
            EXPECT_EQ(r.iterations, passes) << where;
          }
        }
        ++seed;
      }
    }
  }
}

TEST(OptionSteps, DriftwalkFromStartingWeightsIsItsTextbookLoopOnEitherLayout) {
  uint64_t seed = 17;
  for (const auto &sh : kShapes) {
    const Problem p = problem(sh.N, sh.D, seed++, sh.zero_below);
    reference::Options ro;
    ro.w0 = option_cases(sh.D)[4].options.w0;
    const core::FitOptions o = fit_options(ro);
    const int32_t B = sh.N > 4 ? 4 : sh.N;
    const driftwalk::Parameters params{1e-3, 10, -0.55, 0.1, B, 12, &o};
    core::seed_thread_rand(static_cast<uint32_t>(seed));
    const std::vector<double> plain = reference::driftwalk(p.dense, 1e-3, 10, -0.55, 0.1, B, 12, ro);
    for (bool sparse : {false, true}) {
      core::seed_thread_rand(static_cast<uint32_t>(seed));
      core::RunContext dense_ctx(p.dense);
      core::RunContext sparse_ctx(p.sparse);
      dense_ctx.threads = sparse_ctx.threads = 1;
      const core::FitResult r =
          sparse ? driftwalk::langevin_solve(sparse_ctx, params) : driftwalk::langevin_solve(dense_ctx, params);
      EXPECT_TRUE(same_bits(r.w, plain)) << sh.N << "x" << sh.D << (sparse ? " sparse" : " full");
    }
  }
}

TEST(OptionSteps, AProximalRunReachesExactZerosWhereTheSubgradientRunOscillates) {
  const Problem p = problem(200, 40, 21);
  core::FitOptions prox;
  prox.prox = true;
  const kinkstep::Parameters with{0.05, 1.0, 4000, &prox}, without{0.05, 1.0, 4000, nullptr};
  core::seed_thread_rand(3);
  const core::FitResult a = kinkstep::sequential_subgradient_descent(core::RunContext(p.sparse), with);
  core::seed_thread_rand(3);
  const core::FitResult b = kinkstep::sequential_subgradient_descent(core::RunContext(p.sparse), without);
  int zeros_prox = 0, zeros_subgradient = 0;
  for (double v : a.w) zeros_prox += v == 0;
  for (double v : b.w) zeros_subgradient += v == 0;
  EXPECT_GT(zeros_prox, 20);  // of 40
  EXPECT_EQ(zeros_subgradient, 0);
}
