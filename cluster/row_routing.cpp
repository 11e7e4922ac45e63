#include "cluster/row_routing.hpp"

#include <algorithm>
#include <stdexcept>

#include "splitavg/split_average.hpp"

namespace cluster {

std::vector<int32_t> hold_offsets(int32_t N, int32_t P, int32_t t) {
  const int32_t T = P * t;
  std::vector<int32_t> h(static_cast<size_t>(P) + 1);
  for (int32_t q = 0; q < P; ++q) h[static_cast<size_t>(q)] = splitavg::chunk_bounds(N, T, q * t).start;
  h[static_cast<size_t>(P)] = N;
  return h;
}

int owner_of(const std::vector<int32_t> &offsets, int32_t k) {
  // The last process whose first position is at most k (empty processes share their offset).
  return static_cast<int>(std::upper_bound(offsets.begin(), offsets.end() - 1, k) - offsets.begin()) - 1;
}

void pack_rows(const std::vector<int32_t> &perm, const std::vector<int32_t> &hold, int32_t first,
               const core::RegressionData &block, RowBuffer &out, std::vector<int> &counts) {
  const int P = static_cast<int>(hold.size()) - 1;
  const size_t D = static_cast<size_t>(block.D), stride = D + 1, rows = static_cast<size_t>(block.N);
  counts.assign(static_cast<size_t>(P), 0);
  out.resize(rows * stride);
  double *dst = out.data();
  int q = 0;
  const int32_t N = static_cast<int32_t>(perm.size());
  for (int32_t k = 0; k < N; ++k) {
    const int64_t i = static_cast<int64_t>(perm[static_cast<size_t>(k)]) - first;
    if (i < 0 || i >= block.N) continue;
    while (k >= hold[static_cast<size_t>(q) + 1]) ++q;
    const double *row = block.row(static_cast<int32_t>(i));
    std::copy(row, row + D, dst);
    dst[D] = block.labels[static_cast<size_t>(i)];
    dst += stride;
    ++counts[static_cast<size_t>(q)];
  }
  if (dst != out.data() + out.size()) throw std::logic_error("pack_rows: the permutation does not cover the block");
}

core::RegressionData arrange_rows(const std::vector<int32_t> &perm, const std::vector<int32_t> &hold, int q,
                                  const std::vector<int32_t> &read, RowBuffer &&received,
                                  const std::vector<int> &counts, int32_t D) {
  const RowBuffer arrived = std::move(received);  // released when the rows are in place
  const size_t stride = static_cast<size_t>(D) + 1;
  const int32_t first = hold[static_cast<size_t>(q)], last = hold[static_cast<size_t>(q) + 1];
  std::vector<size_t> next(counts.size());  // the next unused row from each process
  size_t at = 0;
  for (size_t r = 0; r < counts.size(); ++r) {
    next[r] = at;
    at += static_cast<size_t>(counts[r]);
  }
  if (at * stride != arrived.size() || at != static_cast<size_t>(last - first))
    throw std::logic_error("arrange_rows: the counts do not match the rows");
  core::RegressionData data;
  data.N = last - first;
  data.D = D;
  data.features.resize(static_cast<size_t>(data.N) * static_cast<size_t>(D));
  data.labels.resize(static_cast<size_t>(data.N));
  for (int32_t k = first; k < last; ++k) {
    const int r = owner_of(read, perm[static_cast<size_t>(k)]);
    const double *row = arrived.data() + next[static_cast<size_t>(r)]++ * stride;
    std::copy(row, row + D, data.row(k - first));
    data.labels[static_cast<size_t>(k - first)] = row[D];
  }
  return data;
}

}  // namespace cluster
