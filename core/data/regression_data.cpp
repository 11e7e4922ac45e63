#include "core/data/regression_data.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "core/data/finite_bits.hpp"
#include "core/kernels/kernels.hpp"
#include "core/threads/busy.hpp"
#include "core/threads/shares.hpp"
#include "core/threads/team.hpp"
#include "core/threads/team_limits.hpp"

namespace core {

namespace {

std::string describe_non_finite(bool in_labels, std::size_t row, std::size_t column, double value) {
  char text[160];
  const char *what = std::isnan(value) ? "NaN" : value > 0 ? "Inf" : "-Inf";
  if (in_labels)
    std::snprintf(text, sizeof text, "y(%zu) is %s", row, what);
  else
    std::snprintf(text, sizeof text, "X(%zu,%zu) is %s", row, column, what);
  return text;
}

// Only once a copy has seen a non-finite value: the first one in column-major order.
template <typename Real>
[[noreturn]] void throw_first_non_finite(const Real *values, std::size_t count, std::size_t rows, bool in_labels) {
  for (std::size_t k = 0; k < count; ++k) {
    const double v = static_cast<double>(values[k]);
    if (difference_bits(v) != 0) throw NonFiniteValue(in_labels, k % rows + 1, k / rows + 1, v);
  }
  throw std::logic_error("a non-finite value was seen but not found again");
}

}  // namespace

NonFiniteValue::NonFiniteValue(bool in_labels_, std::size_t row_, std::size_t column_, double value_)
    : std::runtime_error(describe_non_finite(in_labels_, row_, column_, value_)),
      in_labels(in_labels_),
      row(row_),
      column(column_),
      value(value_) {}

namespace {

// Source rows [first, last) of X copied into their rows, in tiles of 128 samples by 16 features:
// each tile reads 16 column runs of 1 KB, few enough streams for the hardware prefetcher, and
// writes 128 row pieces of 128 bytes. `destination` maps a sample to its row (null: itself).
// Returns the OR of difference_bits over the values copied (nonzero once one was not finite);
// `go(work)` is asked between blocks of rows and ends the copy when it says no.
template <typename XReal, typename Go>
uint64_t copy_rows(const XReal *X, size_t n, size_t d, const int32_t *destination, double *out, size_t first,
                   size_t last, Go &&go) {
  constexpr size_t kTileRows = 128, kTileColumns = 16;
  [[maybe_unused]] const auto copy = kernels().transpose.copy;
  uint64_t non_finite = 0;
  double *rows[kTileRows];
  for (size_t i0 = first; i0 < last; i0 += kTileRows) {
    if (!go(kTileRows * (d + 1))) break;
    const size_t i1 = std::min(last, i0 + kTileRows);
    for (size_t i = i0; i < i1; ++i) rows[i - i0] = out + (destination ? static_cast<size_t>(destination[i]) : i) * d;
    for (size_t j0 = 0; j0 < d; j0 += kTileColumns) {
      const size_t j1 = std::min(d, j0 + kTileColumns);
      if constexpr (std::is_same_v<XReal, double>) {
        non_finite |= copy(X, n, i0, i1, j0, j1, rows);
      } else {
        for (size_t j = j0; j < j1; ++j) {
          // Single data: the copy alone is cheap enough that the subtraction would show, but an
          // exponent test on the 32-bit source run just copied (in L1) runs four lanes wide.
          const XReal *column = X + j * n;
          for (size_t i = i0; i < i1; ++i) rows[i - i0][j] = static_cast<double>(column[i]);
          uint32_t special = 0;
          for (size_t i = i0; i < i1; ++i) {
            uint32_t bits;
            std::memcpy(&bits, &column[i], sizeof bits);
            special |= (bits & 0x7f800000u) == 0x7f800000u;
          }
          non_finite |= special;
        }
      }
    }
  }
  return non_finite;
}

// A write to every page of [begin, end): the page is then this thread's first touch, whoever
// writes the rows in it later. Fresh pages cost the system a fault each, a second for a gigabyte:
// `go(work)` is asked every 2^16 doubles, and false from it ends the touching.
template <typename Go>
void touch_pages(double *begin, double *end, Go go) {
  constexpr size_t kPageDoubles = 4096 / sizeof(double), kStretch = size_t{1} << 16;
  for (double *stretch = begin; stretch < end; stretch += kStretch) {
    if (!go(kStretch)) return;
    double *const stretch_end = end - stretch > static_cast<std::ptrdiff_t>(kStretch) ? stretch + kStretch : end;
    for (double *p = stretch; p < stretch_end; p += kPageDoubles) *p = 0.0;
  }
}

// A permutation p (row k holds sample p[k]) turned into its inverse (sample s goes to row p[s])
// in place, cycle by cycle: an entry is complemented once written, and all are restored at the end.
// A cycle can hold most of a tall X's samples, each step a miss in the cache: `stop` is asked as the
// steps add up, and false returned (p unfinished) once it says stop.
bool invert_in_place(int32_t *p, size_t n, const StopCheck *stop) {
  constexpr uint64_t kStepsPerQuestion = uint64_t{1} << 12;
  uint64_t steps = 0;
  for (size_t i = 0; i < n; ++i) {
    if (stop && (++steps % kStepsPerQuestion) == 0 && stop->poll(kStepsPerQuestion)) return false;
    if (p[i] < 0) continue;
    const int32_t start = static_cast<int32_t>(i);
    int32_t previous = start, current = p[i];
    while (current != start) {
      const int32_t next = p[current];
      p[current] = ~previous;
      previous = current;
      current = next;
      if (stop && (++steps % kStepsPerQuestion) == 0 && stop->poll(kStepsPerQuestion)) return false;
    }
    p[i] = ~previous;
  }
  for (size_t i = 0; i < n; ++i) p[i] = ~p[i];
  return true;
}

}  // namespace

int32_t conversion_team(int32_t threads, int32_t N, size_t values, int32_t most, bool keep_to_free) {
  constexpr size_t kTeamFrom = size_t{1} << 16;
  int64_t asked = std::min<int64_t>(threads > 0 ? threads : omp_get_max_threads(), most);
  if (asked <= 1 || N < 2 || values < kTeamFrom) return 1;
  // A share on a processor busy with another process's work would hold the whole conversion back.
  if (threads <= 0 && keep_to_free) asked = std::min<int64_t>(asked, free_processors());
  if (asked <= 1) return 1;
  const int64_t granted = std::min<int64_t>(team_size_granted(asked), N);
  if (granted <= 1 || !team_size_problem(granted, "opts.threads").empty()) return 1;
  return static_cast<int32_t>(granted);
}

int32_t full_rows_team(int32_t threads, int32_t N, size_t values) {
  return conversion_team(threads, N, values, INT32_MAX, memory_on_one_node());
}

template <typename XReal, typename YReal>
void write_rows(RegressionData &data, const XReal *X, const YReal *y, const StopCheck *stop,
                const RowPlacement &placement) {
  const int32_t N = data.N;
  const size_t n = static_cast<size_t>(N), d = static_cast<size_t>(data.D);
  // With an order, the labels are taken first; the order then becomes, in place, the row each
  // sample goes to (X is read in its own order), and a NaN or an infinity in y is named only once
  // X is known to hold none.
  int32_t *const order = placement.order;
  uint64_t label_bits = 0;
  if (order) {
    for (size_t k = 0; k < n; ++k) {
      if (stop && (k & 0xFFFF) == 0xFFFF && stop->poll(0x10000)) return;
      const double v = static_cast<double>(y[static_cast<size_t>(order[k])]);
      data.labels[k] = v;
      label_bits |= difference_bits(v);
    }
    if (!invert_in_place(order, n, stop)) return;
  }
  double *const out = data.features.data();
  const int32_t team = full_rows_team(placement.threads, N, n * d);
  std::atomic<bool> stopped{false};
  uint64_t non_finite = 0;  // nonzero once a NaN or an infinity was copied
  int32_t started = 1;
#pragma omp parallel num_threads(team) if (team > 1) reduction(| : non_finite)
  {
    const int32_t T = omp_get_num_threads(), t = omp_get_thread_num();
    if (t == 0) started = T;
    const Share block = chunk_bounds(N, T, t);
    const size_t first = static_cast<size_t>(block.start), last = static_cast<size_t>(block.end + 1);
    // Only the calling thread (thread 0) asks the host; the others follow its answer.
    const auto go = [&](uint64_t work) {
      if (t == 0 && stop && stop->poll(work)) stopped.store(true, std::memory_order_relaxed);
      return !stopped.load(std::memory_order_relaxed);
    };
    if (order && T > 1) {
      // The samples of this thread's block go to rows all over the block of rows; the pages of
      // the rows this thread's share will read are touched by this thread first.
      touch_pages(out + first * d, out + last * d, go);
#pragma omp barrier
    }
    non_finite |= copy_rows(X, n, d, order, out, first, last, go);
  }
  note_team_started(started);  // its threads stay in the runtime's pool for later teams
  if (stopped.load()) return;
  if (non_finite) throw_first_non_finite(X, n * d, n, false);
  if (!order) {
    // In stretches, asking the host between them: a tall X's labels are a pass of their own.
    constexpr size_t kLabelsPerQuestion = size_t{1} << 16;
    for (size_t first = 0; first < n; first += kLabelsPerQuestion) {
      const size_t last = std::min(n, first + kLabelsPerQuestion);
      if (stop && stop->poll(last - first)) return;
      for (size_t k = first; k < last; ++k) {
        const double v = static_cast<double>(y[k]);
        data.labels[k] = v;
        label_bits |= difference_bits(v);
      }
    }
  }
  if (label_bits) throw_first_non_finite(y, n, n, true);
}

template <typename XReal, typename YReal>
RegressionData make_regression_data(const XReal *X, int32_t N, int32_t D, const YReal *y, const StopCheck *stop,
                                    const RowPlacement &placement) {
  RegressionData data;
  data.N = N;
  data.D = D;
  data.features.resize(static_cast<size_t>(N) * static_cast<size_t>(D));
  if (!resize_asking(data.labels, static_cast<size_t>(N), stop)) return data;
  write_rows(data, X, y, stop, placement);
  return data;
}

template RegressionData make_regression_data(const double *, int32_t, int32_t, const double *, const StopCheck *,
                                             const RowPlacement &);
template RegressionData make_regression_data(const float *, int32_t, int32_t, const float *, const StopCheck *,
                                             const RowPlacement &);
template RegressionData make_regression_data(const float *, int32_t, int32_t, const double *, const StopCheck *,
                                             const RowPlacement &);
template RegressionData make_regression_data(const double *, int32_t, int32_t, const float *, const StopCheck *,
                                             const RowPlacement &);

template void write_rows(RegressionData &, const double *, const double *, const StopCheck *, const RowPlacement &);
template void write_rows(RegressionData &, const float *, const float *, const StopCheck *, const RowPlacement &);
template void write_rows(RegressionData &, const float *, const double *, const StopCheck *, const RowPlacement &);
template void write_rows(RegressionData &, const double *, const float *, const StopCheck *, const RowPlacement &);

}  // namespace core
