// Compressed sparse rows built from a host's compressed columns, and the kernels on them, against
// the dense rows and the dense kernels: the same values, the same bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/data/regression_data.hpp"
#include "core/kernels/batch.hpp"
#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/sparse/sparse_rows.hpp"

namespace {

uint64_t bits(double x) {
  uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// A column-major matrix and its compressed columns, as a host stores it.
template <typename Index>
struct Columns {
  std::vector<Index> jc, ir;
  std::vector<double> pr;
};

template <typename Index>
Columns<Index> compress(const std::vector<double> &X, size_t N, size_t D) {
  Columns<Index> c;
  c.jc.push_back(0);
  for (size_t j = 0; j < D; ++j) {
    for (size_t i = 0; i < N; ++i)
      if (X[i + j * N] != 0) {
        c.ir.push_back(static_cast<Index>(i));
        c.pr.push_back(X[i + j * N]);
      }
    c.jc.push_back(static_cast<Index>(c.ir.size()));
  }
  if (c.pr.empty()) {  // hosts keep room for at least one entry
    c.ir.push_back(0);
    c.pr.push_back(0.0);
  }
  return c;
}

// N x D with the given density, values N(0,1) and some of them tiny or huge; optionally an empty
// row, an empty column and a full row.
std::vector<double> random_matrix(std::mt19937_64 &gen, size_t N, size_t D, double density, bool shapes) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> z(0.0, 1.0);
  std::vector<double> X(N * D, 0.0);
  for (double &x : X)
    if (u(gen) < density) x = z(gen) * (u(gen) < 0.05 ? 1e-150 : 1.0);
  if (shapes && N > 2 && D > 2) {
    const size_t empty_row = gen() % N, empty_column = gen() % D, full_row = (empty_row + 1) % N;
    for (size_t j = 0; j < D; ++j) X[empty_row + j * N] = 0.0;
    for (size_t i = 0; i < N; ++i) X[i + empty_column * N] = 0.0;
    for (size_t j = 0; j < D; ++j)
      if (j != empty_column) X[full_row + j * N] = z(gen);
  }
  return X;
}

std::vector<double> random_labels(std::mt19937_64 &gen, size_t N) {
  std::normal_distribution<double> z(0.0, 1.0);
  std::vector<double> y(N);
  for (double &v : y) v = z(gen);
  return y;
}

template <typename Index>
void expect_rows_match(const std::vector<double> &X, const std::vector<double> &y, size_t N, size_t D) {
  const Columns<Index> c = compress<Index>(X, N, D);
  const core::SparseRows s = core::make_sparse_rows(c.jc.data(), c.ir.data(), c.pr.data(), c.pr.size(),
                                                    static_cast<int32_t>(N), static_cast<int32_t>(D), y.data());
  ASSERT_EQ(s.offsets.size(), N + 1);
  EXPECT_EQ(s.nonzeros(), static_cast<int64_t>(c.jc.back()));
  for (size_t i = 0; i < N; ++i) {
    const core::SparseRow r = s.row(static_cast<int32_t>(i));
    std::vector<double> dense(D, 0.0);
    for (int64_t k = 0; k < r.count; ++k) {
      if (k > 0) {
        ASSERT_LT(r.columns[k - 1], r.columns[k]);
      }
      dense[static_cast<size_t>(r.columns[k])] = r.values[k];
    }
    for (size_t j = 0; j < D; ++j) ASSERT_EQ(bits(dense[j]), bits(X[i + j * N])) << "row " << i << " column " << j;
    EXPECT_EQ(bits(s.labels[i]), bits(y[i]));
  }
}

TEST(SparseRows, RowsHoldTheNonzerosOfEachSampleInColumnOrder) {
  std::mt19937_64 gen(3);
  const size_t shapes[][2] = {{0, 0}, {0, 3}, {3, 0}, {1, 1}, {1, 9}, {9, 1}, {7, 5}, {40, 300}, {300, 40}};
  for (const auto &shape : shapes)
    for (double density : {0.0, 0.01, 0.2, 1.0}) {
      const size_t N = shape[0], D = shape[1];
      const std::vector<double> X = random_matrix(gen, N, D, density, true), y = random_labels(gen, N);
      expect_rows_match<uint64_t>(X, y, N, D);
      expect_rows_match<int64_t>(X, y, N, D);
    }
}

TEST(SparseRows, FullRowsFromColumnsAreTheRowsOfFullX) {
  std::mt19937_64 gen(4);
  const size_t shapes[][2] = {{1, 1}, {1, 9}, {9, 1}, {7, 5}, {7, 8}, {40, 17}, {300, 40}};
  for (const auto &shape : shapes)
    for (double density : {0.0, 0.3, 0.8, 1.0}) {
      const size_t N = shape[0], D = shape[1];
      const std::vector<double> X = random_matrix(gen, N, D, density, true), y = random_labels(gen, N);
      const Columns<int64_t> c = compress<int64_t>(X, N, D);
      const int32_t n = static_cast<int32_t>(N), d = static_cast<int32_t>(D);
      const core::RegressionData rows =
          core::make_dense_rows(c.jc.data(), c.ir.data(), c.pr.data(), c.pr.size(), n, d, y.data());
      const core::RegressionData full = core::make_regression_data(X.data(), n, d, y.data());
      ASSERT_EQ(rows.features.size(), full.features.size());
      for (size_t k = 0; k < full.features.size(); ++k)
        ASSERT_EQ(bits(rows.features[k]), bits(full.features[k])) << N << " x " << D << ", entry " << k;
      EXPECT_EQ(rows.labels, full.labels);
      const size_t stored = static_cast<size_t>(c.jc.back());
      EXPECT_EQ(core::fills_densely(c.jc.data(), c.pr.size(), n, d), 3 * stored >= 2 * N * D) << N << " x " << D;
    }
  // Two thirds exactly is enough; one nonzero fewer is not. The count is capped by what is stored.
  const std::vector<uint64_t> jc{0, 1, 2, 2};
  EXPECT_TRUE(core::fills_densely(jc.data(), 2, 1, 3));
  EXPECT_FALSE(core::fills_densely(jc.data(), 1, 1, 3));
  const std::vector<uint64_t> empty{0};
  EXPECT_FALSE(core::fills_densely(empty.data(), 0, 5, 0));
}

TEST(SparseRows, FullRowsFromColumnsRefuseWhatCompressedRowsRefuse) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  const std::vector<double> X{1, 2, inf, nan, 5, 6, 7, 2, 9}, y{1, nan, 3};
  const Columns<uint64_t> c = compress<uint64_t>(X, 3, 3);
  try {
    core::make_dense_rows(c.jc.data(), c.ir.data(), c.pr.data(), c.pr.size(), 3, 3, y.data());
    FAIL() << "no error";
  } catch (const core::NonFiniteValue &e) {
    EXPECT_STREQ(e.what(), "X(3,1) is Inf");
  }
  const std::vector<double> fine{1, 2, 3, 4, 5, 6, 7, 8, 9};
  const Columns<uint64_t> f = compress<uint64_t>(fine, 3, 3);
  try {
    core::make_dense_rows(f.jc.data(), f.ir.data(), f.pr.data(), f.pr.size(), 3, 3, y.data());
    FAIL() << "no error";
  } catch (const core::NonFiniteValue &e) {
    EXPECT_STREQ(e.what(), "y(2) is NaN");
  }
  // A bad entry late in the last column is found though the placement would never reach it.
  const double pr[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const double y0[] = {0, 0, 0};
  const std::vector<uint64_t> jc{0, 3, 6, 9};
  for (const std::vector<uint64_t> &ir :
       {std::vector<uint64_t>{0, 1, 2, 0, 1, 2, 0, 2, 1}, std::vector<uint64_t>{0, 1, 2, 0, 1, 2, 0, 1, 3}}) {
    std::string dense_error, sparse_error;
    try {
      core::make_dense_rows(jc.data(), ir.data(), pr, 9, 3, 3, y0);
    } catch (const core::MalformedSparse &e) {
      dense_error = e.what();
    }
    try {
      core::make_sparse_rows(jc.data(), ir.data(), pr, 9, 3, 3, y0);
    } catch (const core::MalformedSparse &e) {
      sparse_error = e.what();
    }
    EXPECT_FALSE(dense_error.empty());
    EXPECT_EQ(dense_error, sparse_error);
  }
}

TEST(SparseRows, RowsFullEnoughToFillABlockGoStraightIntoPlace) {
  // 64 rows of 2000 columns at density 0.6 hold about 77 000 entries, more than a block takes: such
  // groups of rows are placed apart from the rest, in every mix with ordinary ones.
  std::mt19937_64 gen(6);
  for (const auto &shape : {std::pair<size_t, size_t>{70, 2000}, {200, 1500}, {64, 1200}, {130, 1100}, {300, 2000}})
    for (double density : {0.6, 0.95})
      for (const bool thin_second_group : {false, true}) {
        std::vector<double> X = random_matrix(gen, shape.first, shape.second, density, true);
        // Rows 64 to 127 (when there) almost empty: an ordinary block between heavy ones.
        if (thin_second_group)
          for (size_t i = 64; i < std::min<size_t>(128, shape.first); ++i)
            for (size_t j = 1; j < shape.second; ++j) X[i + j * shape.first] = 0.0;
        expect_rows_match<uint64_t>(X, random_labels(gen, shape.first), shape.first, shape.second);
      }
}

// The rows a team builds, compared entry by entry with one thread's.
void expect_team_rows_match(const Columns<uint64_t> &c, const std::vector<double> &y, size_t N, size_t D) {
  const int32_t n = static_cast<int32_t>(N), d = static_cast<int32_t>(D);
  ASSERT_GT(core::conversion_team(2, n, c.jc.back()), 1) << "no team: the comparison would be one thread's with itself";
  const core::SparseRows one =
      core::make_sparse_rows(c.jc.data(), c.ir.data(), c.pr.data(), c.pr.size(), n, d, y.data(), nullptr, 1);
  for (const int32_t threads : {2, 3}) {
    const core::SparseRows team =
        core::make_sparse_rows(c.jc.data(), c.ir.data(), c.pr.data(), c.pr.size(), n, d, y.data(), nullptr, threads);
    ASSERT_TRUE(std::equal(team.offsets.begin(), team.offsets.end(), one.offsets.begin(), one.offsets.end()))
        << N << " x " << D << ", " << threads << " threads";
    ASSERT_TRUE(std::equal(team.columns.begin(), team.columns.end(), one.columns.begin(), one.columns.end()));
    ASSERT_EQ(team.values.size(), one.values.size());
    for (size_t k = 0; k < one.values.size(); ++k) ASSERT_EQ(bits(team.values[k]), bits(one.values[k]));
    EXPECT_EQ(team.labels, one.labels);
  }
}

TEST(SparseRows, ATeamBuildsTheRowsOneThreadBuilds) {
  // Enough entries for a team to start (2^16). The columns are cut into shares of equal entries:
  // rows get entries from every share, blocks hold entries of several shares, and rows of 64-row
  // groups heavy enough to be placed apart take the team's other path. One thread's rows are
  // checked against X itself elsewhere.
  std::mt19937_64 gen(7);
  struct Shape {
    size_t N, D;
    double density;
  };
  for (const Shape &shape : {Shape{3000, 500, 0.08}, Shape{640, 2000, 0.1}, Shape{100000, 3, 0.4}, Shape{2, 70000, 0.9},
                             Shape{130, 1500, 0.7}}) {
    std::vector<double> X = random_matrix(gen, shape.N, shape.D, shape.density, true);
    // Most entries in the first few columns: the shares cut inside the matrix's first tenth.
    for (size_t j = 0; j < std::min<size_t>(3, shape.D); ++j)
      for (size_t i = 0; i < shape.N; ++i) X[i + j * shape.N] = 1.0 + static_cast<double>(i % 7);
    const Columns<uint64_t> c = compress<uint64_t>(X, shape.N, shape.D);
    ASSERT_GE(c.jc.back(), uint64_t{1} << 16);
    expect_team_rows_match(c, random_labels(gen, shape.N), shape.N, shape.D);
  }
}

TEST(SparseRows, ATeamNamesTheFirstFaultAsOneThreadDoes) {
  // 2000 x 100 with every cell stored: a team of 2 cuts the columns at 50. A fault in the second
  // share alone is named; with faults in both shares the first in column-major order is named.
  const size_t N = 2000, D = 100;
  const std::vector<double> X(N * D, 2.0), y(N, 1.0);
  const Columns<uint64_t> full = compress<uint64_t>(X, N, D);
  ASSERT_GT(core::conversion_team(2, static_cast<int32_t>(N), full.jc.back()), 1);
  auto message = [&](const Columns<uint64_t> &c, int32_t threads) {
    try {
      core::make_sparse_rows(c.jc.data(), c.ir.data(), c.pr.data(), c.pr.size(), static_cast<int32_t>(N),
                             static_cast<int32_t>(D), y.data(), nullptr, threads);
    } catch (const std::exception &e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  struct Fault {
    size_t column, row;
    bool value;  // a non-finite value, else a row out of order
  };
  const std::vector<std::vector<Fault>> cases{{{80, 5, true}},
                                              {{80, 5, false}},
                                              {{10, 7, true}, {80, 5, true}},
                                              {{10, 7, false}, {80, 5, true}},
                                              {{80, 5, false}, {10, 7, true}},
                                              {{10, 7, false}, {80, 5, false}}};
  for (const std::vector<Fault> &faults : cases) {
    Columns<uint64_t> c = full;
    for (const Fault &f : faults) {
      const size_t at = f.column * N + f.row;
      if (f.value)
        c.pr[at] = f.row % 2 ? inf : nan;
      else
        c.ir[at] = c.ir[at - 1];  // a row repeated
    }
    const std::string alone = message(c, 1);
    EXPECT_NE(alone, "no error");
    EXPECT_EQ(message(c, 2), alone);
    EXPECT_EQ(message(c, 3), alone);
  }
}

TEST(SparseRows, AStopBeforeTheFirstFaultStopsATeamAsItStopsOneThread) {
  // Columns 1 and 2 are valid, column 3 ends in a row out of range (the first fault), column 4 starts
  // with one (in the second share of a team of 2). The host says stop at its second question, as
  // column 2 starts: one thread stops before column 3, and so must the team, whatever its second
  // share met meanwhile.
  const int32_t N = 140000, D = 5;
  std::vector<uint64_t> jc{0}, ir;
  auto column = [&](uint64_t count, uint64_t bad_at) {
    for (uint64_t i = 0; i < count; ++i) ir.push_back(i == bad_at ? 900000 + i : i);
    jc.push_back(ir.size());
  };
  column(70000, ~uint64_t{0});
  column(70000, ~uint64_t{0});
  column(100, 99);
  column(100, 0);
  column(140000, ~uint64_t{0});
  const std::vector<double> pr(ir.size(), 1.0), y(N, 1.0);
  static int asked = 0;
  for (const int32_t threads : {1, 2, 3})
    for (int repeat = 0; repeat < 10; ++repeat) {
      asked = 0;
      const core::StopCheck stop([] { return ++asked >= 2; });
      EXPECT_NO_THROW(
          core::make_sparse_rows(jc.data(), ir.data(), pr.data(), pr.size(), N, D, y.data(), &stop, threads))
          << threads << " threads";
      EXPECT_TRUE(stop.stopped());
    }
  // Without the stop, every team names column 3's entry.
  for (const int32_t threads : {1, 2, 3}) {
    try {
      core::make_sparse_rows(jc.data(), ir.data(), pr.data(), pr.size(), N, D, y.data(), nullptr, threads);
      ADD_FAILURE() << "no error";
    } catch (const core::MalformedSparse &e) {
      EXPECT_STREQ(e.what(), "column 3 has an entry in row 900100 of 140000") << threads << " threads";
    }
  }
}

TEST(SparseRows, OnlyTheCallingThreadOfATeamAsksTheHost) {
  std::mt19937_64 gen(8);
  const size_t N = 2000, D = 4000;
  const std::vector<double> X = random_matrix(gen, N, D, 0.05, false), y = random_labels(gen, N);
  const Columns<uint64_t> c = compress<uint64_t>(X, N, D);
  ASSERT_GT(core::conversion_team(2, static_cast<int32_t>(N), c.jc.back()), 1);
  static std::atomic<int> asked{0}, asked_elsewhere{0};
  static std::thread::id caller;
  caller = std::this_thread::get_id();
  for (const int answer_at : {1, 3, 1000000}) {
    asked = 0;
    asked_elsewhere = 0;
    static int stop_at;
    stop_at = answer_at;
    const core::StopCheck stop([] {
      if (std::this_thread::get_id() != caller) ++asked_elsewhere;
      return ++asked >= stop_at;
    });
    const core::SparseRows s =
        core::make_sparse_rows(c.jc.data(), c.ir.data(), c.pr.data(), c.pr.size(), static_cast<int32_t>(N),
                               static_cast<int32_t>(D), y.data(), &stop, 2);
    EXPECT_EQ(asked_elsewhere, 0);
    EXPECT_GT(asked, 0);
    EXPECT_EQ(stop.stopped(), answer_at < 1000000);
    if (!stop.stopped()) {
      EXPECT_EQ(s.nonzeros(), static_cast<int64_t>(c.jc.back()));
    }
  }
}

TEST(SparseRows, TheFetchesAheadStopAtTheLastStepWhateverTheStepCount) {
  // Near 2^31 - 1 steps, k plus a distance would pass the largest int: only steps that exist are
  // asked for, from the ring's samples.
  const std::vector<uint64_t> jc{0, 1, 2}, ir{0, 1};
  const double pr[] = {1, 2}, y[] = {0, 0};
  const core::SparseRows rows = core::make_sparse_rows(jc.data(), ir.data(), pr, 2, 2, 2, y);
  int32_t ring[32];
  for (int32_t &i : ring) i = 1;
  const int32_t most = std::numeric_limits<int32_t>::max();
  for (const int32_t steps : {most, 20}) {
    for (int32_t left = 1; left <= 20; ++left) {
      int32_t asked = 0;
      core::SparseFetchAhead::look_ahead(rows, ring, 32, steps - left, steps, 3, [&](const core::SparseRow &x) {
        EXPECT_EQ(x.count, 1);
        ++asked;
      });
      EXPECT_EQ(asked, left > 3 ? 1 : 0) << steps << " steps, " << left << " left";
    }
  }
}

TEST(SparseRows, LogicalValuesAreOnes) {
  const std::vector<uint64_t> jc{0, 2, 2, 3}, ir{0, 2, 1};
  const bool pr[] = {true, true, true};
  const double y[] = {1, 2, 3};
  const core::SparseRows s = core::make_sparse_rows(jc.data(), ir.data(), pr, 3, 3, 3, y);
  ASSERT_EQ(s.nonzeros(), 3);
  EXPECT_EQ(s.row(0).count, 1);
  EXPECT_EQ(s.row(0).columns[0], 0);
  EXPECT_EQ(s.row(1).columns[0], 2);
  EXPECT_EQ(s.row(2).columns[0], 0);
  for (double v : s.values) EXPECT_EQ(v, 1.0);
}

TEST(SparseRows, FirstNonFiniteValueIsNamedAsTheDenseConversionNamesIt) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  // 3 x 3: X(3,1) = Inf comes before X(1,2) = NaN in column-major order, though row 1 comes first.
  const std::vector<double> X{1, 0, inf, nan, 0, 0, 0, 2, 0}, y{1, nan, 3};
  const Columns<uint64_t> c = compress<uint64_t>(X, 3, 3);
  try {
    core::make_sparse_rows(c.jc.data(), c.ir.data(), c.pr.data(), c.pr.size(), 3, 3, y.data());
    FAIL() << "no error";
  } catch (const core::NonFiniteValue &e) {
    EXPECT_FALSE(e.in_labels);
    EXPECT_EQ(e.row, 3u);
    EXPECT_EQ(e.column, 1u);
    EXPECT_STREQ(e.what(), "X(3,1) is Inf");
    try {
      core::make_regression_data(X.data(), 3, 3, y.data());
      FAIL() << "no error";
    } catch (const core::NonFiniteValue &d) {
      EXPECT_STREQ(d.what(), e.what());
    }
  }
  // X finite, y not: y is named.
  const std::vector<double> fine{1, 0, 0, 0, 0, 0, 0, 2, 0};
  const Columns<uint64_t> f = compress<uint64_t>(fine, 3, 3);
  try {
    core::make_sparse_rows(f.jc.data(), f.ir.data(), f.pr.data(), f.pr.size(), 3, 3, y.data());
    FAIL() << "no error";
  } catch (const core::NonFiniteValue &e) {
    EXPECT_TRUE(e.in_labels);
    EXPECT_STREQ(e.what(), "y(2) is NaN");
  }
}

TEST(SparseRows, MalformedColumnsAreRefused) {
  const double y[] = {0, 0, 0};
  const double pr[] = {1, 2, 3, 4};
  struct Bad {
    std::vector<uint64_t> jc, ir;
    const char *what;
  };
  const Bad bad[] = {{{1, 2, 3, 4}, {0, 1, 2, 0}, "first column"},     {{0, 3, 2, 4}, {0, 1, 2, 0}, "comes before"},
                     {{0, 1, 2, 5}, {0, 1, 2, 0}, "holds only"},       {{0, 2, 3, 4}, {1, 0, 2, 0}, "increasing order"},
                     {{0, 2, 3, 4}, {1, 1, 2, 0}, "increasing order"}, {{0, 1, 2, 3}, {0, 3, 2, 0}, "row 4 of 3"}};
  for (const Bad &b : bad) {
    try {
      core::make_sparse_rows(b.jc.data(), b.ir.data(), pr, 4, 3, 3, y);
      ADD_FAILURE() << "accepted: " << b.what;
    } catch (const core::MalformedSparse &e) {
      EXPECT_NE(std::string(e.what()).find(b.what), std::string::npos) << e.what();
    }
  }
  // A negative signed index is refused too.
  const std::vector<int64_t> jc{0, 1, 2, 3}, ir{0, -1, 2};
  EXPECT_THROW(core::make_sparse_rows(jc.data(), ir.data(), pr, 3, 3, 3, y), core::MalformedSparse);
}

TEST(SparseRows, StopEndsTheConversionEarly) {
  std::mt19937_64 gen(5);
  // About 400 000 nonzeros: the host is asked several times on the way.
  const size_t N = 2000, D = 4000;
  const std::vector<double> X = random_matrix(gen, N, D, 0.05, false), y = random_labels(gen, N);
  const Columns<uint64_t> c = compress<uint64_t>(X, N, D);
  static int asked = 0;
  asked = 0;
  const core::StopCheck stop([] { return ++asked >= 2; });
  core::make_sparse_rows(c.jc.data(), c.ir.data(), c.pr.data(), c.pr.size(), static_cast<int32_t>(N),
                         static_cast<int32_t>(D), y.data(), &stop);
  EXPECT_TRUE(stop.stopped());
  EXPECT_EQ(asked, 2);
}

// Every cell of an N x D X stored (the value 1.5), as compressed columns.
Columns<uint64_t> full_columns(size_t N, size_t D) {
  return compress<uint64_t>(std::vector<double>(N * D, 1.5), N, D);
}

// A whole conversion of c (N x D) on one thread, and the questions it asked the host.
struct AskedConversion {
  core::SparseRows rows;
  int questions;
};
AskedConversion convert_counting_questions(const Columns<uint64_t> &c, size_t N, size_t D) {
  const std::vector<double> y(N, 1.0);
  static int asked = 0;
  asked = 0;
  const core::StopCheck stop([] {
    ++asked;
    return false;
  });
  core::SparseRows rows = core::make_sparse_rows(c.jc.data(), c.ir.data(), c.pr.data(), c.pr.size(),
                                                 static_cast<int32_t>(N), static_cast<int32_t>(D), y.data(), &stop, 1);
  return {std::move(rows), asked};
}

TEST(SparseRows, AHeavyXIsAskedAboutInEveryPassOverItsEntries) {
  // 200 x 3000, every cell stored: four groups of 64 rows, each too full for a block, so the rows
  // of those groups are counted in a pass of their own. Each of the three passes over the 600 000
  // entries asks the host about every 2^16 of them.
  const size_t N = 200, D = 3000;
  EXPECT_GE(convert_counting_questions(full_columns(N, D), N, D).questions, 3 * 600000 / 65536 - 2);
}

TEST(SparseRows, AVeryLongColumnIsAskedAboutWithinIt) {
  // A first column of 300 000 entries, then 1100 columns of the first 64 rows, a group too full
  // for a block: the check, the count of the heavy group's rows, the placement and the sorting of
  // the blocks each ask the host about every 2^16 entries, within the long column too.
  const size_t N = 300000, wide = 1100;
  Columns<uint64_t> c;
  c.jc.push_back(0);
  for (size_t i = 0; i < N; ++i) c.ir.push_back(i);
  c.jc.push_back(c.ir.size());
  for (size_t j = 0; j < wide; ++j) {
    for (size_t i = 0; i < 64; ++i) c.ir.push_back(i);
    c.jc.push_back(c.ir.size());
  }
  c.pr.assign(c.ir.size(), 1.5);
  const AskedConversion converted = convert_counting_questions(c, N, wide + 1);
  ASSERT_EQ(converted.rows.row(0).count, static_cast<int64_t>(wide + 1));
  ASSERT_EQ(converted.rows.row(64).count, 1);
  // Three passes over every entry, and the sorting of the blocks of the long column's other rows.
  const int entries = static_cast<int>(c.ir.size()), sorted = static_cast<int>(N - 64);
  EXPECT_GE(converted.questions, 3 * (entries / 65536) + sorted / 65536);
}

TEST(SparseRows, StopEndsAFullRowsConversionOfATallXEarly) {
  // 300 000 rows of 2 columns, every cell stored: one strip of columns, asked within it.
  const size_t N = 300000, D = 2;
  const std::vector<double> y(N, 1.0);
  const Columns<uint64_t> c = full_columns(N, D);
  static int asked = 0;
  asked = 0;
  // Asked about every 2^16 entries while they are checked (four times a column), then as the
  // strip starts (the ninth) and within it (the tenth).
  const core::StopCheck stop([] { return ++asked >= 10; });
  core::make_dense_rows(c.jc.data(), c.ir.data(), c.pr.data(), c.pr.size(), static_cast<int32_t>(N),
                        static_cast<int32_t>(D), y.data(), &stop);
  EXPECT_TRUE(stop.stopped());
  EXPECT_EQ(asked, 10);
}

TEST(SparseRows, LeadingValuesOfASparseLabelArray) {
  // 2 x 3 with entries (1,1) = 4, (2,2) = 5, (1,3) = 6: column-major 4 0 0 5 6 0.
  const std::vector<uint64_t> jc{0, 1, 2, 3}, ir{0, 1, 0};
  const double pr[] = {4, 5, 6};
  EXPECT_EQ(core::sparse_leading_values(jc.data(), ir.data(), pr, 3, 2, 3, 5), (std::vector<double>{4, 0, 0, 5, 6}));
  EXPECT_EQ(core::sparse_leading_values(jc.data(), ir.data(), pr, 3, 2, 3, 2), (std::vector<double>{4, 0}));
  const double bad[] = {4, std::nan(""), 6};
  try {
    core::sparse_leading_values(jc.data(), ir.data(), bad, 3, 2, 3, 5);
    FAIL() << "no error";
  } catch (const core::NonFiniteValue &e) {
    EXPECT_STREQ(e.what(), "y(4) is NaN");
  }
  // Beyond the first n values a NaN plays no part.
  EXPECT_EQ(core::sparse_leading_values(jc.data(), ir.data(), bad, 3, 2, 3, 3), (std::vector<double>{4, 0, 0}));
}

// Both layouts of one random problem.
struct Problem {
  core::RegressionData dense;
  core::SparseRows sparse;
};

Problem make_problem(std::mt19937_64 &gen, size_t N, size_t D, double density) {
  const std::vector<double> X = random_matrix(gen, N, D, density, true), y = random_labels(gen, N);
  const Columns<uint64_t> c = compress<uint64_t>(X, N, D);
  Problem p;
  p.dense = core::make_regression_data(X.data(), static_cast<int32_t>(N), static_cast<int32_t>(D), y.data());
  p.sparse = core::make_sparse_rows(c.jc.data(), c.ir.data(), c.pr.data(), c.pr.size(), static_cast<int32_t>(N),
                                    static_cast<int32_t>(D), y.data());
  return p;
}

void expect_same_bits(const std::vector<double> &a, const std::vector<double> &b, const char *what) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t j = 0; j < a.size(); ++j) ASSERT_EQ(bits(a[j]), bits(b[j])) << what << ", feature " << j;
}

