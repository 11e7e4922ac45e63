// Where each sample goes after the shuffle, without MPI: which process holds which positions, the
// rows a process sends to each other process in the order they are needed, and the local samples
// the received rows are arranged into. The exchange itself (one MPI_Alltoallv) is in mpi_samples.cpp.
#pragma once

#include <cstdint>
#include <vector>

#include "cluster/mat_input.hpp"
#include "core/regression_data.hpp"

namespace cluster {

// Rows travel with their label: D features then the label.
using RowBuffer = decltype(core::RegressionData::features);

// H[q] = the first position of the shuffled order that process q holds, H[P] = N: process q holds
// the shares q*t .. q*t + t - 1 of T = P*t (chunk_bounds), that is positions H[q] .. H[q+1] - 1.
std::vector<int32_t> hold_offsets(int32_t N, int32_t P, int32_t t);

// The process whose positions include k.
int owner_of(const std::vector<int32_t> &offsets, int32_t k);

// The rows of `block` (samples first .. first + block.N - 1 of the caller's order, as rows: the
// module's own conversion of a read block) packed as D + 1 doubles each, features then label, in
// increasing position k of the permutation; as positions grow so do their owners, so the rows for
// each process come out together, in process order. counts[q] = rows for process q.
void pack_rows(const std::vector<int32_t> &perm, const std::vector<int32_t> &hold, int32_t first,
               const core::RegressionData &block, RowBuffer &out, std::vector<int> &counts);

// The positions hold[q] .. hold[q+1] - 1 as a RegressionData, from `received` (rows of D + 1
// doubles, from each process in process order, counts[r] from process r), which it takes and
// releases: row k is a copy of the row that sample perm[hold[q] + k] arrived in, the rows back to
// back. At its peak a process holds its rows twice, as during the exchange. read[r] .. read[r+1] - 1
// are the samples that process r read.
core::RegressionData arrange_rows(const std::vector<int32_t> &perm, const std::vector<int32_t> &hold, int q,
                                  const std::vector<int32_t> &read, RowBuffer &&received,
                                  const std::vector<int> &counts, int32_t D);

}  // namespace cluster
