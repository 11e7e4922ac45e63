// The parts of splitavg-mpi that need no MPI: the command line, the MAT-file reading (every file
// kind, damaged files) and writing, the checks of the result path, and the routes of the rows,
// checked against the module's own shuffle and shares.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cluster/mat_input.hpp"
#include "cluster/mat_output.hpp"
#include "cluster/options.hpp"
#include "cluster/result_path.hpp"
#include "cluster/routes.hpp"
#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"
#include "mat_files.hpp"
#include "splitavg/shuffle.hpp"
#include "splitavg/split_average.hpp"

namespace {

using cluster::ProgramOptions;

std::string parse(std::vector<const char *> args, ProgramOptions &o) {
  args.insert(args.begin(), "splitavg-mpi");
  return cluster::parse_options(static_cast<int>(args.size()), args.data(), o);
}

std::string scratch(const std::string &name) {
  return "cluster_io_" + std::to_string(getpid()) + "_" + name;
}

// The message of the RunFailure that body throws ("" when it throws none).
template <typename Body>
std::string failure_of(Body body) {
  try {
    body();
  } catch (const cluster::RunFailure &e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(ClusterOptions, ReadsEveryOptionAndKeepsTheDefaults) {
  ProgramOptions o;
  ASSERT_EQ(parse({"--step", "0.01", "--lambda", "1e-4", "in.mat", "out.mat"}, o), "");
  EXPECT_EQ(o.step, 0.01);
  EXPECT_EQ(o.lambda, 1e-4);
  EXPECT_FALSE(o.has_seed);
  EXPECT_EQ(o.threads, 1);
  EXPECT_FALSE(o.verbose);
  EXPECT_EQ(o.x_name, "X");
  EXPECT_EQ(o.y_name, "y");
  EXPECT_EQ(o.input, "in.mat");
  EXPECT_EQ(o.output, "out.mat");

  ProgramOptions all;
  ASSERT_EQ(parse({"in.mat", "--seed", "4294967295", "--threads", "3", "--verbose", "--x", "A", "--y", "b", "--step",
                   "-2.5", "--lambda", "0", "out.mat"},
                  all),
            "");
  EXPECT_TRUE(all.has_seed);
  EXPECT_EQ(all.seed, 4294967295u);
  EXPECT_EQ(all.threads, 3);
  EXPECT_TRUE(all.verbose);
  EXPECT_EQ(all.x_name, "A");
  EXPECT_EQ(all.y_name, "b");
  EXPECT_EQ(all.step, -2.5);

  ProgramOptions help;
  EXPECT_EQ(parse({"--help"}, help), "");
  EXPECT_TRUE(help.help);

  // Any finite value the module takes: a subnormal penalty too.
  ProgramOptions tiny;
  ASSERT_EQ(parse({"--step", "1e-310", "--lambda", "4e-320", "in.mat", "out.mat"}, tiny), "");
  EXPECT_EQ(tiny.lambda, 4e-320);
  EXPECT_EQ(tiny.step, 1e-310);

  // After --, names that look like options are files.
  ProgramOptions files;
  ASSERT_EQ(parse({"--step", "1", "--lambda", "2", "--", "--help", "--verbose"}, files), "");
  EXPECT_FALSE(files.help);
  EXPECT_FALSE(files.verbose);
  EXPECT_EQ(files.input, "--help");
  EXPECT_EQ(files.output, "--verbose");
}

TEST(ClusterOptions, RejectsBadCommandLinesWithAMessageNamingTheArgument) {
  const std::vector<std::pair<std::vector<const char *>, std::string>> cases = {
      {{"--lambda", "1", "a.mat", "b.mat"}, "--step is required"},
      {{"--step", "1", "a.mat", "b.mat"}, "--lambda is required"},
      {{"--step", "1", "--lambda", "1", "a.mat"}, "expected a data file and a result file"},
      {{"--step", "1", "--lambda", "1", "a.mat", "b.mat", "c.mat"}, "too many arguments"},
      {{"--step", "1", "--lambda", "1", "a.mat", ""}, "the result file's name is empty"},
      {{"--step", "1", "--lambda", "1", "--", "", "b.mat"}, "the data file's name is empty"},
      {{"--step", "x", "--lambda", "1", "a.mat", "b.mat"}, "--step must be a finite number"},
      {{"--step", "inf", "--lambda", "1", "a.mat", "b.mat"}, "--step must be a finite number"},
      {{"--step", "1", "--lambda", "1", "--seed", "-1", "a.mat", "b.mat"}, "--seed must be a whole number"},
      {{"--step", "1", "--lambda", "1", "--seed", "4294967296", "a.mat", "b.mat"}, "--seed must be a whole number"},
      {{"--step", "1", "--lambda", "1", "--threads", "0", "a.mat", "b.mat"}, "--threads must be a whole number"},
      {{"--step", "1", "--lambda", "1", "--threads", "1.5", "a.mat", "b.mat"}, "--threads must be a whole number"},
      {{"--step", "1", "--lambda", "1", "--frobnicate", "a.mat", "b.mat"}, "unknown option --frobnicate"},
      {{"--step", "1", "--lambda", "1", "a.mat", "--x"}, "--x needs a value"},
      {{"--step", "1", "--lambda", "1", "a.mat", "a.mat"}, "must not be the data file"},
      {{"--step", "1", "--lambda", "1e400", "a.mat", "b.mat"}, "--lambda must be a finite number"},
      {{"--step", "1", "--lambda", "1", "--", "a.mat", "b.mat", "--verbose"}, "too many arguments"},
  };
  for (const auto &c : cases) {
    ProgramOptions o;
    const std::string message = parse(c.first, o);
    EXPECT_NE(message.find(c.second), std::string::npos) << message;
  }
}

TEST(ClusterOptions, ShardPatternsHoldOnePercentD) {
  EXPECT_TRUE(cluster::is_shard_pattern("shard_%d.mat"));
  EXPECT_FALSE(cluster::is_shard_pattern("data.mat"));
  EXPECT_FALSE(cluster::is_shard_pattern("a_%s.mat"));
  EXPECT_FALSE(cluster::is_shard_pattern("a_%d_%d.mat"));
  EXPECT_EQ(cluster::shard_file("dir/shard_%d.mat", 12), "dir/shard_12.mat");
  // A name the pattern gives, however its folder is written; nothing else.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string here(cwd);
  for (const auto &[pattern, path] : std::vector<std::pair<std::string, std::string>>{
           {"shard_%d.mat", "shard_3.mat"},
           {"shard_%d.mat", "./shard_17.mat"},
           {"shard_%d.mat", here + "/shard_3.mat"},
           {"./shard_%d.mat", "shard_0.mat"},
           {here + "/shard_%d.mat", "./shard_3.mat"},
           {"shard_%d.mat", "../" + here.substr(here.rfind('/') + 1) + "/shard_3.mat"}})
    EXPECT_TRUE(cluster::names_a_shard(pattern, path)) << pattern << " " << path;
  for (const auto &[pattern, path] :
       std::vector<std::pair<std::string, std::string>>{{"shard_%d.mat", "shard_.mat"},
                                                        {"shard_%d.mat", "shard_3x.mat"},
                                                        {"shard_%d.mat", "shard_-3.mat"},
                                                        {"shard_%d.mat", "out.mat"},
                                                        {"shard_%d.mat", "/shard_3.mat"},
                                                        {"shard_%d.mat", "no_such_folder/shard_3.mat"}})
    EXPECT_FALSE(cluster::names_a_shard(pattern, path)) << pattern << " " << path;
}

TEST(ClusterRouting, HeldPositionsAreThoseOfEachProcessShares) {
  for (int32_t N : {0, 1, 2, 5, 10, 37, 1000})
    for (int32_t P = 1; P <= 4; ++P)
      for (int32_t t = 1; t <= 3; ++t) {
        const std::vector<int32_t> h = cluster::hold_offsets(N, P, t);
        ASSERT_EQ(h.size(), static_cast<size_t>(P) + 1);
        EXPECT_EQ(h[static_cast<size_t>(P)], N);
        for (int32_t q = 0; q < P; ++q) {
          // Shares q*t .. q*t + t - 1 of P*t, contiguous, from h[q] up to h[q+1] - 1.
          const splitavg::Share first = splitavg::chunk_bounds(N, P * t, q * t);
          const splitavg::Share last = splitavg::chunk_bounds(N, P * t, q * t + t - 1);
          EXPECT_EQ(h[static_cast<size_t>(q)], first.start);
          EXPECT_EQ(h[static_cast<size_t>(q) + 1], last.end + 1) << N << " " << P << " " << t << " " << q;
          for (int32_t k = h[static_cast<size_t>(q)]; k < h[static_cast<size_t>(q) + 1]; ++k)
            EXPECT_EQ(cluster::owner_of(h, k), q);
        }
      }
}

namespace {

// Every process's block routed by plan_routes, the exchange played by moving each sent slot to the
// position its holder expects next from that sender: each process's rows must hold, position by
// position, the samples the module's shuffle puts there.
void expect_routes_put_the_modules_order(int32_t N, int32_t P, int32_t t, const std::vector<int32_t> &read) {
  core::seed_thread_rand(77u + static_cast<uint32_t>(N));
  const std::vector<int32_t> perm = core::random_permutation(N);
  std::vector<cluster::Routes> routes;
  for (int r = 0; r < P; ++r) routes.push_back(cluster::plan_routes(perm, read, r, P, t));
  // held[q][k]: the sample that lands in q's position k.
  std::vector<std::vector<int32_t>> held(static_cast<size_t>(P));
  std::vector<std::vector<int32_t>> slots(static_cast<size_t>(P));  // r's send slots: samples
  for (int q = 0; q < P; ++q) held[static_cast<size_t>(q)].assign(static_cast<size_t>(routes[q].held()), -1);
  for (int r = 0; r < P; ++r) {
    const cluster::Routes &rt = routes[static_cast<size_t>(r)];
    slots[static_cast<size_t>(r)].assign(static_cast<size_t>(rt.sent_rows), -1);
    for (size_t i = 0; i < rt.dest.size(); ++i) {
      const int32_t sample = read[static_cast<size_t>(r)] + static_cast<int32_t>(i);
      const int64_t d = rt.dest[i];
      if (d >= 0)
        held[static_cast<size_t>(r)][static_cast<size_t>(d)] = sample;
      else
        slots[static_cast<size_t>(r)][static_cast<size_t>(~d)] = sample;
    }
  }
  for (int q = 0; q < P; ++q) {
    const cluster::Routes &rq = routes[static_cast<size_t>(q)];
    std::vector<int64_t> next(static_cast<size_t>(P));
    for (int r = 0; r < P; ++r)
      next[static_cast<size_t>(r)] = routes[static_cast<size_t>(r)].send_first[static_cast<size_t>(q)];
    for (int32_t k = 0; k < rq.held(); ++k) {
      const int r = rq.from[static_cast<size_t>(k)];
      if (r == q) continue;
      held[static_cast<size_t>(q)][static_cast<size_t>(k)] =
          slots[static_cast<size_t>(r)][static_cast<size_t>(next[static_cast<size_t>(r)]++)];
    }
    for (int r = 0; r < P; ++r) {
      if (r == q) continue;
      EXPECT_EQ(next[static_cast<size_t>(r)], routes[static_cast<size_t>(r)].send_first[static_cast<size_t>(q)] +
                                                  routes[static_cast<size_t>(r)].send_count[static_cast<size_t>(q)]);
    }
    for (int32_t k = 0; k < rq.held(); ++k)
      ASSERT_EQ(held[static_cast<size_t>(q)][static_cast<size_t>(k)],
                perm[static_cast<size_t>(rq.hold[static_cast<size_t>(q)] + k)])
          << "N=" << N << " P=" << P << " t=" << t << " q=" << q << " k=" << k;
  }
}

}  // namespace

TEST(ClusterRouting, RoutedRowsStandWhereTheModulesShufflePutsThem) {
  for (int32_t N : {0, 1, 5, 37, 200})
    for (int32_t P = 1; P <= 4; ++P)
      for (int32_t t : {1, 2, 3}) {
        // Blocks read unevenly (some empty), as shards of any size are.
        std::vector<int32_t> read(static_cast<size_t>(P) + 1, 0);
        for (int32_t r = 1; r < P; ++r) read[static_cast<size_t>(r)] = std::min(N, (N * r * r) / (P * P));
        read[static_cast<size_t>(P)] = N;
        expect_routes_put_the_modules_order(N, P, t, read);
      }
}

namespace {

// A block read through RowTargets into rows of its own: X back in column-major order, and y.
struct ReadBlock {
  std::vector<double> X, y;
  cluster::NonFinite non_finite;
};

ReadBlock read_block(cluster::MatInput &in, int32_t first, int32_t count, int64_t first_row = 0, int64_t N = -1) {
  const cluster::MatShape shape = in.inspect();
  const size_t D = static_cast<size_t>(shape.D), B = static_cast<size_t>(count);
  std::vector<double> rows(B * D, -7.0), labels(B, -7.0);
  std::vector<int64_t> dest(B);
  for (size_t i = 0; i < B; ++i) dest[i] = static_cast<int64_t>(i);
  cluster::RowTargets to;
  to.dest = dest.data();
  to.local_rows = rows.data();
  to.local_labels = labels.data();
  to.D = shape.D;
  ReadBlock b;
  b.non_finite = in.read_rows(first, count, to, first_row, N < 0 ? shape.N : N);
  b.X.resize(B * D);
  for (size_t i = 0; i < B; ++i)
    for (size_t j = 0; j < D; ++j) b.X[i + j * B] = rows[i * D + j];
  b.y = labels;
  return b;
}

}  // namespace

TEST(ClusterMatInput, PartialReadsGiveTheRowsOfEveryFileKind) {
  struct Kind {
    const char *name;
    mat_ft version;
    matio_compression compression;
  };
  const Kind kinds[] = {{"v6", MAT_FT_MAT5, MAT_COMPRESSION_NONE},
                        {"v7", MAT_FT_MAT5, MAT_COMPRESSION_ZLIB},
                        {"v73", MAT_FT_MAT73, MAT_COMPRESSION_NONE},
                        {"v73 compressed (chunked)", MAT_FT_MAT73, MAT_COMPRESSION_ZLIB}};
  // Tall, wide (the pieces of a block lie close together in the file) and square shapes.
  for (auto [N, D] : {std::pair<int, int>{23, 4}, {3, 700}, {300, 40}})
    for (const Kind &k : kinds) {
      const mat_files::Problem pr = mat_files::wavy(N, D);
      const std::string path = scratch(std::string(k.name) + ".mat");
      ASSERT_TRUE(mat_files::write_problem(path, pr, k.version, k.compression)) << k.name;
      cluster::MatInput in(path, "X", "y");
      const cluster::MatShape shape = in.inspect();
      EXPECT_EQ(shape.N, N);
      EXPECT_EQ(shape.D, D);
      EXPECT_FALSE(shape.sparse);
      for (auto [first, count] : {std::pair<int, int>{0, N}, {N / 4, N / 2}, {N - 1, 1}, {N / 2, 0}}) {
        const ReadBlock b = read_block(in, first, count);
        const mat_files::Problem want = mat_files::rows_of(pr, first, count);
        EXPECT_EQ(b.X, want.X) << k.name << " " << N << "x" << D << " from " << first;
        EXPECT_EQ(b.y, want.y) << k.name << " " << N << "x" << D << " from " << first;
        EXPECT_EQ(b.non_finite.key, -1);
      }
      std::remove(path.c_str());
    }
}

TEST(ClusterMatInput, NarrowerStoredTypesAndTheOtherByteOrderReadAsTheirValues) {
  // Octave saves a matrix of whole numbers as uint8 or int16 to save room; another machine may
  // have written the file big-endian.
  const std::string path = scratch("level5.mat");
  for (bool big : {false, true}) {
    mat_files::Level5 f(big);
    f.matrix("X", {3, 2}, 2, f.numbers(std::vector<uint8_t>{1, 2, 3, 250, 0, 7}));
    f.matrix("y", {3, 1}, 3, f.numbers(std::vector<int16_t>{-5, 300, -32768}));
    ASSERT_TRUE(f.write(path));
    cluster::MatInput in(path, "X", "y");
    const ReadBlock b = read_block(in, 1, 2);
    EXPECT_EQ(b.X, (std::vector<double>{2, 3, 0, 7})) << big;
    EXPECT_EQ(b.y, (std::vector<double>{300, -32768})) << big;
    mat_files::Level5 g(big);
    g.matrix("X", {2, 2}, 9, g.numbers(std::vector<double>{0.5, -1.25, 3e300, 1e-310}));
    g.matrix("y", {1, 2}, 7, g.numbers(std::vector<float>{1.5f, -2.5f}));
    ASSERT_TRUE(g.write(path));
    cluster::MatInput in2(path, "X", "y");
    const ReadBlock c = read_block(in2, 0, 2);
    EXPECT_EQ(c.X, (std::vector<double>{0.5, -1.25, 3e300, 1e-310})) << big;
    EXPECT_EQ(c.y, (std::vector<double>{1.5, -2.5})) << big;
  }
  std::remove(path.c_str());
}

TEST(ClusterMatInput, SingleFeaturesAndARowOfLabelsAreReadAsDoubles) {
  const mat_files::Problem pr = mat_files::wavy(9, 2);
  const std::string path = scratch("single.mat");
  mat_files::Var X{"X", 9, 2, pr.X, mat_files::Var::kSingle};
  mat_files::Var y{"y", 1, 9, pr.y};
  ASSERT_TRUE(mat_files::write_file(path, {X, y}));
  cluster::MatInput in(path, "X", "y");
  const ReadBlock b = read_block(in, 3, 4);
  const mat_files::Problem want = mat_files::rows_of(pr, 3, 4);
  for (size_t k = 0; k < want.X.size(); ++k) EXPECT_EQ(b.X[k], static_cast<double>(static_cast<float>(want.X[k])));
  EXPECT_EQ(b.y, want.y);
  std::remove(path.c_str());
}

TEST(ClusterMatInput, SparseBlocksHoldTheirRowsNonzerosInColumnOrder) {
  struct Kind {
    const char *name;
    mat_ft version;
    matio_compression compression;
  };
  const Kind kinds[] = {{"v6", MAT_FT_MAT5, MAT_COMPRESSION_NONE},
                        {"v7", MAT_FT_MAT5, MAT_COMPRESSION_ZLIB},
                        {"v73", MAT_FT_MAT73, MAT_COMPRESSION_NONE},
                        {"v73 compressed (chunked)", MAT_FT_MAT73, MAT_COMPRESSION_ZLIB}};
  const mat_files::Problem pr = mat_files::sparse_wavy(57, 9, 0.3);
  for (const Kind &k : kinds) {
    const std::string path = scratch(std::string(k.name) + "_sparse.mat");
    ASSERT_TRUE(mat_files::write_problem(path, pr, k.version, k.compression, true)) << k.name;
    cluster::MatInput in(path, "X", "y");
    ASSERT_TRUE(in.inspect().sparse) << k.name;
    for (auto [first, count] : {std::pair<int, int>{0, 57}, {10, 20}, {56, 1}, {30, 0}}) {
      std::vector<double> labels(static_cast<size_t>(count), -7.0);
      std::vector<int64_t> dest(static_cast<size_t>(count));
      for (int i = 0; i < count; ++i) dest[static_cast<size_t>(i)] = i;
      cluster::RowTargets to;
      to.dest = dest.data();
      to.local_labels = labels.data();
      cluster::NonFinite nf;
      const cluster::SparseBlock b = in.read_sparse(first, count, to, 0, 57, nf);
      const mat_files::Problem want = mat_files::rows_of(pr, first, count);
      ASSERT_EQ(b.column_starts.size(), 10u);
      std::vector<double> got(static_cast<size_t>(count) * 9, 0.0);
      for (int c = 0; c < 9; ++c)
        for (int64_t e = b.column_starts[static_cast<size_t>(c)]; e < b.column_starts[static_cast<size_t>(c) + 1];
             ++e) {
          if (e > b.column_starts[static_cast<size_t>(c)]) {
            EXPECT_LT(b.row_indices[static_cast<size_t>(e) - 1], b.row_indices[static_cast<size_t>(e)]);
          }
          got[static_cast<size_t>(b.row_indices[static_cast<size_t>(e)]) + static_cast<size_t>(c * count)] =
              b.values[static_cast<size_t>(e)];
        }
      EXPECT_EQ(got, want.X) << k.name << " from " << first;
      EXPECT_EQ(labels, want.y) << k.name << " from " << first;
      EXPECT_EQ(nf.key, -1);
    }
    std::remove(path.c_str());
  }
}

TEST(ClusterMatInput, FaultsNameTheFileAndTheProblem) {
  const mat_files::Problem pr = mat_files::wavy(6, 3);
  const std::string path = scratch("faults.mat");
  auto inspect = [&](std::vector<mat_files::Var> vars, const char *x = "X", const char *y = "y") {
    EXPECT_TRUE(mat_files::write_file(path, vars));
    return failure_of([&] { cluster::MatInput(path, x, y).inspect(); });
  };
  const mat_files::Var X{"X", 6, 3, pr.X}, y{"y", 6, 1, pr.y};
  EXPECT_EQ(inspect({X, y}), "");
  EXPECT_EQ(inspect({X, y}, "A"), path + ": has no variable 'A' (name it with --x)");
  EXPECT_EQ(inspect({X}), path + ": has no variable 'y' (name it with --y)");
  EXPECT_EQ(inspect({mat_files::Var{"X", 6, 3, pr.X, mat_files::Var::kComplex}, y}),
            path +
                ": X must be a real double or single matrix of N samples by D features, full or sparse; it is a 6x3 "
                "complex double array");
  EXPECT_EQ(inspect({mat_files::Var{"X", 2, 3, {}, mat_files::Var::kChar}, y}),
            path +
                ": X must be a real double or single matrix of N samples by D features, full or sparse; it is a 2x3 "
                "char array");
  EXPECT_EQ(inspect({X, mat_files::Var{"y", 5, 1, {1, 2, 3, 4, 5}}}),
            path + ": y holds 5 labels but X has 6 rows; they must match");
  EXPECT_EQ(inspect({X, mat_files::Var{"y", 2, 3, pr.y}}),
            path + ": y must be a real, full double or single vector of N labels; it is a 2x3 double array");

  const std::string missing = scratch("missing.mat");
  EXPECT_EQ(failure_of([&] { cluster::MatInput(missing, "X", "y"); }),
            missing + ": cannot open it: No such file or directory");
  FILE *f = std::fopen(missing.c_str(), "w");
  std::fputs("not a MAT file at all", f);
  std::fclose(f);
  EXPECT_NE(failure_of([&] { cluster::MatInput(missing, "X", "y"); }).find("is not a MAT file"), std::string::npos);
  std::remove(missing.c_str());
  std::remove(path.c_str());
}

namespace {

// The failure of opening `path` and reading all of its rows ("" when there is none).
std::string read_failure(const std::string &path) {
  return failure_of([&] {
    cluster::MatInput in(path, "X", "y");
    const cluster::MatShape shape = in.inspect();
    if (shape.sparse) {
      std::vector<double> labels(static_cast<size_t>(shape.N));
      std::vector<int64_t> dest(static_cast<size_t>(shape.N));
      for (int32_t i = 0; i < shape.N; ++i) dest[static_cast<size_t>(i)] = i;
      cluster::RowTargets to;
      to.dest = dest.data();
      to.local_labels = labels.data();
      cluster::NonFinite nf;
      in.read_sparse(0, shape.N, to, 0, shape.N, nf);
    } else {
      read_block(in, 0, shape.N);
    }
  });
}

std::string file_bytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void put_bytes(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace

// A damaged file is an error naming the file, never an answer, and never a crash: files cut short
// anywhere, headers that declare more than the file holds, compressed data with a byte changed.
TEST(ClusterMatInput, DamagedFilesAreErrorsNeverAnswers) {
  const std::string path = scratch("damaged.mat");
  const mat_files::Problem pr = mat_files::wavy(40, 5);
  const std::string damaged = "the file is truncated or damaged (";
  for (bool sparse : {false, true})
    for (matio_compression z : {MAT_COMPRESSION_NONE, MAT_COMPRESSION_ZLIB}) {
      ASSERT_TRUE(
          mat_files::write_problem(path, sparse ? mat_files::sparse_wavy(40, 5, 0.4) : pr, MAT_FT_MAT5, z, sparse));
      const std::string whole = file_bytes(path);
      ASSERT_EQ(read_failure(path), "");
      // Cut short at every length after the header (every 7 bytes; the header alone is a file with
      // no variables).
      for (size_t cut = 129; cut < whole.size(); cut += 7) {
        put_bytes(path, whole.substr(0, cut));
        // A cut that falls exactly between two variables leaves a whole file without the second.
        const std::string why = read_failure(path);
        EXPECT_EQ(why.rfind(path + ": ", 0), 0u) << cut;
        EXPECT_TRUE(why.find(damaged) != std::string::npos || why.find("has no variable 'y'") != std::string::npos)
            << "cut at " << cut << " of " << whole.size() << ": " << why;
      }
      if (z == MAT_COMPRESSION_ZLIB) {
        // One byte changed anywhere in the compressed data (after the variables' tags and zlib
        // headers): zlib's checksum or its decoder finds it.
        int caught = 0, tried = 0;
        for (size_t at = 140; at < whole.size(); at += 13) {
          std::string bad = whole;
          bad[at] = static_cast<char>(bad[at] ^ 0x5a);
          put_bytes(path, bad);
          const std::string why = read_failure(path);
          ++tried;
          caught += why.find(damaged) != std::string::npos;
        }
        EXPECT_EQ(caught, tried) << (sparse ? "sparse" : "full");
      }
    }
  // Headers that declare more than they store.
  const std::string three = mat_files::Level5().numbers(std::vector<double>{1, 2, 3});
  struct Case {
    std::vector<int32_t> dims;
    int64_t declared;
    const char *says;
    uint32_t class_and_flags = 6;
  } cases[] = {{{20000, 1000}, -1, "declares 20000000 values but stores 3"},
               {{20000, 1000}, 160000000, "declare 160000000 bytes but the variable holds 24"},
               {{2147483647, 2147483647}, -1, "values but stores 3"},
               {{3, 1}, 25, "not a whole number of values"},
               {{0, 1}, -1, "declares 0 values but stores 3"},
               {{3, 0}, -1, "declares 0 values but stores 3"},
               // uint8 marked logical over 3 stored values, as Octave saves a sparse logical X
               {{3, 2}, -1, "declares 6 values but stores 3: it is marked logical", 0x0209}};
  for (const Case &c : cases) {
    mat_files::Level5 f;
    f.matrix("X", c.dims, 9, three, c.declared, c.class_and_flags);
    f.matrix("y", {c.dims[0], 1}, 9, three);
    ASSERT_TRUE(f.write(path));
    const std::string why = read_failure(path);
    EXPECT_NE(why.find(damaged), std::string::npos) << why;
    EXPECT_NE(why.find(c.says), std::string::npos) << why;
  }
  // -v7.3 (HDF5): a file cut short anywhere is damaged, not a file without X; and a dataset whose
  // declared shape was changed (here X's columns, stored as the pair D, N twice: its size and its
  // largest size) is refused before a value is read, whether it now covers more bytes than the
  // dataset stores (which would read y's) or fewer.
  for (bool sparse : {false, true})
    for (matio_compression z : {MAT_COMPRESSION_NONE, MAT_COMPRESSION_ZLIB}) {  // ZLIB: chunked datasets
      ASSERT_TRUE(
          mat_files::write_problem(path, sparse ? mat_files::sparse_wavy(40, 5, 0.4) : pr, MAT_FT_MAT73, z, sparse));
      const std::string whole = file_bytes(path);
      ASSERT_EQ(read_failure(path), "") << (sparse ? "sparse" : "full") << " compression " << z;
      for (size_t cut = 512; cut < whole.size(); cut += 61) {
        put_bytes(path, whole.substr(0, cut));
        const std::string why = read_failure(path);
        EXPECT_NE(why.find(damaged), std::string::npos) << "cut at " << cut << " of " << whole.size() << ": " << why;
      }
    }
  ASSERT_TRUE(mat_files::write_problem(path, pr, MAT_FT_MAT73, MAT_COMPRESSION_NONE, false));
  const std::string h5 = file_bytes(path);
  const auto pair = [](uint64_t a, uint64_t b) {
    std::string bytes(16, '\0');
    for (int k = 0; k < 8; ++k) {
      bytes[static_cast<size_t>(k)] = static_cast<char>(a >> (8 * k));
      bytes[static_cast<size_t>(8 + k)] = static_cast<char>(b >> (8 * k));
    }
    return bytes;
  };
  const size_t shape_at = h5.find(pair(5, 40) + pair(5, 40));
  ASSERT_NE(shape_at, std::string::npos);
  for (uint64_t columns : {6, 4}) {
    std::string bad = h5;
    bad.replace(shape_at, 32, pair(columns, 40) + pair(columns, 40));
    put_bytes(path, bad);
    const std::string why = read_failure(path);
    EXPECT_NE(why.find("X: the file is truncated or damaged (it declares " + std::to_string(40 * columns) +
                       " values but stores 200)"),
              std::string::npos)
        << why;
  }

  // The name's type byte zeroed (the small element 40 bytes into X's element).
  mat_files::Level5 nameless;
  nameless.matrix("X", {3, 1}, 9, three);
  nameless.matrix("y", {3, 1}, 9, three);
  nameless.bytes[128 + 40] = 0;
  ASSERT_TRUE(nameless.write(path));
  const std::string why = read_failure(path);
  EXPECT_NE(why.find("its name is stored as type 0"), std::string::npos) << why;
  std::remove(path.c_str());
}

// As the module names it: the first in MATLAB's order (column-major, X before y), with the indices
// of the file, and a key that orders the blocks of all processes the same way.
TEST(ClusterMatInput, TheFirstNonFiniteValueIsNamedAsTheModuleNamesIt) {
  mat_files::Problem pr = mat_files::wavy(6, 3);
  const std::string path = scratch("nan.mat");
  auto first_fault = [&](int first, int count, int64_t first_row, int64_t N) {
    EXPECT_TRUE(mat_files::write_problem(path, pr));
    cluster::MatInput in(path, "X", "y");
    return read_block(in, first, count, first_row, N).non_finite;
  };
  pr.X[4 + 0 * 6] = -1.0 / 0.0;    // X(5,1): first in column-major order
  pr.X[2 + 1 * 6] = std::nan("");  // X(3,2)
  pr.y[0] = std::nan("");          // y comes after all of X
  cluster::NonFinite all = first_fault(0, 6, 0, 6);
  EXPECT_EQ(all.message, path + ": X(5,1) is -Inf");
  EXPECT_EQ(all.key, 4);
  // Rows 1 .. 3 of this file, which are rows 11 .. 13 of an X of 20 rows.
  cluster::NonFinite top = first_fault(0, 3, 10, 20);
  EXPECT_EQ(top.message, path + ": X(3,2) is NaN");
  EXPECT_EQ(top.key, 1 * 20 + 12);
  pr = mat_files::wavy(6, 3);
  pr.y[4] = 1.0 / 0.0;
  cluster::NonFinite labels = first_fault(3, 3, 3, 6);
  EXPECT_EQ(labels.message, path + ": y(5) is Inf");  // indices of the file, not of the block
  EXPECT_EQ(labels.key, 6 * 3 + 4);
  cluster::NonFinite clean = first_fault(0, 4, 0, 6);
  EXPECT_EQ(clean.key, -1);
  EXPECT_EQ(clean.message, "");
  std::remove(path.c_str());
}

TEST(ClusterMatOutput, TheResultAppearsWholeAndNothingElseIsLeft) {
  const std::string path = scratch("out.mat");
  cluster::ResultInfo info;
  info.seed = 4000000000u;
  info.processes = 3;
  info.threads = 2;
  info.objective = {3.5, 1.25};
  info.diverged = true;
  ASSERT_EQ(cluster::write_result(path, {1.5, -2.0, 0.0}, info), "");
  EXPECT_EQ(mat_files::read_doubles(path, "w"), (std::vector<double>{1.5, -2.0, 0.0}));
  EXPECT_EQ(mat_files::read_info(path, "seed"), std::vector<double>{4000000000.0});
  EXPECT_EQ(mat_files::read_info(path, "processes"), std::vector<double>{3});
  EXPECT_EQ(mat_files::read_info(path, "threads"), std::vector<double>{2});
  EXPECT_EQ(mat_files::read_info(path, "objective"), (std::vector<double>{3.5, 1.25}));
  EXPECT_NE(access(cluster::temporary_name(path).c_str(), F_OK), 0);
  EXPECT_EQ(cluster::remove_stale_result(path), "");
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_EQ(cluster::remove_stale_result(path), "");  // nothing to remove is fine

  const std::string nowhere = scratch("no_such_dir") + "/out.mat";
  EXPECT_NE(cluster::write_result(nowhere, {1.0}, info).find("cannot create the temporary file"), std::string::npos);
  EXPECT_NE(access(nowhere.c_str(), F_OK), 0);
}

// A file system that takes only part of the result (full, or a quota: here a file size limit) is a
// failed write: nothing at the result's name, no temporary file left, and an earlier result kept.
TEST(ClusterMatOutput, AResultTheDiskCannotHoldIsAFailureNotACutFile) {
  const std::string path = scratch("cut.mat");
  put_bytes(path, "an earlier result");
  cluster::ResultInfo info;
  info.objective = {1.0, 0.5};
  const std::vector<double> w(4000, 0.25);  // 32 000 bytes of w
  // The whole file's size, then limits that cut it anywhere, down to inside its last field.
  const std::string whole = scratch("whole.mat");
  ASSERT_EQ(cluster::write_result(whole, w, info), "");
  const rlim_t size = static_cast<rlim_t>(file_bytes(whole).size());
  std::remove(whole.c_str());
  for (rlim_t room :
       {rlim_t{0}, rlim_t{200}, rlim_t{20000}, rlim_t{32100}, size - 200, size - 40, size - 8, size - 1}) {
    struct rlimit before;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    void (*const handler)(int) = std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails
    struct rlimit limited = before;
    limited.rlim_cur = room;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const std::string why = cluster::write_result(path, w, info);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, handler);
    EXPECT_NE(why.find("writing the result failed (disk full?)"), std::string::npos) << room << ": " << why;
    EXPECT_EQ(file_bytes(path), "an earlier result") << room;
    EXPECT_NE(access(cluster::temporary_name(path).c_str(), F_OK), 0) << room;
  }
  std::remove(path.c_str());
}

// The result path is told apart from the data by what it is, not by its name, and every refusal
// leaves every file as it was.
TEST(ClusterResultPath, AResultThatIsADataFileOrNoFileIsRefusedAndNothingIsTouched) {
  const std::string data = scratch("data.mat"), other = scratch("other.mat");
  put_bytes(data, "the data");
  put_bytes(other, "other data");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::vector<cluster::FileIdentity> inputs = {cluster::identity_of(other), cluster::identity_of(data)};
  const std::vector<std::string> names = {other, data};
  auto problem = [&](const std::string &result) { return cluster::result_path_problem(result, inputs, names); };
  const std::string link = scratch("link.mat"), hard = scratch("hard.mat"), fifo = scratch("fifo.mat"),
                    folder = scratch("folder.mat"), to_fifo = scratch("to_fifo.mat"),
                    dangling = scratch("dangling.mat");
  ASSERT_EQ(symlink(data.c_str(), link.c_str()), 0);
  ASSERT_EQ(::link(data.c_str(), hard.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(symlink(fifo.c_str(), to_fifo.c_str()), 0);
  ASSERT_EQ(symlink("nowhere-at-all", dangling.c_str()), 0);
  const std::string same = ": is the data file " + data;
  EXPECT_NE(problem(data).find(same), std::string::npos);
  EXPECT_NE(problem("./" + data).find(same), std::string::npos);
  EXPECT_NE(problem(std::string(cwd) + "/" + data).find(same), std::string::npos);
  EXPECT_NE(problem(link).find(same), std::string::npos);
  EXPECT_NE(problem(hard).find(same), std::string::npos);
  EXPECT_NE(problem(fifo).find("is a pipe"), std::string::npos);
  EXPECT_NE(problem(folder).find("is a folder"), std::string::npos);
  EXPECT_NE(problem(to_fifo).find("is a link to a pipe"), std::string::npos);
  EXPECT_NE(problem(dangling).find("leads nowhere"), std::string::npos);
  EXPECT_NE(problem("/dev/null").find("is a character device"), std::string::npos);
  EXPECT_NE(problem(scratch("no_such_dir") + "/out.mat").find("No such file or directory"), std::string::npos);
  EXPECT_NE(problem(std::string(300, 'a') + ".mat").find("File name too long"), std::string::npos);
  // A fresh name, and an earlier result (even through a link to it), are fine.
  EXPECT_EQ(problem(scratch("fresh.mat")), "");
  EXPECT_EQ(problem(other + ".old"), "");
  // Nothing was touched: the data, the links, the fifo and the folder are as they were, and no
  // temporary file is left.
  EXPECT_EQ(file_bytes(data), "the data");
  EXPECT_EQ(file_bytes(link), "the data");
  struct stat st;
  EXPECT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(lstat(folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_NE(access(cluster::temporary_name(scratch("fresh.mat")).c_str(), F_OK), 0);
  // The stale result is removed as a name: a link goes, never what it leads to.
  const std::string earlier = scratch("earlier.mat"), to_earlier = scratch("to_earlier.mat");
  put_bytes(earlier, "an earlier result");
  ASSERT_EQ(symlink(earlier.c_str(), to_earlier.c_str()), 0);
  EXPECT_EQ(problem(to_earlier), "");
  EXPECT_EQ(cluster::remove_stale_result(to_earlier), "");
  EXPECT_EQ(lstat(to_earlier.c_str(), &st), -1);
  EXPECT_EQ(file_bytes(earlier), "an earlier result");
  for (const std::string &f : {data, other, link, hard, fifo, to_fifo, dangling, earlier}) std::remove(f.c_str());
  rmdir(folder.c_str());
}

// An earlier result of another user in a sticky folder cannot be removed or replaced by this one:
// refused before the run, not found after it. (Needs root to act as two users.)
TEST(ClusterResultPath, AnotherUsersResultInAStickyFolderIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to create a file as one user and check it as another";
  const std::string shared = scratch("sticky"), theirs = shared + "/out.mat", fresh = shared + "/fresh.mat";
  ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  put_bytes(theirs, "their result");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // As nobody: their file is refused, a fresh name in the same folder is fine.
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    const std::string why = cluster::result_path_problem(theirs, {}, {});
    const bool refused = why.find("belongs to another user") != std::string::npos;
    _exit(refused && cluster::result_path_problem(fresh, {}, {}).empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(cluster::result_path_problem(theirs, {}, {}), "");  // its owner may replace it
  EXPECT_EQ(file_bytes(theirs), "their result");
  std::remove(theirs.c_str());
  rmdir(shared.c_str());
}
