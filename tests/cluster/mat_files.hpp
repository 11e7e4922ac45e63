// MAT files for the tests of splitavg-mpi, written and read with matio.
#pragma once

#include <matio.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace mat_files {

// N x D features and N labels that make every sample's step matter.
struct Problem {
  int32_t N = 0, D = 0;
  std::vector<double> X;  // column-major
  std::vector<double> y;
};

inline Problem wavy(int32_t N, int32_t D, double phase = 0.1) {
  Problem p;
  p.N = N;
  p.D = D;
  p.X.resize(static_cast<size_t>(N) * static_cast<size_t>(D));
  p.y.resize(static_cast<size_t>(N));
  for (size_t k = 0; k < p.X.size(); ++k) p.X[k] = std::sin(0.37 * static_cast<double>(k) + phase);
  for (size_t k = 0; k < p.y.size(); ++k) p.y[k] = std::cos(1.3 * static_cast<double>(k) + phase);
  return p;
}

// Rows first .. first + count - 1 of p.
inline Problem rows_of(const Problem &p, int32_t first, int32_t count) {
  Problem s;
  s.N = count;
  s.D = p.D;
  for (int32_t j = 0; j < p.D; ++j)
    for (int32_t i = first; i < first + count; ++i) s.X.push_back(p.X[static_cast<size_t>(i + j * p.N)]);
  s.y.assign(p.y.begin() + first, p.y.begin() + first + count);
  return s;
}

// One variable to write: a real double, single or complex matrix, or a char array.
struct Var {
  std::string name;
  size_t rows = 0, cols = 0;
  std::vector<double> values;
  enum Kind { kDouble, kSingle, kComplex, kChar, kSparse } kind = kDouble;
};

inline bool write_file(const std::string &path, const std::vector<Var> &vars, mat_ft version = MAT_FT_MAT5,
                       matio_compression compression = MAT_COMPRESSION_NONE) {
  mat_t *mat = Mat_CreateVer(path.c_str(), nullptr, version);
  if (!mat) return false;
  bool ok = true;
  for (const Var &v : vars) {
    size_t dims[2] = {v.rows, v.cols};
    matvar_t *m = nullptr;
    std::vector<float> single(v.values.begin(), v.values.end());
    std::vector<double> im(v.values.size(), 0.5);
    std::vector<double> re = v.values;
    mat_complex_split_t z{re.data(), im.data()};
    std::string text(v.rows * v.cols, 'a');
    // A sparse matrix from the full values: the nonzeros column by column.
    std::vector<mat_uint32_t> jc(1, 0), ir;
    std::vector<double> nonzeros;
    if (v.kind == Var::kSparse) {
      for (size_t j = 0; j < v.cols; ++j) {
        for (size_t i = 0; i < v.rows; ++i)
          if (v.values[i + j * v.rows] != 0) {
            ir.push_back(static_cast<mat_uint32_t>(i));
            nonzeros.push_back(v.values[i + j * v.rows]);
          }
        jc.push_back(static_cast<mat_uint32_t>(ir.size()));
      }
    }
    mat_sparse_t sp{};
    sp.nzmax = static_cast<mat_uint32_t>(ir.size());
    sp.ir = ir.data();
    sp.nir = static_cast<mat_uint32_t>(ir.size());
    sp.jc = jc.data();
    sp.njc = static_cast<mat_uint32_t>(jc.size());
    sp.ndata = static_cast<mat_uint32_t>(nonzeros.size());
    sp.data = nonzeros.data();
    switch (v.kind) {
      case Var::kDouble:
        m = Mat_VarCreate(v.name.c_str(), MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dims, const_cast<double *>(v.values.data()),
                          0);
        break;
      case Var::kSingle:
        m = Mat_VarCreate(v.name.c_str(), MAT_C_SINGLE, MAT_T_SINGLE, 2, dims, single.data(), 0);
        break;
      case Var::kComplex:
        m = Mat_VarCreate(v.name.c_str(), MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dims, &z, MAT_F_COMPLEX);
        break;
      case Var::kChar:
        m = Mat_VarCreate(v.name.c_str(), MAT_C_CHAR, MAT_T_UTF8, 2, dims, text.data(), 0);
        break;
      case Var::kSparse:
        m = Mat_VarCreate(v.name.c_str(), MAT_C_SPARSE, MAT_T_DOUBLE, 2, dims, &sp, MAT_F_DONT_COPY_DATA);
        break;
    }
    ok = ok && m && Mat_VarWrite(mat, m, compression) == 0;
    if (m) Mat_VarFree(m);
  }
  return Mat_Close(mat) == 0 && ok;
}

