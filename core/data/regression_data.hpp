// The problem as every solver sees it: N samples of D features, each sample one contiguous row.
//
// RegressionData is one of the two row layouts the solvers are templates on (core::SparseRows,
// compressed sparse rows, is the other). A layout has public N and D and
//   double label(int32_t i) const                   y_i
//   double dot(int32_t i, const double *w) const    x_i . w, in index order on one accumulator
//   void prefetch(int32_t i) const                  a hint that sample i comes soon
// and, as free functions overloaded on it, the kernels that walk a sample's features
// (core/kernels/dense_steps.hpp, core/kernels/sparse_steps.hpp). Every kernel's result is defined
// to the last bit by the plain loops; a faster version (wider vectors, a lazy catch-up) must give
// the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "core/data/cache_hint.hpp"
#include "core/data/large_allocator.hpp"
#include "core/run/stop_check.hpp"

namespace core {

struct RegressionData {
  int32_t N = 0;
  int32_t D = 0;
  std::vector<double> labels;
  // Sample i's D features are features[i * D .. i * D + D - 1]: the rows lie back to back in one
  // block, so no table of row pointers is needed (a reorder moves the rows themselves).
  std::vector<double, LargeArrayAllocator<double>> features;

  const double *row(int32_t i) const {
    return features.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(D);
  }
  double *row(int32_t i) { return features.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(D); }

  // The row layout.
  double label(int32_t i) const { return labels[static_cast<std::size_t>(i)]; }
  double dot(int32_t i, const double *w) const {
    const double *x = row(i);
    double s = 0.0;
    for (int32_t k = 0; k < D; ++k) s = s + x[k] * w[k];
    return s;
  }
  // The row's every cache line (the last one too when the row starts late in its first line) and
  // its label, which the residual needs as soon as the dot product is summed.
  void prefetch(int32_t i) const {
    core::fetch_line(labels.data() + i);
    if (D <= 0) return;
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(row(i) + D) - 1;
    for (std::uintptr_t line = reinterpret_cast<std::uintptr_t>(row(i)) & ~std::uintptr_t{63}; line <= last; line += 64)
      core::fetch_line(reinterpret_cast<const void *>(line));
  }
};

// A NaN or an infinity in X or y: no solver can give an answer from such data. Names the first
// one in MATLAB's terms (1-based, X in column-major order, X before y).
class NonFiniteValue : public std::runtime_error {
 public:
  NonFiniteValue(bool in_labels, std::size_t row, std::size_t column, double value);
  bool in_labels;      // y rather than X
  std::size_t row;     // 1-based
  std::size_t column;  // 1-based (1 for y)
  double value;        // NaN, Inf or -Inf
};

// Where the rows go and who writes them.
struct RowPlacement {
  // When set, a permutation of 0..N-1: row k holds sample order[k] and label k is y[order[k]] (a
  // shuffle done while converting: no second pass moves the rows). Otherwise row i is sample i.
  // The conversion reuses its entries: afterwards order[s] is the row sample s went to.
  int32_t *order = nullptr;
  // The team that writes the rows, 0 for the OpenMP default size (fewer when the process cannot
  // start that many, one for small problems; the rows are the same whatever the team). Thread t
  // writes the rows of chunk_bounds(N, threads, t), the positions the t-th share of a pass works
  // on, so that their pages are first touched by the thread that will read them. Only the calling
  // thread asks `stop`.
  int32_t threads = 1;
};

// The team a conversion of `values` entries into N rows runs on: `threads` (0 for the OpenMP
// default; with keep_to_free, the default held to the processors free of other work), at most
// `most`, or one thread where the process cannot start that many (the rows do not depend on it, so
// a smaller team is no error here). Small problems stay on the calling thread: starting a team
// would cost more than it saves.
int32_t conversion_team(int32_t threads, int32_t N, std::size_t values, int32_t most = INT32_MAX,
                        bool keep_to_free = false);

// The team that writes full rows. Where memory lies on several nodes it keeps the default whole:
// its thread t writes the pages a pass's share t will read (RowPlacement). On one node, where who
// writes a page makes no difference, it keeps to the free processors as a sparse X's does: a team
// that shares a processor with a busy job waits there, and its idle worker then spins beside the
// call's own thread (method 1 and driftwalk on one thread took 1.6-1.9 times as long).
int32_t full_rows_team(int32_t threads, int32_t N, std::size_t values);

// `values` (empty) made n zeros in stretches, asking `stop` between them: the labels of a tall X,
// or an order of its samples, are hundreds of megabytes, which take a good part of a second to
// clear. False once it says stop (fewer values are there then).
template <typename T>
bool resize_asking(std::vector<T> &values, std::size_t n, const StopCheck *stop) {
  constexpr std::size_t kStretch = std::size_t{1} << 16;
  values.reserve(n);
  while (values.size() < n) {
    const std::size_t next = n - values.size() > kStretch ? values.size() + kStretch : n;
    if (stop && stop->poll(next - values.size())) return false;
    values.resize(next);
  }
  return true;
}

// Builds the rows from X in column-major order (row[i][j] = X[i + j*N]) and copies the first N
// labels of y. Throws std::bad_alloc (or std::length_error) when the rows do not fit in memory,
// and NonFiniteValue when X or y holds a NaN or an infinity (found while the values are copied;
// the first one in X's column-major order is named, whatever the placement). X and y may each be
// double or single precision; single values convert to double exactly. With `stop`, the
// conversion asks it between blocks of rows and ends early (rows unfinished) once it says stop.
template <typename XReal, typename YReal>
RegressionData make_regression_data(const XReal *X, int32_t N, int32_t D, const YReal *y,
                                    const StopCheck *stop = nullptr, const RowPlacement &placement = {});

// The same conversion into `data` as it stands: N, D, N x D features and N labels already there
// (a benchmark times the copy apart from the first touch of fresh memory this way).
template <typename XReal, typename YReal>
void write_rows(RegressionData &data, const XReal *X, const YReal *y, const StopCheck *stop = nullptr,
                const RowPlacement &placement = {});

inline RegressionData make_regression_data(const double *X, int32_t N, int32_t D, const double *y,
                                           const StopCheck *stop = nullptr, const RowPlacement &placement = {}) {
  return make_regression_data<double, double>(X, N, D, y, stop, placement);
}

// The weights a solver returns: D doubles (a large vector lives in huge pages, as the rows do: on
// 4 KB pages its first write alone took 20 ms at D = 10^6).
using WeightVector = std::vector<double, LargeArrayAllocator<double>>;

}  // namespace core
