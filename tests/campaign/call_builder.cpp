#include "campaign/call_builder.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace campaign {

uint32_t BytesChooser::pick(uint32_t n) {
  if (n <= 1) return 0;
  uint32_t v = 0;
  for (int k = 0; k < 4 && at_ < size_; ++k) v = (v << 8) | data_[at_++];
  return v % n;
}

const std::vector<ModuleModel> &module_models() {
  using R = Role;
  static const std::vector<ModuleModel> models = {
      {"kinkstep", {R::Matrix, R::Labels, R::Real, R::Real, R::Count, R::Method, R::Flag}, {"seed", "threads"}},
      {"driftwalk", {R::Matrix, R::Labels, R::Real, R::Real, R::Real, R::Real, R::Batch, R::Count, R::Flag}, {"seed"}},
      {"splitavg", {R::Matrix, R::Labels, R::Real, R::Real, R::Flag}, {"seed", "threads"}},
      {"teamprobe", {}, {}},
  };
  return models;
}

const ModuleModel *find_model(const std::string &name) {
  for (const ModuleModel &m : module_models())
    if (m.name == name) return &m;
  return nullptr;
}

std::vector<const mxArray *> GeneratedCall::pointers() const {
  std::vector<const mxArray *> p;
  for (const auto &a : inputs) p.push_back(a.get());
  return p;
}

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");
constexpr double k2p31 = 2147483648.0;

template <typename T>
double pick_from(Chooser &c, std::initializer_list<T> values) {
  return static_cast<double>(*(values.begin() + c.pick(static_cast<uint32_t>(values.size()))));
}

// A feature or label value: mostly ordinary, sometimes one that breaks careless arithmetic. NaN
// and the infinities only where `non_finite` allows them: data holding one is refused
// (nonFiniteData), and the finite oddities must still reach the solvers.
double element_value(Chooser &c, bool non_finite) {
  if (c.pick(10) != 0) return (c.uniform() - 0.5) * 4;
  if (non_finite) return pick_from(c, {kNaN, kInf, -kInf, -0.0, 1e308, -1e308, 5e-324, 2.2e-308, k2p31 + 1});
  return pick_from(c, {-0.0, 1e308, -1e308, 5e-324, 2.2e-308, k2p31 + 1});
}

// Iteration counts stay small or are not counts at all: 2^31 - 1 steps would be a long, valid run.
double count_value(Chooser &c) {
  return pick_from(c, {0.0, 1.0, 2.9, 3.0, 17.0, 40.0, -1.0, -0.5, kNaN, kInf, -kInf, k2p31, k2p31 + 1, -k2p31 - 1,
                       -k2p31, 1e12, -1e12});
}

double scalar_value(Role role, Chooser &c, size_t N) {
  switch (role) {
    case Role::Count:
      return count_value(c);
    case Role::Method:
      return pick_from(c, {0.0, 1.0, 0.9, 1.7, -0.5, 2.0, -1.0, kNaN, kInf, k2p31 - 1, k2p31 + 1});
    case Role::Flag:
      return pick_from(c, {0.0, 0.0, 0.0, 1.0, 2.0, 0.99, 1.7, -1.0, kNaN, k2p31 + 1});
    case Role::Batch:
      return pick_from(
          c, {1.0, 2.0, double(N), double(N), double(N) + 1, 0.0, -1.0, 0.5, kNaN, kInf, k2p31 - 1, k2p31 + 1});
    default:
      if (c.pick(3) == 0)
        return pick_from(c, {0.0, -0.0, -1.0, kNaN, kInf, -kInf, 1e308, 5e-324, k2p31 - 1, k2p31 + 1});
      return c.uniform() * 0.05;
  }
}

const mxClassID kNumericClasses[] = {mxSINGLE_CLASS, mxINT8_CLASS,   mxUINT8_CLASS, mxINT16_CLASS,  mxUINT16_CLASS,
                                     mxINT32_CLASS,  mxUINT32_CLASS, mxINT64_CLASS, mxUINT64_CLASS, mxLOGICAL_CLASS};

