// MAT files for the tests of splitavg-mpi, written and read with matio.
#pragma once

#include <matio.h>

#include <cmath>
#include <cstdint>
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
  enum Kind { kDouble, kSingle, kComplex, kChar } kind = kDouble;
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
    }
    ok = ok && m && Mat_VarWrite(mat, m, compression) == 0;
    if (m) Mat_VarFree(m);
  }
  return Mat_Close(mat) == 0 && ok;
}

inline bool write_problem(const std::string &path, const Problem &p, mat_ft version = MAT_FT_MAT5,
                          matio_compression compression = MAT_COMPRESSION_NONE) {
  return write_file(
      path,
      {Var{"X", static_cast<size_t>(p.N), static_cast<size_t>(p.D), p.X}, Var{"y", static_cast<size_t>(p.N), 1, p.y}},
      version, compression);
}

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
