// splitavg-mpi under mpirun (oversubscribed, as root where need be) against the splitavg module
// called through mexhost with P*t threads: the weights bit for bit, the printed lines, shards, file
// kinds, and every fault it reports. Every run is bounded by `timeout`.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "mat_files.hpp"
#include "module_call.hpp"
#include "test_support.hpp"

namespace {

using mat_files::Problem;

const mexhost::Module &splitavg_module() {
  return loaded_module("splitavg");
}

std::string scratch(const std::string &name) {
  return "mpi_program_" + std::to_string(getpid()) + "_" + name;
}

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string &path) {
  return access(path.c_str(), F_OK) == 0;
}

struct MpiRun {
  int status = -1;  // the exit status of mpirun (non-zero also when timeout ended it)
  std::string out, err;
};

// mpirun -n P splitavg-mpi <args>, with the environment settings given first (VAR=value ...).
MpiRun mpirun(int P, const std::string &args, const std::string &environment = "") {
  const std::string out = scratch("stdout.txt"), err = scratch("stderr.txt");
  // Under AddressSanitizer the program keeps every check but the leak check at exit: Open MPI's
  // plugins keep allocations past MPI_Finalize and are unloaded by then, so their reports cannot
  // even be told apart for a suppression. (Our own reading and writing is leak-checked in
  // cluster_tests.)
  const char *asan = std::getenv("ASAN_OPTIONS");
  const std::string sanitizer = asan ? "ASAN_OPTIONS=" + std::string(asan) + ":detect_leaks=0 " : "";
  const std::string command = "env OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 " + sanitizer +
                              environment +
                              " timeout -k 10 120 " MPIEXEC_PROGRAM " --oversubscribe --bind-to none -n " +
                              std::to_string(P) + " " SPLITAVG_MPI_PROGRAM " " + args + " > " + out + " 2> " + err;
  MpiRun r;
  const int raw = std::system(command.c_str());
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
  r.out = slurp(out);
  r.err = slurp(err);
  std::remove(out.c_str());
  std::remove(err.c_str());
  return r;
}

std::string run_args(uint32_t seed, int t, const std::string &in, const std::string &out,
                     const std::string &more = "") {
  return "--seed " + std::to_string(seed) + " --threads " + std::to_string(t) + " --step 0.02 --lambda 0.001 " + more +
         " " + in + " " + out;
}

// splitavg(X, y, step, lambda, verbose, struct('seed', seed, 'threads', T)) through mexhost, with X
// full or sparse.
mexhost::CallResult module_run(const Problem &p, uint32_t seed, int T, double verbose = 0, bool sparse = false,
                               double step = 0.02, double lambda = 0.001) {
  mexhost::ArrayPtr opts = mexhost::make_struct({"seed", "threads"});
  mxSetField(opts.get(), 0, "seed", mxCreateDoubleScalar(seed));
  mxSetField(opts.get(), 0, "threads", mxCreateDoubleScalar(T));
  const size_t N = static_cast<size_t>(p.N), D = static_cast<size_t>(p.D);
  Inputs in;
  in.add(sparse ? mexhost::make_sparse(N, D, p.X) : mexhost::make_double(N, D, p.X))
      .add(mexhost::make_double(N, 1, p.y))
      .add(step)
      .add(lambda)
      .add(verbose)
      .add(std::move(opts));
  return splitavg_module().call(2, in.pointers());
}

std::vector<double> module_weights(const Problem &p, uint32_t seed, int T, bool sparse = false, double step = 0.02,
                                   double lambda = 0.001) {
  const mexhost::CallResult r = module_run(p, seed, T, 0, sparse, step, lambda);
  EXPECT_FALSE(r.failed) << r.error_message;
  return r.failed ? std::vector<double>() : mexhost::values(r.output());
}

// Equal to the last bit (== would take -0 for 0).
void expect_same_bits(const std::vector<double> &a, const std::vector<double> &b, const std::string &what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(double)), 0) << what;
}

