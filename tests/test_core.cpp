#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/data/regression_data.hpp"
#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"
#include "core/run/parameters.hpp"
#include "core/run/printer.hpp"
#include "core/run/stop_check.hpp"

namespace {

// X = [1 2; 3 4; 5 6] in column-major order, y = (1, 1, 1).
const std::vector<double> kX = {1, 3, 5, 2, 4, 6};
const std::vector<double> kY = {1, 1, 1};

std::vector<double> row_of(const core::RegressionData &d, int32_t i) {
  return std::vector<double>(d.row(i), d.row(i) + d.D);
}

}  // namespace

TEST(RegressionData, RowsComeFromColumnMajorX) {
  const core::RegressionData d = core::make_regression_data(kX.data(), 3, 2, kY.data());
  EXPECT_EQ(d.N, 3);
  EXPECT_EQ(d.D, 2);
  EXPECT_EQ(row_of(d, 0), (std::vector<double>{1, 2}));
  EXPECT_EQ(row_of(d, 1), (std::vector<double>{3, 4}));
  EXPECT_EQ(row_of(d, 2), (std::vector<double>{5, 6}));
  EXPECT_EQ(d.labels, kY);
}

TEST(RegressionData, OnlyTheFirstNLabelsAreUsed) {
  const std::vector<double> y = {7, 8, 9, 10, 11};
  const core::RegressionData d = core::make_regression_data(kX.data(), 3, 2, y.data());
  EXPECT_EQ(d.labels, (std::vector<double>{7, 8, 9}));
}

TEST(RegressionData, EmptyShapes) {
  const std::vector<double> y4 = {1, 2, 3, 4};
  const core::RegressionData no_features = core::make_regression_data(nullptr, 4, 0, y4.data());
  EXPECT_EQ(no_features.N, 4);
  EXPECT_TRUE(no_features.features.empty());
  EXPECT_EQ(no_features.labels, y4);
  const core::RegressionData none = core::make_regression_data(nullptr, 0, 5, nullptr);
  EXPECT_TRUE(none.features.empty());
  EXPECT_TRUE(none.labels.empty());
}

// A NaN or an infinity anywhere is found while the rows are built, and the first one in column
// order is named (1-based), whatever order the tiles visit; X before y; extreme finite values pass.
TEST(RegressionData, NonFiniteValuesAreFoundAndTheFirstIsNamed) {
  const int32_t N = 203, D = 37;
  std::vector<double> X(static_cast<size_t>(N) * D, 1.0), y(N, 2.0);
  X[0] = -0.0;
  X[1] = 1e308;
  X[2] = -1e308;
  X[3] = 5e-324;
  EXPECT_NO_THROW(core::make_regression_data(X.data(), N, D, y.data()));
  auto caught = [&]() -> core::NonFiniteValue {
    try {
      core::make_regression_data(X.data(), N, D, y.data());
    } catch (const core::NonFiniteValue &e) {
      return e;
    }
    ADD_FAILURE() << "no NonFiniteValue";
    return core::NonFiniteValue(false, 0, 0, 0.0);
  };
  y[16] = INFINITY;
  core::NonFiniteValue e = caught();
  EXPECT_TRUE(e.in_labels);
  EXPECT_EQ(e.row, 17u);
  EXPECT_STREQ(e.what(), "y(17) is Inf");
  X[1 + 20 * static_cast<size_t>(N)] = std::nan("");  // X(2,21): the first tile that holds a bad value
  X[180 + 3 * static_cast<size_t>(N)] = -INFINITY;    // X(181,4): first in column order
  e = caught();
  EXPECT_FALSE(e.in_labels);
  EXPECT_EQ(e.row, 181u);
  EXPECT_EQ(e.column, 4u);
  EXPECT_STREQ(e.what(), "X(181,4) is -Inf");

  const std::vector<float> Xs = {1.0f, std::nanf(""), 3.0f, 4.0f};
  const std::vector<float> ys = {1.0f, 2.0f};
  try {
    core::make_regression_data(Xs.data(), 2, 2, ys.data());
    ADD_FAILURE() << "no NonFiniteValue for single data";
  } catch (const core::NonFiniteValue &f) {
    EXPECT_STREQ(f.what(), "X(2,1) is NaN");
  }
}