inline bool write_problem(const std::string &path, const Problem &p, mat_ft version = MAT_FT_MAT5,
                          matio_compression compression = MAT_COMPRESSION_NONE, bool sparse = false) {
  return write_file(
      path,
      {Var{"X", static_cast<size_t>(p.N), static_cast<size_t>(p.D), p.X, sparse ? Var::kSparse : Var::kDouble},
       Var{"y", static_cast<size_t>(p.N), 1, p.y}},
      version, compression);
}

// A problem whose X is mostly zeros: each value kept with probability about `density`.
inline Problem sparse_wavy(int32_t N, int32_t D, double density, double phase = 0.3) {
  Problem p = wavy(N, D, phase);
  for (size_t k = 0; k < p.X.size(); ++k)
    if (std::fabs(std::sin(12.9898 * static_cast<double>(k) + phase)) > density) p.X[k] = 0.0;
  return p;
}

// Level-5 MAT files written byte by byte, for the files no library writes: numbers stored in a
// narrower type (as Octave saves whole numbers), the other byte order, and damaged headers.
struct Level5 {
  bool big_endian = false;
  std::string bytes;
  explicit Level5(bool big = false) : big_endian(big) {
    std::string text = "MATLAB 5.0 MAT-file, written by a test";
    text.resize(116, ' ');
    bytes = text + std::string(8, '\0');
    put16(0x0100);
    bytes += big_endian ? "MI" : "IM";
  }
  void put16(uint16_t v) { put_raw(&v, 2); }
  void put32(uint32_t v) { put_raw(&v, 4); }
  void put_raw(const void *p, size_t n) {
    std::string b(static_cast<const char *>(p), n);
    if (big_endian) b.assign(b.rbegin(), b.rend());
    bytes += b;
  }
  static std::string padded(std::string s) {
    s.resize((s.size() + 7) / 8 * 8, '\0');
    return s;
  }
  // One subelement: tag and data (already in the file's byte order), padded.
  std::string element(uint32_t type, const std::string &data, uint32_t declared) const {
    Level5 w(big_endian);
    w.bytes.clear();
    w.put32(type);
    w.put32(declared);
    return padded(w.bytes + data);
  }
  template <typename T>
  std::string numbers(const std::vector<T> &v) const {
    std::string out;
    for (T x : v) {
      std::string b(reinterpret_cast<const char *>(&x), sizeof x);
      if (big_endian) b.assign(b.rbegin(), b.rend());
      out += b;
    }
    return out;
  }
  // A full double-class matrix whose values are stored as `type` (data already encoded); the
  // dimensions, the stored byte count and the class and flags may be declared otherwise.
  void matrix(const std::string &name, std::vector<int32_t> dims, uint32_t type, const std::string &data,
              int64_t declared_bytes = -1, uint32_t class_and_flags = 6) {
    std::string body = element(6, numbers(std::vector<uint32_t>{class_and_flags, 0}), 8);
    body += element(5, numbers(dims), static_cast<uint32_t>(dims.size() * 4));
    body += element(1, name, static_cast<uint32_t>(name.size()));
    body += element(type, data,
                    declared_bytes < 0 ? static_cast<uint32_t>(data.size()) : static_cast<uint32_t>(declared_bytes));
    Level5 w(big_endian);
    w.bytes.clear();
    w.put32(14);
    w.put32(static_cast<uint32_t>(body.size()));
    bytes += w.bytes + body;
  }
  bool write(const std::string &path) const {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
  }
};

// A real double variable of a MAT file (empty when it is missing or not one).
inline std::vector<double> read_doubles(const std::string &path, const char *name) {
  std::vector<double> out;
  mat_t *mat = Mat_Open(path.c_str(), MAT_ACC_RDONLY);
  if (!mat) return out;
  matvar_t *v = Mat_VarRead(mat, name);
  if (v && v->class_type == MAT_C_DOUBLE && !v->isComplex && v->data) {
    const double *d = static_cast<const double *>(v->data);
    out.assign(d, d + v->nbytes / sizeof(double));
  }
  if (v) Mat_VarFree(v);
  Mat_Close(mat);
  return out;
}

// info.<field> of a result file, or its values for a vector field.
inline std::vector<double> read_info(const std::string &path, const char *field) {
  std::vector<double> out;
  mat_t *mat = Mat_Open(path.c_str(), MAT_ACC_RDONLY);
  if (!mat) return out;
  matvar_t *s = Mat_VarRead(mat, "info");
  matvar_t *f = s ? Mat_VarGetStructFieldByName(s, field, 0) : nullptr;
  if (f && f->data) {
    const double *d = static_cast<const double *>(f->data);
    out.assign(d, d + f->nbytes / sizeof(double));
  }
  if (s) Mat_VarFree(s);
  Mat_Close(mat);
  return out;
}

}  // namespace mat_files
