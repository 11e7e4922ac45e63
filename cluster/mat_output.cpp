#include "cluster/mat_output.hpp"

#include <fcntl.h>
#include <matio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "cluster/result_path.hpp"

namespace cluster {
namespace {

matvar_t *double_column(const char *name, const double *v, size_t n) {
  size_t dims[2] = {n, 1};
  return Mat_VarCreate(name, MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dims, const_cast<double *>(v), 0);
}

matvar_t *double_scalar(double value) {
  size_t dims[2] = {1, 1};
  return Mat_VarCreate(nullptr, MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dims, &value, 0);
}

matvar_t *logical_scalar(bool value) {
  size_t dims[2] = {1, 1};
  mat_uint8_t v = value ? 1 : 0;
  return Mat_VarCreate(nullptr, MAT_C_UINT8, MAT_T_UINT8, 2, dims, &v, MAT_F_LOGICAL);
}

bool write_variables(mat_t *mat, const double *w, size_t D, const ResultInfo &info) {
  matvar_t *wv = double_column("w", w, D);
  if (!wv) return false;
  const bool w_ok = Mat_VarWrite(mat, wv, MAT_COMPRESSION_NONE) == 0;
  Mat_VarFree(wv);
  if (!w_ok) return false;

  const char *const fields[] = {"seed",       "processes",   "threads",       "iterations", "time",
                                "objective",  "read_time",   "exchange_time", "pass_time",  "exchange_bytes",
                                "read_bytes", "peak_memory", "diverged",      nullptr};
  constexpr size_t kFields = 13;
  size_t dims[2] = {1, 1};
  matvar_t *s = Mat_VarCreateStruct2("info", 2, dims, fields);
  if (!s) return false;
  matvar_t *values[kFields] = {
      double_scalar(info.seed),         double_scalar(info.processes),
      double_scalar(info.threads),      double_scalar(info.iterations),
      double_scalar(info.seconds),      double_column(nullptr, info.objective.data(), info.objective.size()),
      double_scalar(info.read_seconds), double_scalar(info.exchange_seconds),
      double_scalar(info.pass_seconds), double_scalar(info.exchange_bytes),
      double_scalar(info.read_bytes),   double_scalar(info.peak_memory),
      logical_scalar(info.diverged)};
  bool ok = true;
  for (size_t k = 0; k < kFields; ++k) {
    if (values[k] && ok)
      Mat_VarSetStructFieldByName(s, fields[k], 0, values[k]);
    else if (values[k])
      Mat_VarFree(values[k]);
    else
      ok = false;
  }
  ok = ok && Mat_VarWrite(mat, s, MAT_COMPRESSION_NONE) == 0;
  Mat_VarFree(s);
  return ok;
}

// Whether a field read back holds exactly `values` (doubles).
bool holds_doubles(matvar_t *s, const char *name, const std::vector<double> &values) {
  const matvar_t *f = Mat_VarGetStructFieldByName(s, name, 0);
  if (!f || f->class_type != MAT_C_DOUBLE || f->rank != 2 || f->dims[0] * f->dims[1] != values.size()) return false;
  return values.empty() || (f->data && std::memcmp(f->data, values.data(), values.size() * sizeof(double)) == 0);
}

// Whether the info struct read back holds every field as written, each value whole: a file cut
// inside its last field still reads, with that field short or empty.
bool holds_info(matvar_t *s, const ResultInfo &info) {
  if (Mat_VarGetNumberOfFields(s) != 13) return false;
  const std::pair<const char *, double> scalars[] = {{"seed", info.seed},
                                                     {"processes", info.processes},
                                                     {"threads", info.threads},
                                                     {"iterations", info.iterations},
                                                     {"time", info.seconds},
                                                     {"read_time", info.read_seconds},
                                                     {"exchange_time", info.exchange_seconds},
                                                     {"pass_time", info.pass_seconds},
                                                     {"exchange_bytes", info.exchange_bytes},
                                                     {"read_bytes", info.read_bytes},
                                                     {"peak_memory", info.peak_memory}};
  for (const auto &[name, value] : scalars)
    if (!holds_doubles(s, name, {value})) return false;
  if (!holds_doubles(s, "objective", info.objective)) return false;
  const matvar_t *diverged = Mat_VarGetStructFieldByName(s, "diverged", 0);
  return diverged && diverged->class_type == MAT_C_UINT8 && diverged->rank == 2 &&
         diverged->dims[0] * diverged->dims[1] == 1 && diverged->data &&
         *static_cast<const mat_uint8_t *>(diverged->data) == (info.diverged ? 1 : 0);
}

// Whether the finished file holds what was written: the file's data reach the disk (fsync, where a
// full disk or a quota shows when writes were only buffered), and matio reads back w with the
// same bits and the info struct whole. matio does not report every failed write, so a file cut
// short by a full disk is found here, before it is renamed into place.
bool reads_back(const std::string &temporary, const double *w, size_t D, const ResultInfo &info) {
  const int fd = open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  if (!synced) return false;
  mat_t *mat = Mat_Open(temporary.c_str(), MAT_ACC_RDONLY);
  if (!mat) return false;
  bool same = false;
  matvar_t *wv = Mat_VarRead(mat, "w");
  if (wv && wv->class_type == MAT_C_DOUBLE && wv->rank == 2 && wv->dims[0] == D && wv->dims[1] == 1 &&
      (D == 0 || (wv->data && std::memcmp(wv->data, w, D * sizeof(double)) == 0))) {
    matvar_t *s = Mat_VarRead(mat, "info");
    if (s && s->class_type == MAT_C_STRUCT) same = holds_info(s, info);
    if (s) Mat_VarFree(s);
  }
  if (wv) Mat_VarFree(wv);
  Mat_Close(mat);
  return same;
}

}  // namespace

std::string write_result(const std::string &path, const double *w, size_t D, const ResultInfo &info) {
  const std::string temporary = temporary_name(path);
  // The name is taken first, so that the file matio then writes is one this run made.
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return path + ": cannot create the temporary file " + temporary + ": " + std::strerror(errno);
  close(fd);
  mat_t *mat = Mat_CreateVer(temporary.c_str(), nullptr, MAT_FT_MAT5);
  if (!mat) {
    unlink(temporary.c_str());
    return path + ": cannot create the temporary file " + temporary;
  }
  const bool written = write_variables(mat, w, D, info);
  const bool closed = Mat_Close(mat) == 0;
  if (!written || !closed || !reads_back(temporary, w, D, info)) {
    std::remove(temporary.c_str());
    return path + ": writing the result failed (disk full?)";
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    std::remove(temporary.c_str());
    return path + ": cannot rename the finished result into place: " + why;
  }
  return "";
}

}  // namespace cluster
