#include "cluster/mat_input.hpp"

#include <matio.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace cluster {
namespace {

// matio reports its own errors on stderr, from every process; the program reports them once.
void quiet_matio_log(int, char *) {}

struct VarFree {
  void operator()(matvar_t *v) const { Mat_VarFree(v); }
};
using VarPtr = std::unique_ptr<matvar_t, VarFree>;

const char *class_name(const matvar_t &v) {
  if (v.isLogical) return "logical";
  switch (v.class_type) {
    case MAT_C_CELL:
      return "cell";
    case MAT_C_STRUCT:
      return "struct";
    case MAT_C_OBJECT:
      return "object";
    case MAT_C_CHAR:
      return "char";
    case MAT_C_SPARSE:
      return "sparse";
    case MAT_C_DOUBLE:
      return "double";
    case MAT_C_SINGLE:
      return "single";
    case MAT_C_INT8:
      return "int8";
    case MAT_C_UINT8:
      return "uint8";
    case MAT_C_INT16:
      return "int16";
    case MAT_C_UINT16:
      return "uint16";
    case MAT_C_INT32:
      return "int32";
    case MAT_C_UINT32:
      return "uint32";
    case MAT_C_INT64:
      return "int64";
    case MAT_C_UINT64:
      return "uint64";
    case MAT_C_FUNCTION:
      return "function handle";
    default:
      return "unknown";
  }
}

// "a 3x2 complex double array"
std::string describe(const matvar_t &v) {
  std::string s = "a ";
  for (int k = 0; k < v.rank; ++k) s += (k ? "x" : "") + std::to_string(v.dims[k]);
  if (v.isComplex) s += " complex";
  return s + " " + class_name(v) + " array";
}

bool real_full_numeric(const matvar_t &v) {
  return (v.class_type == MAT_C_DOUBLE || v.class_type == MAT_C_SINGLE) && !v.isComplex && !v.isLogical;
}

[[noreturn]] void fail(const std::string &path, const std::string &what) {
  throw RunFailure(path + ": " + what);
}

// Values first .. first + count - 1 of a vector, or of a matrix in column-major order, whichever
// way it lies, into `out`.
int read_linear(_mat_t *mat, matvar_t &v, size_t first, int count, double *out) {
  if (count == 0) return 0;
  if (first > 2147483647u) return 1;
  if (v.class_type != MAT_C_SINGLE) return Mat_VarReadDataLinear(mat, &v, out, static_cast<int>(first), 1, count);
  std::vector<float> f(static_cast<size_t>(count));
  const int err = Mat_VarReadDataLinear(mat, &v, f.data(), static_cast<int>(first), 1, count);
  for (size_t k = 0; k < f.size(); ++k) out[k] = static_cast<double>(f[k]);
  return err;
}

// Rows first .. first + rows - 1 of all D columns, column-major, into doubles. In an uncompressed
// MAT 5 file every column's piece is one linear read (matio's two-dimensional read of such a file
// takes one element at a time, about fifty times slower); a compressed variable is inflated once
// by a two-dimensional read (a linear read per column would inflate from the start each time);
// HDF5 (-v7.3) reads the rectangle as one hyperslab.
std::vector<double> read_rows_of(_mat_t *mat, matvar_t &v, int first, int rows, int D) {
  const size_t n = static_cast<size_t>(rows) * static_cast<size_t>(D);
  std::vector<double> out(n);
  if (n == 0) return out;
  const bool linear = Mat_GetVersion(mat) == MAT_FT_MAT5 && v.compression == MAT_COMPRESSION_NONE;
  int err = 0;
  if (linear) {
    for (size_t j = 0; j < static_cast<size_t>(D) && err == 0; ++j)
      err = read_linear(mat, v, j * v.dims[0] + static_cast<size_t>(first), rows,
                        out.data() + j * static_cast<size_t>(rows));
  } else {
    int start[2] = {first, 0}, stride[2] = {1, 1}, edge[2] = {rows, D};
    if (v.class_type == MAT_C_SINGLE) {
      std::vector<float> f(n);
      err = Mat_VarReadData(mat, &v, f.data(), start, stride, edge);
      for (size_t k = 0; k < n; ++k) out[k] = static_cast<double>(f[k]);
    } else {
      err = Mat_VarReadData(mat, &v, out.data(), start, stride, edge);
    }
  }
  if (err != 0) throw RunFailure("");
  return out;
}

std::vector<double> read_span(_mat_t *mat, matvar_t &v, int first, int count) {
  std::vector<double> out(static_cast<size_t>(count));
  if (read_linear(mat, v, static_cast<size_t>(first), count, out.data()) != 0) throw RunFailure("");
  return out;
}

}  // namespace