// An array of some class other than real full double, filled with the given shape.
mexhost::ArrayPtr odd_array(Chooser &c, size_t m, size_t n) {
  switch (c.pick(6)) {
    case 0:
      return mexhost::make_numeric(kNumericClasses[c.pick(10)], m, n);
    case 1: {
      std::vector<double> re(m * n, 1.0), im(m * n, c.pick(2) ? 0.0 : 1.0);
      return mexhost::make_complex(m, n, re, im);
    }
    case 2:  // sparse: real double (valid data), logical (valid X only) or complex (never valid)
      switch (c.pick(3)) {
        case 0:
          return mexhost::make_sparse(m, n);
        case 1:
          return mexhost::make_sparse_logical(m, n, std::vector<double>(m * n, c.pick(2) ? 1.0 : 0.0));
        default:
          return mexhost::ArrayPtr(mxCreateSparse(m, n, 1, mxCOMPLEX));
      }
    case 3:
      return mexhost::make_string(c.pick(2) ? "1" : "abc");
    case 4:
      return mexhost::make_cell(m, n);
    default:
      return mexhost::make_struct({"a", "b"});
  }
}

struct Shape {
  size_t m, n;
};

Shape matrix_shape(Chooser &c) {
  static const Shape shapes[] = {{0, 0},  {0, 3},  {3, 0},    {1, 5},    {5, 1}, {3, 2},
                                 {20, 4}, {64, 7}, {2000, 2}, {2, 2000}, {1, 1}, {7, 3}};
  return shapes[c.pick(sizeof shapes / sizeof shapes[0])];
}

mexhost::ArrayPtr real_matrix(Chooser &c, size_t m, size_t n) {
  std::vector<double> v(m * n);
  const bool non_finite = c.pick(4) == 0;
  for (double &x : v) x = element_value(c, non_finite);
  // Now and then the same values as a sparse matrix (its nonzeros).
  if (c.pick(5) == 0) return mexhost::make_sparse(m, n, v);
  return mexhost::make_double(m, n, v);
}

bool is_real_full_data(const mxArray *a) {
  return (mxIsDouble(a) || mxIsSingle(a)) && !mxIsComplex(a) && !mxIsSparse(a);
}

// What the modules take as X: a real matrix, full double or single, or sparse double or logical.
bool is_x_data(const mxArray *a) {
  return is_real_full_data(a) || (mxIsSparse(a) && !mxIsComplex(a) && (mxIsDouble(a) || mxIsLogical(a)));
}
// And as y: full double or single, or sparse double.
bool is_y_data(const mxArray *a) {
  return is_real_full_data(a) || (mxIsSparse(a) && !mxIsComplex(a) && mxIsDouble(a));
}

// The options struct: mostly right, sometimes with a field the module does not have, a value of
// the wrong kind or range, or not a scalar struct at all. Returns the error it must cause, if any.
mexhost::ArrayPtr options_input(const ModuleModel &model, Chooser &c, std::string &error) {
  error.clear();
  const uint32_t kind = c.pick(10);
  if (kind == 0) return mexhost::make_double(0, 0);  // [] means no options
  if (kind == 1) {
    error = "invalidOptions";
    return c.pick(2) ? mexhost::make_scalar(1.0) : mexhost::make_cell(1, 1);
  }
  std::vector<std::string> fields;
  for (const std::string &f : model.options)
    if (c.pick(2)) fields.push_back(f);
  if (kind == 2) {
    fields.push_back(c.pick(2) ? "sede" : "tol");
    error = "unknownOption";
  }
  mexhost::ArrayPtr s = mexhost::make_struct(fields);
  for (const std::string &f : fields) {
    double v;
    if (f == "seed")
      v = pick_from(c, {0.0, 1.0, 42.0, 4294967295.0});
    else
      v = pick_from(c, {1.0, 2.0, 3.0, 8.0});
    mxArray *value = mxCreateDoubleScalar(v);
    if (kind == 3 && (f == "seed" || f == "threads") && error.empty()) {
      mxDestroyArray(value);
      value = c.pick(3) == 0 ? mxCreateString("7")
                             : mxCreateDoubleScalar(pick_from(c, {-1.0, 0.5, kNaN, kInf, 4294967296.0, 0.0, 5000.0}));
      // 0 and 5000 are seeds, though not team sizes.
      const double bad = mxIsChar(value) ? -1 : mxGetScalar(value);
      if (!(f == "seed" && (bad == 0.0 || bad == 5000.0))) error = "invalidOption";
    }
    mxSetField(s.get(), 0, f.c_str(), value);
  }
  return s;
}
// An integer input as the caller gave it, the way an error message must name it: never the
// clamped value the reading rule makes of NaN, Inf or an out-of-range number.
std::string given_integer(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Inf" : "-Inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  const bool fits = std::trunc(v) >= -k2p31 && std::trunc(v) <= k2p31 - 1;
  return fits ? std::string(buf) : std::string(buf) + ", outside the 32-bit range";
}

