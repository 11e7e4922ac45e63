// splitavg-mpi: splitavg's split-and-average pass over MPI processes, each holding only the rows
// of its own shares. See usage_text() and the README's section on running on a cluster.
#include <mpi.h>
#include <omp.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>
#include <optional>

#include "cluster/mat_input.hpp"
#include "cluster/mat_output.hpp"
#include "cluster/mpi_samples.hpp"
#include "cluster/options.hpp"
#include "core/progress.hpp"
#include "core/fit.hpp"
#include "core/team.hpp"
#include "splitavg/fit.hpp"

namespace {

using namespace cluster;

void print_to_stdout(void *, const char *text) {
  std::fputs(text, stdout);
  std::fflush(stdout);  // the lines of a long run appear as it goes, also through mpirun
}

double longest(double seconds, MPI_Comm comm) {
  double most = 0.0;
  MPI_Allreduce(&seconds, &most, 1, MPI_DOUBLE, MPI_MAX, comm);
  return most;
}

// Rows read[r] .. read[r+1] - 1 of X for every process r: from one file, blocks as even as
// chunk_bounds makes them; from one file per process, the files' rows in process order.
std::vector<int32_t> read_offsets(MPI_Comm comm, bool shards, const std::string &pattern, int32_t rows_here,
                                  int32_t D_here) {
  int rank = 0, size = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &size);
  std::vector<int32_t> read(static_cast<size_t>(size) + 1, 0);
  if (!shards) {
    for (int r = 0; r < size; ++r) read[static_cast<size_t>(r)] = splitavg::chunk_bounds(rows_here, size, r).start;
    read[static_cast<size_t>(size)] = rows_here;
    return read;
  }
  std::vector<int32_t> rows(static_cast<size_t>(size)), Ds(static_cast<size_t>(size));
  MPI_Allgather(&rows_here, 1, MPI_INT32_T, rows.data(), 1, MPI_INT32_T, comm);
  MPI_Allgather(&D_here, 1, MPI_INT32_T, Ds.data(), 1, MPI_INT32_T, comm);
  int64_t total = 0;
  for (int r = 0; r < size; ++r) {
    if (Ds[static_cast<size_t>(r)] != Ds[0])
      throw RunFailure(shard_file(pattern, r) + ": X has " + std::to_string(Ds[static_cast<size_t>(r)]) +
                       " columns but " + shard_file(pattern, 0) + "'s has " + std::to_string(Ds[0]) +
                       "; every file must hold the same features");
    read[static_cast<size_t>(r)] = static_cast<int32_t>(total);
    total += rows[static_cast<size_t>(r)];
    if (total > 2147483647)
      throw RunFailure("the files hold more than 2147483647 rows together; at most that many are supported");
  }
  read[static_cast<size_t>(size)] = static_cast<int32_t>(total);
  return read;
}

