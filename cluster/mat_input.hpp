// Reading X and y from a MAT file: the shape first, then one contiguous block of rows, so that no
// process holds more of X than its own block. Level-5 files (Octave's -v6 and -v7, MATLAB's -v6
// and -v7) are read by cluster/mat5_file, which checks every size against the file; MATLAB's -v7.3
// (HDF5) through matio. Dense rows are streamed through one reused buffer straight to where each
// row goes; a sparse X gives its block as compressed columns.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/data/large_allocator.hpp"

namespace cluster {

// A fault in the input or in the run, reported once with a message naming the file and the problem.
class RunFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct MatShape {
  int32_t N = 0;  // rows of X (samples)
  int32_t D = 0;  // columns of X (features)
  bool sparse = false;
};

// Where the rows of a block go: block row i (0-based) has its D features written to row(i) and its
// label to label(i). dest[i] >= 0 is a row of `local`, dest[i] < 0 the row ~dest[i] of `sent`.
struct RowTargets {
  const int64_t *dest = nullptr;
  double *local_rows = nullptr;
  double *local_labels = nullptr;
  double *sent_rows = nullptr;
  double *sent_labels = nullptr;
  int32_t D = 0;
  double *row(int64_t i) const {
    const int64_t d = dest[i];
    return d >= 0 ? local_rows + d * static_cast<int64_t>(D) : sent_rows + (~d) * static_cast<int64_t>(D);
  }
  double *label(int64_t i) const {
    const int64_t d = dest[i];
    return d >= 0 ? local_labels + d : sent_labels + ~d;
  }
};

// The first NaN or infinity met in what was read, in MATLAB's order over the whole X (column-major,
// X before y): key = (column - 1) * N + row - 1 for X, N * D + row - 1 for y, rows counted in the
// whole X from 1, so that the processes can agree on the one the module would name; the message
// names it with the indices of the file ("<path>: X(3,2) is NaN").
struct NonFinite {
  int64_t key = -1;  // -1: every value read is finite
  std::string message;
  void keep(int64_t k, const std::string &path, bool in_labels, int64_t file_row, int64_t column, double value);
};

// A sparse block: the nonzeros of rows first .. first + rows - 1 as compressed columns, rows
// counted from the block's first.
struct SparseBlock {
  int32_t rows = 0;
  int32_t D = 0;
  std::vector<int64_t, core::LargeArrayAllocator<int64_t>> column_starts;  // D + 1
  std::vector<int32_t, core::LargeArrayAllocator<int32_t>> row_indices;
  std::vector<double, core::LargeArrayAllocator<double>> values;
};

class MatInput {
 public:
  // Opens the file for reading; throws RunFailure when it is missing, not a MAT file, or damaged.
  MatInput(std::string path, std::string x_name, std::string y_name);
  ~MatInput();
  MatInput(const MatInput &) = delete;
  MatInput &operator=(const MatInput &) = delete;

  // Checks that X is a real double or single matrix, full or sparse (sparse logical too), and y a
  // real, full double or single vector of as many values as X has rows; returns X's shape. Throws
  // RunFailure otherwise.
  MatShape inspect();

  // Rows first .. first + count - 1 of a full X and their labels, written to `to`; first_row and N
  // place the block in the whole X (for naming a NaN or an infinity). Throws RunFailure for a
  // damaged file, std::bad_alloc when the reading buffer does not fit.
  NonFinite read_rows(int32_t first, int32_t count, const RowTargets &to, int64_t first_row, int64_t N);

  // The same for a sparse X: the block's nonzeros, and the labels written to labels[i] (a label
  // per block row, through `to` as for full rows).
  SparseBlock read_sparse(int32_t first, int32_t count, const RowTargets &to, int64_t first_row, int64_t N,
                          NonFinite &non_finite);

  const std::string &path() const { return path_; }

  // How many bytes of the file the reads so far asked for (what a process reads of a file).
  uint64_t bytes_read() const { return bytes_read_; }

 private:
  struct Level5;
  struct Hdf5;
  // y's values first .. first + count - 1 to their targets; `place` is the block's BlockPlace.
  void read_labels(int32_t first, int32_t count, const RowTargets &to, const void *place, NonFinite &nf);
  std::string path_, x_name_, y_name_;
  std::unique_ptr<Level5> level5_;
  std::unique_ptr<Hdf5> hdf5_;
  MatShape shape_;
  bool inspected_ = false;
  uint64_t bytes_read_ = 0;
};

}  // namespace cluster