// The lazy steps against the dense step loop, with objectives in between (which bring every
// feature up to date) now and then: every weight and every objective the same bits. In most runs
// the long catch-ups of the next 1 to 6 steps are taken ahead together, as the solvers do (features
// held by several of those samples among them, never across an objective).
TEST(SparseKernels, LazyStepsGiveTheDenseLoopsWeights) {
  std::mt19937_64 gen(17);
  for (int trial = 0; trial < 160; ++trial) {
    const size_t N = 1 + gen() % 60, D = 1 + gen() % 80;
    const double densities[] = {0.02, 0.1, 0.3, 1.0};
    Problem p = make_problem(gen, N, D, densities[trial % 4]);
    const double steps[] = {0.3, 0.05, 1e-3, 0.5};
    const double lambdas[] = {0.1, 0.0, 1e-3, 2.0, -0.05, 0.5};
    const double stepSize = steps[trial % 4], lambda = lambdas[trial % 6];
    std::vector<double> wd(D, 0.0), ws(D, 0.0), g(D);
    core::LazyL1Steps lazy(static_cast<int32_t>(D), stepSize, lambda);
    const int count = 1 + static_cast<int>(gen() % 400);
    std::vector<int32_t> samples(static_cast<size_t>(count));
    std::vector<bool> check(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
      samples[static_cast<size_t>(k)] = static_cast<int32_t>(gen() % N);
      check[static_cast<size_t>(k)] = gen() % 50 == 0;
    }
    const int batch = trial % 4 == 0 ? 0 : 1 + static_cast<int>(gen() % 6);
    int prepared_to = 0;
    for (int k = 0; k < count; ++k) {
      const int32_t i = samples[static_cast<size_t>(k)];
      if (batch > 0 && k >= prepared_to) {
        std::vector<core::SparseRow> rows;
        for (int d = k; d < count && d < k + batch; ++d) {
          rows.push_back(p.sparse.row(samples[static_cast<size_t>(d)]));
          if (check[static_cast<size_t>(d)]) break;
        }
        lazy.catch_up_ahead(rows.data(), static_cast<int>(rows.size()));
        prepared_to = k + static_cast<int>(rows.size());
      }
      core::sample_subgradient(p.dense, i, wd.data(), lambda, g.data());
      for (size_t j = 0; j < D; ++j) wd[j] = wd[j] - stepSize * g[j];
      lazy.step(p.sparse.row(i), p.sparse.labels[static_cast<size_t>(i)]);
      if (check[static_cast<size_t>(k)]) {
        lazy.bring_up_to_date(ws.data());
        expect_same_bits(wd, ws, "mid-run");
        ASSERT_EQ(bits(core::objective_value(p.dense, wd.data(), lambda)),
                  bits(core::objective_value(p.sparse, ws.data(), lambda)));
      }
    }
    lazy.bring_up_to_date(ws.data());
    EXPECT_EQ(lazy.steps_taken(), static_cast<uint64_t>(count));
    expect_same_bits(wd, ws, "end of run");
    if (HasFatalFailure()) return;
  }
}

