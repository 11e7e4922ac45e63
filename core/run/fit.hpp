// What every solver's entry (fit_kinkstep, fit_splitavg, fit_driftwalk) takes besides the data and
// its parameters, and what it hands back. An entry knows nothing of any host: it validates, seeds,
// shuffles where its method does, prints the banner and every objective line through run.out,
// runs, and returns the weights with one status. A front end (the MEX frame, the MPI program, a
// test) turns the status, its reason and the warnings into its own errors.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/run/printer.hpp"
#include "core/run/progress.hpp"
#include "core/data/regression_data.hpp"
#include "core/run/run_context.hpp"
#include "core/run/stop_check.hpp"

namespace core {

// An integer parameter as the caller gave it: the value the run uses (the reading rule of
// to_int32_parameter) and the number given, which messages quote.
struct IntegerInput {
  int32_t value = 0;
  double given = 0.0;
  IntegerInput() = default;
  IntegerInput(int32_t v) : value(v), given(v) {}  // NOLINT: a plain integer is given as itself
  static IntegerInput read(double given);
};

// A reason (the second half of an identifier such as kinkstep:invalidMethod) and its message.
struct Notice {
  const char *reason = nullptr;
  char message[512] = {0};
  void set(const char *reason, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
  explicit operator bool() const { return reason != nullptr; }
};

enum class FitStatus {
  Done,        // w holds the result
  Refused,     // a parameter, or the data's size, rules the run out: error says why
  Stopped,     // run.stop said stop: w is no result
  TeamFailed,  // a thread team could not start or did not have its size: error says why
};

struct FitResult {
  FitStatus status = FitStatus::Done;
  Notice error;  // Refused and TeamFailed
  static constexpr int kMaxWarnings = 4;
  Notice warnings[kMaxWarnings];  // in the order they arose, also given with an error
  int warning_count = 0;
  WeightVector w;
  int32_t threads = 1;     // the team size the run used (1 for a sequential method)
  int32_t iterations = 0;  // iterations run (splitavg: the one pass)
  bool seed_used = true;   // false when the run drew nothing from run.seed

  bool done() const { return status == FitStatus::Done; }
  void warn(const char *reason, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
  // Ends the run as `status` with `reason` and its message.
  FitResult &fail(FitStatus status, const char *reason, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
  FitResult &stopped() {
    status = FitStatus::Stopped;
    return *this;
  }
};

// How a run draws its progress line, when the caller wants one: where the output goes decides the
// style, and the clock is the host's.
struct ProgressSetup {
  bool shown = false;
  Progress::Style style = Progress::Style::PlainLines;
  Progress::Clock clock = nullptr;
  // What the line counts, where the caller counts otherwise than the module (the MPI program's
  // process 0 counts the samples of its own shares): null for the module's name and unit.
  const char *name = nullptr;
  const char *unit = nullptr;
  uint64_t total = 0;
};

// Everything of a call besides the data and the parameters.
struct FitRun {
  bool verbose = false;
  Printer out;
  StopCheck stop;                                // a copy: the run's questions go on from its state
  int32_t threads = 0;                           // every team's size; 0 leaves it to the OpenMP runtime
  uint32_t seed = 0;                             // seeds the calling thread's generator
  std::vector<double> *objective_trace = nullptr;  // when set, receives every objective the run prints
  ProgressSetup progress;

  // The solvers' context on `data` (which must outlive it).
  RunContext context(const RegressionData &data) const;
  // The same on compressed sparse rows, with N and D in `shape` (both must outlive it).
  RunContext context(const RegressionData &shape, const SparseRows &rows) const;
};

// The progress line, when run.progress asks for one and the run is not verbose (its per-iteration
// lines win): `total` units of `unit`, driven by ctx.stop's questions from now on.
void start_progress(std::optional<Progress> &line, RunContext &ctx, const ProgressSetup &setup, const char *module,
                    const char *unit, uint64_t total);

// After a parallel solve: a team that could not start (`problem` set) fails the run with
// threadTeam; a team smaller than the run asked for (run.threads) warns threadsReduced. False when
// the run failed.
bool team_started(FitResult &r, const char *problem, int32_t asked, int32_t threads);

// Warns `diverged` when the weights hold a NaN or an infinity: the run overflowed.
void warn_if_diverged(FitResult &r);

// The end a solver's run shares once r.w holds its weights: a stopped run is marked so; otherwise
// the progress line ends, a verbose run prints its final objective, and the weights are checked.
void finish_fit(FitResult &r, const RunContext &ctx, std::optional<Progress> &line, double lambda, int32_t maxIter);

}  // namespace core
