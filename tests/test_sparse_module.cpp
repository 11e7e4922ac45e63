// A sparse X through the built modules: the weights and the printed lines of full(X), bit for bit,
// over every solver and method, many seeds, shapes, densities and team sizes; the checks a sparse
// call gets; and no allocation of N x D anywhere.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/threads/busy.hpp"
#include "mexhost/interrupt.h"
#include "module_call.hpp"
#include "test_support.hpp"

namespace {

const mexhost::Module &module(const std::string &name) {
  static const mexhost::Module kinkstep(mexhost_module("kinkstep"));
  static const mexhost::Module splitavg(mexhost_module("splitavg"));
  static const mexhost::Module driftwalk(mexhost_module("driftwalk"));
  if (name == "kinkstep") return kinkstep;
  if (name == "splitavg") return splitavg;
  return driftwalk;
}

mexhost::ArrayPtr options(double seed, double threads) {
  mexhost::ArrayPtr s = mexhost::make_struct({"seed", "threads"});
  mxSetField(s.get(), 0, "seed", mxCreateDoubleScalar(seed));
  mxSetField(s.get(), 0, "threads", mxCreateDoubleScalar(threads));
  return s;
}

// One call of a solver: its module and its parameters after X and y (verbose last).
struct Solver {
  const char *module;
  std::vector<double> params;
  const char *label;
};

std::vector<Solver> solvers(std::mt19937_64 &gen, int N) {
  const double batch = static_cast<double>(1 + gen() % static_cast<uint64_t>(N));
  return {{"kinkstep",
           {0.05, 0.02, static_cast<double>(gen() % 4 == 0 ? gen() % 4 : 30 + gen() % 200), 0, 1},
           "kinkstep method 0"},
          {"kinkstep", {0.05, 0.01, static_cast<double>(5 + gen() % 20), 1, 1}, "kinkstep method 1"},
          {"splitavg", {0.05, 0.02, 1}, "splitavg"},
          {"driftwalk", {0.02, 1.0, -0.55, 0.01, batch, static_cast<double>(3 + gen() % 10), 1}, "driftwalk"}};
}

// Lines with what varies between two calls blanked: the clock, and splitavg's whole seconds.
std::vector<std::string> comparable(const std::vector<std::string> &lines) {
  std::vector<std::string> out;
  for (const std::string &line : lines) {
    std::string l = without_clock(line);
    const size_t at = l.find(", time= ");
    if (at != std::string::npos) l = l.substr(0, at);
    out.push_back(l);
  }
  return out;
}

// N x D with the given density, values N(0,1); optionally an empty row, an empty column and a row
// holding every feature.
std::vector<double> random_matrix(std::mt19937_64 &gen, int N, int D, double density, bool shapes) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> z(0.0, 1.0);
  std::vector<double> X(static_cast<size_t>(N) * D, 0.0);
  for (double &x : X)
    if (u(gen) < density) x = z(gen);
  if (shapes && N > 2 && D > 2) {
    const size_t n = static_cast<size_t>(N), empty_row = gen() % n, full_row = (empty_row + 1) % n;
    const size_t empty_column = gen() % static_cast<size_t>(D);
    for (size_t j = 0; j < static_cast<size_t>(D); ++j) {
      X[empty_row + j * n] = 0.0;
      X[full_row + j * n] = z(gen);
    }
    for (size_t i = 0; i < n; ++i) X[i + empty_column * n] = 0.0;
  }
  return X;
}

mexhost::CallResult call(const Solver &s, mexhost::ArrayPtr X, const std::vector<double> &y, double seed,
                         double threads) {
  Inputs in;
  in.add(std::move(X)).add(mexhost::make_double(y.size(), 1, y));
  for (double v : s.params) in.add(v);
  in.add(options(seed, threads));
  return module(s.module).call(1, in.pointers());
}

void expect_same_call(const mexhost::CallResult &dense, const mexhost::CallResult &sparse, const std::string &what) {
  ASSERT_FALSE(dense.failed) << what << ": " << dense.error_message;
  ASSERT_FALSE(sparse.failed) << what << ": " << sparse.error_message;
  const std::vector<double> wd = mexhost::values(dense.output()), ws = mexhost::values(sparse.output());
  ASSERT_EQ(wd.size(), ws.size()) << what;
  for (size_t j = 0; j < wd.size(); ++j) {
    uint64_t a, b;
    std::memcpy(&a, &wd[j], sizeof a);
    std::memcpy(&b, &ws[j], sizeof b);
    ASSERT_EQ(a, b) << what << ": w(" << j + 1 << ") is " << wd[j] << " from full(X), " << ws[j] << " from X";
  }
  EXPECT_EQ(comparable(dense.lines), comparable(sparse.lines)) << what;
  EXPECT_EQ(sparse.temporaries_left, 0) << what;
}

