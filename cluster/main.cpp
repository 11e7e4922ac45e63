// splitavg-mpi: splitavg's split-and-average pass over MPI processes, each holding only the rows
// of its own shares. See usage_text() and doc/cluster.md.
#include <mpi.h>
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>

#include "cluster/collective.hpp"
#include "cluster/mat_input.hpp"
#include "cluster/mat_output.hpp"
#include "cluster/mpi_samples.hpp"
#include "cluster/options.hpp"
#include "cluster/result_path.hpp"
#include "cluster/row_exchange.hpp"
#include "core/random/thread_rand.hpp"
#include "core/run/fit.hpp"
#include "core/run/progress.hpp"
#include "core/threads/team.hpp"
#include "splitavg/fit.hpp"
#include "splitavg/shuffle.hpp"

namespace {

using namespace cluster;

void print_to_stdout(void *, const char *text) {
  std::fputs(text, stdout);
  std::fflush(stdout);  // the lines of a long run appear as it goes, also through mpirun
}

double mpi_clock() {
  return MPI_Wtime();
}

double longest(double seconds, MPI_Comm comm) {
  double most = 0.0;
  MPI_Allreduce(&seconds, &most, 1, MPI_DOUBLE, MPI_MAX, comm);
  return most;
}

// Before anything is removed: the result must be none of the data files (nor a name their pattern
// gives), not something other than a file, and writable where it is named; and with one file per
// process, no file may lie beyond the processes'. A refusal is a command-line fault (status 2).
void check_result_path(MPI_Comm comm, const ProgramOptions &opt, bool shards, const std::string &file) {
  int rank = 0, size = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &size);
  FileIdentity mine = identity_of(file);
  std::vector<FileIdentity> all(rank == 0 ? static_cast<size_t>(size) : 0);
  MPI_Gather(&mine, sizeof mine, MPI_BYTE, all.data(), sizeof mine, MPI_BYTE, 0, comm);
  std::string problem;
  if (rank == 0) {
    std::vector<std::string> names;
    for (int r = 0; r < size; ++r) names.push_back(shards ? shard_file(opt.input, r) : opt.input);
    if (shards) {
      // A shard beyond the processes' would be left out: that is an error, not a silent loss.
      all.push_back(identity_of(shard_file(opt.input, size)));
      names.push_back(shard_file(opt.input, size));
    }
    problem = result_path_problem(opt.output, all, names);
    struct stat beyond;
    if (problem.empty() && shards && names_a_shard(opt.input, opt.output))
      problem = opt.output + ": is a name the data files' pattern " + opt.input +
                " gives; the result must go to another file";
    else if (problem.empty() && shards && stat(shard_file(opt.input, size).c_str(), &beyond) == 0)
      problem = shard_file(opt.input, size) + " exists, but " + std::to_string(size) +
                " processes read only the files up to " + shard_file(opt.input, size - 1) +
                "; run as many processes as there are files";
  }
  agree(comm, problem, 2);
}

// Rows read[r] .. read[r+1] - 1 of X for every process r: from one file, blocks as even as
// chunk_bounds makes them; from one file per process, the files' rows in process order.
std::vector<int32_t> read_offsets(MPI_Comm comm, bool shards, const std::string &pattern, const MatShape &here) {
  int rank = 0, size = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &size);
  std::vector<int32_t> read(static_cast<size_t>(size) + 1, 0);
  if (!shards) {
    for (int r = 0; r < size; ++r) read[static_cast<size_t>(r)] = splitavg::chunk_bounds(here.N, size, r).start;
    read[static_cast<size_t>(size)] = here.N;
    return read;
  }
  struct Shape {
    int32_t N, D, sparse;
  } mine{here.N, here.D, here.sparse ? 1 : 0};
  std::vector<Shape> shapes(static_cast<size_t>(size));
  MPI_Allgather(&mine, sizeof mine, MPI_BYTE, shapes.data(), sizeof mine, MPI_BYTE, comm);
  std::string problem;
  int64_t total = 0;
  for (int r = 0; r < size && problem.empty(); ++r) {
    const Shape &s = shapes[static_cast<size_t>(r)];
    if (s.D != shapes[0].D)
      problem = shard_file(pattern, r) + ": X has " + std::to_string(s.D) + " columns but " + shard_file(pattern, 0) +
                "'s has " + std::to_string(shapes[0].D) + "; every file must hold the same features";
    else if (s.sparse != shapes[0].sparse)
      problem = shard_file(pattern, r) + ": X is " + (s.sparse ? "sparse" : "full") + " but " + shard_file(pattern, 0) +
                "'s is " + (shapes[0].sparse ? "sparse" : "full") + "; every file must hold X the same way";
    read[static_cast<size_t>(r)] = static_cast<int32_t>(total);
    total += s.N;
    if (total > 2147483647)
      problem = "the files hold more than 2147483647 rows together; at most that many are supported";
  }
  agree(comm, rank == 0 ? problem : std::string());
  read[static_cast<size_t>(size)] = static_cast<int32_t>(total);
  return read;
}

