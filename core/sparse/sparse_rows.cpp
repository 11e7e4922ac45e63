#include "core/sparse/sparse_rows.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "core/data/finite_bits.hpp"
#include "core/threads/team_limits.hpp"

namespace core {

namespace {

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
    throw MalformedSparse("column " + std::to_string(column + 1) + " has an entry in row " + std::to_string(row + 1) +
                          " of " + std::to_string(rows));
  throw MalformedSparse("the rows of column " + std::to_string(column + 1) + " are not in increasing order (" +
                        std::to_string(previous + 1) + " then " + std::to_string(row + 1) + ")");
}

template <typename Value>
inline double value_of(Value v) {
  return static_cast<double>(v);
}

// A column's entries begin .. end - 1 in stretches of at most kEntriesPerQuestion, so that a pass
// asks the host within a very long column too: `go(work)` is asked before each stretch (the first
// also counts the column), and false from it ends the pass.
constexpr uint64_t kEntriesPerQuestion = uint64_t{1} << 16;

template <typename Go, typename Stretch>
bool column_in_stretches(uint64_t begin, uint64_t end, Go &go, Stretch stretch) {
  uint64_t from = begin;
  do {
    const uint64_t to = end - from > kEntriesPerQuestion ? from + kEntriesPerQuestion : end;
    if (!go(to - from + (from == begin))) return false;
    stretch(from, to);
    from = to;
  } while (from < end);
  return true;
}

// A pass over the rows, 0 .. n - 1 (a tall X has hundreds of millions of them, however few its
// entries), in the same stretches.
template <typename Go, typename Stretch>
bool rows_in_stretches(size_t n, Go go, Stretch stretch) {
  return column_in_stretches(0, n, go, stretch);
}

// Every entry's row checked (within the matrix, increasing down each column) for columns first ..
// last - 1 in column-major order, each valid row handed to `each`; `go(work)` is asked once a
// column (and within a long one), and false from it ends the check early (returns false).
template <typename Index, typename Go, typename Each>
bool check_rows(const Index *jc, const Index *ir, size_t first, size_t last, size_t rows, Go go, Each each) {
  for (size_t j = first; j < last; ++j) {
    const uint64_t begin = as_count(jc[j]), end = as_count(jc[j + 1]);
    uint64_t previous = 0;
    const bool going = column_in_stretches(begin, end, go, [&](uint64_t from, uint64_t to) {
      for (uint64_t k = from; k < to; ++k) {
        const uint64_t r = as_count(ir[k]);
        if (r >= rows || (k > begin && r <= previous)) throw_bad_row(j, r, previous, rows);
        previous = r;
        each(r);
      }
    });
    if (!going) return false;
  }
  return true;
}

template <typename Index, typename Each>
bool check_rows(const Index *jc, const Index *ir, size_t columns, size_t rows, const StopCheck *stop, Each each) {
  return check_rows(
      jc, ir, 0, columns, rows, [stop](uint64_t work) { return !(stop && stop->poll(work)); }, each);
}

// Names the first NaN or infinity among the entries, in column-major order (rows increase within
// each column), as the dense conversion names it.
template <typename Index, typename Value>
[[noreturn]] void throw_first_non_finite(const Index *jc, const Index *ir, const Value *pr, size_t columns) {
  for (size_t j = 0; j < columns; ++j)
    for (uint64_t k = as_count(jc[j]); k < as_count(jc[j + 1]); ++k) {
      const double v = value_of(pr[k]);
      if (difference_bits(v) != 0) throw NonFiniteValue(false, static_cast<size_t>(ir[k]) + 1, j + 1, v);
    }
  throw std::logic_error("throw_first_non_finite: no such entry");
}

// The first n labels of y into `labels` (n values), naming the first NaN or infinity among them;
// `go(work)` asked as they pass, false from it ends the copy (returns false).
template <typename YReal, typename Go>
bool copy_labels(double *labels, const YReal *y, size_t n, Go go) {
  uint64_t non_finite = 0;
  const bool going = rows_in_stretches(n, go, [&](uint64_t from, uint64_t to) {
    for (size_t i = from; i < to; ++i) {
      labels[i] = static_cast<double>(y[i]);
      non_finite |= difference_bits(labels[i]);
    }
  });
  if (!going) return false;
  if (non_finite)
    for (size_t i = 0; i < n; ++i)
      if (difference_bits(labels[i]) != 0) throw NonFiniteValue(true, i + 1, 1, labels[i]);
  return true;
}

}  // namespace