// P processes of t threads against the module with P*t threads, on one file (X full, or sparse in
// a compressed or an uncompressed file).
void expect_identical(const Problem &p, int P, int t, uint32_t seed, bool sparse = false,
                      matio_compression z = MAT_COMPRESSION_NONE) {
  const std::string in = scratch("data.mat"), out = scratch("out.mat");
  ASSERT_TRUE(mat_files::write_problem(in, p, MAT_FT_MAT5, z, sparse));
  const MpiRun r = mpirun(P, run_args(seed, t, in, out));
  const std::string what = "N=" + std::to_string(p.N) + " D=" + std::to_string(p.D) + " P=" + std::to_string(P) +
                           " t=" + std::to_string(t) + " seed=" + std::to_string(seed) + (sparse ? " sparse" : "");
  ASSERT_EQ(r.status, 0) << what << "\n" << r.err;
  EXPECT_EQ(r.out, "") << what;  // quiet without --verbose
  const std::vector<double> w = mat_files::read_doubles(out, "w");
  expect_same_bits(w, module_weights(p, seed, P * t), what + " against full X");
  if (sparse) expect_same_bits(w, module_weights(p, seed, P * t, true), what + " against the sparse call");
  EXPECT_NE(w, std::vector<double>(static_cast<size_t>(p.D), 0.0)) << what;
  EXPECT_EQ(mat_files::read_info(out, "seed"), std::vector<double>{static_cast<double>(seed)});
  EXPECT_EQ(mat_files::read_info(out, "processes"), std::vector<double>{static_cast<double>(P)});
  EXPECT_EQ(mat_files::read_info(out, "threads"), std::vector<double>{static_cast<double>(t)});
  std::remove(in.c_str());
  std::remove(out.c_str());
}

// Shapes in turn: N divisible by P*t or not, N < P*t, a wide problem.
void identical_for_processes(int P, bool sparse) {
  const Problem shapes[] = {mat_files::wavy(1000, 7), mat_files::wavy(37, 3), mat_files::wavy(5, 2),
                            mat_files::wavy(101, 13)};
  const Problem sparse_shapes[] = {mat_files::sparse_wavy(1000, 40, 0.1), mat_files::sparse_wavy(37, 3, 0.5),
                                   mat_files::sparse_wavy(5, 2, 0.6), mat_files::sparse_wavy(101, 300, 0.05)};
  const uint32_t seeds[] = {5u, 4000000000u, 123u};
  int k = P;
  for (int t : {1, 2, 3}) {
    if (sparse)
      expect_identical(sparse_shapes[k % 4], P, t, seeds[k % 3], true,
                       k % 2 ? MAT_COMPRESSION_ZLIB : MAT_COMPRESSION_NONE);
    else
      expect_identical(shapes[k % 4], P, t, seeds[k % 3]);
    ++k;
  }
}

// One message from process 0, on stderr, naming the problem; no result file.
void expect_one_failure(const MpiRun &r, const std::string &message, const std::string &out) {
  EXPECT_NE(r.status, 0) << r.err;
  EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  size_t count = 0;
  for (size_t at = r.err.find("splitavg-mpi:"); at != std::string::npos; at = r.err.find("splitavg-mpi:", at + 1))
    ++count;
  EXPECT_EQ(count, 1u) << r.err;
  EXPECT_FALSE(exists(out));
}

std::string bytes_of(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A refused command line: status 2, one message, and every file as it was.
void expect_refused(const MpiRun &r, const std::string &message) {
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
}

}  // namespace

class MpiProcesses : public ::testing::TestWithParam<int> {};

TEST_P(MpiProcesses, GiveTheModulesWeightsBitForBit) {
  identical_for_processes(GetParam(), false);
}

