// Small helpers the C++ tests (and the benchmarks) share. The part that reaches the built
// modules is there when the program knows where they are (MEXHOST_MODULE_DIR).
#pragma once

#ifdef _OPENMP
#include <omp.h>
#endif

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#ifdef MEXHOST_MODULE_DIR
#include <map>
#include <memory>
#include <mutex>

#include "mexhost/host.hpp"
#endif

// Defined in builds under a sanitizer, whose shadow memory and per-thread state make memory
// figures and very large teams meaningless or slow.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STOCHL1_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define STOCHL1_SANITIZED 1
#endif
#endif

// A field of /proc/self/status in bytes ("VmHWM:   1234 kB"); NaN where it is missing.
inline double status_bytes(const char *key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(in, line))
    if (line.compare(0, prefix.size(), prefix) == 0) return std::stod(line.substr(prefix.size())) * 1024.0;
  return NAN;
}

// Runs `body` in a child process whose address space is capped 64 MB above what this process uses
// when it forks (a way to run out of memory at a chosen size without touching the machine's).
// Returns the child's exit status: 0 when `body` returned true, 1 when false, 3 or 4 when the cap
// could not be set; -1 when the child did not exit (it crashed), -2 when it could not be started.
template <typename Body>
int exit_status_under_memory_cap(Body &&body) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) return -2;
  if (child == 0) {
    long pages = 0;
    FILE *statm = std::fopen("/proc/self/statm", "r");
    if (!statm || std::fscanf(statm, "%ld", &pages) != 1) _exit(3);
    std::fclose(statm);
    const rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (64u << 20);
    const struct rlimit limit = {cap, cap};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(4);
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The complete lines of printed text, without their line feeds.
inline std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

#ifdef _OPENMP
// Sets the default team size of this thread, which the solvers and the modules (same OpenMP
// runtime, same thread) use for their teams, and puts the previous one back afterwards.
class TeamSize {
 public:
  explicit TeamSize(int n) : saved_(omp_get_max_threads()) { omp_set_num_threads(n); }
  ~TeamSize() { omp_set_num_threads(saved_); }
  TeamSize(const TeamSize &) = delete;
  TeamSize &operator=(const TeamSize &) = delete;

 private:
  int saved_;
};

// Like TeamSize, and also keeps the runtime from shrinking teams to the machine's load.
class DefaultTeam {
 public:
  explicit DefaultTeam(int threads) : saved_(omp_get_max_threads()), dynamic_(omp_get_dynamic()) {
    omp_set_num_threads(threads);
    omp_set_dynamic(0);
  }
  ~DefaultTeam() {
    omp_set_num_threads(saved_);
    omp_set_dynamic(dynamic_);
  }
  DefaultTeam(const DefaultTeam &) = delete;
  DefaultTeam &operator=(const DefaultTeam &) = delete;

 private:
  int saved_, dynamic_;
};
#endif  // _OPENMP

// "Iteration 3, clock= 123 object function = 4.5" -> "Iteration 3, clock= # object function = 4.5",
// and the same for driftwalk's "clock= 123, object function": the clock is the one varying field.
inline std::string without_clock(const std::string &line) {
  const size_t at = line.find("clock= ");
  if (at == std::string::npos) return line;
  const size_t end = line.find_first_of(" ,", at + 7);
  return line.substr(0, at + 7) + "#" + (end == std::string::npos ? std::string() : line.substr(end));
}

#ifdef MEXHOST_MODULE_DIR
// Where the built modules are.
inline std::string mexhost_module(const std::string &name) {
  return std::string(MEXHOST_MODULE_DIR) + "/" + name + ".mexa64";
}
#ifdef OCTAVE_MODULE_DIR
inline std::string octave_module(const std::string &name) {
  return std::string(OCTAVE_MODULE_DIR) + "/" + name + ".mex";
}
#endif

// The built module `name` for mexhost, loaded on first use and kept loaded for the program's life.
inline const mexhost::Module &loaded_module(const std::string &name) {
  static std::mutex guard;
  static std::map<std::string, std::unique_ptr<mexhost::Module>> loaded;
  std::lock_guard<std::mutex> lock(guard);
  std::unique_ptr<mexhost::Module> &module = loaded[name];
  if (!module) module = std::make_unique<mexhost::Module>(mexhost_module(name));
  return *module;
}
#endif  // MEXHOST_MODULE_DIR