// The rows in groups of 2^kGroupShift: the first pass counts the entries of each group, and groups
// in a row are put together into blocks of about kBlockEntries entries, and of at most kBlockRows
// rows (sorting a block passes over its rows twice, and the host is asked between blocks: a tall X
// with few entries would otherwise be one block of all its rows).
constexpr int kGroupShift = 6;
constexpr uint64_t kBlockEntries = uint64_t{1} << 16;
constexpr size_t kBlockRows = size_t{1} << 16;
// Each thread of the team holds a block's scratch (up to 1.5 MB) and a count per group of rows;
// beyond a few threads the conversion is bound by the memory's bandwidth.
constexpr size_t kMostConversionThreads = 8;

namespace {

// The first column of share t of `shares` (shares + 1 bounds): shares of about equal work, a unit
// an entry and a unit a column, so that a team's threads end together and the calling thread, which
// asks the host, is busy until the others are done (a very wide X with a few full columns would
// otherwise leave it idle while the others pass its empty columns unasked).
template <typename Index>
std::vector<size_t> column_shares(const Index *jc, size_t columns, uint64_t entries, size_t shares) {
  std::vector<size_t> first(shares + 1, columns);
  first[0] = 0;
  const uint64_t work = entries + columns;
  for (size_t t = 1; t < shares; ++t) {
    const uint64_t target = work / shares * t;
    size_t low = first[t - 1], high = columns;  // the first column whose work before it reaches the target
    while (low < high) {
      const size_t mid = low + (high - low) / 2;
      if (as_count(jc[mid]) + mid < target)
        low = mid + 1;
      else
        high = mid;
    }
    first[t] = low;
  }
  return first;
}

// What a team's threads share while they convert: the calling thread (thread 0) alone asks the
// host, the others follow its answer. Each share keeps its error, or that the stop cut it short;
// once the team is done the shares are taken in order, as one thread would have met them: the first
// share that ended in an error throws it (the first in column-major order), and one cut short
// before any error means stop.
class TeamWork {
 public:
  TeamWork(const StopCheck *stop, size_t shares) : stop_(stop), failure_(shares), cut_short_(shares, 0) {}
  // Whether to go on after `work` more units; `asks` on the calling thread only.
  bool go(uint64_t work, bool asks) {
    if (asks && stop_ && stop_->poll(work)) stopped_.store(true, std::memory_order_relaxed);
    return !stopped_.load(std::memory_order_relaxed);
  }
  // Runs share `share`'s work, which returns false when the stop cut it short.
  template <typename Work>
  void run(size_t share, Work work) {
    try {
      if (!work()) cut_short_[share] = 1;
    } catch (...) {
      failure_[share] = std::current_exception();
    }
  }
  // Throws the error one thread would have met first; true when the host said stop.
  bool finish() {
    for (size_t t = 0; t < failure_.size(); ++t) {
      if (failure_[t]) std::rethrow_exception(failure_[t]);
      if (cut_short_[t]) return true;
    }
    return stopped_.load();
  }

