#include "cluster/mat_input.hpp"

#include <matio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>

#include "cluster/hdf5_check.hpp"
#include "cluster/mat5_file.hpp"
#include "core/data/finite_bits.hpp"
#include "core/data/regression_data.hpp"
#include "core/kernels/kernels.hpp"

namespace cluster {
namespace {

// The reading buffer: 2^20 values (8 MB of doubles), reused for every piece of the block.
constexpr size_t kBufferValues = size_t{1} << 20;
// Rows and columns of the pieces the transposition writes at a time: 128 row pieces of 16 values.
constexpr size_t kTileRows = 128, kTileColumns = 16;

[[noreturn]] void fail(const std::string &path, const std::string &what) {
  throw RunFailure(path + ": " + what);
}

// matio reports its own errors on stderr, from every process; the program reports them once.
void quiet_matio_log(int, char *) {}

const char *class_name(int array_class, bool logical) {
  if (logical && array_class != kMxSparse) return "logical";
  switch (array_class) {
    case kMxCell:
      return "cell";
    case kMxStruct:
      return "struct";
    case 3:
      return "object";
    case kMxChar:
      return "char";
    case kMxSparse:
      return logical ? "sparse logical" : "sparse";
    case kMxDouble:
      return "double";
    case kMxSingle:
      return "single";
    case 8:
      return "int8";
    case 9:
      return "uint8";
    case 10:
      return "int16";
    case 11:
      return "uint16";
    case 12:
      return "int32";
    case 13:
      return "uint32";
    case 14:
      return "int64";
    case 15:
      return "uint64";
    case 16:
      return "function handle";
    default:
      return "unknown";
  }
}

// "a 3x2 complex double array"
std::string describe(const std::vector<uint64_t> &dims, bool complex, const char *name) {
  std::string s = "a ";
  for (size_t k = 0; k < dims.size(); ++k) s += (k ? "x" : "") + std::to_string(dims[k]);
  if (complex) s += " complex";
  return s + " " + name + " array";
}

// Values read into `values` (doubles) from stored bytes: `raw` holds them when they are not
// doubles in this machine's order.
struct Buffer {
  std::vector<double, core::LargeArrayAllocator<double>> values;
  std::vector<unsigned char> raw;
  Buffer(size_t count, size_t width, bool convert) : values(count), raw(convert ? count * width : 0) {}
  // Where n stored values of the run go before they are converted into values + at.
  void *landing(size_t at) { return raw.empty() ? static_cast<void *>(values.data() + at) : raw.data(); }
  void convert(uint32_t type, bool swapped, size_t at, size_t n) {
    if (!raw.empty()) to_doubles(type, swapped, raw.data(), n, values.data() + at);
  }
};

bool needs_conversion(uint32_t type, bool swapped) {
  return type != kMiDouble || swapped;
}

// tile: C columns of R values, column c at tile + c * ld. Writes tile[i + c * ld] to
// to.row(r0 + i)[j0 + c]; the OR of difference_bits over the values (zero when all are finite).
uint64_t scatter_tile(const double *tile, size_t ld, size_t R, size_t C, const RowTargets &to, int64_t r0, size_t j0) {
  if (R < 4) {
    // A few rows of many columns (a wide, short block): each row is gathered in one sweep.
    uint64_t bits = 0;
    for (size_t i = 0; i < R; ++i) {
      double *row = to.row(r0 + static_cast<int64_t>(i)) + j0;
      for (size_t c = 0; c < C; ++c) {
        const double v = tile[i + c * ld];
        row[c] = v;
        bits |= core::difference_bits(v);
      }
    }
    return bits;
  }
  const auto copy = core::kernels().transpose.copy;
  double *rows[kTileRows];
  uint64_t bits = 0;
  for (size_t i0 = 0; i0 < R; i0 += kTileRows) {
    const size_t i1 = std::min(R, i0 + kTileRows);
    for (size_t i = i0; i < i1; ++i) rows[i - i0] = to.row(r0 + static_cast<int64_t>(i)) + j0;
    for (size_t c0 = 0; c0 < C; c0 += kTileColumns)
      bits |= copy(tile, ld, i0, i1, c0, std::min(C, c0 + kTileColumns), rows);
  }
  return bits;
}

// Where a block lies in the whole X, for naming a NaN or an infinity.
struct BlockPlace {
  const std::string *path;
  int32_t first;      // the block's first row in the file
  int64_t first_row;  // and in the whole X (0-based)
  int64_t N;          // rows of the whole X
  int64_t D;
};

// A tile with a NaN or an infinity: each such value kept if it comes first.
void find_non_finite(const double *tile, size_t ld, size_t R, size_t C, int64_t r0, size_t j0, const BlockPlace &at,
                     NonFinite &nf) {
  for (size_t c = 0; c < C; ++c)
    for (size_t i = 0; i < R; ++i) {
      const double v = tile[i + c * ld];
      if (std::isfinite(v)) continue;
      const int64_t row = r0 + static_cast<int64_t>(i);
      const int64_t column = static_cast<int64_t>(j0 + c);
      nf.keep(column * at.N + at.first_row + row, *at.path, false, at.first + row + 1, column + 1, v);
    }
}

void scatter_labels(const double *values, size_t n, const RowTargets &to, int64_t r0, const BlockPlace &at,
                    NonFinite &nf) {
  for (size_t i = 0; i < n; ++i) {
    const double v = values[i];
    *to.label(r0 + static_cast<int64_t>(i)) = v;
    if (!std::isfinite(v)) {
      const int64_t row = r0 + static_cast<int64_t>(i);
      nf.keep(at.N * at.D + at.first_row + row, *at.path, true, at.first + row + 1, 1, v);
    }
  }
}

}  // namespace

void NonFinite::keep(int64_t k, const std::string &path, bool in_labels, int64_t file_row, int64_t column,
                     double value) {
  if (key >= 0 && key <= k) return;
  key = k;
  message = path + ": " +
            core::NonFiniteValue(in_labels, static_cast<size_t>(file_row), static_cast<size_t>(column), value).what();
}

struct MatInput::Level5 {
  explicit Level5(const std::string &path) : file(path) {}
  Mat5File file;
  const Mat5Variable *x = nullptr;
  const Mat5Variable *y = nullptr;
};

struct MatInput::Hdf5 {
  mat_t *mat = nullptr;
  matvar_t *x = nullptr;
  matvar_t *y = nullptr;
  ~Hdf5() {
    if (x) Mat_VarFree(x);
    if (y) Mat_VarFree(y);
    if (mat) Mat_Close(mat);
  }
};

MatInput::MatInput(std::string path, std::string x_name, std::string y_name)
    : path_(std::move(path)), x_name_(std::move(x_name)), y_name_(std::move(y_name)) {
  struct stat st;
  if (stat(path_.c_str(), &st) != 0) fail(path_, std::string("cannot open it: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) fail(path_, "is a directory, not a MAT file");
  if (!S_ISREG(st.st_mode)) fail(path_, "is not a regular file, so not a MAT file");
  const MatFileKind kind = mat_file_kind(path_);
  try {
    if (kind == MatFileKind::kLevel5) {
      level5_ = std::make_unique<Level5>(path_);
    } else if (kind == MatFileKind::kHdf5) {
      static const bool logging_quiet = Mat_LogInitFunc("splitavg-mpi", quiet_matio_log) == 0;
      (void)logging_quiet;
      hdf5_ = std::make_unique<Hdf5>();
      hdf5_->mat = Mat_Open(path_.c_str(), MAT_ACC_RDONLY);
      if (!hdf5_->mat) fail(path_, "the file is truncated or damaged (its HDF5 structure cannot be read)");
      const std::string problem = hdf5_file_problem(path_);
      if (!problem.empty()) fail(path_, "the file is truncated or damaged (" + problem + ")");
    } else {
      fail(path_, "is not a MAT file that this program reads (save it with -v6, -v7 or -v7.3)");
    }
  } catch (const DamagedFile &e) {
    fail(path_, std::string("the file is truncated or damaged (") + e.what() + ")");
  } catch (const RunFailure &) {
    throw;
  } catch (const std::bad_alloc &) {
    throw;
  } catch (const std::exception &e) {
    fail(path_, e.what());
  }
}

MatInput::~MatInput() = default;

MatShape MatInput::inspect() {
  if (inspected_) return shape_;
  uint64_t rows = 0, columns = 0, labels = 0;
  if (level5_) {
    Level5 &f = *level5_;
    f.x = f.file.find(x_name_);
    if (!f.x) fail(path_, "has no variable '" + x_name_ + "' (name it with --x)");
    const Mat5Variable &x = *f.x;
    const bool sparse = x.array_class == kMxSparse;
    const bool real_numeric = (x.array_class == kMxDouble || x.array_class == kMxSingle) && !x.logical;
    if ((!sparse && !real_numeric) || x.complex || x.dims.size() != 2)
      fail(path_, x_name_ +
                      " must be a real double or single matrix of N samples by D features, full or sparse; it is " +
                      describe(x.dims, x.complex, class_name(x.array_class, x.logical)));
    shape_.sparse = sparse;
    rows = x.dims[0];
    columns = x.dims[1];
    if (sparse && x.has_first && mat5_width(x.first.type) == 0)
      fail(path_, x_name_ + ": the file is truncated or damaged (its row indices are stored as type " +
                      std::to_string(x.first.type) + ")");
    f.y = f.file.find(y_name_);
    if (!f.y) fail(path_, "has no variable '" + y_name_ + "' (name it with --y)");
    const Mat5Variable &y = *f.y;
    if (!(y.array_class == kMxDouble || y.array_class == kMxSingle) || y.logical || y.complex || y.dims.size() != 2 ||
        (y.dims[0] != 1 && y.dims[1] != 1))
      fail(path_, y_name_ + " must be a real, full double or single vector of N labels; it is " +
                      describe(y.dims, y.complex, class_name(y.array_class, y.logical)));
    labels = y.numel();
  } else {
    Hdf5 &h = *hdf5_;
    h.x = Mat_VarReadInfo(h.mat, x_name_.c_str());
    if (!h.x) fail(path_, "has no variable '" + x_name_ + "' (name it with --x)");
    for (const std::string *name : {&x_name_, &y_name_}) {
      const std::string problem = hdf5_storage_problem(path_, *name);
      if (!problem.empty()) fail(path_, problem);
    }
    const matvar_t &x = *h.x;
    std::vector<uint64_t> dims(x.dims, x.dims + x.rank);
    const bool sparse = x.class_type == MAT_C_SPARSE;
    const bool real_numeric = (x.class_type == MAT_C_DOUBLE || x.class_type == MAT_C_SINGLE) && !x.isLogical;
    if ((!sparse && !real_numeric) || x.isComplex || x.rank != 2)
      fail(path_, x_name_ +
                      " must be a real double or single matrix of N samples by D features, full or sparse; it is " +
                      describe(dims, x.isComplex,
                               x.isLogical && !sparse ? "logical"
                               : sparse               ? "sparse"
                                                      : "numeric"));
    shape_.sparse = sparse;
    rows = x.dims[0];
    columns = x.dims[1];
    h.y = Mat_VarReadInfo(h.mat, y_name_.c_str());
    if (!h.y) fail(path_, "has no variable '" + y_name_ + "' (name it with --y)");
    const matvar_t &y = *h.y;
    std::vector<uint64_t> ydims(y.dims, y.dims + y.rank);
    if (!(y.class_type == MAT_C_DOUBLE || y.class_type == MAT_C_SINGLE) || y.isComplex || y.isLogical || y.rank != 2 ||
        (y.dims[0] != 1 && y.dims[1] != 1))
      fail(path_, y_name_ + " must be a real, full double or single vector of N labels; it is " +
                      describe(ydims, y.isComplex, y.class_type == MAT_C_SPARSE ? "sparse" : "non-numeric"));
    labels = y.dims[0] * y.dims[1];
  }
  if (rows > 2147483647u || columns > 2147483647u)
    fail(path_, x_name_ + " is " + std::to_string(rows) + "x" + std::to_string(columns) +
                    "; at most 2147483647 rows and columns are supported");
  if (labels != rows)
    fail(path_, y_name_ + " holds " + std::to_string(labels) + " labels but " + x_name_ + " has " +
                    std::to_string(rows) + " rows; they must match");
  shape_.N = static_cast<int32_t>(rows);
  shape_.D = static_cast<int32_t>(columns);
  inspected_ = true;
  return shape_;
}

namespace {

// ---- full X from a level-5 file ---------------------------------------------------------------

// The variable's first run when it is held in its tag: at most 4 bytes, so a tiny X or y.
std::vector<double> inline_values(const NumberRun &run, bool swapped) {
  std::vector<double> v(static_cast<size_t>(run.count));
  to_doubles(run.type, swapped, run.inline_data, v.size(), v.data());
  return v;
}

// Stored values [first, first + count) of a run, into out (as doubles), in pieces of the buffer.
template <typename Each>
void read_span(ByteStream &s, const NumberRun &run, bool swapped, uint64_t first, uint64_t count, Buffer &buf,
               Each each) {
  const size_t width = mat5_width(run.type);
  if (run.small) {
    const std::vector<double> all = inline_values(run, swapped);
    if (first + count > all.size()) throw DamagedFile("its data hold fewer values than its dimensions declare");
    each(all.data() + first, static_cast<size_t>(count), uint64_t{0});
    return;
  }
  FileBytes *file = s.file();
  if (!file) s.skip(first * width);
  for (uint64_t done = 0; done < count;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count - done, buf.values.size()));
    if (file)
      file->read_at(run.offset + (first + done) * width, buf.landing(0), n * width);
    else
      s.read(buf.landing(0), n * width);
    buf.convert(run.type, swapped, 0, n);
    each(buf.values.data(), n, done);
    done += n;
  }
}

// Rows [first, first + B) of every column, read at any offset (an uncompressed file): column
// pieces grouped into one read where the gaps between them are small (a wide, short X), else tiles
// of R rows by C columns with one read per column piece.
void dense_random(FileBytes &file, const NumberRun &run, bool swapped, uint64_t N, uint64_t D, uint64_t first,
                  uint64_t B, const RowTargets &to, const BlockPlace &at, NonFinite &nf) {
  const size_t width = mat5_width(run.type);
  const bool convert = needs_conversion(run.type, swapped);
  const uint64_t V = kBufferValues, gap = N - B;
  const uint64_t span_columns = V >= B ? std::min<uint64_t>(D, (V - B) / N + 1) : 0;
  const bool spans = span_columns > 0 && gap * width <= std::max<uint64_t>(B * width, 4096) &&
                     span_columns >= std::min<uint64_t>(D, kTileColumns);
  if (spans) {
    Buffer buf(static_cast<size_t>(std::min<uint64_t>(V, (span_columns - 1) * N + B)), width, convert);
    for (uint64_t j0 = 0; j0 < D; j0 += span_columns) {
      const uint64_t C = std::min(span_columns, D - j0);
      const uint64_t values = (C - 1) * N + B;
      file.read_at(run.offset + (j0 * N + first) * width, buf.landing(0), values * width);
      buf.convert(run.type, swapped, 0, static_cast<size_t>(values));
      const double *tile = buf.values.data();
      if (scatter_tile(tile, N, B, C, to, 0, j0)) find_non_finite(tile, N, B, C, 0, j0, at, nf);
    }
    return;
  }
  const uint64_t C = std::min<uint64_t>(D, std::max<uint64_t>(kTileColumns, V / 256));
  const uint64_t R = std::max<uint64_t>(1, std::min<uint64_t>(B, V / C));
  Buffer buf(static_cast<size_t>(R * C), width, false);
  std::vector<unsigned char> raw(convert ? R * width : 0);
  for (uint64_t r0 = 0; r0 < B; r0 += R) {
    const uint64_t rows = std::min(R, B - r0);
    for (uint64_t j0 = 0; j0 < D; j0 += C) {
      const uint64_t columns = std::min(C, D - j0);
      double *tile = buf.values.data();
      for (uint64_t c = 0; c < columns; ++c) {
        const uint64_t offset = run.offset + ((j0 + c) * N + first + r0) * width;
        double *column = tile + c * rows;
        file.read_at(offset, convert ? static_cast<void *>(raw.data()) : column, rows * width);
        if (convert) to_doubles(run.type, swapped, raw.data(), static_cast<size_t>(rows), column);
      }
      if (scatter_tile(tile, rows, rows, columns, to, static_cast<int64_t>(r0), j0))
        find_non_finite(tile, rows, rows, columns, static_cast<int64_t>(r0), j0, at, nf);
    }
  }
}

// The same from a stream read in order (a compressed variable): each column's piece in turn,
// grouped into as many columns as the buffer holds.
void dense_stream(ByteStream &s, const NumberRun &run, bool swapped, uint64_t N, uint64_t D, uint64_t first, uint64_t B,
                  const RowTargets &to, const BlockPlace &at, NonFinite &nf) {
  const size_t width = mat5_width(run.type);
  const bool convert = needs_conversion(run.type, swapped);
  const uint64_t V = kBufferValues;
  const uint64_t R = std::min<uint64_t>(B, V);  // rows of a piece: all B unless one column exceeds the buffer
  const uint64_t C = R == B ? std::max<uint64_t>(1, std::min<uint64_t>(D, V / std::max<uint64_t>(B, 1))) : 1;
  Buffer buf(static_cast<size_t>(R * C), width, false);
  std::vector<unsigned char> raw(convert ? R * width : 0);
  if (B == 0) return;
  for (uint64_t j0 = 0; j0 < D; j0 += C) {
    const uint64_t columns = std::min(C, D - j0);
    for (uint64_t c = 0; c < columns; ++c) {
      s.skip(first * width);
      for (uint64_t r0 = 0; r0 < B; r0 += R) {
        const uint64_t rows = std::min(R, B - r0);
        double *column = buf.values.data() + (R == B ? c * B : 0);
        s.read(convert ? static_cast<void *>(raw.data()) : column, rows * width);
        if (convert) to_doubles(run.type, swapped, raw.data(), static_cast<size_t>(rows), column);
        if (R != B && scatter_tile(column, rows, rows, 1, to, static_cast<int64_t>(r0), j0 + c))
          find_non_finite(column, rows, rows, 1, static_cast<int64_t>(r0), j0 + c, at, nf);
      }
      s.skip((N - first - B) * width);
    }
    if (R == B && scatter_tile(buf.values.data(), B, B, columns, to, 0, j0))
      find_non_finite(buf.values.data(), B, B, columns, 0, j0, at, nf);
  }
}

// ---- a sparse X from a level-5 file -----------------------------------------------------------

// The nonzeros of rows [first, first + count) from the three runs of a sparse variable (row
// indices, column starts, values) read in order: every row index is looked at, every column start,
// and the values up to the last one the block needs.
SparseBlock sparse_stream(ByteStream &s, const Mat5Variable &x, bool swapped, uint64_t N, uint64_t D, uint64_t first,
                          uint64_t count, Buffer &buf) {
  SparseBlock b;
  b.rows = static_cast<int32_t>(count);
  b.D = static_cast<int32_t>(D);
  std::vector<int64_t, core::LargeArrayAllocator<int64_t>> picked;  // entry numbers of the block's nonzeros
  const NumberRun ir = x.first;
  std::vector<int64_t> index(kBufferValues / 8);
  auto indices = [&](const NumberRun &run, uint64_t from, uint64_t n, int64_t *out) {
    const size_t width = mat5_width(run.type);
    std::vector<unsigned char> raw(static_cast<size_t>(n * width));
    if (run.small)
      std::memcpy(raw.data(), run.inline_data + from * width, raw.size());
    else
      s.read(raw.data(), raw.size());
    if (!to_indices(run.type, swapped, raw.data(), static_cast<size_t>(n), out))
      throw DamagedFile("holds an index that is negative or not whole");
  };
  if (!x.has_first) {
    if (N * D != 0) throw DamagedFile("it ends before its row indices");
    b.column_starts.assign(static_cast<size_t>(D) + 1, 0);
    return b;
  }
  const uint64_t nnz = ir.count;
  for (uint64_t k0 = 0; k0 < nnz; k0 += index.size()) {
    const uint64_t n = std::min<uint64_t>(index.size(), nnz - k0);
    indices(ir, k0, n, index.data());
    for (uint64_t k = 0; k < n; ++k) {
      const int64_t r = index[k];
      if (static_cast<uint64_t>(r) >= N)
        throw DamagedFile("has a row index " + std::to_string(r + 1) + " beyond its " + std::to_string(N) + " rows");
      if (static_cast<uint64_t>(r) >= first && static_cast<uint64_t>(r) < first + count) {
        picked.push_back(static_cast<int64_t>(k0 + k));
        b.row_indices.push_back(static_cast<int32_t>(static_cast<uint64_t>(r) - first));
      }
    }
  }
  if (!ir.small) skip_padding(s, ir.bytes());
  // Column starts.
  b.column_starts.resize(static_cast<size_t>(D) + 1);
  {
    const Mat5Tag jc_tag = read_tag(s, swapped);
    const size_t width = mat5_width(jc_tag.type);
    if (width == 0 || jc_tag.bytes != (D + 1) * width)
      throw DamagedFile("has " + std::to_string(width ? jc_tag.bytes / width : 0) + " column starts for its " +
                        std::to_string(D) + " columns");
    NumberRun jc{jc_tag.type, s.position(), D + 1, jc_tag.small, {0, 0, 0, 0}};
    std::memcpy(jc.inline_data, jc_tag.small_data, 4);
    for (uint64_t c0 = 0; c0 <= D; c0 += index.size()) {
      const uint64_t n = std::min<uint64_t>(index.size(), D + 1 - c0);
      indices(jc, c0, n, b.column_starts.data() + c0);
    }
    if (!jc.small) skip_padding(s, jc_tag.bytes);
  }
  const int64_t stored = b.column_starts[static_cast<size_t>(D)];
  if (b.column_starts[0] != 0 || static_cast<uint64_t>(stored) > nnz)
    throw DamagedFile("has column starts that do not describe its " + std::to_string(nnz) + " row indices");
  for (uint64_t c = 0; c < D; ++c)
    if (b.column_starts[c] > b.column_starts[c + 1]) throw DamagedFile("has column starts that decrease");
  // Entries beyond the last column's end are unused room.
  while (!picked.empty() && picked.back() >= stored) {
    picked.pop_back();
    b.row_indices.pop_back();
  }
  // Values: read up to the last entry the block needs.
  b.values.resize(picked.size());
  if (stored > 0) {
    const Mat5Tag pr_tag = read_tag(s, swapped);
    const size_t width = mat5_width(pr_tag.type);
    if (width == 0 || pr_tag.bytes % width != 0 || pr_tag.bytes / width < static_cast<uint64_t>(stored))
      throw DamagedFile("stores fewer values than its " + std::to_string(stored) + " nonzeros");
    NumberRun pr{pr_tag.type, s.position(), pr_tag.bytes / width, pr_tag.small, {0, 0, 0, 0}};
    std::memcpy(pr.inline_data, pr_tag.small_data, 4);
    const uint64_t needed = picked.empty() ? 0 : static_cast<uint64_t>(picked.back()) + 1;
    size_t p = 0;
    read_span(s, pr, swapped, 0, needed, buf, [&](const double *v, size_t n, uint64_t at) {
      while (p < picked.size() && static_cast<uint64_t>(picked[p]) < at + n) {
        b.values[p] = v[static_cast<uint64_t>(picked[p]) - at];
        ++p;
      }
    });
  }
  // The column starts of the block: entries of the block before each column's start.
  size_t p = 0;
  for (uint64_t c = 0; c <= D; ++c) {
    const int64_t start = b.column_starts[c];
    while (p < picked.size() && picked[p] < start) ++p;
    b.column_starts[c] = static_cast<int64_t>(p);
  }
  for (uint64_t c = 0; c < D; ++c)
    for (int64_t k = b.column_starts[c] + 1; k < b.column_starts[c + 1]; ++k)
      if (b.row_indices[static_cast<size_t>(k)] <= b.row_indices[static_cast<size_t>(k) - 1])
        throw DamagedFile("has the row indices of column " + std::to_string(c + 1) + " out of order");
  return b;
}

}  // namespace

namespace {

// Runs one read of `variable`, turning what the file's reader reports into the program's message.
template <typename Body>
void reading(const std::string &path, const std::string &variable, Body body) {
  try {
    body();
  } catch (const DamagedFile &e) {
    fail(path, variable + ": the file is truncated or damaged (" + e.what() + ")");
  } catch (const RunFailure &) {
    throw;
  } catch (const std::bad_alloc &) {
    throw;
  } catch (const std::runtime_error &e) {
    fail(path, variable + ": " + e.what());
  }
}

}  // namespace

void MatInput::read_labels(int32_t first, int32_t count, const RowTargets &to, const void *place, NonFinite &nf) {
  const BlockPlace &at = *static_cast<const BlockPlace *>(place);
  const uint64_t f = static_cast<uint64_t>(first), B = static_cast<uint64_t>(count);
  if (B == 0) return;
  reading(path_, y_name_, [&] {
    if (level5_) {
      const bool swapped = level5_->file.swapped();
      const Mat5Variable &y = *level5_->y;
      std::unique_ptr<ByteStream> s = level5_->file.open(y);
      Buffer buf(static_cast<size_t>(std::min<uint64_t>(B, kBufferValues)), mat5_width(y.first.type),
                 needs_conversion(y.first.type, swapped));
      read_span(*s, y.first, swapped, f, B, buf, [&](const double *v, size_t k, uint64_t done) {
        scatter_labels(v, k, to, static_cast<int64_t>(done), at, nf);
      });
      s->finish();
      bytes_read_ += s->bytes_from_file();
      return;
    }
    Hdf5 &h = *hdf5_;
    const bool single = h.y->class_type == MAT_C_SINGLE;
    const bool column = h.y->dims[1] == 1;
    const uint64_t piece = std::min<uint64_t>(B, kBufferValues);
    std::vector<double> labels(static_cast<size_t>(piece));
    std::vector<float> singles(single ? static_cast<size_t>(piece) : 0);
    for (uint64_t r0 = 0; r0 < B; r0 += piece) {
      const int n = static_cast<int>(std::min(piece, B - r0)), at_row = static_cast<int>(f + r0);
      int start[2] = {column ? at_row : 0, column ? 0 : at_row}, stride[2] = {1, 1},
          edge[2] = {column ? n : 1, column ? 1 : n};
      void *into = single ? static_cast<void *>(singles.data()) : labels.data();
      if (Mat_VarReadData(h.mat, h.y, into, start, stride, edge) != 0)
        throw DamagedFile("HDF5 could not read values " + std::to_string(at_row + 1) + " to " +
                          std::to_string(at_row + n));
      if (single)
        for (int k = 0; k < n; ++k)
          labels[static_cast<size_t>(k)] = static_cast<double>(singles[static_cast<size_t>(k)]);
      scatter_labels(labels.data(), static_cast<size_t>(n), to, static_cast<int64_t>(r0), at, nf);
    }
  });
}

NonFinite MatInput::read_rows(int32_t first, int32_t count, const RowTargets &to, int64_t first_row, int64_t N) {
  if (!inspected_) inspect();
  NonFinite nf;
  const BlockPlace at{&path_, first, first_row, N, shape_.D};
  const uint64_t n = static_cast<uint64_t>(shape_.N), D = static_cast<uint64_t>(shape_.D);
  const uint64_t f = static_cast<uint64_t>(first), B = static_cast<uint64_t>(count);
  if (B > 0 && D > 0)
    reading(path_, x_name_, [&] {
      if (level5_) {
        const bool swapped = level5_->file.swapped();
        const Mat5Variable &x = *level5_->x;
        std::unique_ptr<ByteStream> s = level5_->file.open(x);
        if (x.first.small) {
          const std::vector<double> all = inline_values(x.first, swapped);
          if (scatter_tile(all.data() + f, n, B, D, to, 0, 0)) find_non_finite(all.data() + f, n, B, D, 0, 0, at, nf);
        } else if (FileBytes *file = s->file()) {
          dense_random(*file, x.first, swapped, n, D, f, B, to, at, nf);
        } else {
          dense_stream(*s, x.first, swapped, n, D, f, B, to, at, nf);
        }
        s->finish();
        bytes_read_ += s->bytes_from_file();
        return;
      }
      Hdf5 &h = *hdf5_;
      const bool single = h.x->class_type == MAT_C_SINGLE;
      const uint64_t C = std::min<uint64_t>(D, kBufferValues);
      const uint64_t R = std::max<uint64_t>(1, std::min<uint64_t>(B, kBufferValues / C));
      std::vector<double, core::LargeArrayAllocator<double>> tile(static_cast<size_t>(R * C));
      std::vector<float> singles(single ? static_cast<size_t>(R * C) : 0);
      for (uint64_t r0 = 0; r0 < B; r0 += R) {
        const uint64_t rows = std::min(R, B - r0);
        for (uint64_t j0 = 0; j0 < D; j0 += C) {
          const uint64_t columns = std::min(C, D - j0);
          int start[2] = {static_cast<int>(f + r0), static_cast<int>(j0)}, stride[2] = {1, 1},
              edge[2] = {static_cast<int>(rows), static_cast<int>(columns)};
          void *into = single ? static_cast<void *>(singles.data()) : tile.data();
          if (Mat_VarReadData(h.mat, h.x, into, start, stride, edge) != 0)
            throw DamagedFile("HDF5 could not read rows " + std::to_string(f + r0 + 1) + " to " +
                              std::to_string(f + r0 + rows));
          if (single)
            for (size_t k = 0; k < rows * columns; ++k) tile[k] = static_cast<double>(singles[k]);
          if (scatter_tile(tile.data(), rows, rows, columns, to, static_cast<int64_t>(r0), j0))
            find_non_finite(tile.data(), rows, rows, columns, static_cast<int64_t>(r0), j0, at, nf);
        }
      }
      bytes_read_ += B * D * (single ? 4 : 8);
    });
  read_labels(first, count, to, &at, nf);
  return nf;
}

SparseBlock MatInput::read_sparse(int32_t first, int32_t count, const RowTargets &to, int64_t first_row, int64_t N,
                                  NonFinite &nf) {
  if (!inspected_) inspect();
  const BlockPlace at{&path_, first, first_row, N, shape_.D};
  const uint64_t n = static_cast<uint64_t>(shape_.N), D = static_cast<uint64_t>(shape_.D);
  const uint64_t f = static_cast<uint64_t>(first), B = static_cast<uint64_t>(count);
  SparseBlock b;
  reading(path_, x_name_, [&] {
    if (level5_) {
      const bool swapped = level5_->file.swapped();
      std::unique_ptr<ByteStream> s = level5_->file.open(*level5_->x);
      Buffer buf(kBufferValues / 8, 8, true);
      b = sparse_stream(*s, *level5_->x, swapped, n, D, f, B, buf);
      s->finish();
      bytes_read_ += s->bytes_from_file();
      return;
    }
    // matio reads an HDF5 sparse variable only whole: every process reads all of X.
    Hdf5 &h = *hdf5_;
    matvar_t *whole = Mat_VarRead(h.mat, x_name_.c_str());
    if (!whole || !whole->data) {
      if (whole) Mat_VarFree(whole);
      throw DamagedFile("HDF5 could not read the sparse matrix");
    }
    std::unique_ptr<matvar_t, void (*)(matvar_t *)> keep(whole, Mat_VarFree);
    const mat_sparse_t &sp = *static_cast<const mat_sparse_t *>(whole->data);
    if (sp.njc != D + 1) throw DamagedFile("it has " + std::to_string(sp.njc) + " column starts for its columns");
    const uint64_t stored = sp.jc[D];
    if (sp.jc[0] != 0 || stored > sp.nir || stored > sp.ndata) throw DamagedFile("it holds fewer entries than it says");
    auto value = [&](uint64_t k) -> double {
      switch (whole->data_type) {
        case MAT_T_DOUBLE:
          return static_cast<const double *>(sp.data)[k];
        case MAT_T_SINGLE:
          return static_cast<const float *>(sp.data)[k];
        case MAT_T_UINT8:
          return static_cast<const uint8_t *>(sp.data)[k];
        case MAT_T_INT8:
          return static_cast<const int8_t *>(sp.data)[k];
        default:
          throw DamagedFile("it stores its values as matio type " + std::to_string(whole->data_type));
      }
    };
    b.rows = count;
    b.D = static_cast<int32_t>(D);
    b.column_starts.assign(static_cast<size_t>(D) + 1, 0);
    for (uint64_t c = 0; c < D; ++c) {
      if (sp.jc[c] > sp.jc[c + 1]) throw DamagedFile("its column starts decrease");
      for (uint64_t k = sp.jc[c]; k < sp.jc[c + 1]; ++k) {
        const uint64_t r = sp.ir[k];
        if (r >= n) throw DamagedFile("it has a row index beyond its rows");
        if (k > sp.jc[c] && r <= sp.ir[k - 1]) throw DamagedFile("the row indices of a column are out of order");
        if (r < f || r >= f + B) continue;
        b.row_indices.push_back(static_cast<int32_t>(r - f));
        b.values.push_back(value(k));
      }
      b.column_starts[c + 1] = static_cast<int64_t>(b.values.size());
    }
    bytes_read_ += stored * 12 + (D + 1) * 4;
  });
  read_labels(first, count, to, &at, nf);
  // A NaN or an infinity among the nonzeros, the first in MATLAB's order.
  for (int32_t c = 0; c < b.D; ++c)
    for (int64_t k = b.column_starts[static_cast<size_t>(c)]; k < b.column_starts[static_cast<size_t>(c) + 1]; ++k) {
      const double v = b.values[static_cast<size_t>(k)];
      if (std::isfinite(v)) continue;
      const int64_t row = b.row_indices[static_cast<size_t>(k)];
      nf.keep(c * N + first_row + row, path_, false, first + row + 1, c + 1, v);
    }
  return b;
}

}  // namespace cluster