TEST(SparseModules, EverySolverGivesTheWeightsAndLinesOfFullX) {
  std::mt19937_64 gen(2026);
  const double densities[] = {0.0, 0.005, 0.03, 0.1, 0.4, 1.0};
  int cases = 0;
  for (int trial = 0; trial < 36; ++trial) {
    const int N = 1 + static_cast<int>(gen() % 120), D = 1 + static_cast<int>(gen() % 90);
    const double density = densities[trial % 6];
    const std::vector<double> X = random_matrix(gen, N, D, density, trial % 3 != 0);
    std::normal_distribution<double> z(0.0, 1.0);
    std::vector<double> y(static_cast<size_t>(N));
    for (double &v : y) v = z(gen);
    const double seed = static_cast<double>(gen() % 100000);
    const double threads = static_cast<double>(1 + trial % 4);
    for (const Solver &s : solvers(gen, N)) {
      const std::string what = std::string(s.label) + ", " + std::to_string(N) + " x " + std::to_string(D) +
                               ", density " + std::to_string(density) + ", seed " + std::to_string(seed) +
                               ", threads " + std::to_string(threads);
      const mexhost::CallResult dense = call(s, mexhost::make_double(N, D, X), y, seed, threads);
      const mexhost::CallResult sparse = call(s, mexhost::make_sparse(N, D, X), y, seed, threads);
      expect_same_call(dense, sparse, what);
      if (HasFatalFailure()) return;
      ++cases;
    }
  }
  EXPECT_EQ(cases, 36 * 4);
}

// A larger problem and longer runs: the weights move through many binades and the lazy catch-up
// spans many steps.
TEST(SparseModules, LongRunsOnALargerProblem) {
  std::mt19937_64 gen(77);
  const int N = 1500, D = 400;
  const std::vector<double> X = random_matrix(gen, N, D, 0.01, true);
  std::vector<double> y(N);
  std::normal_distribution<double> z(0.0, 1.0);
  for (double &v : y) v = z(gen);
  const Solver runs[] = {{"kinkstep", {0.1, 0.003, 20000, 0, 0}, "kinkstep method 0"},
                         {"kinkstep", {0.3, 0.05, 3000, 0, 0}, "kinkstep method 0, large steps"},
                         {"kinkstep", {0.1, 0.003, 200, 1, 0}, "kinkstep method 1"},
                         {"splitavg", {0.1, 0.003, 0}, "splitavg"},
                         {"driftwalk", {0.05, 1.0, -0.55, 0.003, 50, 100, 0}, "driftwalk"}};
  for (const Solver &s : runs)
    for (double threads : {1.0, 2.0, 3.0}) {
      const std::string what = std::string(s.label) + ", threads " + std::to_string(threads);
      expect_same_call(call(s, mexhost::make_double(N, D, X), y, 5, threads),
                       call(s, mexhost::make_sparse(N, D, X), y, 5, threads), what);
      if (HasFatalFailure()) return;
    }
}

TEST(SparseModules, SparseLogicalXIsItsOnes) {
  std::mt19937_64 gen(8);
  const int N = 60, D = 25;
  std::vector<double> X = random_matrix(gen, N, D, 0.2, true);
  for (double &x : X) x = x != 0 ? 1.0 : 0.0;
  std::vector<double> y(N);
  for (size_t i = 0; i < y.size(); ++i) y[i] = std::sin(static_cast<double>(i));
  for (const Solver &s : solvers(gen, N))
    expect_same_call(call(s, mexhost::make_double(N, D, X), y, 3, 2),
                     call(s, mexhost::make_sparse_logical(N, D, X), y, 3, 2), std::string(s.label) + ", logical");
}