 private:
  const StopCheck *stop_;
  std::atomic<bool> stopped_{false};
  std::vector<std::exception_ptr> failure_;
  std::vector<char> cut_short_;
};

// Where step 3 below puts the entries: an ordinary group's into its block (column, value and row,
// at the block's cursor), a heavy group's straight into its row (at the row's cursor).
struct BlockPlacement {
  const char *heavy_group;
  const int32_t *block_of_group;
  int64_t *row_cursor;
  int32_t *columns, *rows;
  double *values;
};

// Step 3 for columns first .. last - 1, block b's entries from block_cursor[b] on; `go(work)` asked
// once a column (and within a long one). Returns the OR of the values' difference bits (nonzero
// once a NaN or an infinity was met).
template <typename Index, typename Value, typename Go>
uint64_t place_columns(const Index *jc, const Index *ir, const Value *pr, size_t first, size_t last,
                       uint64_t *block_cursor, const BlockPlacement &to, Go go) {
  const char *const heavy_group = to.heavy_group;
  const int32_t *const block_of_group = to.block_of_group;
  int64_t *const row_cursor = to.row_cursor;
  int32_t *const columns = to.columns, *const rows = to.rows;
  double *const values = to.values;
  uint64_t non_finite = 0;
  for (size_t j = first; j < last; ++j) {
    const uint64_t begin = as_count(jc[j]), end = as_count(jc[j + 1]);
    const bool going = column_in_stretches(begin, end, go, [&](uint64_t from, uint64_t to_entry) {
      for (uint64_t k = from; k < to_entry; ++k) {
        const size_t r = static_cast<size_t>(ir[k]);
        const size_t g = r >> kGroupShift;
        const double v = value_of(pr[k]);
        non_finite |= difference_bits(v);
        if (heavy_group[g]) {
          const int64_t at = row_cursor[r]++;
          columns[at] = static_cast<int32_t>(j);
          values[at] = v;
          continue;
        }
        const uint64_t at = block_cursor[static_cast<size_t>(block_of_group[g])]++;
        columns[at] = static_cast<int32_t>(j);
        values[at] = v;
        rows[at] = static_cast<int32_t>(r);
      }
    });
    if (!going) break;
  }
  return non_finite;
}

// Step 4 for one block: its entries e0 .. e1 - 1 (rows r0 .. r1 - 1) into their rows, a stable
// counting sort into the scratch (columns and values), which is then copied back. offsets[r0 .. r1 - 1] (zero before)
// hold the rows' counts, then where they start, then (as cursors) where they end, and finally where they start again;
// offsets[r1] is the next block's and is left alone.
void sort_block(uint64_t e0, uint64_t e1, size_t r0, size_t r1, int64_t *offsets, int32_t *columns, double *values,
                const int32_t *rows, int32_t *scratch_columns, double *scratch_values) {
  for (uint64_t e = e0; e < e1; ++e) ++offsets[static_cast<size_t>(rows[e])];
  int64_t at = static_cast<int64_t>(e0);
  for (size_t r = r0; r < r1; ++r) {
    const int64_t count = offsets[r];
    offsets[r] = at;
    at += count;
  }
  // Each entry to its place in the scratch, the sorted block then copied back.
  const int64_t base = static_cast<int64_t>(e0);
  for (uint64_t e = e0; e < e1; ++e) {
    const int64_t to = offsets[static_cast<size_t>(rows[e])]++ - base;
    scratch_columns[to] = columns[e];
    scratch_values[to] = values[e];
  }
  std::copy(scratch_columns, scratch_columns + (e1 - e0), columns + e0);
  std::copy(scratch_values, scratch_values + (e1 - e0), values + e0);
  for (size_t r = r1; r-- > r0 + 1;) offsets[r] = offsets[r - 1];
  if (r1 > r0) offsets[r0] = static_cast<int64_t>(e0);
}

}  // namespace