// The first `count` values of a real double or single array are all finite.
bool all_finite(const mxArray *a, size_t count) {
  if (mxIsSparse(a)) {
    const std::vector<double> full = mexhost::full_values(a);
    for (size_t k = 0; k < count && k < full.size(); ++k)
      if (!std::isfinite(full[k])) return false;
    return true;
  }
  for (size_t k = 0; k < count; ++k) {
    const double v = mxIsSingle(a) ? static_cast<const float *>(mxGetData(a))[k] : mxGetPr(a)[k];
    if (!std::isfinite(v)) return false;
  }
  return true;
}

bool is_scalar_input(const mxArray *a) {
  return (mxIsNumeric(a) || mxIsLogical(a)) && !mxIsComplex(a) && !mxIsSparse(a) && !mxIsEmpty(a);
}

}  // namespace

GeneratedCall generate(const ModuleModel &model, Chooser &choose) {
  GeneratedCall call;
  const size_t count = model.inputs.size();
  const uint32_t arity_roll = choose.pick(20);
  const bool with_options = !model.options.empty() && arity_roll >= 12;
  const size_t nrhs = arity_roll < 17 ? count + (with_options ? 1 : 0) : choose.pick(13);
  std::string options_error;
  call.nlhs = static_cast<int>(pick_from(choose, {0, 1, 1, 1, 1, 1, 1, 1, 2, 3}));
  if (model.name == "teamprobe") call.nlhs = choose.pick(4) == 0 ? 1 : 0;

  Shape x_shape = matrix_shape(choose);
  double param[16] = {0};
  for (size_t k = 0; k < nrhs; ++k) {
    const Role role = k < count ? model.inputs[k] : Role::Real;
    const bool proper = choose.pick(16) != 0;
    if (k == count && !model.options.empty()) {
      call.inputs.push_back(options_input(model, choose, options_error));
    } else if (role == Role::Matrix) {
      call.inputs.push_back(proper ? real_matrix(choose, x_shape.m, x_shape.n)
                                   : odd_array(choose, x_shape.m, x_shape.n));
    } else if (role == Role::Labels) {
      const size_t N = x_shape.m;
      size_t len = N;
      if (choose.pick(5) == 0)
        len = static_cast<size_t>(pick_from(choose, {0.0, 1.0, double(N) + 2, N ? N - 1.0 : 0.0}));
      const bool row = choose.pick(2) == 0;
      call.inputs.push_back(proper ? real_matrix(choose, row ? 1 : len, row ? len : 1) : odd_array(choose, len, 1));
    } else {
      const double v = scalar_value(role, choose, x_shape.m);
      if (k < 16) param[k] = v;
      if (proper) {
        call.inputs.push_back(mexhost::make_scalar(v));
      } else if (choose.pick(3) == 0) {
        call.inputs.push_back(mexhost::make_double(choose.pick(2), 0));  // empty
      } else if (choose.pick(2) == 0) {
        call.inputs.push_back(mexhost::make_row({v, 5.0, 6.0}));  // a vector: its first element counts
      } else {
        call.inputs.push_back(odd_array(choose, 1, 1));
      }
    }
  }

  // The answer the call must get.
  const std::string &name = model.name;
  if (name == "teamprobe") {
    if (call.nlhs >= 1) call.allowed_errors = {"teamprobe:tooManyOutputs"};  // before anything is printed
    return call;
  }
  const size_t most_inputs = count + (model.options.empty() ? 0 : 1);
  const int most_outputs = model.options.empty() ? 1 : 2;
  const char *arity_error = nrhs < count               ? ":notEnoughInputs"
                            : nrhs > most_inputs       ? ":tooManyInputs"
                            : call.nlhs > most_outputs ? ":tooManyOutputs"
                                                       : nullptr;
  if (arity_error) {
    call.allowed_errors = {name + arity_error};
    return call;
  }

  std::set<std::string> frame_errors;
  const mxArray *X = call.inputs[0].get(), *y = call.inputs[1].get();
  const bool x_ok = is_x_data(X) && mxGetNumberOfDimensions(X) == 2;
  if (!x_ok) frame_errors.insert(name + ":invalidX");
  if (!is_y_data(y))
    frame_errors.insert(name + ":invalidY");
  else if (x_ok && mxGetNumberOfElements(y) < mxGetM(X))
    frame_errors.insert(name + ":yTooShort");
  bool params_ok = true;
  for (size_t k = 2; k < count; ++k) {
    const mxArray *a = call.inputs[k].get();
    if (!is_scalar_input(a)) {
      frame_errors.insert(name + ":invalidParameter");
      params_ok = false;
    } else {
      param[k] = mxGetScalar(a);
    }
  }
  if (nrhs > count && !options_error.empty()) frame_errors.insert(name + ":" + options_error);
  if (!frame_errors.empty() || !params_ok) {
    call.allowed_errors = frame_errors;
    return call;
  }

  const double N = static_cast<double>(mxGetM(X));
  call.expected_rows = mxGetN(X);
  call.samples = mxGetM(X);
  auto as_int = [](double v) -> int64_t {
    if (!std::isfinite(v) || std::trunc(v) < -k2p31 || std::trunc(v) > k2p31 - 1) return -2147483648LL;
    return static_cast<int64_t>(std::trunc(v));
  };
  // Real-valued inputs (step sizes, lambda) must be finite; checked before anything else.
  for (size_t k = 2; k < count; ++k)
    if (model.inputs[k] == Role::Real && !std::isfinite(param[k])) {
      call.allowed_errors.insert(name + ":invalidParameter");
      return call;
    }
  if (name == "kinkstep") {
    const int64_t maxIter = as_int(param[4]), method = as_int(param[5]);
    if (method != 0 && method != 1) {
      call.allowed_errors.insert(name + ":invalidMethod");
      call.message_must_hold = "got " + given_integer(param[5]) + ".";
    } else if (N == 0 && maxIter >= 1)
      call.allowed_errors.insert(name + ":emptyData");
  } else if (name == "driftwalk") {
    const int64_t batch = as_int(param[6]), maxIter = as_int(param[7]);
    if (maxIter >= 1 && N == 0) call.allowed_errors.insert(name + ":emptyData");
    if (maxIter >= 1 && (batch < 1 || batch > static_cast<int64_t>(N))) {
      call.allowed_errors.insert(name + ":invalidBatchSize");
      if (N > 0) call.message_must_hold = "got " + given_integer(param[6]) + ".";
    }
  }
  // The data are read once every other check has passed.
  if (call.allowed_errors.empty() &&
      (!all_finite(X, mxGetNumberOfElements(X)) || !all_finite(y, static_cast<size_t>(N))))
    call.allowed_errors.insert(name + ":nonFiniteData");
  return call;
}

