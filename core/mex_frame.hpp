// The gateway frame's host side: checking a call before anything is read or allocated, reading
// the inputs, printing through mexPrintf and raising errors. Compiled into each module once per
// host (it includes that host's mex.h); the numerical code never sees it.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/mex_options.hpp"
#include "core/printer.hpp"
#include "core/progress.hpp"
#include "core/regression_data.hpp"
#include "core/sparse_rows.hpp"
#include "core/run_context.hpp"
#include "mex.h"

namespace frame {

// An error to raise, and warnings to give, once everything the call allocated is gone (a host
// may turn a warning into an error). Fixed buffers: it owns no memory.
class CallError {
 public:
  explicit CallError(const char *module) : module_(module) {}
  void set(const char *reason, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
  // A warning `module:reason`; a call gives at most kMaxWarnings, further ones are dropped.
  void warn(const char *reason, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
  bool raised() const { return id_[0] != '\0'; }
  const char *module() const { return module_; }
  // Gives the warnings, then raises the error in the host if one was set; does not return then.
  void raise_if_set() const;

 private:
  struct Message {
    char id[96] = {0};
    char text[512] = {0};
  };
  static constexpr int kMaxWarnings = 4;
  const char *module_;
  char id_[96] = {0};
  char message_[512] = {0};
  Message warnings_[kMaxWarnings];
  int warning_count_ = 0;
};

// `message` without a leading "module: " (hosts put the module's name in front of every message
// they raise, so a message that already has it would show it twice).
const char *without_module_prefix(const char *module, const char *message);

// Whether a host's error message reports that it could not allocate memory.
bool is_allocation_failure(const char *message);

// The inputs a solver module takes: its name, the names of its inputs in order, and the option
// fields it accepts in an optional struct after them (0: no options input, no second output).
struct Signature {
  const char *module;
  const char *const *inputs;
  int count;
  unsigned options = 0;
};

// `count` inputs (plus the options struct, if the module takes one), at most one output (two
// with options: the weights and the run's info).
bool check_arity(const Signature &sig, int nlhs, int nrhs, CallError &err);

struct ProblemShape {
  int32_t N = 0;
  int32_t D = 0;
  bool sparse = false;     // X is a sparse matrix
  uint64_t nonzeros = 0;   // its stored entries, when sparse
};

// X: a real matrix of at most 2^31 - 1 rows and columns, full double or single, or sparse double
// or logical; y: a real double or single array (full, or sparse double) with at least N values.
// A sparse y counts as full(y).
bool check_problem(const mxArray *X, const mxArray *y, ProblemShape &shape, CallError &err);

// Input `position` (0-based) as a double: its first element, which must exist and be a real
// numeric or logical value.
bool read_scalar(const Signature &sig, const mxArray *const *prhs, int position, double &value, CallError &err);

// The real-valued inputs at `positions` must be finite: a NaN or an infinity there can only give
// NaN weights, so it is an invalidParameter error naming the input.
bool check_finite(const Signature &sig, const double *values, std::initializer_list<int> positions, CallError &err);

// Integer input `position` by the reading rule (core::to_int32_parameter). A value that reads as
// -2^31 because it was NaN, an infinity or outside the 32-bit range keeps that reading, but the
// call warns (parameterOutOfRange) with the value as given.
int32_t read_int32(const Signature &sig, const double *values, int position, CallError &err);

// Warns (diverged) when the final weights hold a NaN or an infinity: the run overflowed. One pass
// over w, after the run.
void warn_if_diverged(const std::vector<double> &w, CallError &err);

// Everything a solver module checks before it reads anything: the arity, X and y, every scalar
// input from position 2 on (read into values[2 .. sig.count - 1]) and the options struct.
bool read_call(const Signature &sig, int nlhs, int nrhs, const mxArray *const *prhs, ProblemShape &shape,
               double *values, CallOptions &options, CallError &err);

// The outOfMemory error for the data of this shape (N x D, or the nonzeros of a sparse X).
void set_out_of_memory(const ProblemShape &shape, CallError &err);

// Runs the body; running out of memory inside it becomes an outOfMemory error and a NaN or an
// infinity in X or y a nonFiniteData error, raised once the body's objects are gone. Any other standard exception (a check inside the numerical code that
// the gateway's own checks should have made unreachable) becomes an internalError rather than
// leaving mexFunction, which would take some hosts down.
// The host's own allocation failures (Octave raises them as errors from mxCreate*) are out of
// memory too.
template <typename Body>
void guard_memory(const ProblemShape &shape, CallError &err, Body &&body) {
  try {
    body();
  } catch (const core::NonFiniteValue &e) {
    err.set("nonFiniteData", "input %d (%s) must hold only finite values, but %s; remove or fill in such values first.",
            e.in_labels ? 2 : 1, e.in_labels ? "y" : "X", e.what());
  } catch (const core::MalformedSparse &e) {
    err.set(e.in_labels ? "invalidY" : "invalidX",
            "input %d (%s) is a sparse matrix whose compressed columns do not describe a matrix: %s.",
            e.in_labels ? 2 : 1, e.in_labels ? "y" : "X", e.what());
  } catch (const std::bad_alloc &) {
    set_out_of_memory(shape, err);
  } catch (const std::length_error &) {
    set_out_of_memory(shape, err);
  } catch (const std::exception &e) {
    if (is_allocation_failure(e.what()))
      set_out_of_memory(shape, err);
    else
      err.set("internalError", "%s", without_module_prefix(err.module(), e.what()));
  }
}

// The data as the solvers see them: dense rows, or, for a sparse X, compressed sparse rows (and
// only N and D in `dense`). Never anything of size N x D for a sparse X.
struct ProblemData {
  core::RegressionData dense;
  core::SparseRows sparse;
  bool is_sparse = false;
  // The solvers' context on these data (which must outlive it).
  core::RunContext context(bool verbose, core::Printer out) const {
    return is_sparse ? core::RunContext(dense, sparse, verbose, out) : core::RunContext(dense, verbose, out);
  }
};

// Builds the data. Throws std::bad_alloc / std::length_error when they do not fit, NonFiniteValue
// for a NaN or an infinity (X before y) and MalformedSparse for a sparse X that describes no
// matrix. Asks `stop` as it converts and ends early (unfinished) once it says stop.
ProblemData build_data(const mxArray *X, const mxArray *y, const ProblemShape &shape, const core::StopCheck &stop);


// The host's Ctrl-C, as the solvers ask it.
core::StopCheck host_stop_check();

// True, with the error set, when `stop` has said stop; the host's request counts as handled.
bool interrupted(const core::StopCheck &stop, CallError &err);

// What a host's mxCreate* call returns, or null when it could not allocate: some hosts return null
// then, others (Octave) raise an error, which arrives here as an exception.
template <typename Create>
mxArray *host_create(Create &&create) {
  try {
    return create();
  } catch (const std::exception &e) {
    if (!is_allocation_failure(e.what())) throw;
    return nullptr;
  }
}

// A D x 1 double column holding w; null if the host could not create it.
mxArray *make_column(const std::vector<double> &w);

// Stores w as the call's result in plhs[0], or sets an error if the host cannot create it.
void store_column(mxArray *plhs[], const std::vector<double> &w, CallError &err);

// One call's messages: text goes to mexPrintf, and after a line the host is asked to show its
// output now (Octave: fflush(stdout), which also gets past its pager; MATLAB: drawnow), so that
// a long run's lines appear while it runs. A flush costs a host evaluation (about 15 us in
// Octave), so a line is flushed only while the flushes so far took under 1 % of the time since
// the first line: a line that follows real work shows at once, a burst of cheap lines costs at
// most 1 % more. A silent run prints nothing and never flushes.
class HostOutput {
 public:
  HostOutput() = default;
  HostOutput(const HostOutput &) = delete;
  HostOutput &operator=(const HostOutput &) = delete;
  // The printer refers to this object: it must not outlive it. Its flush() shows what was
  // printed at once, whatever the budget (the progress line keeps its own).
  core::Printer printer() { return core::Printer(&HostOutput::write, this, &HostOutput::flush); }

 private:
  static void write(void *self, const char *text);
  static void flush(void *self);
  bool started_ = false;
  std::chrono::steady_clock::time_point first_line_;
  std::chrono::steady_clock::duration flushing_{0};
  bool unshown_ = false;  // text printed since the last flush
};

// The run's progress line, when opts.progress asked for one and the run is not verbose (its
// per-iteration lines win): `total` units of `unit`, drawn through ctx.out in place on a terminal
// and as plain lines every 10 % elsewhere, driven by ctx.stop's questions from now on.
void start_progress(std::optional<core::Progress> &line, core::RunContext &ctx, const CallOptions &options,
                    const char *module, const char *unit, uint64_t total);

// What the host evaluates to show its output at once.
const char *flush_command();

// The calendar time in seconds, truncated to 32 bits: the seed of every time-seeded call.
uint32_t time_seed();

// What a solver module's call keeps besides the weights: the seed it used, its clock, the
// objective history for the optional second output, and whether the user interrupted it.
class RunRecord {
 public:
  RunRecord(int nlhs, const CallOptions &options);
  uint32_t seed() const { return info_.seed; }
  // The run drew nothing from the seed (kinkstep method 1): info.seed is reported empty.
  void seed_plays_no_part() { info_.has_seed = false; }
  // The parts of the run context that come from the call: objective history (only when the
  // second output is asked for), team size and the host's interrupt query (`stop`, which may
  // already have been asked during the conversion).
  void prepare(core::RunContext &ctx, const core::StopCheck &stop);
  // True, with the error set, when the user stopped the run; the host's request counts as handled.
  bool interrupted(const core::RunContext &ctx, CallError &err) const;
  // Stores w in plhs[0] and, when asked for, the run's info in plhs[1].
  void store(mxArray *plhs[], const std::vector<double> &w, int32_t threads, int32_t iterations, CallError &err);

 private:
  bool wants_info_;
  int32_t requested_threads_;
  RunInfo info_;
  double start_;
};

// After a parallel solve: a team that could not start (`problem` set) is a threadTeam error; a team
// smaller than opts.threads asked for gives the warning threadsReduced. False when the call fails.
bool team_started(const std::string &problem, const CallOptions &options, int32_t threads, CallError &err);

// opts.seed when given, else the calendar time.
inline uint32_t call_seed(const CallOptions &options) {
  return options.has_seed ? options.seed : time_seed();
}

}  // namespace frame