template <typename Index, typename Value, typename YReal>
SparseRows make_sparse_rows(const Index *jc, const Index *ir, const Value *pr, size_t capacity, int32_t N, int32_t D,
                            const YReal *y, const StopCheck *stop, int32_t threads) {
  SparseRows data;
  data.N = N;
  data.D = D;
  const size_t n = static_cast<size_t>(N), d = static_cast<size_t>(D);
  const uint64_t entries = checked_entries(jc, d, capacity);

  // A plain counting transpose scatters every entry to a random place in memory twice (its row's
  // count, then its slot), which costs a cache miss each. So the entries go in two steps instead:
  // first into blocks of consecutive rows (a few hundred streams written in order), then, block by
  // block in cache, into their rows. Columns stay in increasing order within a row, as both steps
  // keep the order in which they meet the entries.
  //
  // The team splits the columns into shares of about equal work (entries plus columns) for steps 1
  // and 3: share t's entries go into each block after those of shares before it (smaller columns),
  // so the order holds; step 4 shares out the blocks. Step 3 runs on one thread when a heavy group
  // (below) holds entries: its rows' cursors are not shared out.
  const size_t team =
      static_cast<size_t>(conversion_team(threads, N, entries, static_cast<int32_t>(kMostConversionThreads), true));
  const std::vector<size_t> first_column = column_shares(jc, d, entries, team);
  TeamWork work(stop, team);
  const int team_size = static_cast<int>(team);

  // 1. Count the entries of every group of rows, share by share, checking the row indices.
  const size_t groups = (n >> kGroupShift) + 1;
  std::vector<std::vector<uint64_t>> share_entries(team, std::vector<uint64_t>(groups, 0));
  int started = 1;
#pragma omp parallel for num_threads(team_size) if (team > 1) schedule(static, 1)
  for (size_t t = 0; t < team; ++t) {
    if (t == 0) started = omp_get_num_threads();
    work.run(t, [&] {
      uint64_t *const count = share_entries[t].data();
      const bool asks = omp_get_thread_num() == 0;
      return check_rows(
          jc, ir, first_column[t], first_column[t + 1], n, [&](uint64_t w) { return work.go(w, asks); },
          [count](uint64_t r) { ++count[r >> kGroupShift]; });
    });
  }
  note_team_started(started);  // its threads stay in the runtime's pool for later teams
  if (work.finish()) return data;
  std::vector<uint64_t> group_entries(share_entries[0]);
  for (size_t t = 1; t < team; ++t)
    for (size_t g = 0; g < groups; ++g) group_entries[g] += share_entries[t][g];

  // 2. Blocks of whole groups: block b holds rows block_row[b] .. block_row[b + 1] - 1, whose
  // entries will lie at block_entry[b] .. block_entry[b + 1] - 1. A group of 2^16 entries or more
  // (a few very full rows) is a block of its own whose entries go straight into their rows in step
  // 3, so that step 4's scratch stays below 2^17 entries however full a row is.
  std::vector<int32_t> block_of_group(groups);
  std::vector<char> heavy_group(groups, 0), heavy_block;
  std::vector<size_t> block_row{0};
  std::vector<uint64_t> block_entry{0};
  uint64_t in_block = 0, placed = 0;
  auto close_block = [&](size_t end_row, bool heavy) {
    block_row.push_back(end_row);
    block_entry.push_back(placed);
    heavy_block.push_back(heavy);
    in_block = 0;
  };
  bool any_heavy = false;
  for (size_t g = 0; g < groups; ++g) {
    const size_t first_row = std::min(n, g << kGroupShift), end_row = std::min(n, (g + 1) << kGroupShift);
    if (group_entries[g] >= kBlockEntries) {
      if (block_row.back() < first_row) close_block(first_row, false);
      block_of_group[g] = static_cast<int32_t>(block_row.size() - 1);
      heavy_group[g] = 1;
      any_heavy = true;
      placed += group_entries[g];
      close_block(end_row, true);
      continue;
    }
    block_of_group[g] = static_cast<int32_t>(block_row.size() - 1);
    in_block += group_entries[g];
    placed += group_entries[g];
    if (in_block >= kBlockEntries || end_row - block_row.back() >= kBlockRows || g + 1 == groups)
      close_block(end_row, false);
  }
  const size_t blocks = block_row.size() - 1;
  std::vector<uint64_t>().swap(group_entries);

  // The heavy rows' entries are placed by one thread (their rows' cursors are not shared out).
  // Every other share starts in each block after the shares before it.
  const size_t scatter_shares = any_heavy ? 1 : team;
  const std::vector<size_t> scatter_first = any_heavy ? std::vector<size_t>{0, d} : first_column;
  std::vector<std::vector<uint64_t>> cursor(scatter_shares, std::vector<uint64_t>(blocks, 0));
  if (scatter_shares > 1)  // share t's entries in each block
    for (size_t t = 0; t < scatter_shares; ++t)
      for (size_t g = 0; g < groups; ++g) cursor[t][static_cast<size_t>(block_of_group[g])] += share_entries[t][g];
  for (size_t b = 0; b < blocks; ++b) {
    uint64_t at = block_entry[b];
    for (size_t t = 0; t < scatter_shares; ++t) {
      const uint64_t count = cursor[t][b];
      cursor[t][b] = at;
      at += count;
    }
  }
  decltype(share_entries)().swap(share_entries);

  // Each block's rows use offsets[first row .. last row] alone, as counts, then cursors, so that
  // blocks never touch each other's; offsets[N] is set at the end. A heavy block's rows are counted
  // here, and offsets[r] becomes row r's cursor from its start.
  // On the calling thread, asking the host as the rows and the columns pass, as the other passes do.
  auto go = [&work](uint64_t units) { return work.go(units, true); };
  data.offsets.resize(n + 1);
  int64_t *const offsets = data.offsets.data();
  if (!rows_in_stretches(n + 1, go,
                         [offsets](uint64_t from, uint64_t to) { std::fill(offsets + from, offsets + to, 0); }))
    return data;
  if (any_heavy) {
    for (size_t j = 0; j < d; ++j) {
      const uint64_t begin = as_count(jc[j]), end = as_count(jc[j + 1]);
      const bool going = column_in_stretches(begin, end, go, [&](uint64_t from, uint64_t to) {
        for (uint64_t k = from; k < to; ++k) {
          const size_t r = static_cast<size_t>(ir[k]);
          if (heavy_group[r >> kGroupShift]) ++offsets[r];
        }
      });
      if (!going) return data;
    }
    for (size_t b = 0; b < blocks; ++b) {
      if (!heavy_block[b]) continue;
      int64_t at = static_cast<int64_t>(block_entry[b]);
      for (size_t r = block_row[b]; r < block_row[b + 1]; ++r) {
        const int64_t count = offsets[r];
        offsets[r] = at;
        at += count;
      }
    }
  }

  // 3. Every entry into its block, in column order: its column, value and row (a heavy block's
  // straight into its row).
  data.columns.resize(entries);
  data.values.resize(entries);
  std::vector<int32_t, LargeArrayAllocator<int32_t>> rows(entries);
  int32_t *const columns = data.columns.data();
  double *const values = data.values.data();
  const BlockPlacement to{heavy_group.data(), block_of_group.data(), offsets, columns, rows.data(), values};
  uint64_t non_finite = 0;
#pragma omp parallel for num_threads(team_size) if (scatter_shares > 1) schedule(static, 1) reduction(| : non_finite)
  for (size_t t = 0; t < scatter_shares; ++t)
    work.run(t, [&] {
      const bool asks = omp_get_thread_num() == 0;
      non_finite |= place_columns(jc, ir, pr, scatter_first[t], scatter_first[t + 1], cursor[t].data(), to,
                                  [&](uint64_t w) { return work.go(w, asks); });
      return true;  // a stop is the team's to report
    });
  if (work.finish()) return data;
  std::vector<int32_t>().swap(block_of_group);
  decltype(cursor)().swap(cursor);

  // 4. Block by block, the entries into their rows (a stable counting sort inside the block); a
  // heavy block's rows are in place, and its cursors, now at each row's end, become the starts.
  for (size_t b = 0; b < blocks; ++b) {
    if (!heavy_block[b]) continue;
    for (size_t r = block_row[b + 1]; r-- > block_row[b] + 1;) offsets[r] = offsets[r - 1];
    offsets[block_row[b]] = static_cast<int64_t>(block_entry[b]);
  }
  uint64_t largest = 0;
  for (size_t b = 0; b < blocks; ++b)
    if (!heavy_block[b]) largest = std::max(largest, block_entry[b + 1] - block_entry[b]);
  std::vector<std::vector<int32_t>> block_columns(team, std::vector<int32_t>(largest));
  std::vector<std::vector<double>> block_values(team, std::vector<double>(largest));
  // Blocks dealt out in turn, not on demand: the calling thread then sorts the same blocks and asks
  // the host the same questions in every run of a call, so that a press is met at the same point.
#pragma omp parallel for num_threads(team_size) if (team > 1) schedule(static, 1)
  for (size_t b = 0; b < blocks; ++b) {
    const uint64_t e0 = block_entry[b], e1 = block_entry[b + 1];
    const size_t r0 = block_row[b], r1 = block_row[b + 1];
    const size_t me = static_cast<size_t>(omp_get_thread_num());
    work.run(me, [&] {
      if (heavy_block[b] || !work.go(e1 - e0 + (r1 - r0) + 1, me == 0)) return true;
      sort_block(e0, e1, r0, r1, offsets, columns, values, rows.data(), block_columns[me].data(),
                 block_values[me].data());
      return true;
    });
  }
  if (work.finish()) return data;
  offsets[n] = static_cast<int64_t>(entries);
  // The scratch goes before the labels come: the peak is the rows and the scratch, or the rows and
  // the labels, never all three.
  decltype(rows)().swap(rows);
  decltype(block_columns)().swap(block_columns);
  decltype(block_values)().swap(block_values);

  if (non_finite) throw_first_non_finite(jc, ir, pr, d);
  if (!resize_asking(data.labels, n, stop)) return data;
  copy_labels(data.labels.data(), y, n, go);
  return data;
}

