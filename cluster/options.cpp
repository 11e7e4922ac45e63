#include "cluster/options.hpp"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "cluster/result_path.hpp"

namespace cluster {
namespace {

constexpr int32_t kMaxThreads = 1024;

// Any finite number the text spells, as the modules take it: a value too small for a normal double
// (which strtod reports as out of range) is kept as the subnormal or zero it rounds to; one too
// large for any double is refused.
bool read_double(const char *text, double &out) {
  char *end = nullptr;
  errno = 0;
  out = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(out);
}

bool read_whole(const char *text, double low, double high, double &out) {
  return read_double(text, out) && out == std::floor(out) && out >= low && out <= high;
}

}  // namespace

const char *usage_text() {
  return "usage: mpirun -n P splitavg-mpi [options] data.mat out.mat\n"
         "\n"
         "One split-and-average pass over P processes of t threads each: the samples are shuffled\n"
         "from the seed, cut into P*t contiguous shares (process p holds shares p*t .. p*t+t-1), each\n"
         "share makes one pass of subgradient descent on a model of its own, and the P*t models are\n"
         "averaged in share order. The weights equal, bit for bit, those of\n"
         "splitavg(X, y, step, lambda, 0, struct('seed', s, 'threads', P*t)).\n"
         "\n"
         "  --step S       step size (required)\n"
         "  --lambda L     L1 penalty (required)\n"
         "  --seed S       seed of the shuffle, 0 .. 4294967295 (default: the calendar time)\n"
         "  --threads T    OpenMP threads per process, 1 .. 1024 (default 1)\n"
         "  --verbose      print splitavg's progress lines and the process count (process 0)\n"
         "  --progress     a line per 10 % of process 0's shares passed, with the time elapsed and\n"
         "                 left (process 0); --verbose wins over it\n"
         "  --x NAME       name of the feature matrix in the file (default X)\n"
         "  --y NAME       name of the label vector in the file (default y)\n"
         "  --help         this text\n"
         "  --             ends the options: what follows names files, even if it starts with --\n"
         "\n"
         "data.mat holds X (N x D, real double or single, full or sparse) and y (N values). A name\n"
         "with %d, such as shard_%d.mat, reads one file per process (process p reads shard_p.mat); the\n"
         "rows of all files in process order make X. out.mat receives w (D x 1) and info (seed,\n"
         "processes, threads, iterations, time, objective, diverged, ...), written to a temporary file\n"
         "and renamed when done. A command line or a result path the program refuses (exit status 2)\n"
         "touches no file; once they are accepted, an earlier out.mat is removed, so a run that fails\n"
         "(exit status 1) or is killed leaves none. The data files are only read.\n";
}

std::string parse_options(int argc, const char *const *argv, ProgramOptions &out) {
  int positional = 0;
  bool has_step = false, has_lambda = false, options_ended = false;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (!options_ended && arg == "--") {
      options_ended = true;  // everything after names a file, even a name that starts with --
      continue;
    }
    if (options_ended) {
      // a file name
    } else if (arg == "--help" || arg == "-h") {
      out.help = true;
      return "";
    } else if (arg == "--verbose") {
      out.verbose = true;
      continue;
    } else if (arg == "--progress") {
      out.progress = true;
      continue;
    } else if (arg.rfind("--", 0) == 0) {
      static const char *const kValued[] = {"--step", "--lambda", "--seed", "--threads", "--x", "--y"};
      bool known = false;
      for (const char *name : kValued) known = known || arg == name;
      if (!known) return "unknown option " + arg + " (see --help)";
      if (k + 1 >= argc) return arg + " needs a value";
      const char *value = argv[++k];
      double v = 0.0;
      if (arg == "--step" || arg == "--lambda") {
        if (!read_double(value, v)) return arg + " must be a finite number; got '" + value + "'";
        (arg == "--step" ? out.step : out.lambda) = v;
        (arg == "--step" ? has_step : has_lambda) = true;
      } else if (arg == "--seed") {
        if (!read_whole(value, 0.0, 4294967295.0, v))
          return std::string("--seed must be a whole number from 0 to 4294967295; got '") + value + "'";
        out.has_seed = true;
        out.seed = static_cast<uint32_t>(v);
      } else if (arg == "--threads") {
        if (!read_whole(value, 1.0, kMaxThreads, v))
          return std::string("--threads must be a whole number from 1 to 1024; got '") + value + "'";
        out.threads = static_cast<int32_t>(v);
      } else {
        if (*value == '\0') return arg + " needs a variable name";
        (arg == "--x" ? out.x_name : out.y_name) = value;
      }
      continue;
    }
    // An empty name would only fail at the end, when the finished result is renamed into place.
    if (arg.empty()) return positional == 0 ? "the data file's name is empty" : "the result file's name is empty";
    if (positional == 0)
      out.input = arg;
    else if (positional == 1)
      out.output = arg;
    else
      return "too many arguments: '" + arg + "' after the data and result files";
    ++positional;
  }
  if (positional < 2) return "expected a data file and a result file (see --help)";
  if (!has_step) return "--step is required";
  if (!has_lambda) return "--lambda is required";
  if (out.input == out.output) return "the result file must not be the data file";
  return "";
}

bool is_shard_pattern(const std::string &input) {
  const size_t at = input.find('%');
  if (at == std::string::npos) return false;
  return input.compare(at, 2, "%d") == 0 && input.find('%', at + 2) == std::string::npos;
}

namespace {

// Whether `name` is `pattern` with its %d replaced by digits.
bool fills_pattern(const std::string &pattern, const std::string &name) {
  const size_t at = pattern.find("%d");
  const size_t before = at, after = pattern.size() - at - 2;
  if (name.size() <= before + after || name.compare(0, before, pattern, 0, before) != 0 ||
      name.compare(name.size() - after, after, pattern, at + 2, after) != 0)
    return false;
  for (size_t k = before; k < name.size() - after; ++k)
    if (name[k] < '0' || name[k] > '9') return false;
  return true;
}

// A path's folder, resolved (links, "." and ".."), and its last name; the folder is empty where it
// cannot be resolved.
std::pair<std::string, std::string> folder_and_name(const std::string &path) {
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  char resolved[PATH_MAX];
  return {realpath(folder_of(path).c_str(), resolved) ? std::string(resolved) : std::string(), name};
}

}  // namespace

bool names_a_shard(const std::string &pattern, const std::string &path) {
  if (fills_pattern(pattern, path)) return true;
  // The same folder written another way (./shard_3.mat, /full/path/shard_3.mat): the names compared
  // within the resolved folders, where the pattern's %d lies in its last name.
  const auto [pattern_folder, pattern_name] = folder_and_name(pattern);
  const auto [path_folder, path_name] = folder_and_name(path);
  return pattern_name.find("%d") != std::string::npos && !pattern_folder.empty() && pattern_folder == path_folder &&
         fills_pattern(pattern_name, path_name);
}

std::string shard_file(const std::string &pattern, int rank) {
  const size_t at = pattern.find("%d");
  return pattern.substr(0, at) + std::to_string(rank) + pattern.substr(at + 2);
}

}  // namespace cluster