// An array and everything it holds.
static long count_arrays(const mxArray *a) {
  if (!a) return 0;
  long n = 1;
  if (mxIsStruct(a))
    for (int f = 0; f < mxGetNumberOfFields(a); ++f) n += count_arrays(mxGetField(a, 0, mxGetFieldNameByNumber(a, f)));
  return n;
}

std::string check(const ModuleModel &model, const GeneratedCall &call, const mexhost::CallResult &r,
                  long live_before_call) {
  const std::string &name = model.name;
  if (r.temporaries_left != 0) return "left " + std::to_string(r.temporaries_left) + " temporary arrays";
  // Warnings: only the module's own, each with a message; diverged only beside non-finite weights.
  for (const mexhost::Warning &w : r.warnings) {
    const bool empty_shares = name == "splitavg" && w.id == "splitavg:emptyShares";
    if (w.id != name + ":parameterOutOfRange" && w.id != name + ":diverged" && !empty_shares)
      return "unexpected warning '" + w.id + "': " + w.message;
    if (w.message.empty()) return "warning '" + w.id + "' has no message";
    if (empty_shares) {
      // With T > N >= 1 threads every share but the last is empty (floor(N / T) = 0).
      int empty = 0, threads = 0;
      if (r.failed || std::sscanf(w.message.c_str(), "%d of the %d shares", &empty, &threads) != 2)
        return "emptyShares warning without a result or a count: " + w.message;
      if (call.samples == 0 || static_cast<size_t>(threads) <= call.samples || empty != threads - 1)
        return "emptyShares warning that does not fit N = " + std::to_string(call.samples) + ": " + w.message;
    }
    if (w.id == name + ":diverged") {
      if (r.failed || !r.output()) return "diverged warning without weights";
      const std::vector<double> v = mexhost::values(r.output());
      if (std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); }))
        return "diverged warning on finite weights";
    }
  }
  if (r.failed) {
    if (call.allowed_errors.empty())
      return "failed with '" + r.error_id + "' (" + r.error_message + ") where it should succeed";
    if (!call.allowed_errors.count(r.error_id))
      return "failed with unexpected '" + r.error_id + "': " + r.error_message;
    if (r.error_message.empty()) return "error '" + r.error_id + "' has no message";
    if (!call.message_must_hold.empty() && r.error_message.find(call.message_must_hold) == std::string::npos)
      return "message '" + r.error_message + "' does not hold '" + call.message_must_hold + "'";
    if (r.error_message.rfind(name + ":", 0) == 0) return "message repeats the module's name: " + r.error_message;
    for (const auto &out : r.outputs)
      if (out) return "an output survived the error";
    const bool method_reply = r.error_id == "kinkstep:invalidMethod";
    if (method_reply) {
      if (r.lines.empty() || r.lines.back() != "Method: 0 for sequential stocSubGD, 1 for parallel stocSubGD")
        return "invalid method without the method message";
      if (r.lines.size() > 2) return "more than the banner and the method message before the error";
    } else if (!r.printed.empty()) {
      return "printed before the error: " + r.printed.substr(0, 200);
    }
  } else {
    if (!call.allowed_errors.empty()) {
      std::string ids;
      for (const auto &id : call.allowed_errors) ids += " " + id;
      return "succeeded where it should fail with one of:" + ids;
    }
    if (name == "teamprobe") {
      if (r.output()) return "teamprobe assigned an output";
      if (r.lines.empty() || r.lines[0].rfind("Number of processors: ", 0) != 0) return "no processor line";
    } else {
      const mxArray *w = r.output();
      if (!w) return "no output";
      if (!mxIsDouble(w) || mxIsComplex(w) || mxIsSparse(w)) return "output is not a real double array";
      if (mxGetM(w) != call.expected_rows || mxGetN(w) != 1)
        return "output is " + std::to_string(mxGetM(w)) + "x" + std::to_string(mxGetN(w)) + ", expected " +
               std::to_string(call.expected_rows) + "x1";
      const std::vector<double> v = mexhost::values(w);
      const bool diverged = std::any_of(r.warnings.begin(), r.warnings.end(),
                                        [&](const mexhost::Warning &x) { return x.id == name + ":diverged"; });
      if (!diverged && !std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); }))
        return "non-finite weights without a diverged warning";
      if (call.nlhs == 2) {
        const mxArray *info = r.output(1);
        if (!info || !mxIsStruct(info) || mxGetNumberOfElements(info) != 1) return "no info struct";
        for (const char *field : {"seed", "threads", "iterations", "time", "objective"})
          if (!mxGetField(info, 0, field)) return std::string("info has no field ") + field;
      }
    }
  }
  long outputs = 0;
  for (const auto &out : r.outputs) outputs += count_arrays(out.get());
  if (mexhost::live_arrays() != live_before_call + outputs) return "arrays were lost or leaked";
  return "";
}

}  // namespace campaign
