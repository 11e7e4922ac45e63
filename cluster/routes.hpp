// Where each sample goes after the shuffle. Every process draws the same permutation of all N
// samples; process q holds the positions of its shares (q*t .. q*t + t - 1 of P*t), and the rows a
// process read are written straight to their place: into its own rows where it holds the position,
// else into a send buffer, in the order the holder needs them (row_exchange moves those).
#pragma once

#include <cstdint>
#include <vector>

#include "cluster/mat_input.hpp"
#include "core/data/large_allocator.hpp"
#include "core/data/regression_data.hpp"

namespace cluster {

// H[q] = the first position of the shuffled order that process q holds, H[P] = N: process q holds
// the shares q*t .. q*t + t - 1 of T = P*t (chunk_bounds), that is positions H[q] .. H[q+1] - 1.
std::vector<int32_t> hold_offsets(int32_t N, int32_t P, int32_t t);

// The process whose positions include k.
int owner_of(const std::vector<int32_t> &offsets, int32_t k);

// The routes of one process's rows, from the permutation (position k holds sample perm[k]).
struct Routes {
  int me = 0;
  std::vector<int32_t> hold;  // hold_offsets
  // For sample read[me] + i of this process's block: >= 0, its place among the positions this
  // process holds (position hold[me] + dest[i]); < 0, ~slot in the send buffer, where the rows for
  // process q take slots send_first[q] .. send_first[q] + send_count[q] - 1, in position order.
  std::vector<int64_t> dest;
  std::vector<int64_t> send_first, send_count;
  int64_t sent_rows = 0;
  // For every position this process holds (in order): the process that read its sample.
  std::vector<int32_t> from;
  int32_t held() const { return hold[static_cast<size_t>(me) + 1] - hold[static_cast<size_t>(me)]; }
};

// perm: the permutation of all N samples; read: P + 1 offsets (process r read the samples read[r]
// .. read[r+1] - 1); t threads per process. Throws std::bad_alloc.
Routes plan_routes(const std::vector<int32_t> &perm, const std::vector<int32_t> &read, int me, int P, int32_t t);

// Rows of D features and their labels on their way: the rows this process holds (in position
// order) and those it sends (in slot order).
struct DenseRoutes {
  core::RegressionData held;
  std::vector<double, core::LargeArrayAllocator<double>> sent_rows;
  std::vector<double> sent_labels;
  RowTargets targets(const Routes &r);
};

// The labels of a sparse block on their way (its nonzeros follow, see exchange_sparse).
struct SparseLabels {
  std::vector<double> held;
  std::vector<double> sent;
  RowTargets targets(const Routes &r);
};

}  // namespace cluster