TEST(SparseKernels, SubgradientBatchSumsAndObjectiveAreTheDenseBits) {
  std::mt19937_64 gen(23);
  std::normal_distribution<double> z(0.0, 1.0);
  for (int trial = 0; trial < 200; ++trial) {
    const size_t N = 1 + gen() % 50, D = 1 + gen() % 70;
    Problem p = make_problem(gen, N, D, trial % 5 == 0 ? 1.0 : 0.15);
    std::vector<double> w(D);
    for (double &v : w) v = gen() % 3 == 0 ? 0.0 : z(gen);
    const double lambda = trial % 7 == 0 ? 0.0 : 0.25;
    ASSERT_EQ(bits(core::objective_value(p.dense, w.data(), lambda)),
              bits(core::objective_value(p.sparse, w.data(), lambda)));
    std::vector<double> gd(D), gs(D, 123.0);
    for (int32_t i = 0; i < static_cast<int32_t>(N); ++i) {
      core::sample_subgradient(p.dense, i, w.data(), lambda, gd.data());
      core::sample_subgradient(p.sparse, i, w.data(), lambda, gs.data());
      expect_same_bits(gd, gs, "subgradient");
    }
    // driftwalk's batch: residuals and sums over a permutation's first B samples, for the whole
    // feature range and for pieces of it.
    std::vector<int32_t> perm(N);
    for (size_t k = 0; k < N; ++k) perm[k] = static_cast<int32_t>(k);
    std::shuffle(perm.begin(), perm.end(), gen);
    const int32_t B = 1 + static_cast<int32_t>(gen() % N);
    std::vector<double> cd(static_cast<size_t>(B)), cs(static_cast<size_t>(B));
    for (int32_t j = 0; j < B; ++j)
      cd[static_cast<size_t>(j)] = (core::dot_product(p.dense.row(perm[static_cast<size_t>(j)]), w.data(), p.dense.D) -
                                    p.dense.labels[static_cast<size_t>(perm[static_cast<size_t>(j)])]) *
                                   2.0;
    core::batch_residuals(p.sparse, w.data(), perm.data(), 0, B, cs.data());
    expect_same_bits(cd, cs, "residuals");
    std::vector<double> sd(D, 0.0), ss(D, 7.0);
    for (int32_t j = 0; j < B; ++j)
      for (size_t k = 0; k < D; ++k)
        sd[k] = sd[k] + cd[static_cast<size_t>(j)] * p.dense.row(perm[static_cast<size_t>(j)])[k];
    core::batch_sums(core::kernels().batch, p.sparse, perm.data(), B, cs.data(), 0, static_cast<int32_t>(D), ss.data());
    expect_same_bits(sd, ss, "batch sums");
    std::vector<double> pieces(D, 9.0);
    for (int32_t first = 0; first < static_cast<int32_t>(D); first += 8)
      core::batch_sums(core::kernels().batch, p.sparse, perm.data(), B, cs.data(), first,
                       std::min<int32_t>(first + 8, static_cast<int32_t>(D)), pieces.data());
    expect_same_bits(sd, pieces, "batch sums in pieces");
    std::vector<double> staged(D, 5.0);
    const int32_t split = B / 2;
    core::batch_sums(core::kernels().batch, p.sparse, perm.data(), split, cs.data(), 0, static_cast<int32_t>(D),
                     staged.data());
    core::batch_sums(core::kernels().batch, p.sparse, perm.data() + split, B - split, cs.data() + split, 0,
                     static_cast<int32_t>(D), staged.data(), true);
    expect_same_bits(sd, staged, "batch sums in two stages");
    if (HasFatalFailure()) return;
  }
}

}  // namespace