// A field of /proc/self/status in bytes (VmRSS, VmHWM), 0 when it cannot be read.
double own_memory(const char *field) {
  FILE *f = std::fopen("/proc/self/status", "r");
  if (!f) return 0.0;
  char line[256];
  unsigned long long kb = 0;
  const size_t n = std::strlen(field);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
      std::sscanf(line + n + 1, "%llu", &kb);
      break;
    }
  std::fclose(f);
  return static_cast<double>(kb) * 1024.0;
}

// This machine's MemAvailable in bytes, 0 when it cannot be told.
uint64_t available_memory() {
  FILE *f = std::fopen("/proc/meminfo", "r");
  if (!f) return 0;
  char line[256];
  unsigned long long kb = 0;
  while (std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "MemAvailable: %llu kB", &kb) == 1) break;
  std::fclose(f);
  return static_cast<uint64_t>(kb) * 1024;
}

// Refuses a run whose processes on one machine would together need more memory than it has
// available: the kernel would otherwise kill one of them part way, and the run would end without a
// message of its own. `needed` is this process's estimate.
void check_memory(MPI_Comm comm, double needed) {
  int rank = 0;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm machine;
  MPI_Comm_split_type(comm, MPI_COMM_TYPE_SHARED, rank, MPI_INFO_NULL, &machine);
  double together = 0.0;
  int processes = 1;
  MPI_Allreduce(&needed, &together, 1, MPI_DOUBLE, MPI_SUM, machine);
  MPI_Comm_size(machine, &processes);
  MPI_Comm_free(&machine);
  const double available = static_cast<double>(available_memory());
  char problem[400] = "";
  if (available > 0 && together > available)
    std::snprintf(
        problem, sizeof problem,
        "process %d: the %d processes on its machine need about %.1f GB of memory for their rows and models, more "
        "than the %.1f GB it has available; spread the processes over more machines, use fewer threads "
        "per process, or a smaller problem",
        rank, processes, together / 1e9, available / 1e9);
  agree(comm, problem);
}

