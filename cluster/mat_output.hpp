// Writing the result file: w and info into a temporary file beside it, renamed over it only once
// complete, so that no reader ever sees a partial result under the file's name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cluster {

struct ResultInfo {
  uint32_t seed = 0;
  int32_t processes = 1;
  int32_t threads = 1;  // per process
  int32_t iterations = 1;
  double seconds = 0.0;
  std::vector<double> objective;  // initial and final objective, when asked for (--verbose)
  // Where the time went, each the longest over the processes: reading the file(s), the exchange
  // of rows, and everything from the end of the shuffle to the average (the pass, for a quiet run);
  // and the bytes all processes together sent to others in the exchange.
  double read_seconds = 0.0;
  double exchange_seconds = 0.0;
  double pass_seconds = 0.0;
  double exchange_bytes = 0.0;
  double read_bytes = 0.0;  // bytes of the files the processes read, all together
  // The largest resident memory a process reached above what it held when it started (the MPI
  // runtime's own), in bytes.
  double peak_memory = 0.0;
  bool diverged = false;  // the weights hold a NaN or an infinity
};

// Writes w (D x 1) and info (a 1 x 1 struct) to `path` atomically, through a temporary file beside
// it (temporary_name) that is created only if no file has that name. Returns an empty string, or a
// message naming the file and what failed (the temporary file is removed then).
std::string write_result(const std::string &path, const double *w, size_t D, const ResultInfo &info);
inline std::string write_result(const std::string &path, const std::vector<double> &w, const ResultInfo &info) {
  return write_result(path, w.data(), w.size(), info);
}

}  // namespace cluster
