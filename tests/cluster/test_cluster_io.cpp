// The parts of splitavg-mpi that need no MPI: the command line, the MAT-file reading and writing,
// and the routing of rows, checked against the module's own shuffle and shares.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cluster/mat_input.hpp"
#include "cluster/mat_output.hpp"
#include "cluster/options.hpp"
#include "cluster/row_routing.hpp"
#include "core/primitives.hpp"
#include "core/thread_rand.hpp"
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
}

TEST(ClusterOptions, RejectsBadCommandLinesWithAMessageNamingTheArgument) {
  const std::vector<std::pair<std::vector<const char *>, std::string>> cases = {
      {{"--lambda", "1", "a.mat", "b.mat"}, "--step is required"},
      {{"--step", "1", "a.mat", "b.mat"}, "--lambda is required"},
      {{"--step", "1", "--lambda", "1", "a.mat"}, "expected a data file and a result file"},
      {{"--step", "1", "--lambda", "1", "a.mat", "b.mat", "c.mat"}, "too many arguments"},
      {{"--step", "x", "--lambda", "1", "a.mat", "b.mat"}, "--step must be a finite number"},
      {{"--step", "inf", "--lambda", "1", "a.mat", "b.mat"}, "--step must be a finite number"},
      {{"--step", "1", "--lambda", "1", "--seed", "-1", "a.mat", "b.mat"}, "--seed must be a whole number"},
      {{"--step", "1", "--lambda", "1", "--seed", "4294967296", "a.mat", "b.mat"}, "--seed must be a whole number"},
      {{"--step", "1", "--lambda", "1", "--threads", "0", "a.mat", "b.mat"}, "--threads must be a whole number"},
      {{"--step", "1", "--lambda", "1", "--threads", "1.5", "a.mat", "b.mat"}, "--threads must be a whole number"},
      {{"--step", "1", "--lambda", "1", "--frobnicate", "a.mat", "b.mat"}, "unknown option --frobnicate"},
      {{"--step", "1", "--lambda", "1", "a.mat", "--x"}, "--x needs a value"},
      {{"--step", "1", "--lambda", "1", "a.mat", "a.mat"}, "must not be the data file"},
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

// Every process packs its block, the exchange is played by concatenating what each process sends
// to q, and q's table must hold, position by position, the rows and labels the module's shuffle puts
// there: the same sample, not merely the same values.
TEST(ClusterRouting, ExchangedRowsStandWhereTheModulesShufflePutsThem) {
  for (int32_t N : {0, 1, 5, 37, 200})
    for (int32_t P = 1; P <= 4; ++P)
      for (int32_t t : {1, 2, 3}) {
        const mat_files::Problem pr = mat_files::wavy(N, 3);
        core::RegressionData full = core::make_regression_data(pr.X.data(), N, 3, pr.y.data());
        core::seed_thread_rand(77u + static_cast<uint32_t>(N));
        splitavg::shuffle_samples(full, 0, N - 1);
        core::seed_thread_rand(77u + static_cast<uint32_t>(N));
        const std::vector<int32_t> perm = core::random_permutation(N);

        // Uneven blocks read: process r reads rows read[r] .. read[r+1] - 1 (some may be empty).
        std::vector<int32_t> read(static_cast<size_t>(P) + 1, 0);
        for (int32_t r = 1; r < P; ++r) read[static_cast<size_t>(r)] = std::min(N, (N * r * r) / (P * P));
        read[static_cast<size_t>(P)] = N;
        const std::vector<int32_t> hold = cluster::hold_offsets(N, P, t);
        std::vector<cluster::RowBuffer> sent(static_cast<size_t>(P));
        std::vector<std::vector<int>> counts(static_cast<size_t>(P));
        for (int32_t r = 0; r < P; ++r) {
          mat_files::Problem b = mat_files::rows_of(pr, read[static_cast<size_t>(r)],
                                                    read[static_cast<size_t>(r) + 1] - read[static_cast<size_t>(r)]);
          const core::RegressionData block = core::make_regression_data(b.X.data(), b.N, 3, b.y.data());
          cluster::pack_rows(perm, hold, read[static_cast<size_t>(r)], block, sent[static_cast<size_t>(r)],
                             counts[static_cast<size_t>(r)]);
        }
        for (int q = 0; q < P; ++q) {
          cluster::RowBuffer received;
          std::vector<int> from(static_cast<size_t>(P));
          for (int r = 0; r < P; ++r) {
            size_t at = 0;
            for (int s = 0; s < q; ++s)
              at += static_cast<size_t>(counts[static_cast<size_t>(r)][static_cast<size_t>(s)]) * 4;
            const size_t n = static_cast<size_t>(counts[static_cast<size_t>(r)][static_cast<size_t>(q)]) * 4;
            received.insert(received.end(), sent[static_cast<size_t>(r)].begin() + static_cast<long>(at),
                            sent[static_cast<size_t>(r)].begin() + static_cast<long>(at + n));
            from[static_cast<size_t>(r)] = counts[static_cast<size_t>(r)][static_cast<size_t>(q)];
          }
          const core::RegressionData mine = cluster::arrange_rows(perm, hold, q, read, std::move(received), from, 3);
          ASSERT_EQ(mine.N, hold[static_cast<size_t>(q) + 1] - hold[static_cast<size_t>(q)]);
          for (int32_t k = 0; k < mine.N; ++k) {
            const int32_t position = hold[static_cast<size_t>(q)] + k;
            for (int32_t j = 0; j < 3; ++j) ASSERT_EQ(mine.row(k)[j], full.row(position)[j]) << N << P << t << q << k;
            ASSERT_EQ(mine.labels[static_cast<size_t>(k)], full.labels[static_cast<size_t>(position)]);
          }
        }
      }
}

TEST(ClusterMatInput, PartialReadsGiveTheRowsOfEveryFileKind) {
  const mat_files::Problem pr = mat_files::wavy(23, 4);
  struct Kind {
    const char *name;
    mat_ft version;
    matio_compression compression;
  };
  const Kind kinds[] = {{"v6", MAT_FT_MAT5, MAT_COMPRESSION_NONE},
                        {"v7", MAT_FT_MAT5, MAT_COMPRESSION_ZLIB},
                        {"v73", MAT_FT_MAT73, MAT_COMPRESSION_NONE}};
  for (const Kind &k : kinds) {
    const std::string path = scratch(std::string(k.name) + ".mat");
    ASSERT_TRUE(mat_files::write_problem(path, pr, k.version, k.compression)) << k.name;
    cluster::MatInput in(path, "X", "y");
    const cluster::MatShape shape = in.inspect();
    EXPECT_EQ(shape.N, 23);
    EXPECT_EQ(shape.D, 4);
    for (auto [first, count] : {std::pair<int, int>{0, 23}, {5, 7}, {22, 1}, {10, 0}}) {
      const cluster::RowBlock b = in.read_rows(first, count);
      const mat_files::Problem want = mat_files::rows_of(pr, first, count);
      EXPECT_EQ(b.X, want.X) << k.name << " " << first;
      EXPECT_EQ(b.y, want.y) << k.name << " " << first;
    }
    std::remove(path.c_str());
  }
}

TEST(ClusterMatInput, SingleFeaturesAndARowOfLabelsAreReadAsDoubles) {
  const mat_files::Problem pr = mat_files::wavy(9, 2);
  const std::string path = scratch("single.mat");
  mat_files::Var X{"X", 9, 2, pr.X, mat_files::Var::kSingle};
  mat_files::Var y{"y", 1, 9, pr.y};
  ASSERT_TRUE(mat_files::write_file(path, {X, y}));
  cluster::MatInput in(path, "X", "y");
  in.inspect();
  const cluster::RowBlock b = in.read_rows(3, 4);
  const mat_files::Problem want = mat_files::rows_of(pr, 3, 4);
  for (size_t k = 0; k < want.X.size(); ++k) EXPECT_EQ(b.X[k], static_cast<double>(static_cast<float>(want.X[k])));
  EXPECT_EQ(b.y, want.y);
  std::remove(path.c_str());
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
                ": X must be a real, full double or single matrix of N samples by D features; it is a 6x3 complex "
                "double array");
  EXPECT_EQ(inspect({mat_files::Var{"X", 2, 3, {}, mat_files::Var::kChar}, y}),
            path +
                ": X must be a real, full double or single matrix of N samples by D features; it is a 2x3 char "
                "array");
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

// As the module names it: the first in MATLAB's order (column-major, X before y), with the indices
// of the file, and a key that orders the blocks of all processes the same way.
TEST(ClusterMatInput, TheFirstNonFiniteValueIsNamedAsTheModuleNamesIt) {
  mat_files::Problem pr = mat_files::wavy(6, 3);
  const std::string path = scratch("nan.mat");
  auto first_fault = [&](int first, int count, int64_t first_row, int64_t N) {
    EXPECT_TRUE(mat_files::write_problem(path, pr));
    cluster::MatInput in(path, "X", "y");
    in.inspect();
    return cluster::block_rows(in.read_rows(first, count), path, first_row, N);
  };
  pr.X[4 + 0 * 6] = -1.0 / 0.0;    // X(5,1): first in column-major order
  pr.X[2 + 1 * 6] = std::nan("");  // X(3,2)
  pr.y[0] = std::nan("");          // y comes after all of X
  cluster::BlockRows all = first_fault(0, 6, 0, 6);
  EXPECT_EQ(all.non_finite, path + ": X(5,1) is -Inf");
  EXPECT_EQ(all.non_finite_key, 4);
  // Rows 1 .. 3 of this file, which are rows 11 .. 13 of an X of 20 rows.
  cluster::BlockRows top = first_fault(0, 3, 10, 20);
  EXPECT_EQ(top.non_finite, path + ": X(3,2) is NaN");
  EXPECT_EQ(top.non_finite_key, 1 * 20 + 12);
  pr = mat_files::wavy(6, 3);
  pr.y[4] = 1.0 / 0.0;
  cluster::BlockRows labels = first_fault(3, 3, 3, 6);
  EXPECT_EQ(labels.non_finite, path + ": y(5) is Inf");  // indices of the file, not of the block
  EXPECT_EQ(labels.non_finite_key, 6 * 3 + 4);
  cluster::BlockRows clean = first_fault(0, 4, 0, 6);
  EXPECT_EQ(clean.non_finite_key, -1);
  EXPECT_EQ(clean.non_finite, "");
  EXPECT_EQ(clean.data.N, 4);
  EXPECT_EQ(clean.data.row(2)[1], pr.X[2 + 1 * 6]);
  std::remove(path.c_str());
}

TEST(ClusterMatOutput, TheResultAppearsWholeAndNothingElseIsLeft) {
  const std::string path = scratch("out.mat");
  cluster::ResultInfo info;
  info.seed = 4000000000u;
  info.processes = 3;
  info.threads = 2;
  info.objective = {3.5, 1.25};
  ASSERT_EQ(cluster::write_result(path, {1.5, -2.0, 0.0}, info), "");
  EXPECT_EQ(mat_files::read_doubles(path, "w"), (std::vector<double>{1.5, -2.0, 0.0}));
  EXPECT_EQ(mat_files::read_info(path, "seed"), std::vector<double>{4000000000.0});
  EXPECT_EQ(mat_files::read_info(path, "processes"), std::vector<double>{3});
  EXPECT_EQ(mat_files::read_info(path, "threads"), std::vector<double>{2});
  EXPECT_EQ(mat_files::read_info(path, "objective"), (std::vector<double>{3.5, 1.25}));
  const std::string partial = path + ".partial-" + std::to_string(getpid());
  EXPECT_NE(access(partial.c_str(), F_OK), 0);
  EXPECT_EQ(cluster::remove_stale_result(path), "");
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_EQ(cluster::remove_stale_result(path), "");  // nothing to remove is fine
  // A folder given as the result is refused, never removed.
  const std::string folder = scratch("folder.mat");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  EXPECT_EQ(cluster::remove_stale_result(folder), folder + ": is a directory, not a result file");
  EXPECT_EQ(rmdir(folder.c_str()), 0);

  const std::string nowhere = scratch("no_such_dir") + "/out.mat";
  EXPECT_NE(cluster::write_result(nowhere, {1.0}, info).find("cannot create the temporary file"), std::string::npos);
  EXPECT_NE(access(nowhere.c_str(), F_OK), 0);
}
