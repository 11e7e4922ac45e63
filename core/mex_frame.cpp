#include "core/mex_frame.hpp"

#include <omp.h>

#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/host_display.hpp"
#include "core/host_interrupt.hpp"
#include "core/parameters.hpp"

namespace frame {

void CallError::set(const char *reason, const char *fmt, ...) {
  std::snprintf(id_, sizeof id_, "%s:%s", module_, reason);
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(message_, sizeof message_, fmt, args);
  va_end(args);
}

void CallError::warn(const char *reason, const char *fmt, ...) {
  if (warning_count_ == kMaxWarnings) return;
  Message &m = warnings_[warning_count_++];
  std::snprintf(m.id, sizeof m.id, "%s:%s", module_, reason);
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(m.text, sizeof m.text, fmt, args);
  va_end(args);
}

void CallError::raise_if_set() const {
  for (int k = 0; k < warning_count_; ++k) mexWarnMsgIdAndTxt(warnings_[k].id, "%s", warnings_[k].text);
  if (raised()) mexErrMsgIdAndTxt(id_, "%s", message_);
}

const char *without_module_prefix(const char *module, const char *message) {
  const size_t n = std::strlen(module);
  while (std::strncmp(message, module, n) == 0 && message[n] == ':' && message[n + 1] == ' ') message += n + 2;
  return message;
}

bool is_allocation_failure(const char *message) {
  return std::strstr(message, "failed to allocate") || std::strstr(message, "out of memory") ||
         std::strstr(message, "memory exhausted");
}

namespace {

constexpr size_t kMaxCount = 2147483647u;

// "a 3x2 complex double array", for messages.
void describe(const mxArray *a, char *buf, size_t size) {
  const mwSize nd = mxGetNumberOfDimensions(a);
  const mwSize *dims = mxGetDimensions(a);
  int used = std::snprintf(buf, size, "a ");
  for (mwSize k = 0; k < nd && used > 0 && static_cast<size_t>(used) < size; ++k)
    used +=
        std::snprintf(buf + used, size - static_cast<size_t>(used), k ? "x%zu" : "%zu", static_cast<size_t>(dims[k]));
  if (used > 0 && static_cast<size_t>(used) < size)
    std::snprintf(buf + used, size - static_cast<size_t>(used), "%s%s %s", mxIsSparse(a) ? " sparse" : "",
                  mxIsComplex(a) ? " complex" : "", mxGetClassName(a));
}

// Real, full, double or single: the classes the data may come in.
bool is_real_full_data(const mxArray *a) {
  return (mxIsDouble(a) || mxIsSingle(a)) && !mxIsComplex(a) && !mxIsSparse(a);
}

// Real and sparse, double or logical: the sparse classes X may come in (y: double only).
bool is_real_sparse_data(const mxArray *a, bool logical_too) {
  return mxIsSparse(a) && !mxIsComplex(a) && (mxIsDouble(a) || (logical_too && mxIsLogical(a)));
}

template <typename YReal>
ProblemData build_with_labels(const mxArray *X, const YReal *y, const ProblemShape &shape,
                              const core::StopCheck &stop) {
  ProblemData d;
  if (!shape.sparse) {
    if (mxIsSingle(X))
      d.dense = core::make_regression_data(static_cast<const float *>(mxGetData(X)), shape.N, shape.D, y, &stop);
    else
      d.dense = core::make_regression_data(static_cast<const double *>(mxGetData(X)), shape.N, shape.D, y, &stop);
    return d;
  }
  d.is_sparse = true;
  d.dense.N = shape.N;
  d.dense.D = shape.D;
  const mwIndex *jc = mxGetJc(X), *ir = mxGetIr(X);
  const size_t capacity = static_cast<size_t>(mxGetNzmax(X));
  if (mxIsLogical(X))
    d.sparse = core::make_sparse_rows(jc, ir, mxGetLogicals(X), capacity, shape.N, shape.D, y, &stop);
  else
    d.sparse = core::make_sparse_rows(jc, ir, mxGetPr(X), capacity, shape.N, shape.D, y, &stop);
  return d;
}

}  // namespace

bool check_arity(const Signature &sig, int nlhs, int nrhs, CallError &err) {
  const int most = sig.count + (sig.options ? 1 : 0);
  if (nrhs < sig.count || nrhs > most) {
    char list[256] = {0};
    for (int k = 0; k < sig.count; ++k) {
      std::strncat(list, k ? ", " : "", sizeof list - std::strlen(list) - 1);
      std::strncat(list, sig.inputs[k], sizeof list - std::strlen(list) - 1);
    }
    err.set(nrhs < sig.count ? "notEnoughInputs" : "tooManyInputs", "%s takes %d inputs, %s(%s)%s; it was given %d.",
            sig.module, sig.count, sig.module, list,
            sig.options ? ", and an optional struct of options after them" : "", nrhs);
    return false;
  }
  const int outputs = sig.options ? 2 : 1;
  if (nlhs > outputs) {
    err.set("tooManyOutputs", "%s returns %s; %d outputs were requested.", sig.module,
            sig.options ? "at most two outputs, the weights and the run's info" : "one output, the weights", nlhs);
    return false;
  }
  return true;
}

bool check_problem(const mxArray *X, const mxArray *y, ProblemShape &shape, CallError &err) {
  char what[160];
  if (!(is_real_full_data(X) || is_real_sparse_data(X, true)) || mxGetNumberOfDimensions(X) != 2) {
    describe(X, what, sizeof what);
    err.set("invalidX",
            "input 1 (X) must be a real matrix of N samples by D features, full double or single or sparse double "
            "or logical; got %s.",
            what);
    return false;
  }
  const size_t n = mxGetM(X), d = mxGetN(X);
  if (n > kMaxCount || d > kMaxCount) {
    err.set("tooLarge", "input 1 (X) has %zu rows and %zu columns; at most 2147483647 of each are supported.", n, d);
    return false;
  }
  if (!(is_real_full_data(y) || is_real_sparse_data(y, false))) {
    describe(y, what, sizeof what);
    err.set("invalidY", "input 2 (y) must be a real double or single vector of N labels (full, or sparse double); got %s.",
            what);
    return false;
  }
  if (mxGetNumberOfElements(y) < n) {
    err.set("yTooShort", "input 2 (y) must hold at least N = %zu labels, one per row of X; it holds %zu.", n,
            static_cast<size_t>(mxGetNumberOfElements(y)));
    return false;
  }
  shape.N = static_cast<int32_t>(n);
  shape.D = static_cast<int32_t>(d);
  shape.sparse = mxIsSparse(X);
  shape.nonzeros = shape.sparse ? static_cast<uint64_t>(mxGetJc(X)[d]) : 0;
  return true;
}

void set_out_of_memory(const ProblemShape &shape, CallError &err) {
  if (shape.sparse)
    err.set("outOfMemory",
            "not enough memory for the data (N = %d samples, D = %d features, %llu nonzeros) and what the run "
            "keeps; everything allocated was released.",
            shape.N, shape.D, static_cast<unsigned long long>(shape.nonzeros));
  else
    err.set("outOfMemory",
            "not enough memory for the data (N = %d samples of D = %d features) and what the run keeps; "
            "everything allocated was released.",
            shape.N, shape.D);
}

bool read_scalar(const Signature &sig, const mxArray *const *prhs, int position, double &value, CallError &err) {
  const mxArray *a = prhs[position];
  const char *name = sig.inputs[position];
  const bool numeric = mxIsNumeric(a) || mxIsLogical(a);
  if (!numeric || mxIsComplex(a) || mxIsSparse(a) || mxIsEmpty(a)) {
    char what[160];
    describe(a, what, sizeof what);
    err.set("invalidParameter", "input %d (%s) must be a real numeric or logical scalar; got %s.", position + 1, name,
            what);
    return false;
  }
  value = mxGetScalar(a);
  return true;
}

bool check_finite(const Signature &sig, const double *values, std::initializer_list<int> positions, CallError &err) {
  for (int k : positions) {
    if (std::isfinite(values[k])) continue;
    err.set("invalidParameter", "input %d (%s) must be a finite number; got %s.", k + 1, sig.inputs[k],
            std::isnan(values[k]) ? "NaN" : values[k] > 0 ? "Inf" : "-Inf");
    return false;
  }
  return true;
}

int32_t read_int32(const Signature &sig, const double *values, int position, CallError &err) {
  const double v = values[position];
  const int32_t n = core::to_int32_parameter(v);
  if (n == INT32_MIN && !(std::trunc(v) == -2147483648.0)) {
    char given[80];
    core::describe_given_integer(v, given, sizeof given);
    err.warn("parameterOutOfRange",
             "input %d (%s) is %s; it reads as -2147483648, which counts as a value of 0 or less.", position + 1,
             sig.inputs[position], given);
  }
  return n;
}

void warn_if_diverged(const std::vector<double> &w, CallError &err) {
  for (size_t j = 0; j < w.size(); ++j) {
    if (std::isfinite(w[j])) continue;
    err.warn("diverged",
             "the run diverged: w(%zu) is %s. The step size is too large for these data; a smaller step size "
             "(stochl1_stepsize gives a safe one) or features scaled to unit size help.",
             j + 1, std::isnan(w[j]) ? "NaN" : w[j] > 0 ? "Inf" : "-Inf");
    return;
  }
}

bool read_call(const Signature &sig, int nlhs, int nrhs, const mxArray *const *prhs, ProblemShape &shape,
               double *values, CallOptions &options, CallError &err) {
  if (!check_arity(sig, nlhs, nrhs, err) || !check_problem(prhs[0], prhs[1], shape, err)) return false;
  for (int k = 2; k < sig.count; ++k)
    if (!read_scalar(sig, prhs, k, values[k], err)) return false;
  if (nrhs > sig.count && !read_options(sig.module, sig.options, prhs[sig.count], sig.count, options, err))
    return false;
  return true;
}

ProblemData build_data(const mxArray *X, const mxArray *y, const ProblemShape &shape, const core::StopCheck &stop) {
  if (mxIsSingle(y)) return build_with_labels(X, static_cast<const float *>(mxGetData(y)), shape, stop);
  if (!mxIsSparse(y)) return build_with_labels(X, static_cast<const double *>(mxGetData(y)), shape, stop);
  // A sparse y: its first N values, zeros filled in. A NaN or an infinity there is named only
  // once X is known to hold none, as for a full y.
  std::vector<double> labels;
  std::exception_ptr bad_label;
  try {
    labels = core::sparse_leading_values(mxGetJc(y), mxGetIr(y), mxGetPr(y), static_cast<size_t>(mxGetNzmax(y)),
                                         mxGetM(y), mxGetN(y), static_cast<size_t>(shape.N));
  } catch (const core::NonFiniteValue &) {
    bad_label = std::current_exception();
    labels.assign(static_cast<size_t>(shape.N), 0.0);
  } catch (const core::MalformedSparse &e) {
    throw core::MalformedSparse(e.what(), true);
  }
  ProblemData d = build_with_labels(X, labels.data(), shape, stop);
  if (bad_label) std::rethrow_exception(bad_label);
  return d;
}

core::StopCheck host_stop_check() {
  return core::StopCheck(host_interrupt_pending);
}

mxArray *make_column(const std::vector<double> &w) {
  mxArray *out = host_create([&] { return mxCreateDoubleMatrix(w.size(), 1, mxREAL); });
  if (out && !w.empty()) std::memcpy(mxGetPr(out), w.data(), w.size() * sizeof(double));
  return out;
}

void store_column(mxArray *plhs[], const std::vector<double> &w, CallError &err) {
  plhs[0] = make_column(w);
  if (!plhs[0]) err.set("outOfMemory", "not enough memory for the %zu x 1 output.", w.size());
}

const char *flush_command() {
#ifdef HAVE_OCTAVE
  return "fflush(stdout);";
#else
  return "drawnow;";
#endif
}

void HostOutput::write(void *self, const char *text) {
  HostOutput &h = *static_cast<HostOutput *>(self);
  mexPrintf("%s", text);
  h.unshown_ = true;
  const size_t n = std::strlen(text);
  if (n == 0 || text[n - 1] != '\n') return;
  const auto now = std::chrono::steady_clock::now();
  if (!h.started_) {
    h.started_ = true;
    h.first_line_ = now;
  }
  // Never from inside a team: under Octave a pending Ctrl-C surfaces in the evaluation as an
  // exception, which may unwind the call (everything it owns is RAII) but must not leave a region.
  // A pending Ctrl-C is left to the solver, which stops at its next look and answers it with an
  // error of its own; a flush now would have the host act on it first.
  if (h.flushing_ * 100 > now - h.first_line_ || omp_in_parallel() || host_interrupt_pending()) return;
  mexEvalString(flush_command());
  h.unshown_ = false;
  h.flushing_ += std::chrono::steady_clock::now() - now;
}

void HostOutput::flush(void *self) {
  HostOutput &h = *static_cast<HostOutput *>(self);
  // As after a line: never from inside a team, and not over a pending Ctrl-C.
  if (!h.unshown_ || omp_in_parallel() || host_interrupt_pending()) return;
  mexEvalString(flush_command());
  h.unshown_ = false;
}

void start_progress(std::optional<core::Progress> &line, core::RunContext &ctx, const CallOptions &options,
                    const char *module, const char *unit, uint64_t total) {
  if (!options.progress || ctx.verbose) return;
  const core::Progress::Style style =
      host_output_is_terminal() ? core::Progress::Style::InPlace : core::Progress::Style::PlainLines;
  line.emplace(ctx.out, style, host_clock_seconds, module, unit, total);
  ctx.stop.show_progress(&*line);
}

bool team_started(const std::string &problem, const CallOptions &options, int32_t threads, CallError &err) {
  if (!problem.empty()) {
    err.set("threadTeam", "%s", problem.c_str());
    return false;
  }
  if (options.threads > 0 && threads < options.threads)
    err.warn("threadsReduced",
             "opts.threads asked for a team of %d threads, but the OpenMP runtime gives %d (OMP_THREAD_LIMIT, "
             "OMP_MAX_ACTIVE_LEVELS, or a call from inside a parallel region); the run uses %d, as info.threads "
             "reports.",
             options.threads, threads, threads);
  return true;
}

uint32_t time_seed() {
  return static_cast<uint32_t>(std::time(nullptr));
}

RunRecord::RunRecord(int nlhs, const CallOptions &options)
    : wants_info_(nlhs >= 2), requested_threads_(options.threads), start_(omp_get_wtime()) {
  info_.seed = call_seed(options);
}

void RunRecord::prepare(core::RunContext &ctx, const core::StopCheck &stop) {
  ctx.objective_trace = wants_info_ ? &info_.objective : nullptr;
  ctx.threads = requested_threads_;
  ctx.stop = stop;
}

bool RunRecord::interrupted(const core::RunContext &ctx, CallError &err) const {
  return frame::interrupted(ctx.stop, err);
}

bool interrupted(const core::StopCheck &stop, CallError &err) {
  if (!stop.stopped()) return false;
  host_interrupt_clear();
  err.set("interrupted", "interrupted by the user; the run was stopped and its result discarded.");
  return true;
}

void RunRecord::store(mxArray *plhs[], const std::vector<double> &w, int32_t threads, int32_t iterations,
                      CallError &err) {
  store_column(plhs, w, err);
  if (!wants_info_ || err.raised()) return;
  info_.threads = threads;
  info_.iterations = iterations;
  info_.seconds = omp_get_wtime() - start_;
  plhs[1] = make_info(info_);
  if (!plhs[1]) err.set("outOfMemory", "not enough memory for the info output.");
}

}  // namespace frame
