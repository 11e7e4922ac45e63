// A problem in both row layouts (full rows, and the same values as compressed sparse rows with
// zeros among the features), and a comparison of doubles to the bit: what the tests that hold the
// tuned solvers to their plain loops share.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "core/data/regression_data.hpp"
#include "core/sparse/sparse_rows.hpp"

namespace {

// A problem with zeros among the features (so that the sparse rows skip some), in both layouts: a
// cell is zero where a draw uniform in [-0.5, 1.5) falls below `zero_below` (15 % of them by
// default).
struct Problem {
  core::RegressionData dense;
  core::SparseRows sparse;
};

inline Problem problem(int32_t N, int32_t D, uint64_t seed, double zero_below = -0.2) {
  const size_t n = static_cast<size_t>(N), d = static_cast<size_t>(D);
  std::vector<double> X(n * d), y(n);
  uint64_t s = seed;
  auto next = [&s] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(s >> 11) * 0x1p-52 - 0.5;
  };
  for (double &v : X) v = next() < zero_below ? 0.0 : next();
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

// Two weight vectors (a solver's core::WeightVector or a plain std::vector) bit for bit.
template <typename A, typename B>
::testing::AssertionResult same_bits(const A &a, const B &b) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
  for (size_t k = 0; k < a.size(); ++k)
    if (std::memcmp(&a[k], &b[k], sizeof(double)) != 0)
      return ::testing::AssertionFailure() << "w(" << k + 1 << ") " << a[k] << " against " << b[k];
  return ::testing::AssertionSuccess();
}

}  // namespace