// A sparse y is taken as full(y) would be; only a sparse logical one is refused, as a full logical
// one is.
TEST(SparseModules, SparseYIsTakenAsFullY) {
  const std::vector<double> X{1, 0, 5, 0, 4, 6}, y{1, 0, 3};
  for (const Solver &s : {Solver{"kinkstep", {0.1, 0.5, 20, 0, 0}, ""}, Solver{"splitavg", {0.1, 0.5, 0}, ""},
                          Solver{"driftwalk", {0.1, 1, -0.5, 0.5, 2, 5, 0}, ""}}) {
    auto with_y = [&](mexhost::ArrayPtr yy) {
      Inputs in;
      in.add(mexhost::make_sparse(3, 2, X)).add(std::move(yy));
      for (double v : s.params) in.add(v);
      in.add(options(4, 1));
      return module(s.module).call(1, in.pointers());
    };
    const mexhost::CallResult full = with_y(mexhost::make_double(3, 1, y));
    const mexhost::CallResult sparse = with_y(mexhost::make_sparse(3, 1, y));
    const mexhost::CallResult row = with_y(mexhost::make_sparse(1, 3, y));
    expect_same_call(full, sparse, std::string(s.module) + ", sparse y");
    expect_same_call(full, row, std::string(s.module) + ", sparse row y");
    expect_clean_error(with_y(mexhost::make_sparse_logical(3, 1, y)), std::string(s.module) + ":invalidY");
    expect_clean_error(with_y(mexhost::make_sparse(2, 1, {1, 2})), std::string(s.module) + ":yTooShort");
  }
}

TEST(SparseModules, NonFiniteValuesAreNamedAsForFullX) {
  const double inf = std::numeric_limits<double>::infinity();
  // X(3,1) = -Inf comes first in column-major order; y(2) is NaN.
  const std::vector<double> X{1, 0, -inf, std::nan(""), 0, 0}, y{1, std::nan(""), 3};
  for (const Solver &s : {Solver{"kinkstep", {0.1, 0.5, 5, 0, 0}, ""}, Solver{"splitavg", {0.1, 0.5, 0}, ""},
                          Solver{"driftwalk", {0.1, 1, -0.5, 0.5, 2, 5, 0}, ""}}) {
    auto run = [&](mexhost::ArrayPtr x, const std::vector<double> &yy) {
      Inputs in;
      in.add(std::move(x)).add(mexhost::make_double(3, 1, yy));
      for (double v : s.params) in.add(v);
      return module(s.module).call(1, in.pointers());
    };
    const mexhost::CallResult dense = run(mexhost::make_double(3, 2, X), y);
    const mexhost::CallResult sparse = run(mexhost::make_sparse(3, 2, X), y);
    expect_clean_error(sparse, std::string(s.module) + ":nonFiniteData");
    EXPECT_EQ(sparse.error_message, dense.error_message);
    EXPECT_NE(sparse.error_message.find("X(3,1) is -Inf"), std::string::npos) << sparse.error_message;
    // X finite: y is named.
    const std::vector<double> fine{1, 0, 2, 0, 0, 3};
    const mexhost::CallResult sy = run(mexhost::make_sparse(3, 2, fine), y);
    expect_clean_error(sy, std::string(s.module) + ":nonFiniteData");
    EXPECT_EQ(sy.error_message, run(mexhost::make_double(3, 2, fine), y).error_message);
  }
}

TEST(SparseModules, ComplexAndMalformedSparseXAreRefused) {
  for (const char *name : {"kinkstep", "splitavg", "driftwalk"}) {
    const std::string m = name;
    auto run = [&](mexhost::ArrayPtr x) {
      Inputs in;
      in.add(std::move(x)).add(mexhost::make_double(3, 1, {1, 2, 3}));
      if (m == "kinkstep") in.add(0.1).add(0.5).add(5).add(0).add(0);
      if (m == "splitavg") in.add(0.1).add(0.5).add(0);
      if (m == "driftwalk") in.add(0.1).add(1).add(-0.5).add(0.5).add(2).add(5).add(0);
      return module(name).call(1, in.pointers());
    };
    const mexhost::CallResult complex = run(mexhost::ArrayPtr(mxCreateSparse(3, 2, 2, mxCOMPLEX)));
    expect_clean_error(complex, m + ":invalidX");
    EXPECT_NE(complex.error_message.find("sparse complex"), std::string::npos) << complex.error_message;
    // Rows out of order within a column, and a row beyond the matrix.
    const mexhost::CallResult unordered = run(mexhost::make_sparse(3, 2, {0, 2, 3}, {2, 0, 1}, {1, 2, 3}));
    expect_clean_error(unordered, m + ":invalidX");
    EXPECT_NE(unordered.error_message.find("increasing order"), std::string::npos) << unordered.error_message;
    expect_clean_error(run(mexhost::make_sparse(3, 2, {0, 1, 2}, {0, 7}, {1, 2})), m + ":invalidX");
  }
}

