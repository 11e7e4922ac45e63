// Small helpers of the benchmark program: timing by medians, reading the data files the driver
// writes, and the process's resident memory.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace bench {

inline double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Median wall time of `repeats` runs of f, in seconds.
template <typename F>
double median_of(int repeats, F f) {
  std::vector<double> t;
  for (int r = 0; r < repeats; ++r) {
    const double t0 = now();
    f();
    t.push_back(now() - t0);
  }
  std::sort(t.begin(), t.end());
  const size_t n = t.size();
  return n % 2 ? t[n / 2] : 0.5 * (t[n / 2 - 1] + t[n / 2]);
}

// The fastest of `repeats` runs of f and of g, run in turns so that both meet the same load: on a
// shared machine the ratio of the two minima is the steadiest figure of what the code can do.
template <typename F, typename G>
std::pair<double, double> best_in_turns(int repeats, F f, G g) {
  double bf = 1e300, bg = 1e300;
  for (int r = 0; r < repeats; ++r) {
    double t0 = now();
    f();
    bf = std::min(bf, now() - t0);
    t0 = now();
    g();
    bg = std::min(bg, now() - t0);
  }
  return {bf, bg};
}

// Reads exactly `count` doubles from `path` into `out`; exits on a short file.
inline void read_doubles(const std::string &path, double *out, size_t count) {
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (!f || std::fread(out, sizeof(double), count, f) != count) {
    std::fprintf(stderr, "cannot read %zu doubles from %s\n", count, path.c_str());
    std::exit(2);
  }
  std::fclose(f);
}

inline void write_doubles(const std::string &path, const double *v, size_t count) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(v, sizeof(double), count, f) != count) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(2);
  }
  std::fclose(f);
}

// A field of /proc/self/status in kB (VmRSS, VmHWM).
inline long status_kb(const char *field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
  return -1;
}

// One result line for the driver: "key value".
inline void report(const std::string &key, double value) {
  std::printf("%s %.9g\n", key.c_str(), value);
}

}  // namespace bench
