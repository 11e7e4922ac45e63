// The run of every solver, written once: what a front end (the MEX frame, the MPI program, a test)
// hands over besides the data (FitRun), the one sequence every method follows (run_fit), and what it
// hands back (FitResult). An entry knows nothing of any host: a front end turns the status, its
// reason and the warnings into its own errors.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/run/fit_options.hpp"
#include "core/run/printer.hpp"
#include "core/run/progress.hpp"
#include "core/run/run_context.hpp"
#include "core/run/stop_check.hpp"
#include "core/threads/team.hpp"

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

// What a run hands back, from its solver to its front end: the one result type.
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
  double bias = 0.0;       // the intercept, when the call fitted one (FitOptions::intercept)
  // When the iterates were averaged: per model (one; splitavg: one per share) the first step
  // averaged and how many iterates were.
  std::vector<double> average_from, averaged;

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
  StopCheck stop;                   // a copy: the run's questions go on from its state
  int32_t threads = 0;              // every team's size; 0 leaves it to the OpenMP runtime
  uint32_t seed = 0;                // seeds the calling thread's generator
  ObjectiveTrace *trace = nullptr;  // when set, receives the objectives (the info output)
  FitOptions options;               // what the call asks beyond the defined run
  ProgressSetup progress;
  // The samples already stand in the order a split-average run draws from `seed` (the module wrote
  // its rows straight into it; the MPI program routed them there): no seeding, no shuffle.
  bool in_drawn_order = false;
  // The front end has already made the entry's check on the data's size (before it built the
  // data): the run does not make it again.
  bool checked = false;

  // The solvers' context on `rows` (which must outlive it).
  template <typename Rows>
  RunContext<Rows> context(const Rows &rows) const {
    RunContext<Rows> ctx(rows, verbose, out);
    ctx.trace = trace;
    ctx.threads = threads;
    ctx.stop = stop;
    return ctx;
  }
};

// The progress line, when run.progress asks for one and the run is not verbose (its per-iteration
// lines win): `total` units of `unit`, driven by stop's questions from now on.
void start_progress(std::optional<Progress> &line, StopCheck &stop, bool verbose, const Printer &out,
                    const ProgressSetup &setup, const char *module, const char *unit, uint64_t total);

// After a team was sized: one that could not start (`team.problem` set) fails the run with
// threadTeam; one smaller than the run asked for (`asked`, opts.threads) warns threadsReduced.
// False when the run failed.
bool team_started(FitResult &r, const TeamOutcome &team, int32_t asked);

// r.w as the run starts: options->w0 when given (a -0 there starts as +0, as every zero weight of
// the defined run is), else D zeros.
void start_weights(FitResult &r, int32_t D, const FitOptions *options);

// What rules the call's options out, with the parameters: w0 not of D values, the proximal step or
// averaging with a negative step size or penalty, an average from beyond the run's `steps` steps
// (0: not known before the run). Fails r as Refused with invalidOption; false then.
bool check_options(FitResult &r, const FitOptions &options, int32_t D, double stepSize, double lambda, uint64_t steps);

// A model's steps' outcome into the result: the bias, and what was averaged.
void take_outcome(FitResult &r, double bias, uint64_t average_from, uint64_t averaged);

// Room in the trace for every objective opts.history asks of a run of `iterations`, taken before
// the run, and as much again for the info output it becomes when the run ends: a history the memory
// cannot hold fails r as Refused with outOfMemory at once, naming opts.history, rather than after
// the steps. False then.
bool reserve_trace(FitResult &r, ObjectiveTrace *trace, int64_t iterations);

// Warns `diverged` when the weights hold a NaN or an infinity: the run overflowed. The cause named is
// the step size, and the starting weights too where the run started from opts.w0.
void warn_if_diverged(FitResult &r, bool started_from_w0);

// The objective of the result after `done` iterations, "Final object function = %f" when the run
// is verbose (the last line of kinkstep and driftwalk): computed only when it is printed or traced.
// False when the run was stopped while it was summed.
template <typename Rows>
bool report_final_objective(const RunContext<Rows> &ctx, const double *w, double lambda, int64_t done,
                            const double *bias = nullptr) {
  return ctx.report_objective(
      ctx.trace != nullptr, done, [&] { return ctx.objective(w, lambda, bias); },
      [&](double f) { ctx.out.printf("Final object function = %f\n", f); });
}

// The run sequence every solver follows, in this order:
//   validate (check; a refusal may print) -> the context -> banner -> begin (seeding, and what
//   comes before the steps) -> progress line -> solve (the solver: its team, the starting weights,
//   the initial objective, the steps) -> final objective -> the divergence check -> result.
// A method M on the layout Rows provides
//   FitResult check(const Rows &) const         Done, or why the call is ruled out
//   void banner(const RunContext<Rows> &) const  verbose only
//   void begin(RunContext<Rows> &)              seeds; splitavg also starts its clock and shuffles
//   const char *name() const, *unit() const; uint64_t total() const
//                                               what the progress line counts
//   FitResult solve(RunContext<Rows> &)         the solver; a stopped one returns r.stopped()
//   bool final_objective(const RunContext<Rows> &, const FitResult &)
//                                               the last line; false when stopped while summed
//   int32_t iterations() const                  reported in the result
// Every phase asks the run's stop check; a stopped run returns at once, and an unfinished
// objective is never printed or recorded.
template <typename Rows, typename Method>
FitResult run_fit(const Rows &rows, Method &method, const FitRun &run) {
  FitResult r = method.check(rows);
  if (!r.done()) return r;
  if (!reserve_trace(r, run.trace, method.iterations())) return r;
  RunContext<Rows> ctx = run.context(rows);
  if (ctx.stop.stopped()) return r.stopped();  // during the conversion of the data
  if (ctx.verbose) method.banner(ctx);
  method.begin(ctx);
  if (ctx.stop.stopped()) return r.stopped();
  std::optional<Progress> line;
  start_progress(line, ctx.stop, ctx.verbose, ctx.out, run.progress, method.name(), method.unit(), method.total());
  r = method.solve(ctx);
  if (!r.done()) return r;
  if (ctx.stop.stopped()) return r.stopped();
  if (line) line->finish();
  if (!method.final_objective(ctx, r)) return r.stopped();
  warn_if_diverged(r, !run.options.w0.empty());
  r.iterations = method.iterations();
  return r;
}

}  // namespace core