MatInput::MatInput(std::string path, std::string x_name, std::string y_name)
    : path_(std::move(path)), x_name_(std::move(x_name)), y_name_(std::move(y_name)) {
  static const bool logging_quiet = Mat_LogInitFunc("splitavg-mpi", quiet_matio_log) == 0;
  (void)logging_quiet;
  struct stat st;
  if (stat(path_.c_str(), &st) != 0) fail(path_, std::string("cannot open it: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) fail(path_, "is a directory, not a MAT file");
  mat_ = Mat_Open(path_.c_str(), MAT_ACC_RDONLY);
  if (!mat_) fail(path_, "is not a MAT file that matio can read (save it with -v6, -v7 or -v7.3)");
}

MatInput::~MatInput() {
  if (mat_) Mat_Close(mat_);
}

MatShape MatInput::inspect() {
  VarPtr x(Mat_VarReadInfo(mat_, x_name_.c_str()));
  if (!x) fail(path_, "has no variable '" + x_name_ + "' (name it with --x)");
  if (!real_full_numeric(*x) || x->rank != 2)
    fail(path_,
         x_name_ + " must be a real, full double or single matrix of N samples by D features; it is " + describe(*x));
  if (x->dims[0] > 2147483647u || x->dims[1] > 2147483647u)
    fail(path_, x_name_ + " is " + describe(*x) + "; at most 2147483647 rows and columns are supported");
  VarPtr y(Mat_VarReadInfo(mat_, y_name_.c_str()));
  if (!y) fail(path_, "has no variable '" + y_name_ + "' (name it with --y)");
  const size_t n = x->dims[0];
  if (!real_full_numeric(*y) || y->rank != 2 || (y->dims[0] != 1 && y->dims[1] != 1))
    fail(path_, y_name_ + " must be a real, full double or single vector of N labels; it is " + describe(*y));
  const size_t labels = y->dims[0] * y->dims[1];
  if (labels != n)
    fail(path_, y_name_ + " holds " + std::to_string(labels) + " labels but " + x_name_ + " has " + std::to_string(n) +
                    " rows; they must match");
  shape_.N = static_cast<int32_t>(n);
  shape_.D = static_cast<int32_t>(x->dims[1]);
  inspected_ = true;
  return shape_;
}

RowBlock MatInput::read_rows(int32_t first, int32_t count) {
  if (!inspected_) inspect();
  RowBlock b;
  b.first = first;
  b.rows = count;
  b.D = shape_.D;
  VarPtr x(Mat_VarReadInfo(mat_, x_name_.c_str()));
  VarPtr y(Mat_VarReadInfo(mat_, y_name_.c_str()));
  if (!x || !y) fail(path_, "its variables could not be read again");
  const std::string rows = "rows " + std::to_string(first + 1) + " to " + std::to_string(first + count);
  try {
    b.X = read_rows_of(mat_, *x, first, count, shape_.D);
  } catch (const RunFailure &) {
    fail(path_, "reading " + rows + " of " + x_name_ + " failed (a damaged or truncated file?)");
  }
  try {
    b.y = read_span(mat_, *y, first, count);
  } catch (const RunFailure &) {
    fail(path_, "reading " + rows + " of " + y_name_ + " failed (a damaged or truncated file?)");
  }
  return b;
}

BlockRows block_rows(const RowBlock &block, const std::string &path, int64_t first_row, int64_t N) {
  BlockRows out;
  try {
    out.data = core::make_regression_data(block.X.data(), block.rows, block.D, block.y.data());
  } catch (const core::NonFiniteValue &e) {
    // e's row counts within the block; the message counts within the file, the key within X.
    const int64_t row = static_cast<int64_t>(e.row);
    out.non_finite =
        path + ": " +
        core::NonFiniteValue(e.in_labels, static_cast<size_t>(block.first + row), e.column, e.value).what();
    const int64_t whole_row = first_row + row - 1;
    out.non_finite_key = e.in_labels ? N * block.D + whole_row : (static_cast<int64_t>(e.column) - 1) * N + whole_row;
  }
  return out;
}

}  // namespace cluster
