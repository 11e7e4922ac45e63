// The command line of splitavg-mpi: options, then the data file (or a pattern with %d for one file
// per process) and the result file.
#pragma once

#include <cstdint>
#include <string>

namespace cluster {

struct ProgramOptions {
  double step = 0.0;
  double lambda = 0.0;
  bool has_seed = false;
  uint32_t seed = 0;
  int32_t threads = 1;
  bool verbose = false;
  bool progress = false;  // process 0 keeps a progress line of its own shares' pass
  bool help = false;
  std::string x_name = "X";
  std::string y_name = "y";
  std::string input;   // a MAT file, or a pattern such as shard_%d.mat
  std::string output;  // the result file
};

// Reads argv[1 ..]. Returns an empty string on success (also for --help), else a message naming
// the argument at fault.
std::string parse_options(int argc, const char *const *argv, ProgramOptions &out);

// The text --help prints.
const char *usage_text();

// Whether the input names one file per process: it holds exactly one %d and no other conversion.
bool is_shard_pattern(const std::string &input);
// The pattern with %d replaced by the process number.
std::string shard_file(const std::string &pattern, int rank);
// Whether `path` is a name the pattern gives for some number (shard_%d.mat: shard_7.mat).
bool names_a_shard(const std::string &pattern, const std::string &path);

}  // namespace cluster
