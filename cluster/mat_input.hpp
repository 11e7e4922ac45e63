// Reading X and y from MAT files with matio: the shape first, then a contiguous block of rows by a
// partial read, so that no process reads more of X than its own block. Files saved by Octave with
// -v6 or -v7 and by MATLAB with -v7.3 all work; -v6 (uncompressed) seeks straight to the block.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/regression_data.hpp"

struct _mat_t;

namespace cluster {

// A fault in the input or in the run, reported once with a message naming the file and the problem.
class RunFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct MatShape {
  int32_t N = 0;  // rows of X (samples)
  int32_t D = 0;  // columns of X (features)
};

// Rows first .. first + rows - 1 of X, column-major as in the file (X[i + j * rows]), and their
// labels, both converted to double.
struct RowBlock {
  int32_t first = 0;
  int32_t rows = 0;
  int32_t D = 0;
  std::vector<double> X;
  std::vector<double> y;
};

class MatInput {
 public:
  // Opens the file for reading; throws RunFailure when it is missing or not a MAT file.
  MatInput(std::string path, std::string x_name, std::string y_name);
  ~MatInput();
  MatInput(const MatInput &) = delete;
  MatInput &operator=(const MatInput &) = delete;

  // Checks that X is a real, full double or single matrix and y a real, full double or single
  // vector of as many values as X has rows; returns X's shape. Throws RunFailure otherwise.
  MatShape inspect();

  // Reads rows first .. first + count - 1 (inspect() first). Throws RunFailure when matio fails and
  // std::bad_alloc when the block does not fit in memory.
  RowBlock read_rows(int32_t first, int32_t count);

  const std::string &path() const { return path_; }

 private:
  std::string path_, x_name_, y_name_;
  _mat_t *mat_ = nullptr;
  MatShape shape_;
  bool inspected_ = false;
};

// A block as the solvers see it: rows by the module's own conversion, which also finds a NaN or an
// infinity. Such a value is reported as the module reports it, "X(3,2) is NaN" with the indices of
// the file, and with its place in the whole X in MATLAB's order (column-major, X before y), so that
// the processes can agree on the one the module would name: key = (column - 1) * N + row - 1 for
// X and N * D + row - 1 for y, rows counted in the whole X from 1.
struct BlockRows {
  core::RegressionData data;
  int64_t non_finite_key = -1;  // -1: every value is finite
  std::string non_finite;       // "<path>: X(i,j) is NaN"
};
// first_row: the block's first row in the whole X (0-based); N: the rows of the whole X. Throws
// std::bad_alloc when the rows do not fit.
BlockRows block_rows(const RowBlock &block, const std::string &path, int64_t first_row, int64_t N);

}  // namespace cluster