// A sparse X: the module's sparse run and its run on full(X), bit for bit.
TEST_P(MpiProcesses, GiveTheModulesWeightsOnASparseXBitForBit) {
  identical_for_processes(GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(MpiProgram, MpiProcesses, ::testing::Values(1, 2, 3, 4));

TEST(MpiProgram, FewerSamplesThanSharesAndNoneAtAll) {
  expect_identical(mat_files::wavy(2, 3), 4, 1, 9u);   // N = 2 < P*t = 4: only the last share works
  expect_identical(mat_files::wavy(7, 2), 3, 3, 11u);  // 7 < 9
  const std::string in = scratch("empty.mat"), out = scratch("empty_out.mat");
  ASSERT_TRUE(mat_files::write_problem(in, mat_files::wavy(0, 3)));
  const MpiRun r = mpirun(2, run_args(1u, 1, in, out));
  ASSERT_EQ(r.status, 0) << r.err;
  expect_same_bits(mat_files::read_doubles(out, "w"), std::vector<double>(3, 0.0), "N = 0");
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST(MpiProgram, VerbosePrintsTheModulesLinesAndTheProcessCountOnce) {
  const Problem p = mat_files::wavy(600, 5);
  const std::string in = scratch("verbose.mat"), out = scratch("verbose_out.mat");
  ASSERT_TRUE(mat_files::write_problem(in, p));
  const MpiRun r = mpirun(3, run_args(42u, 2, in, out, "--verbose"));
  ASSERT_EQ(r.status, 0) << r.err;
  const mexhost::CallResult m = module_run(p, 42u, 6, 1);
  ASSERT_FALSE(m.failed) << m.error_message;
  std::vector<std::string> expected = m.lines;
  ASSERT_EQ(expected.size(), 4u);
  expected.insert(expected.begin() + 2, "Number of processes = 3");
  std::vector<std::string> got = lines_of(r.out);
  ASSERT_EQ(got.size(), expected.size()) << r.out;
  // The elapsed whole seconds may differ between the two runs.
  const std::string final_head = "Final object function = ";
  got.back() = got.back().substr(0, got.back().find(", time= "));
  expected.back() = expected.back().substr(0, expected.back().find(", time= "));
  EXPECT_EQ(got, expected);
  EXPECT_EQ(expected[1], "Number of threads = 6");
  // The objective history is the module's, bit for bit.
  const mxArray *objective = mxGetField(m.output(1), 0, "objective");
  expect_same_bits(mat_files::read_info(out, "objective"), mexhost::values(objective), "objective");
  expect_same_bits(mat_files::read_doubles(out, "w"), mexhost::values(m.output()), "w");
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST(MpiProgram, ProgressEndsAtAHundredPercentOfProcessZerosSharesWithTheSameWeights) {
  // 7 samples over 2 x 2 shares of 1: process 0 holds shares 0 and 1, two samples. Plain lines
  // (mpirun hands its processes a pseudo-terminal, so in-place redrawing cannot be told apart from
  // a log), the last at 100 %; --verbose wins over it.
  const Problem p = mat_files::wavy(7, 3);
  const std::string in = scratch("progress.mat"), out = scratch("progress_out.mat");
  ASSERT_TRUE(mat_files::write_problem(in, p));
  const MpiRun r = mpirun(2, run_args(8u, 2, in, out, "--progress"));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> got = lines_of(r.out);
  ASSERT_FALSE(got.empty()) << r.out;
  EXPECT_EQ(got.back().rfind("splitavg-mpi: 100% (2 of 2 samples of process 0), ", 0), 0u) << r.out;
  EXPECT_EQ(r.out.find('\r'), std::string::npos) << r.out;
  expect_same_bits(mat_files::read_doubles(out, "w"), module_weights(p, 8u, 4), "w with --progress");
  const MpiRun loud = mpirun(2, run_args(8u, 2, in, out, "--verbose --progress"));
  ASSERT_EQ(loud.status, 0) << loud.err;
  EXPECT_EQ(loud.out.find("splitavg-mpi: "), std::string::npos) << loud.out;
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST(MpiProgram, OneFilePerProcessMakesXFromTheFilesInOrder) {
  const Problem p = mat_files::wavy(61, 4);
  const std::string pattern = scratch("shard_%d.mat"), out = scratch("shards_out.mat");
  const int rows[] = {20, 0, 41};  // uneven, one empty
  int first = 0;
  for (int r = 0; r < 3; ++r) {
    ASSERT_TRUE(mat_files::write_problem(scratch("shard_" + std::to_string(r) + ".mat"),
                                         mat_files::rows_of(p, first, rows[r])));
    first += rows[r];
  }
  const MpiRun run = mpirun(3, run_args(7u, 2, "'" + pattern + "'", out));
  ASSERT_EQ(run.status, 0) << run.err;
  expect_same_bits(mat_files::read_doubles(out, "w"), module_weights(p, 7u, 6), "shards");

  // A file beyond the processes' would be left out: a refused command line, before anything is
  // removed (the earlier result stays); and a result the pattern names, even one beyond the files
  // the processes read, is refused as a data file would be.
  ASSERT_TRUE(mat_files::write_problem(scratch("shard_3.mat"), mat_files::rows_of(p, 0, 2)));
  const std::string shard3 = bytes_of(scratch("shard_3.mat")), earlier = bytes_of(out);
  const MpiRun beyond = mpirun(3, run_args(7u, 1, "'" + pattern + "'", out));
  expect_refused(
      beyond, scratch("shard_3.mat") + " exists, but 3 processes read only the files up to " + scratch("shard_2.mat"));
  EXPECT_EQ(bytes_of(out), earlier);
  expect_refused(mpirun(2, run_args(7u, 1, "'" + pattern + "'", scratch("shard_3.mat"))),
                 scratch("shard_3.mat") + ": is a name the data files' pattern " + pattern + " gives");
  expect_refused(mpirun(3, run_args(7u, 1, "'" + pattern + "'", scratch("shard_3.mat"))),
                 scratch("shard_3.mat") + ": is the data file " + scratch("shard_3.mat"));
  EXPECT_EQ(bytes_of(scratch("shard_3.mat")), shard3);
  std::remove(out.c_str());
  // Too few files: the process without one says which is missing.
  expect_one_failure(mpirun(5, run_args(7u, 1, "'" + pattern + "'", out)),
                     scratch("shard_4.mat") + ": cannot open it: No such file or directory", out);
  // Files that disagree on the features.
  ASSERT_TRUE(mat_files::write_problem(scratch("shard_3.mat"), mat_files::wavy(3, 5)));
  expect_one_failure(mpirun(4, run_args(7u, 1, "'" + pattern + "'", out)),
                     scratch("shard_3.mat") + ": X has 5 columns but " + scratch("shard_0.mat") + "'s has 4", out);
  for (int r = 0; r < 4; ++r) std::remove(scratch("shard_" + std::to_string(r) + ".mat").c_str());
}

TEST(MpiProgram, CompressedHdf5SingleAndRowLabelFilesGiveTheSameWeights) {
  const Problem p = mat_files::wavy(83, 6);
  const std::string out = scratch("kinds_out.mat");
  const std::vector<double> want = module_weights(p, 3u, 4);
  struct Kind {
    const char *name;
    mat_ft version;
    matio_compression compression;
  };
  for (const Kind &k :
       {Kind{"v7", MAT_FT_MAT5, MAT_COMPRESSION_ZLIB}, Kind{"v73", MAT_FT_MAT73, MAT_COMPRESSION_NONE}}) {
    const std::string in = scratch(std::string(k.name) + ".mat");
    ASSERT_TRUE(mat_files::write_problem(in, p, k.version, k.compression));
    const MpiRun r = mpirun(2, run_args(3u, 2, in, out));
    ASSERT_EQ(r.status, 0) << k.name << r.err;
    expect_same_bits(mat_files::read_doubles(out, "w"), want, k.name);
    std::remove(in.c_str());
  }
  // Other variable names, y as a row.
  const std::string in = scratch("named.mat");
  ASSERT_TRUE(mat_files::write_file(in, {mat_files::Var{"A", 83, 6, p.X}, mat_files::Var{"b", 1, 83, p.y}}));
  const MpiRun r = mpirun(2, run_args(3u, 2, in, out, "--x A --y b"));
  ASSERT_EQ(r.status, 0) << r.err;
  expect_same_bits(mat_files::read_doubles(out, "w"), want, "named");
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST(MpiProgram, InputFaultsAreReportedOnceAndLeaveNoResult) {
  const Problem p = mat_files::wavy(6, 3);
  const std::string in = scratch("faulty.mat"), out = scratch("faulty_out.mat");
  const mat_files::Var X{"X", 6, 3, p.X}, y{"y", 6, 1, p.y};
  auto run_on = [&](std::vector<mat_files::Var> vars, const std::string &message, const std::string &more = "") {
    ASSERT_TRUE(mat_files::write_file(in, vars));
    // A result from an earlier run must not survive a failed one.
    ASSERT_TRUE(mat_files::write_problem(out, p));
    expect_one_failure(mpirun(2, run_args(1u, 1, in, out, more)), message, out);
  };
  run_on({X, y}, in + ": has no variable 'A' (name it with --x)", "--x A");
  run_on({X, mat_files::Var{"y", 5, 1, {1, 2, 3, 4, 5}}}, in + ": y holds 5 labels but X has 6 rows; they must match");
  run_on({mat_files::Var{"X", 6, 3, p.X, mat_files::Var::kComplex}, y}, "it is a 6x3 complex double array");
  run_on({mat_files::Var{"X", 2, 3, {}, mat_files::Var::kChar}, y}, "it is a 2x3 char array");
  // NaN and Inf in both processes' rows: the first in MATLAB's order, as the module names it, is
  // X(5,1) of process 1, not X(3,2) of process 0.
  mat_files::Var bad = X;
  bad.values[2 + 1 * 6] = std::nan("");
  bad.values[4 + 0 * 6] = 1.0 / 0.0;
  run_on({bad, y}, in + ": X(5,1) is Inf");
  bad.values[4 + 0 * 6] = 1.0;
  run_on({bad, y}, in + ": X(3,2) is NaN");
  mat_files::Var bad_y = y;
  bad_y.values[4] = -1.0 / 0.0;
  run_on({X, bad_y}, in + ": y(5) is -Inf");

  const std::string missing = scratch("missing.mat");
  expect_one_failure(mpirun(2, run_args(1u, 1, missing, out)), missing + ": cannot open it: No such file or directory",
                     out);
  std::remove(in.c_str());
}

TEST(MpiProgram, AProcessOutOfMemoryOrKilledLeavesNoResult) {
  const Problem p = mat_files::wavy(300, 4);
  const std::string in = scratch("crash.mat"), out = scratch("crash_out.mat");
  ASSERT_TRUE(mat_files::write_problem(in, p));
  ASSERT_TRUE(mat_files::write_problem(out, p));
  expect_one_failure(mpirun(3, run_args(1u, 1, in, out), "SPLITAVG_MPI_FAULT=nomem:1"),
                     "process 1 ran out of memory for the 100 rows of its shares", out);

  // SIGKILL once it has read its rows, or after its pass: mpirun ends the job and reports it;
  // nothing is written, and the earlier result is gone.
  for (const char *fault : {"SPLITAVG_MPI_FAULT=killread:1", "SPLITAVG_MPI_FAULT=kill:2"}) {
    ASSERT_TRUE(mat_files::write_problem(out, p));
    const MpiRun killed = mpirun(3, run_args(1u, 1, in, out), fault);
    EXPECT_NE(killed.status, 0) << fault;
    EXPECT_FALSE(exists(out)) << fault;
  }
  // The same run without the fault completes: the kill, not the data, failed it.
  const MpiRun whole = mpirun(3, run_args(1u, 1, in, out));
  EXPECT_EQ(whole.status, 0) << whole.err;
  EXPECT_TRUE(exists(out));
  std::remove(in.c_str());
  std::remove(out.c_str());
}

// GCC names the sanitizers a build has by macros, clang by __has_feature.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kBuiltWithShadowMemory = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kBuiltWithShadowMemory = true;
#else
constexpr bool kBuiltWithShadowMemory = false;
#endif
#else
constexpr bool kBuiltWithShadowMemory = false;
#endif

// Every process under an address-space limit (ulimit -v): wherever the limit falls, the run either
// completes or fails with its own out-of-memory message and status 1, never killed by a signal
// (Open MPI ends the process when an allocation of its own fails, as one for the receive types of
// the arriving rows did). The limit where the run starts to fit is found by halving, then the
// 48 MB below it, where the receive types are the last large allocation, are taken step by step.
TEST(MpiProgram, AnAddressSpaceLimitAnywhereGivesAnAnswerOrAnOutOfMemoryFailure) {
  if (kBuiltWithShadowMemory) GTEST_SKIP() << "the sanitizers reserve their shadow memory beyond any such limit";
  const Problem p = mat_files::wavy(200000, 20);
  const std::string in = scratch("limit.mat"), out = scratch("limit_out.mat");
  ASSERT_TRUE(mat_files::write_problem(in, p));
  auto run_under = [&](long kb) {
    const std::string command =
        "env OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 timeout -k 10 120 " MPIEXEC_PROGRAM
        " --oversubscribe --bind-to none -n 2 sh -c 'ulimit -v " +
        std::to_string(kb) + "; exec \"$0\" \"$@\"' " SPLITAVG_MPI_PROGRAM " " + run_args(1u, 1, in, out) + " > " +
        scratch("limit.txt") + " 2>&1";
    const int raw = std::system(command.c_str());
    MpiRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
    r.out = slurp(scratch("limit.txt"));
    EXPECT_TRUE(r.status == 0 || (r.status == 1 && r.out.find("ran out of memory") != std::string::npos))
        << "under ulimit -v " << kb << ": status " << r.status << "\n"
        << r.out;
    return r.status == 0;
  };
  long fails = 64 * 1024, fits = 4 * 1024 * 1024;
  ASSERT_TRUE(run_under(fits));
  while (fits - fails > 4096) {
    const long middle = (fails + fits) / 2;
    (run_under(middle) ? fits : fails) = middle;
  }
  for (long kb = fits - 48 * 1024; kb < fits; kb += 4096) run_under(kb);
  std::remove(in.c_str());
  std::remove(out.c_str());
  std::remove(scratch("limit.txt").c_str());
}

// Every way of naming a data file as the result, and every result that is not a file, is refused
// with status 2 before anything is read or removed: the data stay whole.
TEST(MpiProgram, AResultThatIsADataFileOrNoFileIsRefusedAndEveryFileStaysAsItWas) {
  const Problem p = mat_files::wavy(40, 3);
  const std::string in = scratch("keep.mat");
  ASSERT_TRUE(mat_files::write_problem(in, p));
  const std::string data = bytes_of(in);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string link = scratch("keep_link.mat"), hard = scratch("keep_hard.mat");
  ASSERT_EQ(symlink(in.c_str(), link.c_str()), 0);
  ASSERT_EQ(::link(in.c_str(), hard.c_str()), 0);
  for (const std::string &out : {"./" + in, std::string(cwd) + "/" + in, link, hard}) {
    expect_refused(mpirun(2, run_args(1u, 1, in, out)), "is the data file " + in);
    EXPECT_EQ(bytes_of(in), data) << out;
  }
  expect_refused(mpirun(2, run_args(1u, 1, link, in)), "is the data file " + link);
  EXPECT_EQ(bytes_of(in), data);
  // One file per process: the result must be none of them either.
  const std::string pattern = scratch("keep_shard_%d.mat"), shard1 = scratch("keep_shard_1.mat");
  ASSERT_TRUE(mat_files::write_problem(scratch("keep_shard_0.mat"), mat_files::rows_of(p, 0, 20)));
  ASSERT_TRUE(mat_files::write_problem(shard1, mat_files::rows_of(p, 20, 20)));
  const std::string shard_data = bytes_of(shard1);
  expect_refused(mpirun(2, run_args(1u, 1, "'" + pattern + "'", shard1)), "is the data file " + shard1);
  EXPECT_EQ(bytes_of(shard1), shard_data);

  // A result that is not a file, or a link to one that is not.
  const std::string fifo = scratch("fifo.mat"), folder = scratch("folder.mat"), to_fifo = scratch("to_fifo.mat");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(symlink(fifo.c_str(), to_fifo.c_str()), 0);
  expect_refused(mpirun(2, run_args(1u, 1, in, fifo)), fifo + ": is a pipe, not a result file");
  expect_refused(mpirun(2, run_args(1u, 1, in, folder)), folder + ": is a folder, not a result file");
  expect_refused(mpirun(2, run_args(1u, 1, in, to_fifo)), to_fifo + ": is a link to a pipe");
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(lstat(folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  if (geteuid() == 0) {
    // As root, a device node (a copy of /dev/null's) named as the result stays a device.
    const std::string device = scratch("null.mat");
    ASSERT_EQ(mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    expect_refused(mpirun(2, run_args(1u, 1, in, device)), device + ": is a character device");
    ASSERT_EQ(lstat(device.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    std::remove(device.c_str());
  }
  // A folder that is not there, a name too long for the temporary file: refused at once.
  expect_refused(mpirun(2, run_args(1u, 1, in, scratch("no_folder") + "/out.mat")), "No such file or directory");
  expect_refused(mpirun(2, run_args(1u, 1, in, std::string(250, 'r') + ".mat")), "File name too long");

  // A bad command line touches nothing, not even an earlier result.
  const std::string out = scratch("keep_out.mat");
  ASSERT_TRUE(mat_files::write_problem(out, p));
  const std::string earlier = bytes_of(out);
  expect_refused(mpirun(2, run_args(1u, 1, in, out, "--threads 0")), "--threads must be a whole number");
  EXPECT_EQ(bytes_of(out), earlier);
  for (const std::string &f : {in, link, hard, scratch("keep_shard_0.mat"), shard1, fifo, to_fifo, out})
    std::remove(f.c_str());
  rmdir(folder.c_str());
}

// A damaged file is an error (status 1) and leaves no result, not even an earlier one.
TEST(MpiProgram, DamagedFilesAreErrorsThatLeaveNoResult) {
  const Problem p = mat_files::wavy(200, 5);
  const std::string in = scratch("damaged.mat"), out = scratch("damaged_out.mat");
  const std::string damaged = in + ": the file is truncated or damaged (";
  auto expect_damaged = [&](const std::string &why) {
    ASSERT_TRUE(mat_files::write_problem(out, p));
    const MpiRun r = mpirun(2, run_args(1u, 1, in, out));
    EXPECT_EQ(r.status, 1) << why << "\n" << r.err;
    expect_one_failure(r, "the file is truncated or damaged (", out);
  };
  // A -v6 file cut in half.
  ASSERT_TRUE(mat_files::write_problem(in, p));
  std::string whole = bytes_of(in);
  {
    std::ofstream f(in, std::ios::binary | std::ios::trunc);
    f << whole.substr(0, whole.size() / 2);
  }
  expect_damaged("cut in half");
  // A -v7 file with one byte of its compressed data changed.
  ASSERT_TRUE(mat_files::write_problem(in, p, MAT_FT_MAT5, MAT_COMPRESSION_ZLIB));
  whole = bytes_of(in);
  whole[whole.size() / 2] = static_cast<char>(whole[whole.size() / 2] ^ 0x21);
  {
    std::ofstream f(in, std::ios::binary | std::ios::trunc);
    f << whole;
  }
  expect_damaged("a byte flipped");
  // Headers that declare more than the file holds, up to 2147483647 x 2147483647.
  const std::string three = mat_files::Level5().numbers(std::vector<double>{1, 2, 3});
  for (std::vector<int32_t> dims : {std::vector<int32_t>{20000, 1000}, std::vector<int32_t>{2147483647, 2147483647}}) {
    mat_files::Level5 f;
    f.matrix("X", dims, 9, three);
    f.matrix("y", {dims[0], 1}, 9, three);
    ASSERT_TRUE(f.write(in));
    expect_damaged("dimensions " + std::to_string(dims[0]));
  }
  // An X of no rows and 2147483647 columns is a valid file: the run either fits in memory or says
  // that it does not; it never crashes.
  {
    mat_files::Level5 f;
    f.matrix("X", {0, 2147483647}, 9, "");
    f.matrix("y", {0, 1}, 9, "");
    ASSERT_TRUE(f.write(in));
    const MpiRun r = mpirun(2, run_args(1u, 1, in, out));
    EXPECT_TRUE(r.status == 0 || (r.status == 1 && r.err.find("memory") != std::string::npos)) << r.status << r.err;
  }
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST(MpiProgram, ADivergedRunWarnsAndSaysSoInItsResult) {
  const Problem p = mat_files::wavy(200, 5);
  const std::string in = scratch("diverge.mat"), out = scratch("diverge_out.mat");
  ASSERT_TRUE(mat_files::write_problem(in, p));
  const MpiRun r = mpirun(2, "--seed 3 --step 1e6 --lambda 0.001 " + in + " " + out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("splitavg-mpi: warning: the run diverged: w("), std::string::npos) << r.err;
  mat_t *mat = Mat_Open(out.c_str(), MAT_ACC_RDONLY);
  ASSERT_NE(mat, nullptr);
  matvar_t *info = Mat_VarRead(mat, "info");
  matvar_t *diverged = info ? Mat_VarGetStructFieldByName(info, "diverged", 0) : nullptr;
  ASSERT_NE(diverged, nullptr);
  EXPECT_TRUE(diverged->isLogical);
  EXPECT_EQ(*static_cast<const mat_uint8_t *>(diverged->data), 1);
  Mat_VarFree(info);
  Mat_Close(mat);
  // The module's run warns with the same words.
  const mexhost::CallResult m = module_run(p, 3u, 2, 0, false, 1e6, 0.001);
  ASSERT_FALSE(m.failed);
  ASSERT_FALSE(m.warnings.empty());
  EXPECT_EQ(m.warnings[0].id, "splitavg:diverged");
  EXPECT_NE(r.err.find(m.warnings[0].message), std::string::npos) << r.err << "\n" << m.warnings[0].message;
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST(MpiProgram, AnyFinitePenaltyAndFileNamesThatLookLikeOptions) {
  const Problem p = mat_files::wavy(60, 4);
  // A data file whose name starts with --, after the -- that ends the options.
  const std::string in = "--" + scratch("dashes.mat"), out = scratch("dashes_out.mat");
  ASSERT_TRUE(mat_files::write_problem(in, p));
  expect_refused(mpirun(2, "--seed 4 --step 0.02 --lambda 4e-320 " + in + " " + out), "unknown option " + in);
  const MpiRun r = mpirun(2, "--seed 4 --step 0.02 --lambda 4e-320 -- " + in + " " + out);
  ASSERT_EQ(r.status, 0) << r.err;
  expect_same_bits(mat_files::read_doubles(out, "w"), module_weights(p, 4u, 2, false, 0.02, 4e-320), "4e-320");
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST(MpiProgram, CommandLineFaultsThreadLimitsAndHelp) {
  const std::string in = scratch("cli.mat"), out = scratch("cli_out.mat");
  ASSERT_TRUE(mat_files::write_problem(in, mat_files::wavy(20, 2)));
  const MpiRun no_step = mpirun(2, "--lambda 1 " + in + " " + out);
  EXPECT_EQ(no_step.status, 2);
  expect_one_failure(no_step, "splitavg-mpi: --step is required", out);
  expect_one_failure(mpirun(2, run_args(1u, 1, in, out, "--bogus")), "unknown option --bogus", out);
  expect_one_failure(mpirun(2, run_args(1u, 2, in, out), "OMP_THREAD_LIMIT=1"),
                     "got a team of 1 threads where --threads asked for 2", out);
  // A team whose thread stacks cannot be had is refused before it is started, as the module does.
  const MpiRun stacks = mpirun(2, run_args(1u, 4, in, out), "OMP_STACKSIZE=100000G");
  expect_one_failure(stacks, "process 0: a team of 4 threads", out);
  EXPECT_NE(stacks.err.find("OMP_STACKSIZE"), std::string::npos) << stacks.err;

  const MpiRun help = mpirun(2, "--help");
  EXPECT_EQ(help.status, 0);
  size_t count = 0;
  for (size_t at = help.out.find("usage:"); at != std::string::npos; at = help.out.find("usage:", at + 1)) ++count;
  EXPECT_EQ(count, 1u) << help.out;
  EXPECT_NE(help.out.find("--threads T"), std::string::npos);
  std::remove(in.c_str());
}
