#include "core/sparse_rows.hpp"

#include <cstring>
#include <string>

namespace core {

namespace {

// As in the dense conversion: v - v is +0 exactly when v is finite.
inline uint64_t difference_bits(double v) {
  const double z = v - v;
  uint64_t bits;
  std::memcpy(&bits, &z, sizeof bits);
  return bits;
}

template <typename Index>
uint64_t as_count(Index v) {
  return static_cast<uint64_t>(v);  // a negative signed index becomes huge and fails the checks
}

// Checks the column starts: jc[0] = 0, never decreasing, ending within the stored entries.
// Returns the number of entries.
template <typename Index>
uint64_t checked_entries(const Index *jc, size_t columns, size_t capacity) {
  if (as_count(jc[0]) != 0) throw MalformedSparse("its first column does not start at entry 0");
  for (size_t j = 0; j < columns; ++j)
    if (as_count(jc[j + 1]) < as_count(jc[j]))
      throw MalformedSparse("the start of column " + std::to_string(j + 2) + " comes before that of column " +
                            std::to_string(j + 1));
  const uint64_t entries = as_count(jc[columns]);
  if (entries > capacity)
    throw MalformedSparse("its columns end at entry " + std::to_string(entries) + " but it holds only " +
                          std::to_string(capacity));
  return entries;
}

[[noreturn]] void throw_bad_row(size_t column, uint64_t row, uint64_t previous, size_t rows) {
  if (row >= rows)
    throw MalformedSparse("column " + std::to_string(column + 1) + " has an entry in row " +
                          std::to_string(row + 1) + " of " + std::to_string(rows));
  throw MalformedSparse("the rows of column " + std::to_string(column + 1) + " are not in increasing order (" +
                        std::to_string(previous + 1) + " then " + std::to_string(row + 1) + ")");
}

template <typename Value>
inline double value_of(Value v) {
  return static_cast<double>(v);
}

}  // namespace

template <typename Index, typename Value, typename YReal>
SparseRows make_sparse_rows(const Index *jc, const Index *ir, const Value *pr, size_t capacity, int32_t N, int32_t D,
                            const YReal *y, const StopCheck *stop) {
  SparseRows data;
  data.N = N;
  data.D = D;
  const size_t n = static_cast<size_t>(N), d = static_cast<size_t>(D);
  const uint64_t entries = checked_entries(jc, d, capacity);

  // Count the entries of every row, checking the row indices on the way.
  data.offsets.assign(n + 1, 0);
  int64_t *const offsets = data.offsets.data();
  for (size_t j = 0; j < d; ++j) {
    const uint64_t begin = as_count(jc[j]), end = as_count(jc[j + 1]);
    if (stop && stop->poll(end - begin + 1)) return data;
    uint64_t previous = 0;
    for (uint64_t k = begin; k < end; ++k) {
      const uint64_t r = as_count(ir[k]);
      if (r >= n || (k > begin && r <= previous)) throw_bad_row(j, r, previous, n);
      previous = r;
      ++offsets[r + 1];
    }
  }
  // offsets[i] <- where row i starts.
  for (size_t i = 0; i < n; ++i) offsets[i + 1] += offsets[i];

  data.columns.resize(entries);
  data.values.resize(entries);
  int32_t *const columns = data.columns.data();
  double *const values = data.values.data();
  // Place the entries column by column, so that each row receives its columns in increasing order.
  // offsets[r] serves as row r's cursor and ends at the start of row r + 1.
  uint64_t non_finite = 0;
  for (size_t j = 0; j < d; ++j) {
    const uint64_t begin = as_count(jc[j]), end = as_count(jc[j + 1]);
    if (stop && stop->poll(end - begin + 1)) return data;
    for (uint64_t k = begin; k < end; ++k) {
      const size_t r = static_cast<size_t>(ir[k]);
      const int64_t at = offsets[r]++;
      const double v = value_of(pr[k]);
      columns[at] = static_cast<int32_t>(j);
      values[at] = v;
      non_finite |= difference_bits(v);
    }
  }
  for (size_t i = n; i > 0; --i) offsets[i] = offsets[i - 1];
  offsets[0] = 0;

  if (non_finite) {
    // The first one in column-major order: columns in order, rows increasing within each.
    for (size_t j = 0; j < d; ++j)
      for (uint64_t k = as_count(jc[j]); k < as_count(jc[j + 1]); ++k) {
        const double v = value_of(pr[k]);
        if (difference_bits(v) != 0) throw NonFiniteValue(false, static_cast<size_t>(ir[k]) + 1, j + 1, v);
      }
  }

  data.labels.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const double v = static_cast<double>(y[i]);
    data.labels[i] = v;
    non_finite |= difference_bits(v);
  }
  if (non_finite)
    for (size_t i = 0; i < n; ++i)
      if (difference_bits(data.labels[i]) != 0) throw NonFiniteValue(true, i + 1, 1, data.labels[i]);
  return data;
}

template <typename Index, typename Value>
std::vector<double> sparse_leading_values(const Index *jc, const Index *ir, const Value *pr, size_t capacity,
                                          size_t rows, size_t columns, size_t n) {
  checked_entries(jc, columns, capacity);
  std::vector<double> out(n, 0.0);
  for (size_t j = 0; j < columns; ++j) {
    const uint64_t begin = as_count(jc[j]), end = as_count(jc[j + 1]);
    uint64_t previous = 0;
    for (uint64_t k = begin; k < end; ++k) {
      const uint64_t r = as_count(ir[k]);
      if (r >= rows || (k > begin && r <= previous)) throw_bad_row(j, r, previous, rows);
      previous = r;
      const uint64_t at = static_cast<uint64_t>(j) * rows + r;
      if (at >= n) continue;
      const double v = value_of(pr[k]);
      // Entries come in column-major order, so the first non-finite one found is the first.
      if (difference_bits(v) != 0) throw NonFiniteValue(true, static_cast<size_t>(at) + 1, 1, v);
      out[static_cast<size_t>(at)] = v;
    }
  }
  return out;
}

#define STOCHL1_SPARSE_ROWS(Index, Value, YReal)                                                                   \
  template SparseRows make_sparse_rows(const Index *, const Index *, const Value *, size_t, int32_t, int32_t, \
                                       const YReal *, const StopCheck *);
#define STOCHL1_SPARSE_INDEX(Index)                                                                         \
  STOCHL1_SPARSE_ROWS(Index, double, double)                                                                \
  STOCHL1_SPARSE_ROWS(Index, double, float)                                                                 \
  STOCHL1_SPARSE_ROWS(Index, bool, double)                                                                  \
  STOCHL1_SPARSE_ROWS(Index, bool, float)                                                                   \
  template std::vector<double> sparse_leading_values(const Index *, const Index *, const double *, size_t, \
                                                     size_t, size_t, size_t);                               \
  template std::vector<double> sparse_leading_values(const Index *, const Index *, const bool *, size_t, size_t, \
                                                     size_t, size_t);
STOCHL1_SPARSE_INDEX(uint64_t)
STOCHL1_SPARSE_INDEX(int64_t)
#undef STOCHL1_SPARSE_INDEX
#undef STOCHL1_SPARSE_ROWS

}  // namespace core
