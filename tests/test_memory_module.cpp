// The peak memory a call adds, measured as the process's peak resident size (VmHWM, reset through
// /proc/self/clear_refs) against the formulas of doc/checks.md, for D = 1, 10 and 100.
#include <malloc.h>
#include <omp.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "module_call.hpp"
#include "test_support.hpp"

namespace {

// A field of /proc/self/status in bytes ("VmHWM:   1234 kB").
double status_bytes(const char *key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(in, line))
    if (line.compare(0, prefix.size(), prefix) == 0) return std::stod(line.substr(prefix.size())) * 1024.0;
  return NAN;
}

// Resets the peak to the present resident size; false where the kernel does not support it.
bool reset_peak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.close();
  return static_cast<bool>(out) && std::fabs(status_bytes("VmHWM") - status_bytes("VmRSS")) < 64 * 1024;
}

// The formulas of doc/checks.md: the peak extra bytes of a call without info, for N, D and T.
double formula(const std::string &name, double N, double D, double T) {
  const double data = 8 * N * (D + 1);
  if (name == "kinkstep m0") return data + 24 * D;
  if (name == "kinkstep m1") return data + 16 * T * 8 * std::ceil(D / 8) + 4 * T + 16 * D;
  if (name == "driftwalk") return data + 4 * N + 24 * D;
  return data + std::max(4 * N, 8 * T * (D + 8) + 16 * D);  // splitavg
}

Inputs call_inputs(const std::string &name, size_t N, size_t D) {
  Inputs in;
  std::vector<double> X(N * D), y(N);
  for (size_t k = 0; k < X.size(); ++k) X[k] = std::sin(0.01 * static_cast<double>(k));
  for (size_t k = 0; k < N; ++k) y[k] = std::cos(0.02 * static_cast<double>(k));
  in.add(mexhost::make_double(N, D, X)).add(mexhost::make_double(N, 1, y));
  if (name == "kinkstep m0" || name == "kinkstep m1") in.add(1e-3).add(0.1).add(20).add(name == "kinkstep m1").add(0.0);
  if (name == "driftwalk") in.add(1e-4).add(10).add(-0.55).add(0.1).add(8).add(20).add(0.0);
  if (name == "splitavg") in.add(1e-3).add(0.1).add(0.0);
  return in;
}

}  // namespace

TEST(PeakMemory, ACallAddsWhatTheFormulaSays) {
#ifdef STOCHL1_SANITIZED
  GTEST_SKIP() << "sanitizers add shadow memory of their own";
#endif
  // Every block of more than 64 KB gets its own mapping and goes back to the system when freed,
  // so that the peak counts each allocation once, as the formula does.
  mallopt(M_MMAP_THRESHOLD, 64 * 1024);
  mallopt(M_TRIM_THRESHOLD, 64 * 1024);
  const DefaultTeam team(2);
  for (const std::string name : {"kinkstep m0", "kinkstep m1", "driftwalk", "splitavg"}) {
    // A first small call starts the thread pool, whose stacks are not the call's memory.
    loaded_module(name.substr(0, name.find(' '))).call(1, call_inputs(name, 100, 3).pointers());
    for (size_t D : {1, 10, 100}) {
      const size_t N = static_cast<size_t>(4e6 / static_cast<double>(D + 1));  // about 32 MB of rows
      const Inputs in = call_inputs(name, N, D);
      malloc_trim(0);
      if (!reset_peak()) GTEST_SKIP() << "this kernel cannot reset the peak resident size";
      const double before = status_bytes("VmHWM");
      mexhost::CallResult r = loaded_module(name.substr(0, name.find(' '))).call(1, in.pointers());
      const double extra = status_bytes("VmHWM") - before;
      ASSERT_FALSE(r.failed) << name << ": " << r.error_message;
      const double expected = formula(name, static_cast<double>(N), static_cast<double>(D), 2);
      std::printf("%-12s N = %8zu D = %3zu: peak extra %7.2f MB, formula %7.2f MB\n", name.c_str(), N, D,
                  extra / 1048576.0, expected / 1048576.0);
      // Pages and the allocator's headers round up; a few pages of stack and of the host's own.
      EXPECT_NEAR(extra, expected, 1.5 * 1048576.0 + 0.02 * expected) << name << " D = " << D;
    }
  }
}