template <typename Index>
bool fills_densely(const Index *jc, size_t capacity, int32_t N, int32_t D) {
  const uint64_t stored = std::min<uint64_t>(as_count(jc[D]), capacity);
  const uint64_t cells = static_cast<uint64_t>(N) * static_cast<uint64_t>(D);  // < 2^62
  return cells > 0 && stored >= cells - cells / 3;                             // stored >= 2/3 of the cells
}

// Full rows of 8 columns at a time (one cache line of each row): the columns' cursors walk down
// together, so every line of the rows is written once, in row order.
template <typename Index, typename Value, typename YReal>
RegressionData make_dense_rows(const Index *jc, const Index *ir, const Value *pr, size_t capacity, int32_t N, int32_t D,
                               const YReal *y, const StopCheck *stop) {
  RegressionData data;
  data.N = N;
  data.D = D;
  const size_t n = static_cast<size_t>(N), d = static_cast<size_t>(D);
  checked_entries(jc, d, capacity);
  // The row indices checked first, in column-major order, so that a malformed X is named as the
  // compressed rows name it; the placement below then trusts them.
  if (!check_rows(jc, ir, d, n, stop, [](uint64_t) {})) return data;
  data.features.resize(n * d);
  if (!resize_asking(data.labels, n, stop)) return data;
  double *const out = data.features.data();
  constexpr size_t kColumns = 8;
  uint64_t cursor[kColumns], end[kColumns];
  uint64_t non_finite = 0;
  for (size_t j0 = 0; j0 < d; j0 += kColumns) {
    const size_t width = std::min(kColumns, d - j0);
    for (size_t c = 0; c < width; ++c) cursor[c] = as_count(jc[j0 + c]), end[c] = as_count(jc[j0 + c + 1]);
    if (stop && stop->poll(end[width - 1] - cursor[0] + n / 8 + 1)) return data;
    for (size_t r = 0; r < n; ++r) {
      // A tall X with few columns: the host is asked within a strip too.
      if (stop && (r & 0xFFFF) == 0xFFFF && stop->poll(0x10000)) return data;
      double *const row = out + r * d + j0;
      for (size_t c = 0; c < width; ++c) {
        if (cursor[c] == end[c] || as_count(ir[cursor[c]]) != r) {
          row[c] = 0.0;  // the rows' memory is not cleared beforehand: every cell is written once
          continue;
        }
        const double v = value_of(pr[cursor[c]++]);
        row[c] = v;
        non_finite |= difference_bits(v);
      }
    }
  }
  if (non_finite) throw_first_non_finite(jc, ir, pr, d);
  copy_labels(data.labels.data(), y, n, [stop](uint64_t work) { return !(stop && stop->poll(work)); });
  return data;
}