// N x D = 200 000 x 100 000 (160 GB as full doubles) with a handful of nonzeros: every solver runs,
// so nothing of size N x D is allocated anywhere on the way.
TEST(SparseModules, NothingOfSizeNTimesDIsAllocated) {
  const size_t N = 200000, D = 100000;
  std::vector<size_t> jc(D + 1, 0), ir;
  std::vector<double> pr;
  // Column j < 50 holds rows 7j and 7j + 3.
  for (size_t j = 0; j < D; ++j) {
    jc[j] = ir.size();
    if (j < 50) {
      ir.push_back(7 * j);
      ir.push_back(7 * j + 3);
      pr.push_back(1.0 + static_cast<double>(j));
      pr.push_back(-0.5);
    }
  }
  jc[D] = ir.size();
  std::vector<double> y(N, 0.0);
  for (size_t i = 0; i < 400; ++i) y[i] = std::sin(static_cast<double>(i));
  const Solver runs[] = {{"kinkstep", {0.01, 1e-3, 2000, 0, 0}, "kinkstep method 0"},
                         {"kinkstep", {0.01, 1e-3, 3, 1, 0}, "kinkstep method 1"},
                         {"splitavg", {0.01, 1e-3, 0}, "splitavg"},
                         {"driftwalk", {1e-3, 1, -0.55, 1e-3, 100, 2, 0}, "driftwalk"}};
  for (const Solver &s : runs) {
    const mexhost::CallResult r = call(s, mexhost::make_sparse(N, D, jc, ir, pr), y, 1, 2);
    ASSERT_FALSE(r.failed) << s.label << ": " << r.error_message;
    EXPECT_EQ(mexhost::values(r.output()).size(), D) << s.label;
  }
}

// Compressed rows that do not fit in the memory left: outOfMemory naming the nonzeros (not N x D),
// nothing kept. Runs in a child process whose address space is capped just above what it uses.
TEST(SparseModules, RowsThatDoNotFitAreAnOutOfMemoryError) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than the cap allows";
#endif
  // 10^7 nonzeros in 8 columns of 2.5 * 10^6 rows, every other row of each (compressed rows, not
  // full ones): 160 MB as the host holds them, 160 MB more while the rows are built.
  const size_t N = 2500000, D = 8, half = N / 2;
  std::vector<size_t> jc(D + 1), ir(half * D);
  for (size_t j = 0; j <= D; ++j) jc[j] = j * half;
  for (size_t k = 0; k < ir.size(); ++k) ir[k] = 2 * (k % half) + (k / half) % 2;
  Inputs in;
  in.add(mexhost::make_sparse(N, D, jc, ir, std::vector<double>(half * D, 1.5))).add(mexhost::make_double(N, 1));
  in.add(0.1).add(0.5).add(1).add(0).add(0);
  std::vector<size_t>().swap(ir);
  const mexhost::Module &m = module("kinkstep");
  const int status = exit_status_under_memory_cap([&] {
    const long live = mexhost::live_arrays();
    mexhost::CallResult r = m.call(1, in.pointers());
    const bool ok = r.failed && r.error_id == "kinkstep:outOfMemory" && !r.output() && mexhost::live_arrays() == live &&
                    r.error_message.find("10000000 nonzeros") != std::string::npos;
    if (!ok) std::fprintf(stderr, "%s: %s\n", r.error_id.c_str(), r.error_message.c_str());
    return ok;
  });
  ASSERT_NE(status, -2) << "no child process";
  ASSERT_NE(status, -1) << "the call crashed the process";
  EXPECT_EQ(status, 0);
}