// Large enough to cross several transpose tiles in both directions, with ragged edges.
TEST(RegressionData, TiledConversionMatchesTheDefinition) {
  const int32_t N = 203, D = 131;
  std::vector<double> X(static_cast<size_t>(N) * D), y(N);
  for (size_t k = 0; k < X.size(); ++k) X[k] = static_cast<double>(k) * 0.5 - 7;
  const core::RegressionData d = core::make_regression_data(X.data(), N, D, y.data());
  for (int32_t i = 0; i < N; ++i)
    for (int32_t j = 0; j < D; ++j) ASSERT_EQ(d.row(i)[j], X[static_cast<size_t>(i) + static_cast<size_t>(j) * N]);
}

namespace {

// X large enough that the conversion runs on a team (it keeps small problems on one thread),
// with values whose bits tell where each one came from.
struct Columns {
  int32_t N, D;
  std::vector<double> X, y;
  Columns(int32_t n, int32_t d) : N(n), D(d), X(static_cast<size_t>(n) * d), y(static_cast<size_t>(n)) {
    for (size_t k = 0; k < X.size(); ++k) X[k] = std::ldexp(static_cast<double>(k) + 0.25, -7) * (k % 3 ? 1 : -1);
    for (size_t k = 0; k < y.size(); ++k) y[k] = static_cast<double>(k) * 0.125 - 3;
  }
  double at(int32_t i, int32_t j) const { return X[static_cast<size_t>(i) + static_cast<size_t>(j) * N]; }
};

using Features = decltype(core::RegressionData::features);
bool same_bits(const Features &a, const Features &b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// A stop check that says stop at its `after`-th question and notes the threads that asked.
std::atomic<int> g_questions{0};
int g_stop_after = 0;
std::atomic<bool> g_asked_off_thread{false};
std::thread::id g_caller;
bool stop_after_some_questions() {
  if (std::this_thread::get_id() != g_caller) g_asked_off_thread = true;
  return ++g_questions >= g_stop_after;
}

}  // namespace

// Whatever team writes them and whatever order they are written in, the rows are X's rows: a
// team's blocks meet without gaps or overlaps (ragged last blocks, more threads than cores, a
// team larger than N's tiles), and an order moves whole rows with their labels.
TEST(RegressionData, TeamsAndOrdersGiveTheRowsOfX) {
  for (auto [N, D] : {std::pair{5003, 17}, {70001, 1}, {1031, 131}, {2, 40000}}) {
    const Columns c(N, D);
    const core::RegressionData plain = core::make_regression_data(c.X.data(), N, D, c.y.data());
    for (int32_t i = 0; i < N; i += 97)
      for (int32_t j = 0; j < D; ++j) ASSERT_EQ(plain.row(i)[j], c.at(i, j));
    core::seed_thread_rand(static_cast<uint32_t>(N));
    const std::vector<int32_t> order = core::random_permutation(N);
    for (int32_t threads : {0, 1, 2, 3, 7}) {
      SCOPED_TRACE("N " + std::to_string(N) + ", D " + std::to_string(D) + ", threads " + std::to_string(threads));
      const core::RegressionData team =
          core::make_regression_data(c.X.data(), N, D, c.y.data(), nullptr, core::RowPlacement{nullptr, threads});
      EXPECT_TRUE(same_bits(team.features, plain.features));
      EXPECT_EQ(team.labels, plain.labels);
      std::vector<int32_t> reused = order;
      const core::RegressionData moved =
          core::make_regression_data(c.X.data(), N, D, c.y.data(), nullptr, core::RowPlacement{reused.data(), threads});
      for (int32_t k = 0; k < N; ++k) ASSERT_EQ(reused[static_cast<size_t>(order[static_cast<size_t>(k)])], k);
      for (int32_t k = 0; k < N; ++k) {
        const size_t from = static_cast<size_t>(order[static_cast<size_t>(k)]);
        ASSERT_EQ(std::memcmp(moved.row(k), plain.row(static_cast<int32_t>(from)), sizeof(double) * D), 0) << k;
        ASSERT_EQ(moved.labels[static_cast<size_t>(k)], c.y[from]) << k;
      }
    }
  }
  // Single precision, moved by a team: each value converts exactly.
  const int32_t N = 4099, D = 19;
  std::vector<float> Xs(static_cast<size_t>(N) * D), ys(N);
  for (size_t k = 0; k < Xs.size(); ++k) Xs[k] = static_cast<float>(k) * 0.1f;
  for (size_t k = 0; k < ys.size(); ++k) ys[k] = static_cast<float>(k) * -0.3f;
  const std::vector<int32_t> order = core::random_permutation(N);
  std::vector<int32_t> reused = order;
  const core::RegressionData d =
      core::make_regression_data(Xs.data(), N, D, ys.data(), nullptr, core::RowPlacement{reused.data(), 2});
  for (int32_t k = 0; k < N; ++k) {
    const size_t from = static_cast<size_t>(order[static_cast<size_t>(k)]);
    for (int32_t j = 0; j < D; ++j)
      ASSERT_EQ(d.row(k)[j], static_cast<double>(Xs[from + static_cast<size_t>(j) * N])) << k << "," << j;
    ASSERT_EQ(d.labels[static_cast<size_t>(k)], static_cast<double>(ys[from]));
  }
}

// A team finds the bad values of every thread's block; the one named is still the first in X's
// column order (then y's own order), not the first in the order the rows are written.
TEST(RegressionData, TeamsAndOrdersNameTheFirstNonFiniteValueOfX) {
  const int32_t N = 9001, D = 11;
  Columns c(N, D);
  std::vector<int32_t> reversed(N);
  for (int32_t k = 0; k < N; ++k) reversed[static_cast<size_t>(k)] = N - 1 - k;  // its own inverse
  auto named = [&](int32_t *order) -> std::string {
    try {
      core::make_regression_data(c.X.data(), N, D, c.y.data(), nullptr, core::RowPlacement{order, 2});
    } catch (const core::NonFiniteValue &e) {
      return e.what();
    }
    return "none";
  };
  c.y[8000] = INFINITY;  // y(8001), row 1000 once reversed
  c.y[9000] = std::nan("");
  EXPECT_EQ(named(nullptr), "y(8001) is Inf");
  EXPECT_EQ(named(reversed.data()), "y(8001) is Inf");
  c.X[8999 + 2 * static_cast<size_t>(N)] = -INFINITY;   // X(9000,3): the second thread's block
  c.X[10 + 5 * static_cast<size_t>(N)] = std::nan("");  // X(11,6): the first's, later in column order
  EXPECT_EQ(named(nullptr), "X(9000,3) is -Inf");
  EXPECT_EQ(named(reversed.data()), "X(9000,3) is -Inf");
}

// Only the calling thread asks the host, however large the team; once it hears stop, every
// thread ends its part early.
TEST(RegressionData, ATeamConversionStopsWhenTheCallingThreadHearsStop) {
  const Columns c(200000, 9);
  g_caller = std::this_thread::get_id();
  std::vector<int32_t> order = core::random_permutation(c.N);
  for (int32_t *o : {static_cast<int32_t *>(nullptr), order.data()}) {
    g_questions = 0;
    g_stop_after = 3;
    g_asked_off_thread = false;
    const core::StopCheck stop(stop_after_some_questions);
    core::make_regression_data(c.X.data(), c.N, c.D, c.y.data(), &stop, core::RowPlacement{o, 4});
    EXPECT_TRUE(stop.stopped());
    EXPECT_EQ(g_questions.load(), 3);
    EXPECT_FALSE(g_asked_off_thread.load());
  }
}

// Drawn into an order on a team, the rows cost passes a plain conversion does not make: the labels
// gathered by the order, the order inverted (a walk of one cache miss a row) and the first touch of
// each thread's rows (a page fault a page). The calling thread asks the host through each of them.
TEST(RegressionData, ATeamConversionIntoAnOrderAsksThroughEveryPass) {
  const Columns c(200000, 9);
  g_caller = std::this_thread::get_id();
  std::vector<int32_t> order = core::random_permutation(c.N);
  long questions[2];
  for (int k = 0; k < 2; ++k) {
    g_questions = 0;
    g_stop_after = 1000000;
    g_asked_off_thread = false;
    const core::StopCheck stop(stop_after_some_questions);
    core::make_regression_data(c.X.data(), c.N, c.D, c.y.data(), &stop,
                               core::RowPlacement{k ? order.data() : nullptr, 2});
    EXPECT_FALSE(stop.stopped());
    EXPECT_FALSE(g_asked_off_thread.load());
    questions[k] = g_questions.load();
  }
  // Thread 0 touches half of the 1.8 million doubles, a question per 2^16 of them.
  EXPECT_GE(questions[1], questions[0] + 10) << questions[0] << " then " << questions[1];
}

TEST(Parameters, IntegersTruncateTowardZero) {
  EXPECT_EQ(core::to_int32_parameter(2.9), 2);
  EXPECT_EQ(core::to_int32_parameter(-0.5), 0);
  EXPECT_EQ(core::to_int32_parameter(-2.9), -2);
  EXPECT_EQ(core::to_int32_parameter(1.7), 1);
  EXPECT_EQ(core::to_int32_parameter(2147483647.9), 2147483647);
  EXPECT_EQ(core::to_int32_parameter(-2147483648.9), std::numeric_limits<int32_t>::min());
}

TEST(Parameters, NonFiniteAndOutOfRangeBecomeMostNegative) {
  const int32_t lowest = std::numeric_limits<int32_t>::min();
  EXPECT_EQ(core::to_int32_parameter(std::nan("")), lowest);
  EXPECT_EQ(core::to_int32_parameter(INFINITY), lowest);
  EXPECT_EQ(core::to_int32_parameter(-INFINITY), lowest);
  EXPECT_EQ(core::to_int32_parameter(2147483648.0), lowest);
  EXPECT_EQ(core::to_int32_parameter(-2147483649.0), lowest);
  EXPECT_EQ(core::to_int32_parameter(1e300), lowest);
}

TEST(Parameters, VerboseOnlyWhenExactlyOneAfterTruncation) {
  EXPECT_TRUE(core::is_verbose(core::to_int32_parameter(1.7)));
  EXPECT_TRUE(core::is_verbose(core::to_int32_parameter(1.0)));
  EXPECT_FALSE(core::is_verbose(core::to_int32_parameter(0.99)));
  EXPECT_FALSE(core::is_verbose(core::to_int32_parameter(2.0)));
  EXPECT_FALSE(core::is_verbose(core::to_int32_parameter(-1.0)));
  EXPECT_FALSE(core::is_verbose(core::to_int32_parameter(std::nan(""))));
}

TEST(Primitives, WorkedObjectiveAndSubgradient) {
  const core::RegressionData d = core::make_regression_data(kX.data(), 3, 2, kY.data());
  const double w[2] = {1, -1};
  EXPECT_EQ(core::objective_value(d, w, 0.5), 13.0);
  double g[2];
  core::sample_subgradient(d, 0, w, 0.5, g);
  EXPECT_EQ(g[0], -1.5);
  EXPECT_EQ(g[1], -4.5);
}

TEST(Primitives, ObjectiveAtZeroIsSumOfSquaredLabels) {
  const std::vector<double> y = {1.5, -2, 3};
  const core::RegressionData d = core::make_regression_data(kX.data(), 3, 2, y.data());
  const double w[2] = {0, 0};
  EXPECT_EQ(core::objective_value(d, w, 10.0), 1.5 * 1.5 + 4 + 9);
}

TEST(Primitives, ObjectiveSumsInIndexOrderOnOneAccumulator) {
  // Squares 2^54, 1, 1, 1: in order each 1 is lost below half an ulp of 2^54; summed first
  // they would make 3 and round the total up to 2^54 + 4.
  const std::vector<double> X = {0, 0, 0, 0};
  const std::vector<double> y = {134217728.0, 1, 1, 1};
  const core::RegressionData d = core::make_regression_data(X.data(), 4, 1, y.data());
  const double w[1] = {0.0};
  EXPECT_EQ(core::objective_value(d, w, 0.0), 18014398509481984.0);
  EXPECT_EQ((1.0 + 1.0 + 1.0) + 18014398509481984.0, 18014398509481988.0);
}

TEST(Primitives, PenaltyTermsAreMultipliedOneByOne) {
  const core::RegressionData d = core::make_regression_data(nullptr, 0, 3, nullptr);
  const double w[3] = {0.1, -0.2, 0.3};
  const double lambda = 0.7;
  double expected = 0.0;
  for (double wj : w) expected = expected + std::fabs(wj) * lambda;
  EXPECT_EQ(core::objective_value(d, w, lambda), expected);
}

TEST(Primitives, L1SubgradientFollowsTheSignOfTheWeight) {
  EXPECT_EQ(core::add_l1_subgradient(1.0, 2.0, 0.5), 1.5);
  EXPECT_EQ(core::add_l1_subgradient(1.0, -2.0, 0.5), 0.5);
  EXPECT_EQ(core::add_l1_subgradient(1.0, 0.0, 0.5), 1.0);
  EXPECT_EQ(core::add_l1_subgradient(1.0, -0.0, 0.5), 1.0);
  EXPECT_EQ(core::add_l1_subgradient(1.0, std::nan(""), 0.5), 1.0);
}

TEST(Primitives, DotProductHasNoPartialSums) {
  const double x[4] = {1e16, 1, -1e16, 1};
  const double w[4] = {1, 1, 1, 1};
  // In order: ((1e16 + 1) - 1e16) + 1 = 0 + 1 = 1 (1e16 + 1 rounds to 1e16).
  EXPECT_EQ(core::dot_product(x, w, 4), 1.0);
}

TEST(Primitives, PermutationDrawsExactlyNAndIsAPermutation) {
  core::seed_thread_rand(3);
  for (int32_t n : {0, 1, 2, 17, 1000}) {
    const uint64_t before = core::thread_rand_draws();
    std::vector<int32_t> p = core::random_permutation(n);
    EXPECT_EQ(core::thread_rand_draws() - before, static_cast<uint64_t>(n));
    std::vector<int> seen(static_cast<size_t>(n), 0);
    for (int32_t v : p) {
      ASSERT_GE(v, 0);
      ASSERT_LT(v, n);
      ++seen[static_cast<size_t>(v)];
    }
    for (int s : seen) EXPECT_EQ(s, 1);
  }
  EXPECT_EQ(core::random_permutation(1), std::vector<int32_t>{0});
}

TEST(Primitives, PermutationIsTheInsideOutShuffle) {
  // Draws 0, 1, 0: j=0 -> (0); j=1, k=1 -> (0, 1); j=2, k=0 -> p[2] = p[0] = 0, p[0] = 2.
  core::ScriptedThreadRand script({0, 1, 0});
  EXPECT_EQ(core::random_permutation(3), (std::vector<int32_t>{2, 1, 0}));
}

TEST(Primitives, SampleDrawIsRandModN) {
  core::ScriptedThreadRand script({17, 2147483647});
  EXPECT_EQ(core::draw_sample(5), 2);
  EXPECT_EQ(core::draw_sample(10), 7);
}

TEST(Printer, FormatsLongAndShortTextInOnePiece) {
  std::string text;
  const core::Printer p = core::Printer::to_string(&text);
  p.printf("N=%d, D=%d\n", 3, 2);
  const std::string long_text(1000, 'x');
  p.printf("%s|\n", long_text.c_str());
  EXPECT_EQ(text, "N=3, D=2\n" + long_text + "|\n");
}

TEST(Printer, APrinterWithoutASinkPrintsNothingAnywhere) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  core::Printer().printf("nowhere %d\n", 1);
  core::Printer().flush();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
