#include "frame/options.hpp"

#include <cmath>
#include <cstring>

namespace frame {
namespace {

constexpr int32_t kMaxThreads = 1024;
constexpr double kMaxCount = 2147483647.0;

struct FieldRule {
  const char *name;
  unsigned bit;
  double low, high;  // the range of a whole-number field
};
const FieldRule kRules[] = {
    {"seed", kSeedOption, 0.0, 4294967295.0},
    {"threads", kThreadsOption, 1.0, kMaxThreads},
    {"progress", kProgressOption, 0.0, 1.0},
    {"history", kHistoryOption, 1.0, kMaxCount},
    {"w0", kW0Option, 0.0, 0.0},
    {"intercept", kInterceptOption, 0.0, 1.0},
    {"l1", kL1Option, 0.0, 0.0},
    {"average", kAverageOption, 0.0, kMaxCount},
    {"passes", kPassesOption, 1.0, 1000000.0},
};

// "seed, threads and progress": the fields of `accepted`, for messages.
void describe_fields(unsigned accepted, char *buf, size_t size) {
  const FieldRule *taken[sizeof kRules / sizeof kRules[0]];
  size_t n = 0;
  for (const FieldRule &r : kRules)
    if (accepted & r.bit) taken[n++] = &r;
  buf[0] = '\0';
  for (size_t k = 0; k < n; ++k) {
    std::strncat(buf, k == 0 ? "" : k + 1 == n ? " and " : ", ", size - std::strlen(buf) - 1);
    std::strncat(buf, taken[k]->name, size - std::strlen(buf) - 1);
  }
}

bool real_numeric_scalar(const mxArray *v) {
  return (mxIsNumeric(v) || mxIsLogical(v)) && !mxIsComplex(v) && !mxIsSparse(v) && mxGetNumberOfElements(v) == 1;
}

// A whole number in [low, high] given as a real numeric or logical scalar.
bool whole_number(const mxArray *v, double low, double high, double &out) {
  if (!real_numeric_scalar(v)) return false;
  out = mxGetScalar(v);
  return std::isfinite(out) && out == std::floor(out) && out >= low && out <= high;
}

// The text of a char row vector, when it is one of at most size - 1 characters, none of them NUL
// (which would end the C string early: 'prox' followed by a NUL and more is not 'prox').
bool char_text(const mxArray *v, char *buf, size_t size) {
  if (!mxIsChar(v) || mxGetNumberOfDimensions(v) != 2 || mxGetM(v) > 1 || mxGetN(v) >= size) return false;
  return mxGetString(v, buf, size) == 0 && std::strlen(buf) == mxGetN(v);
}

// The error for a value the field does not take.
void set_expectation(const FieldRule &rule, int32_t D, const mxArray *value, CallError &err) {
  char what[160] = "no value";
  if (value) describe_array(value, what, sizeof what);
  switch (rule.bit) {
    case kW0Option:
      err.set("invalidOption",
              "opts.w0 must be a real vector of D = %d starting weights (full double or single), one per column "
              "of X; got %s.",
              D, what);
      return;
    case kL1Option:
      err.set("invalidOption",
              "opts.l1 must be 'subgradient' (the defined step, the default), 'prox' or 'cumulative'.");
      return;
    case kAverageOption:
      err.set("invalidOption",
              "opts.average must be true (the second half of the run's steps), false, or the step to average "
              "from (a whole number from 1 to 2147483647).");
      return;
    case kProgressOption:
    case kInterceptOption:
      err.set("invalidOption", "opts.%s must be true or false (a logical or numeric 1 or 0).", rule.name);
      return;
    default:
      err.set("invalidOption", "opts.%s must be a whole number from %.0f to %.0f.", rule.name, rule.low, rule.high);
  }
}

// opts.w0: a real vector of D finite values, full double or single.
bool read_w0(const FieldRule &rule, const mxArray *v, int32_t D, core::FitOptions &out, CallError &err) {
  const size_t n = mxGetNumberOfElements(v);
  const bool vector = mxGetNumberOfDimensions(v) == 2 && (mxGetM(v) == 1 || mxGetN(v) == 1 || n == 0);
  if (!(mxIsDouble(v) || mxIsSingle(v)) || mxIsComplex(v) || mxIsSparse(v) || !vector || n != static_cast<size_t>(D)) {
    set_expectation(rule, D, v, err);
    return false;
  }
  out.w0.resize(n);
  if (mxIsDouble(v)) {
    const double *p = mxGetPr(v);
    for (size_t j = 0; j < n; ++j) out.w0[j] = p[j];
  } else {
    const float *p = static_cast<const float *>(mxGetData(v));
    for (size_t j = 0; j < n; ++j) out.w0[j] = static_cast<double>(p[j]);
  }
  for (size_t j = 0; j < n; ++j) {
    if (std::isfinite(out.w0[j])) continue;
    err.set("invalidOption", "opts.w0 must hold only finite values, but w0(%zu) is %s.", j + 1,
            std::isnan(out.w0[j]) ? "NaN"
            : out.w0[j] > 0       ? "Inf"
                                  : "-Inf");
    return false;
  }
  return true;
}

// One field's value into out; false (with the error set) when it is not one the field takes.
bool read_field(const FieldRule &rule, const mxArray *value, int32_t D, CallOptions &out, CallError &err) {
  if (!value) {
    set_expectation(rule, D, value, err);
    return false;
  }
  double v = 0.0;
  switch (rule.bit) {
    case kW0Option:
      return read_w0(rule, value, D, out.fit, err);
    case kL1Option: {
      char text[16];
      if (char_text(value, text, sizeof text) &&
          (std::strcmp(text, "prox") == 0 || std::strcmp(text, "subgradient") == 0 ||
           std::strcmp(text, "cumulative") == 0)) {
        out.fit.prox = std::strcmp(text, "prox") == 0;
        out.fit.cumulative = std::strcmp(text, "cumulative") == 0;
        return true;
      }
      set_expectation(rule, D, value, err);
      return false;
    }
    case kAverageOption:
      // true: the second half of the run; a whole number s >= 1: from step s on; false or 0: off.
      if (whole_number(value, rule.low, rule.high, v)) {
        out.fit.average = mxIsLogical(value) ? (v != 0.0 ? core::FitOptions::kSecondHalf : 0) : static_cast<int64_t>(v);
        return true;
      }
      set_expectation(rule, D, value, err);
      return false;
    case kProgressOption:
    case kInterceptOption:
      if (whole_number(value, 0.0, 1.0, v)) {
        (rule.bit == kProgressOption ? out.progress : out.fit.intercept) = v != 0.0;
        return true;
      }
      set_expectation(rule, D, value, err);
      return false;
    default:
      break;
  }
  if (!whole_number(value, rule.low, rule.high, v)) {
    set_expectation(rule, D, value, err);
    return false;
  }
  if (rule.bit == kSeedOption) {
    out.has_seed = true;
    out.seed = static_cast<uint32_t>(v);
  } else if (rule.bit == kThreadsOption) {
    out.threads = static_cast<int32_t>(v);
  } else if (rule.bit == kHistoryOption) {
    out.fit.history = static_cast<int32_t>(v);
  } else {
    out.fit.passes = static_cast<int32_t>(v);
  }
  return true;
}

}  // namespace

bool read_options(const char *module, unsigned accepted, const mxArray *opts, int position, int32_t D, CallOptions &out,
                  CallError &err) {
  if (mxIsDouble(opts) && mxIsEmpty(opts)) return true;  // [] stands for no options
  if (!mxIsStruct(opts) || mxGetNumberOfElements(opts) != 1) {
    err.set("invalidOptions", "input %d (opts) must be a scalar struct of options; got a %s array.", position + 1,
            mxGetClassName(opts));
    return false;
  }
  const int fields = mxGetNumberOfFields(opts);
  for (int f = 0; f < fields; ++f) {
    const char *name = mxGetFieldNameByNumber(opts, f);
    const FieldRule *rule = nullptr;
    for (const FieldRule &r : kRules)
      if ((accepted & r.bit) && std::strcmp(name, r.name) == 0) rule = &r;
    if (!rule) {
      char fields_taken[160];
      describe_fields(accepted, fields_taken, sizeof fields_taken);
      err.set("unknownOption", "opts.%s is not an option of %s; it takes %s.", name, module, fields_taken);
      return false;
    }
    const mxArray *value = mxGetField(opts, 0, name);
    if (!read_field(*rule, value, D, out, err)) return false;
  }
  return true;
}

}  // namespace frame