// Of the NaN and infinities every process met, the one the module would name: the first in
// MATLAB's order over the whole X.
void agree_on_non_finite(MPI_Comm comm, const NonFinite &mine) {
  const int64_t key = mine.key < 0 ? INT64_MAX : mine.key;
  int64_t first = INT64_MAX;
  MPI_Allreduce(&key, &first, 1, MPI_INT64_T, MPI_MIN, comm);
  agree(comm, first != INT64_MAX && key == first ? mine.message : std::string());
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
    const double memory_at_start = own_memory("VmRSS");
    const bool shards = is_shard_pattern(opt.input);
    const std::string file = shards ? shard_file(opt.input, rank) : opt.input;
    check_result_path(comm, opt, shards, file);
    // The command line is accepted: from here on a run that fails or is killed leaves no result,
    // not even an earlier one.
    agree(comm, rank == 0 ? remove_stale_result(opt.output) : std::string());
    const InjectedFault fault = InjectedFault::from_environment();
    if (fault.hits(InjectedFault::kStall, rank)) pause();

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

    // The shape of X, then where every sample goes.
    double reading = MPI_Wtime();
    std::unique_ptr<MatInput> input;
    MatShape shape;
    on_every_process(comm, "while opening " + file, [&] {
      input = std::make_unique<MatInput>(file, opt.x_name, opt.y_name);
      shape = input->inspect();
    });
    int32_t sparse_anywhere = shape.sparse ? 1 : 0, D = shape.D;
    MPI_Allreduce(MPI_IN_PLACE, &sparse_anywhere, 1, MPI_INT32_T, MPI_MAX, comm);
    MPI_Bcast(&D, 1, MPI_INT32_T, 0, comm);
    const std::vector<int32_t> read = read_offsets(comm, shards, opt.input, shape);
    reading = MPI_Wtime() - reading;
    const int32_t N = read.back(), first = shards ? 0 : read[static_cast<size_t>(rank)];
    const int32_t count = read[static_cast<size_t>(rank) + 1] - read[static_cast<size_t>(rank)];
    Routes routes;
    on_every_process(comm, "for the order of the " + std::to_string(N) + " samples", [&] {
      // Every process draws the module's shuffle from the seed, as splitavg draws it.
      const std::vector<int32_t> order = splitavg::draw_shuffle_order(N, seed, core::StopCheck());
      routes = plan_routes(order, read, rank, size, opt.threads);
    });
    {
      // What this process will hold at once: its rows, the rows it sends, Open MPI's receive
      // types, and per share a model, a step's state and the sums of the average (the compressed
      // rows of a sparse X count as they arrive).
      const double d = static_cast<double>(D), t = static_cast<double>(opt.threads);
      const double rows = sparse_anywhere ? 8.0 * (routes.held() + routes.sent_rows)
                                          : 8.0 * (d + 1) * (routes.held() + routes.sent_rows);
      const double types = static_cast<double>(kReceiveTypeBytesPerRow) * static_cast<double>(rows_received(routes));
      check_memory(comm, rows + types + 8.0 * d * (3 + 2 * t + (sparse_anywhere ? 2 * t + 1 : 0)) + 16e6);
    }
    const std::string rows_of_shares = "for the " + std::to_string(routes.held()) + " rows of its shares";

    // Every row read goes straight to its place: among this process's positions, or into the
    // buffer for the process that holds it.
    DenseRoutes dense;
    SparseLabels labels;
    SparseBlock block;
    NonFinite non_finite;
    on_every_process(comm, rows_of_shares, [&] {
      if (fault.hits(InjectedFault::kNoMemory, rank)) throw std::bad_alloc();
      const size_t d = static_cast<size_t>(D);
      if (sparse_anywhere) {
        labels.held.resize(static_cast<size_t>(routes.held()));
        labels.sent.resize(static_cast<size_t>(routes.sent_rows));
        return;
      }
      dense.held.N = routes.held();
      dense.held.D = D;
      dense.held.features.resize(static_cast<size_t>(routes.held()) * d);
      dense.held.labels.resize(static_cast<size_t>(routes.held()));
      dense.sent_rows.resize(static_cast<size_t>(routes.sent_rows) * d);
      dense.sent_labels.resize(static_cast<size_t>(routes.sent_rows));
    });
    const double read_start = MPI_Wtime();
    on_every_process(comm, "while reading its " + std::to_string(count) + " rows of " + file, [&] {
      const int64_t at = read[static_cast<size_t>(rank)];
      if (sparse_anywhere)
        block = input->read_sparse(first, count, labels.targets(routes), at, N, non_finite);
      else
        non_finite = input->read_rows(first, count, dense.targets(routes), at, N);
    });
    if (fault.hits(InjectedFault::kKillReading, rank)) std::raise(SIGKILL);
    const double read_bytes = static_cast<double>(input->bytes_read());
    agree_on_non_finite(comm, non_finite);
    input.reset();
    // The file's part: its headers, then the rows (the checks, the order of the samples and the
    // places of the rows between them are not reading).
    const double read_seconds = longest(reading + (MPI_Wtime() - read_start), comm);

    const double exchange_start = MPI_Wtime();
    uint64_t bytes_sent = 0;
    core::SparseRows sparse_rows;
    if (sparse_anywhere)
      sparse_rows = exchange_sparse(comm, routes, std::move(block), std::move(labels), D, bytes_sent);
    else
      bytes_sent = exchange_dense(comm, routes, dense);
    dense.sent_rows = decltype(dense.sent_rows)();
    dense.sent_labels = std::vector<double>();
    const double exchange_seconds = longest(MPI_Wtime() - exchange_start, comm);

    // The run, as the module makes it; only process 0 prints. Process 0's progress line counts the
    // samples of its own shares from the start of the pass: the others run as fast as it does, and
    // the shares are of one size, so its line speaks for all.
    core::FitRun run;
    run.verbose = opt.verbose;
    run.out = rank == 0 ? core::Printer(print_to_stdout, nullptr) : core::Printer();
    run.threads = opt.threads;
    run.seed = seed;
    run.in_drawn_order = true;
    ResultInfo info;
    core::ObjectiveTrace trace;
    if (opt.verbose) run.trace = &trace;
    if (rank == 0 && opt.progress && !opt.verbose) {
      uint64_t own = 0;
      for (int32_t s = 0; s < opt.threads; ++s) {
        const splitavg::Share share = splitavg::chunk_bounds(N, size * opt.threads, s);
        if (!share.empty()) own += static_cast<uint64_t>(share.end - share.start + 1);
      }
      // Plain lines, a line per 10 %: a process cannot tell whether mpirun's own output is a
      // terminal (Open MPI hands its processes a pseudo-terminal even when mpirun writes to a log),
      // and a cluster job's output goes to a file.
      run.progress.shown = true;
      run.progress.style = core::Progress::Style::PlainLines;
      run.progress.clock = mpi_clock;
      run.progress.name = "splitavg-mpi";
      run.progress.unit = "samples of process 0";
      run.progress.total = own;
    }
    const splitavg::Parameters p{opt.step, opt.lambda};
    double pass_seconds = 0.0;
    const auto fit_on = [&](auto &rows) {
      MpiSamples<std::decay_t<decltype(rows)>> source(comm, opt.threads, N, routes.hold, fault);
      core::FitResult result = splitavg::fit_splitavg(rows, p, run, source);
      pass_seconds = source.pass_seconds();
      return result;
    };
    const core::FitResult r = sparse_anywhere ? fit_on(sparse_rows) : fit_on(dense.held);
    // Nothing here stops a run; the layout reports a short team itself.
    if (!r.done()) throw ProgramFailure("the pass did not complete", 1);

    info.objective = trace.values;
    info.seed = seed;
    info.processes = size;
    info.threads = opt.threads;
    info.read_seconds = read_seconds;
    info.exchange_seconds = exchange_seconds;
    info.pass_seconds = longest(pass_seconds, comm);
    double bytes = static_cast<double>(bytes_sent), all_bytes = 0.0;
    MPI_Reduce(&bytes, &all_bytes, 1, MPI_DOUBLE, MPI_SUM, 0, comm);
    info.exchange_bytes = all_bytes;
    double all_read = 0.0;
    MPI_Reduce(&read_bytes, &all_read, 1, MPI_DOUBLE, MPI_SUM, 0, comm);
    info.read_bytes = all_read;
    for (int k = 0; k < r.warning_count; ++k) {
      if (rank == 0) std::fprintf(stderr, "splitavg-mpi: warning: %s\n", r.warnings[k].message);
      if (std::string(r.warnings[k].reason) == "diverged") info.diverged = true;
    }
    info.peak_memory = longest(own_memory("VmHWM") - memory_at_start, comm);
    info.seconds = MPI_Wtime() - started;
    agree(comm, rank == 0 ? write_result(opt.output, r.w.data(), r.w.size(), info) : std::string());
  } catch (const ProgramFailure &e) {
    if (rank == 0) std::fprintf(stderr, "splitavg-mpi: %s\n", e.what());
    return e.status;
  }
  return 0;
}

int interrupted_rank = -1;

// A SIGINT that reaches the job's processes ends each at once (a run that is stopped leaves no
// result: the earlier one was removed when the run was accepted), and process 0 says why, so that
// a caller can tell an interruption from a failure (exit status 130). Ctrl-C at mpirun does not
// come here: Open MPI's mpirun ends the processes itself and exits with status 1.
extern "C" void on_interrupt(int) {
  if (interrupted_rank == 0) {
    static const char kMessage[] = "splitavg-mpi: interrupted\n";
    const ssize_t written = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    (void)written;
  }
  _exit(130);
}

}  // namespace

int main(int argc, char **argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  MPI_Comm_rank(MPI_COMM_WORLD, &interrupted_rank);
  std::signal(SIGINT, on_interrupt);
  const int status = run(argc, argv, MPI_COMM_WORLD);
  MPI_Finalize();
  return status;
}