int run(int argc, char **argv, MPI_Comm comm) {
  int rank = 0, size = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &size);
  ProgramOptions opt;
  const std::string usage_problem = parse_options(argc, argv, opt);
  if (opt.help) {
    if (rank == 0) std::fputs(usage_text(), stdout);
    return 0;
  }
  if (!usage_problem.empty()) {
    if (rank == 0) std::fprintf(stderr, "splitavg-mpi: %s\n", usage_problem.c_str());
    return 2;
  }

  try {
    const double started = MPI_Wtime();
    agree(comm, rank == 0 ? remove_stale_result(opt.output) : std::string());
    // A team that cannot be created would end the process inside the runtime: it is checked first.
    const std::string team_problem = core::team_size_problem(core::team_size_granted(opt.threads), "--threads");
    int32_t here = 0;
    if (team_problem.empty()) {
      const core::FixedTeamSize fixed_team_size;
      here = core::sizing_team(opt.threads).threads;
    }
    agree(comm, !team_problem.empty() ? "process " + std::to_string(rank) + ": " + team_problem
                : here == opt.threads ? std::string()
                                      : "process " + std::to_string(rank) + " got a team of " + std::to_string(here) +
                                            " threads where --threads asked for " + std::to_string(opt.threads) +
                                            "; check OMP_THREAD_LIMIT");
    uint32_t seed = opt.has_seed ? opt.seed : static_cast<uint32_t>(std::time(nullptr));
    MPI_Bcast(&seed, 1, MPI_UINT32_T, 0, comm);

    // Read: the shape of X, then this process's block of rows.
    const bool shards = is_shard_pattern(opt.input);
    const std::string file = shards ? shard_file(opt.input, rank) : opt.input;
    std::unique_ptr<MatInput> input;
    MatShape shape;
    std::string failure;
    try {
      input = std::make_unique<MatInput>(file, opt.x_name, opt.y_name);
      shape = input->inspect();
    } catch (const RunFailure &e) {
      failure = e.what();
    }
    agree(comm, failure);
    struct stat st;
    if (shards && rank == 0 && stat(shard_file(opt.input, size).c_str(), &st) == 0)
      failure = shard_file(opt.input, size) + " exists, but " + std::to_string(size) +
                " processes read only the files up to " + shard_file(opt.input, size - 1) +
                "; run as many processes as there are files";
    agree(comm, failure);
    std::vector<int32_t> read;
    try {
      read = read_offsets(comm, shards, opt.input, shape.N, shape.D);
    } catch (const RunFailure &e) {
      failure = e.what();
    }
    agree(comm, failure);
    // The block as rows (the module's conversion, which also finds NaN and Inf), then the file's
    // copy is dropped. Of the non-finite values every process found, the one the module would name
    // first in the whole X is reported.
    BlockRows rows;
    try {
      const int32_t first = shards ? 0 : read[static_cast<size_t>(rank)];
      const int32_t count = read[static_cast<size_t>(rank) + 1] - read[static_cast<size_t>(rank)];
      rows = block_rows(input->read_rows(first, count), file, read[static_cast<size_t>(rank)], read.back());
    } catch (const RunFailure &e) {
      failure = e.what();
    } catch (const std::bad_alloc &) {
      failure = "process " + std::to_string(rank) + " ran out of memory for its " +
                std::to_string(read[static_cast<size_t>(rank) + 1] - read[static_cast<size_t>(rank)]) + " rows of " +
                file;
    }
    agree(comm, failure);
    const int64_t mine = rows.non_finite_key < 0 ? INT64_MAX : rows.non_finite_key;
    int64_t first_bad = INT64_MAX;
    MPI_Allreduce(&mine, &first_bad, 1, MPI_INT64_T, MPI_MIN, comm);
    agree(comm, first_bad != INT64_MAX && mine == first_bad ? rows.non_finite : std::string());
    input.reset();
    const double read_seconds = longest(MPI_Wtime() - started, comm);

    // The run, as the module makes it; only process 0 prints.
    MpiSamples layout(comm, opt.threads, read, std::move(rows.data), InjectedFault::from_environment());
    core::RegressionData data;
    data.D = shape.D;
    const core::Printer out = rank == 0 ? core::Printer(print_to_stdout, nullptr) : core::Printer();
    core::FitRun run;
    run.verbose = opt.verbose;
    run.out = out;
    run.threads = opt.threads;
    run.seed = seed;
    ResultInfo info;
    if (opt.verbose) run.objective_trace = &info.objective;
    // Process 0 shows how far the pass of its own shares is; the others run as fast as they can,
    // and the shares are of one size, so its line speaks for all.
    std::optional<core::Progress> line;
    if (rank == 0 && opt.progress && !opt.verbose) {
      const int32_t T = size * opt.threads;
      uint64_t own = 0;
      for (int32_t s = 0; s < opt.threads; ++s) {
        const splitavg::Share share = splitavg::chunk_bounds(shape.N, T, s);
        if (!share.empty()) own += static_cast<uint64_t>(share.end - share.start + 1);
      }
      // Plain lines, a line per 10 %: a process cannot tell whether mpirun's own output is a
      // terminal (Open MPI hands its processes a pseudo-terminal even when mpirun writes to a log),
      // and a cluster job's output goes to a file.
      line.emplace(out, core::Progress::Style::PlainLines, [] { return MPI_Wtime(); }, "splitavg-mpi",
                   "samples of process 0", own);
      run.stop.show_progress(&*line);
    }
    const core::FitResult r = splitavg::fit_splitavg(data, splitavg::Parameters{opt.step, opt.lambda}, run, layout);
    // Nothing here stops a run; the layout reports a short team itself.
    if (!r.done()) throw RunFailure("the pass did not complete");
    if (line) line->finish();

    info.seed = seed;
    info.processes = size;
    info.threads = opt.threads;
    info.read_seconds = read_seconds;
    info.exchange_seconds = longest(layout.exchange_seconds(), comm);
    info.pass_seconds = longest(layout.pass_seconds(), comm);
    double bytes = static_cast<double>(layout.bytes_sent()), all_bytes = 0.0;
    MPI_Reduce(&bytes, &all_bytes, 1, MPI_DOUBLE, MPI_SUM, 0, comm);
    info.exchange_bytes = all_bytes;
    info.seconds = MPI_Wtime() - started;
    agree(comm, rank == 0 ? write_result(opt.output, r.w, info) : std::string());
  } catch (const RunFailure &e) {
    if (rank == 0) std::fprintf(stderr, "splitavg-mpi: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  const int status = run(argc, argv, MPI_COMM_WORLD);
  MPI_Finalize();
  return status;
}
