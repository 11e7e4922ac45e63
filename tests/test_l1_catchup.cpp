// The lazy L1 catch-up against the step-by-step loop it replaces, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/kernels/exact_sum.hpp"
#include "core/kernels/kernels.hpp"
#include "core/kernels/l1_catchup.hpp"

namespace {

uint64_t bits(double x) {
  uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

double from_bits(uint64_t b) {
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

// What the dense step computes for a feature the sample does not touch: g = c*0 + lambda*sign(w),
// then w - stepSize * g, written out as the solvers write it (c*0 is +-0).
double dense_untouched_step(double w, double c, double stepSize, double lambda) {
  double g = c * 0.0;
  if (w > 0)
    g = g + lambda;
  else if (w < 0)
    g = g - lambda;
  return w - stepSize * g;
}

double walk(double w, double a, uint64_t steps) {
  for (uint64_t k = 0; k < steps; ++k) w = core::l1_untouched_step(w, a);
  return w;
}

#define EXPECT_SAME_BITS(expected, actual, what)                                                                  \
  do {                                                                                                            \
    const double e_ = (expected), a_ = (actual);                                                                  \
    if (bits(e_) != bits(a_)) {                                                                                   \
      ADD_FAILURE() << what << ": expected " << e_ << " (0x" << std::hex << bits(e_) << "), got " << a_ << " (0x" \
                    << bits(a_) << std::dec << ")";                                                               \
      return false;                                                                                               \
    }                                                                                                             \
  } while (0)

TEST(L1CatchUp, UntouchedStepIsWhatTheDenseStepComputes) {
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const double specials[] = {0.0, -0.0, 1.0, -1.0, 1e-310, -1e-310, 3.5, DBL_MAX, -DBL_MAX};
  for (int n = 0; n < 200000; ++n) {
    const double w = n % 10 == 0 ? specials[n / 10 % 9] : std::ldexp(unit(gen), static_cast<int>(gen() % 80) - 40);
    const double stepSize = std::ldexp(unit(gen), static_cast<int>(gen() % 40) - 30);
    const double lambda =
        n % 7 == 0 ? (n % 14 == 0 ? 0.0 : -0.0) : std::ldexp(unit(gen), static_cast<int>(gen() % 40) - 20);
    const double c = n % 3 == 0 ? -unit(gen) : unit(gen) * 1e3;
    const double a = stepSize * lambda;
    const double dense = dense_untouched_step(w, c, stepSize, lambda);
    const double lazy = core::l1_untouched_step(w, a);
    // A zero weight may take either sign of zero in the dense step; the solvers' weights are never
    // -0 (they start at +0 and a difference is -0 only from -0), and from +0 both give +0.
    if (w == 0 && std::signbit(w)) continue;
    ASSERT_EQ(bits(dense), bits(lazy)) << "w=" << w << " stepSize=" << stepSize << " lambda=" << lambda << " c=" << c;
  }
}

TEST(L1CatchUp, WorkedExamples) {
  // 1 - 0.25 four times reaches 0 exactly, and 0 stays.
  EXPECT_EQ(core::l1_catch_up(1.0, 0.25, 4), 0.0);
  EXPECT_EQ(core::l1_catch_up(1.0, 0.25, 1000000), 0.0);
  EXPECT_FALSE(std::signbit(core::l1_catch_up(-1.0, 0.25, 9)));
  // 1 - 0.3 - 0.3 - 0.3 = 0.1 up to rounding, then it swings between about 0.1 - 0.3 and back.
  const double w3 = walk(1.0, 0.3, 3), w4 = walk(1.0, 0.3, 4);
  EXPECT_EQ(core::l1_catch_up(1.0, 0.3, 3), w3);
  EXPECT_EQ(core::l1_catch_up(1.0, 0.3, 1001), walk(1.0, 0.3, 1001));
  EXPECT_EQ(core::l1_catch_up(1.0, 0.3, 1000), walk(1.0, 0.3, 1000));
  EXPECT_LT(w4, 0.0);
  // An amount below half a unit in the last place leaves the weight where it is.
  EXPECT_EQ(core::l1_catch_up(1.5, 1e-17, 1u << 30), 1.5);
  // Subnormals: every step exact, down to an exact zero, which is +0 from either side.
  const double unit = std::ldexp(1.0, -1074);
  EXPECT_EQ(bits(core::l1_catch_up(-6 * unit, 2 * unit, 3)), bits(0.0));
  EXPECT_EQ(bits(core::l1_catch_up(-6 * unit, 2 * unit, 9)), bits(walk(-6 * unit, 2 * unit, 9)));
  EXPECT_EQ(bits(core::l1_catch_up(7 * unit, 2 * unit, 9)), bits(walk(7 * unit, 2 * unit, 9)));
  // Zero steps, a zero weight, a zero amount and NaN change nothing.
  EXPECT_EQ(core::l1_catch_up(0.7, 0.1, 0), 0.7);
  EXPECT_EQ(bits(core::l1_catch_up(0.0, 0.1, 5)), bits(0.0));
  EXPECT_EQ(bits(core::l1_catch_up(-0.0, 0.1, 5)), bits(-0.0));
  EXPECT_EQ(core::l1_catch_up(0.7, 0.0, 5), 0.7);
  EXPECT_EQ(core::l1_catch_up(-0.7, -0.0, 5), -0.7);
  EXPECT_TRUE(std::isnan(core::l1_catch_up(std::nan(""), 0.1, 5)));
  // Non-finite amounts and weights: what the loop does.
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(std::isnan(core::l1_catch_up(1.0, inf, 2)));
  EXPECT_EQ(core::l1_catch_up(1.0, inf, 1), -inf);
  EXPECT_EQ(core::l1_catch_up(1.0, -inf, 7), inf);
  EXPECT_EQ(core::l1_catch_up(inf, 1.0, 7), inf);
  EXPECT_EQ(core::l1_catch_up(-inf, 1.0, 7), -inf);
  // A negative amount (negative lambda or step) pushes the weight away from zero, up to overflow.
  EXPECT_EQ(core::l1_catch_up(1.0, -0.5, 6), 4.0);
  EXPECT_EQ(core::l1_catch_up(DBL_MAX / 2, -DBL_MAX / 4, 3), inf);
  EXPECT_EQ(core::l1_catch_up(1.0, -1e-3, 123456), walk(1.0, -1e-3, 123456));
}

// A weight that is a power of two with an amount of at most a quarter of its unit: each step
// rounds back to it, so it stays for good, and any number of steps costs a few operations (a
// catch-up that took them one by one would not end here). Beside it, the amounts just above, which
// move it.
TEST(L1CatchUp, APowerOfTwoThatTheStepCannotMoveStaysAtOnce) {
  const uint64_t forever = ~uint64_t{0}, long_run = uint64_t{1} << 51;
  struct Fixed {
    double w, a;
  };
  const Fixed fixed[] = {{1.0, 1e-19}, {-1.0, 1e-19}, {0x1p-30, 0x1p-84}, {-0x1p700, 0x1p646}, {0x1p-1000, 0x1p-1054}};
  for (const Fixed &c : fixed) {
    ASSERT_EQ(bits(core::l1_untouched_step(c.w, c.a)), bits(c.w)) << c.w;
    EXPECT_EQ(bits(core::l1_catch_up(c.w, c.a, forever)), bits(c.w)) << c.w;
    EXPECT_EQ(bits(core::prox_catch_up(c.w, c.a, forever)), bits(c.w)) << c.w;
    core::ExactSum sum;
    EXPECT_EQ(bits(core::l1_catch_up_summed(c.w, c.a, long_run, sum)), bits(c.w)) << c.w;
    EXPECT_EQ(sum.value(), c.w * static_cast<double>(long_run)) << c.w;
    for (const core::Kernels &k : core::available_kernels()) {
      core::LazyFeature f[3] = {{c.w, 0}, {c.w / 2, 0}, {2 * c.w, 0}};
      const int32_t columns[3] = {0, 1, 2};
      const uint64_t behind[3] = {long_run, long_run, long_run};
      k.catch_up.catch_up(f, columns, behind, 3, c.a);
      EXPECT_EQ(bits(f[0].w), bits(c.w)) << k.catch_up.name << " " << c.w;
      // Half of it has half the unit and may move; twice it stays too.
      EXPECT_EQ(bits(f[1].w), bits(core::l1_catch_up(c.w / 2, c.a, long_run))) << k.catch_up.name << " " << c.w;
      EXPECT_EQ(bits(f[2].w), bits(2 * c.w)) << k.catch_up.name << " " << c.w;
      core::LazyFeature g[3] = {{c.w, 0}, {c.w / 2, 0}, {2 * c.w, 0}};
      k.catch_up.prox_catch_up(g, columns, behind, 3, c.a);
      EXPECT_EQ(bits(g[0].w), bits(c.w)) << k.catch_up.name << " (proximal) " << c.w;
      EXPECT_EQ(bits(g[1].w), bits(core::prox_catch_up(c.w / 2, c.a, long_run))) << k.catch_up.name << " " << c.w;
      EXPECT_EQ(bits(g[2].w), bits(2 * c.w)) << k.catch_up.name << " (proximal) " << c.w;
    }
  }
  // A hair above a quarter unit the step moves the power of two down, and then the runs take over.
  const double a = std::nextafter(0x1p-54, 1.0);
  EXPECT_EQ(bits(core::l1_catch_up(1.0, a, 100000)), bits(walk(1.0, a, 100000)));
}

// Long runs: many binades, ties and the cycle at zero, at checkpoints along the way.
TEST(L1CatchUp, LongRunsMatchTheLoop) {
  struct Run {
    double w, a;
    uint64_t steps;
  };
  const Run runs[] = {{1.0, 3e-7, 4000000},
                      {-12345.678, 0.01 * 0.0123, 1200000},
                      {1.0, std::ldexp(1.0, -30) * 1.5, 2000000},  // a tie in the binades below 2^-22
                      {3.0, std::ldexp(1.0, -53), 3000000},        // half a unit below 2: ties from 2 on
                      {1e-300, 1e-307, 1100000},
                      {std::ldexp(1.0, -1040), std::ldexp(3.0, -1074), 600000},
                      {0.5, -1e-6, 2000000}};
  for (const Run &r : runs) {
    double x = r.w;
    uint64_t next = 1;
    for (uint64_t k = 1; k <= r.steps; ++k) {
      x = core::l1_untouched_step(x, r.a);
      if (k == next || k == r.steps) {
        ASSERT_EQ(bits(x), bits(core::l1_catch_up(r.w, r.a, k))) << "w=" << r.w << " a=" << r.a << " steps=" << k;
        next = next < 64 ? next + 1 : next + next / 3 + 17;
      }
    }
  }
}

// A random (w, a) pair of one of several kinds, each aimed at a part of the catch-up.
struct Case {
  double w, a;
  uint64_t length;  // steps of the trajectory
};

class CaseMaker {
 public:
  explicit CaseMaker(uint64_t seed) : gen_(seed) {}

  Case next() {
    Case c{};
    c.length = length();
    const double sign = coin() ? 1.0 : -1.0;
    switch (gen_() % 12) {
      case 0:
      case 1: {  // stepSize and lambda as a user gives them, w reaching zero within the trajectory
        const double stepSize = log_uniform(1e-8, 10.0), lambda = log_uniform(1e-8, 10.0);
        c.a = stepSize * lambda;
        c.w = sign * c.a * log_uniform(0.01, 2.0 * static_cast<double>(c.length));
        break;
      }
      case 2: {  // an exact tie: a is m + 1/2 units of w's binade
        c.w = sign * log_uniform(1e-30, 1e30);
        const double unit = std::ldexp(1.0, std::ilogb(c.w) - 52);
        c.a = (static_cast<double>(gen_() % 64) + 0.5) * unit;
        if (gen_() % 4 == 0) c.a = 0.5 * unit;
        break;
      }
      case 3: {  // at or just above a binade's bottom, a few units per step
        const int e = static_cast<int>(gen_() % 200) - 100;
        c.w = sign * (std::ldexp(1.0, e) + static_cast<double>(gen_() % 8) * std::ldexp(1.0, e - 52));
        const double quarters[] = {0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 2.5, 3.0};
        c.a = quarters[gen_() % 8] * std::ldexp(1.0, e - 52) * (gen_() % 3 == 0 ? 0.5 : 1.0);
        break;
      }
      case 4: {  // subnormals and the lowest normal binade, where every step is exact
        c.w = sign * from_bits(gen_() % (uint64_t{1} << 54));
        c.a = from_bits(gen_() % (uint64_t{1} << (gen_() % 2 ? 20 : 53)));
        if (gen_() % 3 == 0) c.w = sign * c.a * static_cast<double>(1 + gen_() % 64);  // down to an exact zero
        break;
      }
      case 5: {  // an amount larger than the weight
        c.w = sign * log_uniform(1e-20, 1e20);
        c.a = std::fabs(c.w) * log_uniform(1.0, 100.0);
        if (gen_() % 4 == 0) c.a = std::fabs(c.w);
        break;
      }
      case 6: {  // lambda = 0, of either sign, or a product that underflows to zero
        const double stepSize = log_uniform(1e-8, 10.0);
        c.a = stepSize * (coin() ? 0.0 : -0.0);
        if (gen_() % 3 == 0) c.a = 1e-200 * 1e-200;
        c.w = sign * log_uniform(1e-10, 1e10);
        break;
      }
      case 7: {  // a negative amount: the weight grows, possibly to overflow
        c.w = sign * log_uniform(1e-300, 1e300);
        c.a = -std::fabs(c.w) * log_uniform(1e-18, 10.0);
        if (gen_() % 8 == 0) c.w = sign * DBL_MAX * log_uniform(0.01, 1.0);
        break;
      }
      case 8: {  // special values
        const double inf = std::numeric_limits<double>::infinity();
        const double ws[] = {0.0, -0.0, inf, -inf, std::nan(""), DBL_MAX, -DBL_MAX, DBL_MIN, 4.9e-324, 1.0};
        const double as[] = {inf, -inf, std::nan(""), DBL_MAX, 0.5, 4.9e-324, -4.9e-324, 1e-300};
        c.w = ws[gen_() % 10];
        c.a = as[gen_() % 8];
        if (gen_() % 2) c.w = sign * log_uniform(1e-5, 1e5);
        if (gen_() % 3 == 0) c.a = log_uniform(1e-5, 1e5);
        break;
      }
      case 9: {  // any bit patterns
        c.w = from_bits(gen_());
        c.a = from_bits(gen_());
        break;
      }
      case 10: {  // a step far below half a unit, and the odd weights near it
        c.w = sign * log_uniform(1e-100, 1e100);
        c.a = std::fabs(c.w) * log_uniform(1e-40, 1e-15);
        break;
      }
      default: {  // stepSize and lambda from a wide range, w of any size
        const double stepSize = log_uniform(1e-20, 1e3), lambda = log_uniform(1e-20, 1e3);
        c.a = stepSize * lambda * (gen_() % 16 == 0 ? -1.0 : 1.0);
        c.w = sign * c.a * log_uniform(1e-3, 1e6);
        break;
      }
    }
    return c;
  }

  uint64_t below(uint64_t n) { return gen_() % n; }

 private:
  bool coin() { return gen_() & 1; }
  double log_uniform(double lo, double hi) {
    std::uniform_real_distribution<double> u(std::log(lo), std::log(hi));
    return std::exp(u(gen_));
  }
  // Mostly short trajectories, now and then a long one.
  uint64_t length() {
    const uint64_t r = gen_() % 100;
    if (r < 70) return 1 + gen_() % 40;
    if (r < 97) return 1 + gen_() % 400;
    return 1 + gen_() % 5000;
  }
  std::mt19937_64 gen_;
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STOCHL1_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define STOCHL1_SANITIZED_BUILD 1
#endif
#endif

// 10^7 comparisons; a tenth of them under the sanitizers, which slow every step down. The
// environment variable STOCHL1_CATCHUP_CASES sets another count.
uint64_t case_count() {
  if (const char *env = std::getenv("STOCHL1_CATCHUP_CASES")) return std::strtoull(env, nullptr, 10);
#ifdef STOCHL1_SANITIZED_BUILD
  return 1000000;
#else
  return 10000000;
#endif
}

// Along every trajectory w_0, w_1, ..., w_L of the loop, each w_t is compared with the catch-up
// from w_0 by t steps and with the catch-up from a random earlier w_s by t - s steps.
bool check_trajectory(const Case &c, CaseMaker &maker, std::vector<double> &path, uint64_t &cases) {
  path.assign(1, c.w);
  for (uint64_t t = 1; t <= c.length; ++t) {
    path.push_back(core::l1_untouched_step(path.back(), c.a));
    EXPECT_SAME_BITS(path[t], core::l1_catch_up(c.w, c.a, t), "w=" << c.w << " a=" << c.a << " steps=" << t);
    const uint64_t s = maker.below(t);
    EXPECT_SAME_BITS(path[t], core::l1_catch_up(path[s], c.a, t - s),
                     "w=" << path[s] << " a=" << c.a << " steps=" << t - s);
    // The runs also for the few steps the inline loop takes in their place.
    if (t - s <= 8)
      EXPECT_SAME_BITS(path[t], core::l1_catch_up_in_runs(path[s], c.a, t - s),
                       "runs: w=" << path[s] << " a=" << c.a << " steps=" << t - s);
    cases += 2;
  }
  return true;
}

TEST(L1CatchUp, RandomCasesMatchTheLoopBitForBit) {
  const uint64_t wanted = case_count();
  CaseMaker maker(20261208);
  std::vector<double> path;
  uint64_t cases = 0;
  while (cases < wanted) {
    const Case c = maker.next();
    ASSERT_TRUE(check_trajectory(c, maker, path, cases));
  }
  RecordProperty("cases", std::to_string(cases));
  std::printf("%llu catch-ups compared with the loop\n", static_cast<unsigned long long>(cases));
}

// The sparse step's catch-up of many features at once, in every version the processor runs: each
// feature of a group ends where the loop puts it. A group shares one amount; its features are
// points along one trajectory (from w_s by t - s steps, so runs of every length and every binade
// meet in one group), with zero, -0, infinite and NaN weights and features not behind at all
// among them, in groups of every size around the vectors' eight and sixteen lanes, at scattered
// places in the feature array.
// One untouched step of the subgradient or of the proximal rule.
double untouched_step(double w, double a, bool prox) {
  return prox ? core::prox_untouched_step(w, a) : core::l1_untouched_step(w, a);
}

TEST(CatchUpKernels, EveryVersionGivesEachFeatureTheLoopsBits) {
  std::vector<core::CatchUpKernel> versions;
  for (const core::Kernels &k : core::available_kernels()) versions.push_back(k.catch_up);
  ASSERT_STREQ(versions.front().name, "generic");
  const uint64_t wanted = case_count() / 50;
  CaseMaker maker(8122026);
  std::mt19937_64 gen(5);
  constexpr int32_t kSlots = 97;
  const uint64_t now = uint64_t{1} << 40;
  const double inf = std::numeric_limits<double>::infinity();
  uint64_t groups = 0;
  while (groups < wanted) {
    const Case c = maker.next();
    // Every other group takes the proximal rule's catch-ups, which need a >= 0.
    const bool prox = groups % 2 == 1 && c.a >= 0;
    std::vector<double> path(1, c.w);
    for (uint64_t t = 1; t <= c.length; ++t) path.push_back(untouched_step(path.back(), c.a, prox));
    const int32_t count = 1 + static_cast<int32_t>(gen() % 40);
    std::vector<int32_t> slots(kSlots);
    for (int32_t j = 0; j < kSlots; ++j) slots[static_cast<size_t>(j)] = j;
    std::shuffle(slots.begin(), slots.end(), gen);
    slots.resize(static_cast<size_t>(count));
    std::vector<core::LazyFeature> start(kSlots, core::LazyFeature{0.5, now});
    std::vector<double> expected(kSlots, 0.5);
    for (int32_t j : slots) {
      core::LazyFeature &fj = start[static_cast<size_t>(j)];
      const uint64_t t = maker.below(c.length + 1), s = maker.below(t + 1);
      fj.w = path[s];
      fj.last = now - (t - s);
      expected[static_cast<size_t>(j)] = path[t];
      if (gen() % 16 == 0) {  // a weight the loop leaves alone or takes its own way
        const double odd[] = {0.0, -0.0, inf, -inf, std::nan("")};
        fj.w = odd[gen() % 5];
        fj.last = now - gen() % 9;
        double w = fj.w;
        for (uint64_t t = 0; t < now - fj.last; ++t) w = untouched_step(w, c.a, prox);
        expected[static_cast<size_t>(j)] = w;
      }
    }
    std::vector<uint64_t> behind;
    for (int32_t j : slots) behind.push_back(now - start[static_cast<size_t>(j)].last);
    for (const core::CatchUpKernel &k : versions) {
      std::vector<core::LazyFeature> f = start;
      (prox ? k.prox_catch_up : k.catch_up)(f.data(), slots.data(), behind.data(), count, c.a);
      for (int32_t j = 0; j < kSlots; ++j) {
        const core::LazyFeature &got = f[static_cast<size_t>(j)];
        ASSERT_EQ(bits(got.w), bits(expected[static_cast<size_t>(j)]))
            << k.name << (prox ? " (proximal)" : "") << ": a=" << c.a << " w=" << start[static_cast<size_t>(j)].w
            << " steps=" << now - start[static_cast<size_t>(j)].last << ", " << count << " features";
        ASSERT_EQ(got.last, start[static_cast<size_t>(j)].last);
      }
    }
    ++groups;
  }
  std::printf("%llu groups compared with the loop in %zu versions\n", static_cast<unsigned long long>(groups),
              versions.size());
}

// The vector kernels split a fall into turns (one binade each) down to a few times the amount, plain
// steps below, and leave the largest weights to the scalar catch-up; a rounding tie can fall in one
// binade only, set by the amount's lowest bit. Amounts with every number of significant bits put
// that binade anywhere from just above a to beyond the lanes' weights; weights a few units either
// side of each boundary and of powers of two, falling 1 to 100 steps, end where the loop puts them.
TEST(CatchUpKernels, AmountsOfEveryPrecisionMatchTheLoopAroundEveryBoundary) {
  std::mt19937_64 gen(9122026);
  std::vector<core::CatchUpKernel> versions;
  for (const core::Kernels &k : core::available_kernels()) versions.push_back(k.catch_up);
  uint64_t compared = 0;
  for (int significant = 1; significant <= 53; ++significant) {
    for (int trial = 0; trial < 6; ++trial) {
      // a = 1.f * 2^e with exactly `significant` bits, its lowest set.
      uint64_t fraction = 0;
      if (significant > 1) {
        const int low = 53 - significant;  // the lowest bit's place in the 52-bit field
        fraction = ((gen() & ((uint64_t{1} << 52) - 1)) >> low << low) | (uint64_t{1} << low);
      }
      const int exponent = static_cast<int>(gen() % 80) - 60 + (trial == 5 ? -800 : 0);
      const double a = from_bits((static_cast<uint64_t>(exponent + 1023) << 52) | fraction);
      const double lowest = std::ldexp(1.0, exponent - (significant - 1));
      std::vector<double> places = {2 * a,
                                    4 * a,
                                    8 * a,
                                    16 * a,
                                    lowest * 0x1p53,
                                    lowest * 0x1p54,
                                    a * 0x1p52,
                                    a * 0x1p53,
                                    std::ldexp(1.0, exponent + 3),
                                    std::ldexp(1.0, exponent + 20)};
      std::vector<double> weights;
      for (double at : places) {
        double w = at;
        for (int d = 0; d < 3; ++d) w = std::nextafter(w, 0.0);
        for (int d = 0; d < 7; ++d, w = std::nextafter(w, INFINITY))
          if (std::isfinite(w)) weights.push_back(gen() % 2 ? w : -w);
      }
      const int32_t count = static_cast<int32_t>(weights.size());
      std::vector<int32_t> columns(static_cast<size_t>(count));
      for (int32_t j = 0; j < count; ++j) columns[static_cast<size_t>(j)] = j;
      for (int round = 0; round < 4; ++round) {
        const bool prox = round % 2 == 1;
        std::vector<uint64_t> behind(static_cast<size_t>(count));
        std::vector<double> expected(static_cast<size_t>(count));
        for (int32_t j = 0; j < count; ++j) {
          behind[static_cast<size_t>(j)] = 1 + gen() % 100;
          double w = weights[static_cast<size_t>(j)];
          for (uint64_t t = 0; t < behind[static_cast<size_t>(j)]; ++t) w = untouched_step(w, a, prox);
          expected[static_cast<size_t>(j)] = w;
        }
        for (const core::CatchUpKernel &k : versions) {
          std::vector<core::LazyFeature> f(static_cast<size_t>(count));
          for (int32_t j = 0; j < count; ++j) f[static_cast<size_t>(j)].w = weights[static_cast<size_t>(j)];
          (prox ? k.prox_catch_up : k.catch_up)(f.data(), columns.data(), behind.data(), count, a);
          for (int32_t j = 0; j < count; ++j)
            ASSERT_EQ(bits(f[static_cast<size_t>(j)].w), bits(expected[static_cast<size_t>(j)]))
                << k.name << (prox ? " (proximal)" : "") << ": a=" << std::hexfloat << a
                << " w=" << weights[static_cast<size_t>(j)] << std::defaultfloat
                << " steps=" << behind[static_cast<size_t>(j)];
          compared += static_cast<uint64_t>(count);
        }
      }
    }
  }
  std::printf("%llu catch-ups compared with the loop\n", static_cast<unsigned long long>(compared));
}

}  // namespace
