// The peak memory a call adds against the formulas of doc/checks.md: in this process (VmHWM reset
// through /proc/self/clear_refs, where the kernel allows it) for D = 1, 10 and 100, and one fresh
// process a call (peak_probe) for shapes that stress the formulas: very wide, very tall, sparse X
// of every kind, a sparse y.
#include <malloc.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "core/threads/busy.hpp"
#include "driftwalk/langevin.hpp"
#include "module_call.hpp"
#include "test_support.hpp"

namespace {

// Resets the peak to the present resident size; false where the kernel does not support it. The
// two sizes come from counters the kernel brings together lazily: right after a reset they differed
// by about 100 KB in one run in six here, against an allowance of 1.5 MB in the checks below.
bool reset_peak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.close();
  return static_cast<bool>(out) && std::fabs(status_bytes("VmHWM") - status_bytes("VmRSS")) < 512 * 1024;
}

// doc/checks.md's P, the threads of a driftwalk team that draw parts of its permutation.
double drawing_parts(double N, double B, double T) {
  const double parts = std::min(T, std::floor((N - B) / (4 * (B + 1))));
  return parts >= 2 ? parts : 0;
}

// The formulas of doc/checks.md: the peak extra bytes of a call without info, for N, D and T.
double formula(const std::string &name, double N, double D, double T) {
  const double data = 8 * N * (D + 1);
  if (name == "kinkstep m0") return data + 24 * D;
  if (name == "kinkstep m1") return data + 16 * T * 8 * std::ceil(D / 8) + 4 * T + 16 * D;
  if (name == "driftwalk") {  // batchSize 8
    const bool team = T > 1 && driftwalk::parallel_work(static_cast<int32_t>(N), static_cast<int32_t>(D), 8) >=
                                   driftwalk::kMinParallelWork;
    return data + (team ? 16 * 8 + 8 * drawing_parts(N, 8, T) * 9 + 32 * D + 512 * T : 12 * 8 + 28 * D);
  }
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

namespace {

struct Shape {
  const char *module;  // kinkstep0, kinkstep1, splitavg, driftwalk (batchSize min(batch, N))
  bool sparse_x;
  double N, D, spacing;  // a sparse X stores the cells whose row and column agree modulo spacing
  bool sparse_y;
  double batch = 8;
};

// Stored entries of peak_probe's sparse X.
double nonzeros(const Shape &s) {
  double n = 0;
  for (double j = 0; j < std::min(s.D, s.spacing); ++j) {
    const double columns = std::floor((s.D - 1 - j) / s.spacing) + 1;
    n += columns * (s.N > j ? std::floor((s.N - 1 - j) / s.spacing) + 1 : 0);
  }
  return n;
}

// doc/checks.md's peak for a call without info on a team of T (driftwalk's team where the
// iteration's work calls for one).
double peak_formula(const Shape &s, double T) {
  const std::string m = std::string(s.module).substr(0, std::string(s.module).find('+'));  // options add nothing here
  const double N = s.N, D = s.D, B = std::min(s.batch, N);
  const bool drift_team = T > 1 && driftwalk::parallel_work(static_cast<int32_t>(N), static_cast<int32_t>(D),
                                                            static_cast<int32_t>(B)) >= driftwalk::kMinParallelWork;
  double run = 0;  // what the run holds beside the rows and labels
  if (m == "kinkstep0") run = 24 * D;
  if (m == "kinkstep1") run = 16 * T * 8 * std::ceil(D / 8) + 4 * T + 16 * D;
  if (m == "driftwalk")
    run = drift_team ? 16 * B + 8 * drawing_parts(N, B, T) * (B + 1) + 32 * D + 512 * T : 12 * B + 28 * D;
  if (m == "splitavg") run = std::max(4 * N, 8 * T * (D + 8) + 16 * D);
  const double label_copy = s.sparse_y ? 8 * N : 0;  // a sparse y's values, while X is converted
  const double nnz = nonzeros(s);
  if (!s.sparse_x || 3 * nnz >= 2 * N * D) return 8 * N * (D + 1) + label_copy + run;
  const double rows = 12 * nnz + 8 * (N + 1);
  if (m == "kinkstep0") run = 24 * D;  // every weight beside its last step, and the output
  if (m == "splitavg") run = 4 * N + 8 * T * (D + 8) + 16 * D + 16 * T * D;  // the order; each share's steps
  // A block's scratch for each thread of the conversion's team (kinkstep method 0's too where the
  // memory lies on one node).
  const double converters = m == "kinkstep0" && !core::memory_on_one_node() ? 1 : std::min(T, 8.0);
  const double conversion = rows + 4 * nnz + converters * 12 * std::pow(2.0, 17) + N / 4 + label_copy;
  return std::max(conversion, rows + 8 * N + label_copy + run);
}

double probe_peak(const Shape &s) {
  char command[512];
  std::snprintf(command, sizeof command, "OMP_NUM_THREADS=2 '%s' %s %s %.0f %.0f %.0f %s %.0f 2>&1", PEAK_PROBE,
                s.module, s.sparse_x ? "sparse" : "full", s.N, s.D, s.spacing, s.sparse_y ? "sparse" : "full", s.batch);
  std::unique_ptr<FILE, int (*)(FILE *)> out(popen(command, "r"), pclose);
  if (!out) return NAN;
  char line[512];
  double extra = NAN;
  while (std::fgets(line, sizeof line, out.get()))
    if (std::sscanf(line, "extra_bytes %lf", &extra) != 1) std::fprintf(stderr, "peak_probe: %s", line);
  return extra;
}

}  // namespace

TEST(PeakMemory, EachShapeStaysWithinItsFormulaInAFreshProcess) {
#ifdef STOCHL1_SANITIZED
  GTEST_SKIP() << "sanitizers add shadow memory of their own";
#endif
  const Shape shapes[] = {
      // Full X: very wide, very tall.
      {"kinkstep0", false, 3, 1e6, 1, false},
      {"kinkstep1", false, 3, 1e6, 1, false},
      {"kinkstep1+intercept", false, 3, 3e6, 1, false},
      {"splitavg", false, 3, 1e6, 1, false},
      {"driftwalk", false, 3, 1e6, 1, false},
      {"driftwalk", false, 4e6, 1, 1, true},
      // driftwalk's batch as large as the data, and large with a team drawing parts of the permutation.
      {"driftwalk", false, 4e6, 1, 1, false, 4e6},
      {"driftwalk", false, 4e6, 1, 1, false, 1e5},
      {"splitavg", false, 4e6, 1, 1, true},
      // Compressed rows: scattered, very wide with a few rows holding everything, very tall.
      {"kinkstep0", true, 1e6, 1e5, 1e4, false},
      {"splitavg", true, 1e6, 1e5, 1e4, true},
      {"kinkstep0", true, 3, 1e7, 2, false},
      {"kinkstep1", true, 3, 1e7, 2, false},
      {"splitavg", true, 3, 1e7, 2, false},
      {"driftwalk", true, 3, 1e7, 2, false},
      {"kinkstep0", true, 1e7, 2, 2, true},
      {"splitavg", true, 1e7, 2, 2, false},
      {"driftwalk", true, 1e7, 2, 2, false},
      // A sparse X that fills its cells: full rows.
      {"kinkstep0", true, 100, 3e5, 1, false},
      {"splitavg", true, 3e6, 3, 1, true},
  };
  for (const Shape &s : shapes) {
    const double extra = probe_peak(s), expected = peak_formula(s, 2);
    std::printf("%-19s %-6s X %8.0f x %8.0f (1/%.0f)%s, batch %.0f: peak extra %8.2f MB, formula %8.2f MB\n", s.module,
                s.sparse_x ? "sparse" : "full", s.N, s.D, s.spacing, s.sparse_y ? ", sparse y" : "", s.batch,
                extra / 1048576.0, expected / 1048576.0);
    ASSERT_FALSE(std::isnan(extra)) << s.module << ": the probe gave no figure";
    // Each large array is rounded up to whole 2 MB pages; a few pages of stack and of the host's.
    EXPECT_LE(extra, expected * 1.02 + 10 * 1048576.0) << s.module << " " << s.N << " x " << s.D;
  }
}