// Ctrl-C in every phase of a sparse call (the conversion, the steps, the shuffle, the pass, the
// batches): interrupted, nothing returned or left behind.
// Method 0 steps alone but converts on the call's team where the memory lies on one node: only the
// calling thread asks the host, about its own share, so a team of two asks about half as often as
// one thread while it converts. (Where the memory lies on several nodes it converts alone.)
TEST(SparseModules, MethodZeroConvertsOnTheTeamWhereTheMemoryLiesOnOneNode) {
  std::mt19937_64 gen(32);
  const int N = 3000, D = 2000;
  const std::vector<double> X = random_matrix(gen, N, D, 0.05, false);
  const std::vector<double> y(N, 1.0);
  const Solver conversion_only{"kinkstep", {0.01, 1e-3, 0, 0, 0}, "kinkstep method 0, no steps"};
  long questions[2];
  for (int threads : {1, 2}) {
    mexhost_interrupt_after(1000000000);
    const mexhost::CallResult r = call(conversion_only, mexhost::make_sparse(N, D, X), y, 1, threads);
    questions[threads - 1] = mexhost_interrupt_checks();
    mexhost_interrupt_after(0);
    ASSERT_FALSE(r.failed) << r.error_message;
  }
  if (core::memory_on_one_node())
    EXPECT_LT(questions[1], questions[0] * 3 / 4) << questions[0] << " then " << questions[1];
  else
    EXPECT_EQ(questions[1], questions[0]);
}

TEST(SparseModules, CtrlCStopsASparseCallInEveryPhase) {
  std::mt19937_64 gen(31);
  const int N = 3000, D = 2000;
  const std::vector<double> X = random_matrix(gen, N, D, 0.02, false);
  std::vector<double> y(N, 1.0);
  const Solver runs[] = {{"kinkstep", {0.01, 1e-3, 200000, 0, 0}, "kinkstep method 0"},
                         {"kinkstep", {0.01, 1e-3, 200, 1, 0}, "kinkstep method 1"},
                         {"splitavg", {0.01, 1e-3, 0}, "splitavg"},
                         {"driftwalk", {1e-3, 1, -0.55, 1e-3, 500, 50, 0}, "driftwalk"}};
  for (const Solver &s : runs) {
    // How many questions a whole call asks, then a press at several of them.
    mexhost_interrupt_after(1000000000);
    const mexhost::CallResult whole = call(s, mexhost::make_sparse(N, D, X), y, 1, 2);
    const long questions = mexhost_interrupt_checks();
    mexhost_interrupt_after(0);
    ASSERT_FALSE(whole.failed) << s.label << ": " << whole.error_message;
    ASSERT_GE(questions, 2) << s.label;
    for (long k : {1L, 2L, questions / 2, questions}) {
      const mexhost::CallResult r = pressed_at(k, [&] { return call(s, mexhost::make_sparse(N, D, X), y, 1, 2); });
      expect_clean_error(r, std::string(s.module) + ":interrupted");
    }
  }
}

// A tall X is hundreds of millions of rows however few its entries: the conversion's passes over
// the rows (their starts, the labels, the blocks of rows) and the buffers of an order or a
// permutation ask the host as they go, sparse and full alike, so that a press is answered within
// a fraction of a second. Here a question per 2^16 rows of two passes at least, and a press at
// several of them ends the call cleanly.
TEST(SparseModules, ATallXIsAskedAboutAllTheWay) {
  const int N = 1 << 21;
  const long stretches = N >> 16;
  const std::vector<double> y(N, 1.0);
  const Solver runs[] = {{"kinkstep", {0.01, 1e-3, 10, 0, 0}, "kinkstep method 0"},
                         {"splitavg", {0.01, 1e-3, 0}, "splitavg"},
                         {"driftwalk", {1e-3, 1, 0, 0, 1, 1, 0}, "driftwalk"}};
  for (const Solver &s : runs)
    for (bool sparse : {true, false}) {
      const std::string what = std::string(s.label) + (sparse ? ", sparse X" : ", full X");
      const auto X = [&] {
        return sparse ? mexhost::make_sparse(N, 3) : mexhost::make_double(N, 1, std::vector<double>(N, 0.5));
      };
      mexhost_interrupt_after(1000000000);
      const mexhost::CallResult whole = call(s, X(), y, 1, 2);
      const long questions = mexhost_interrupt_checks();
      mexhost_interrupt_after(0);
      ASSERT_FALSE(whole.failed) << what << ": " << whole.error_message;
      EXPECT_GE(questions, 2 * stretches) << what;
      for (long k : {questions / 4, questions / 2, questions * 3 / 4}) {
        const mexhost::CallResult r = pressed_at(k, [&] { return call(s, X(), y, 1, 2); });
        expect_clean_error(r, std::string(s.module) + ":interrupted");
      }
    }
}

}  // namespace