template <typename Index, typename Value>
std::vector<double> sparse_leading_values(const Index *jc, const Index *ir, const Value *pr, size_t capacity,
                                          size_t rows, size_t columns, size_t n, const StopCheck *stop) {
  checked_entries(jc, columns, capacity);
  std::vector<double> out;
  if (!resize_asking(out, n, stop)) return out;
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

#define STOCHL1_SPARSE_ROWS(Index, Value, YReal)                                                                 \
  template SparseRows make_sparse_rows(const Index *, const Index *, const Value *, size_t, int32_t, int32_t,    \
                                       const YReal *, const StopCheck *, int32_t);                               \
  template RegressionData make_dense_rows(const Index *, const Index *, const Value *, size_t, int32_t, int32_t, \
                                          const YReal *, const StopCheck *);
#define STOCHL1_SPARSE_INDEX(Index)                                                                                \
  STOCHL1_SPARSE_ROWS(Index, double, double)                                                                       \
  STOCHL1_SPARSE_ROWS(Index, double, float)                                                                        \
  STOCHL1_SPARSE_ROWS(Index, bool, double)                                                                         \
  STOCHL1_SPARSE_ROWS(Index, bool, float)                                                                          \
  STOCHL1_SPARSE_ROWS(Index, unsigned char, double)                                                                \
  STOCHL1_SPARSE_ROWS(Index, unsigned char, float)                                                                 \
  template std::vector<double> sparse_leading_values(const Index *, const Index *, const double *, size_t, size_t, \
                                                     size_t, size_t, const StopCheck *);                           \
  template std::vector<double> sparse_leading_values(const Index *, const Index *, const bool *, size_t, size_t,   \
                                                     size_t, size_t, const StopCheck *);                           \
  template std::vector<double> sparse_leading_values(const Index *, const Index *, const unsigned char *, size_t,  \
                                                     size_t, size_t, size_t, const StopCheck *);
STOCHL1_SPARSE_INDEX(uint64_t)
STOCHL1_SPARSE_INDEX(int64_t)
template bool fills_densely(const uint64_t *, size_t, int32_t, int32_t);
template bool fills_densely(const int64_t *, size_t, int32_t, int32_t);
#undef STOCHL1_SPARSE_INDEX
#undef STOCHL1_SPARSE_ROWS

}  // namespace core
