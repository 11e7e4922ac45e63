// The problem with a sparse X: each sample is the list of its nonzero features, in increasing
// column order (compressed sparse rows). 12 bytes per nonzero (a 32-bit column and a double) and
// 8 per sample for the row offsets; nothing of size N * D.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/data/cache_hint.hpp"
#include "core/data/large_allocator.hpp"
#include "core/data/regression_data.hpp"
#include "core/run/stop_check.hpp"

namespace core {

// One sample's nonzeros: columns[k] increases with k.
struct SparseRow {
  const int32_t *columns;
  const double *values;
  int64_t count;
};

struct SparseRows {
  int32_t N = 0;
  int32_t D = 0;
  std::vector<double> labels;
  // Row i holds entries offsets[i] .. offsets[i + 1] - 1 of columns and values.
  std::vector<int64_t, LargeArrayAllocator<int64_t>> offsets;
  std::vector<int32_t, LargeArrayAllocator<int32_t>> columns;
  std::vector<double, LargeArrayAllocator<double>> values;

  // When not empty, sample i is stored row order[i]: a shuffle reorders the samples through it
  // instead of moving rows of different lengths around (the labels move themselves).
  std::vector<int32_t> order;

  int64_t nonzeros() const { return offsets.empty() ? 0 : offsets.back(); }
  SparseRow row(int32_t i) const {
    const size_t r = order.empty() ? static_cast<size_t>(i) : static_cast<size_t>(order[static_cast<size_t>(i)]);
    const int64_t begin = offsets[r], end = offsets[r + 1];
    return {columns.data() + begin, values.data() + begin, end - begin};
  }

  // The row layout (see core/data/regression_data.hpp): the solvers take SparseRows as they take
  // RegressionData.
  double label(int32_t i) const { return labels[static_cast<size_t>(i)]; }
  // x_i . w over the row's nonzeros in column order: the bits of the dense dot product while w is
  // finite (a skipped term 0 * w_j is +-0 and the sum starts at +0).
  double dot(int32_t i, const double *w) const {
    const SparseRow x = row(i);
    double s = 0.0;
    for (int64_t k = 0; k < x.count; ++k) s = s + x.values[k] * w[x.columns[k]];
    return s;
  }
  void prefetch(int32_t i) const {
    const size_t r = order.empty() ? static_cast<size_t>(i) : static_cast<size_t>(order[static_cast<size_t>(i)]);
    core::fetch_line(offsets.data() + r);
  }
};

// A sparse step reads three things that depend on one another: the row's offsets, the row, and the
// features it touches. Each is asked for early enough that the misses of several steps overlap, and
// late enough that what it depends on has come (measured on the touched-only loop of
// bench/stochl1_bench sparse: rows 8-16 steps ahead, weights 2-4). At step k, of the samples drawn
// into the ring (step t's is ring[t % ring_size], ring_size > kOffsetsAhead): step k + kOffsetsAhead's
// row offsets and label, step k + kRowAhead's row, and step k + features_ahead's features, through
// fetch_features(row). Only steps before `steps` (0 <= k < steps) are asked for; the distances are
// compared with the steps left, so that no sum passes 2^31 - 1.
struct SparseFetchAhead {
  static constexpr int32_t kOffsetsAhead = 16, kRowAhead = 8;
  template <typename FetchFeatures>
  static void look_ahead(const SparseRows &rows, const int32_t *ring, int32_t ring_size, int32_t k, int32_t steps,
                         int32_t features_ahead, FetchFeatures fetch_features) {
    const int32_t left = steps - k;
    if (kOffsetsAhead < left) {
      const int32_t i = ring[(k + kOffsetsAhead) % ring_size];
      rows.prefetch(i);
      core::fetch_line(rows.labels.data() + i);
    }
    if (kRowAhead < left) {
      const SparseRow x = rows.row(ring[(k + kRowAhead) % ring_size]);
      core::fetch_lines(x.columns, x.columns + x.count);
      core::fetch_lines(x.values, x.values + x.count);
    }
    if (features_ahead < left) fetch_features(rows.row(ring[(k + features_ahead) % ring_size]));
  }
};

// Compressed columns that do not describe a matrix: column starts that decrease or end beyond the
// stored entries, a row index outside the matrix, or row indices of a column out of order or
// repeated (a host's sparse arrays never are; a module could be handed one made by hand).
class MalformedSparse : public std::runtime_error {
 public:
  explicit MalformedSparse(const std::string &what, bool in_labels_ = false)
      : std::runtime_error(what), in_labels(in_labels_) {}
  bool in_labels;  // y rather than X
};

// Builds the rows from compressed columns as MATLAB and Octave hand them over: column j's entries
// are jc[j] .. jc[j + 1] - 1 of ir (their rows, increasing) and pr (their values); capacity is the
// number of entries the arrays hold. A counting pass over the row indices, a pass that places every
// entry into its block of rows, and a sort of each block into its rows in cache: O(N + D + nnz), no
// dense intermediate. Copies the first N labels of y. Throws
// NonFiniteValue naming the first NaN or infinity (X in column-major order, then y), as the dense
// conversion does, MalformedSparse for a malformed X, std::bad_alloc when it does not fit. With
// `stop`, asks it as the columns pass and as the blocks are sorted, and ends early (rows
// unfinished) once it says stop.
// `threads`: the team that converts, as core::conversion_team takes it (at most 8 threads are
// used); the rows and the errors are the same whatever the team, and only the calling thread asks
// `stop`. Index: the host's mwIndex (size_t or int64_t); Value: double, or the host's mxLogical
// (bool or unsigned char) for a sparse logical X.
template <typename Index, typename Value, typename YReal>
SparseRows make_sparse_rows(const Index *jc, const Index *ir, const Value *pr, size_t capacity, int32_t N, int32_t D,
                            const YReal *y, const StopCheck *stop = nullptr, int32_t threads = 1);

// Whether compressed columns store at least two thirds of the N x D cells: then full rows take no
// more memory than compressed ones (8 bytes a cell against 12 a nonzero) and the dense steps, which
// give the same bits, run faster.
template <typename Index>
bool fills_densely(const Index *jc, size_t capacity, int32_t N, int32_t D);

// Full rows (RegressionData, row i sample i) from compressed columns, with the checks, the errors
// and the stop of make_sparse_rows: the same problem as the compressed rows, in the dense layout.
template <typename Index, typename Value, typename YReal>
RegressionData make_dense_rows(const Index *jc, const Index *ir, const Value *pr, size_t capacity, int32_t N, int32_t D,
                               const YReal *y, const StopCheck *stop = nullptr);

// The first n values of a sparse column-major array (rows x columns, compressed columns jc, ir,
// pr) in column-major order, zeros included: a label vector held as a sparse array. Throws
// MalformedSparse as above and NonFiniteValue for the first NaN or infinity among them. With
// `stop`, asks it as the zeros are laid down and ends early (fewer values) once it says stop.
template <typename Index, typename Value>
std::vector<double> sparse_leading_values(const Index *jc, const Index *ir, const Value *pr, size_t capacity,
                                          size_t rows, size_t columns, size_t n, const StopCheck *stop = nullptr);

}  // namespace core
