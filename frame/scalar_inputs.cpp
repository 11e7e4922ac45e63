#include "frame/scalar_inputs.hpp"

#include <climits>
#include <cmath>
#include <cstring>

#include "core/run/parameters.hpp"

namespace frame {
namespace {

// Input `position` (0-based) as a double: its first element, which must exist and be a real
// numeric or logical value.
bool read_scalar(const Signature &sig, const mxArray *const *prhs, int position, double &value, CallError &err) {
  const mxArray *a = prhs[position];
  const bool numeric = mxIsNumeric(a) || mxIsLogical(a);
  if (!numeric || mxIsComplex(a) || mxIsSparse(a) || mxIsEmpty(a)) {
    char what[160];
    describe_array(a, what, sizeof what);
    err.set("invalidParameter", "input %d (%s) must be a real numeric or logical scalar; got %s.", position + 1,
            sig.inputs[position], what);
    return false;
  }
  value = mxGetScalar(a);
  return true;
}

}  // namespace

CallInputs::CallInputs(const Signature &sig, int nlhs, int nrhs, const mxArray *const *prhs, CallError &err)
    : sig_(sig), nlhs_(nlhs), prhs_(prhs), err_(err) {
  if (sig.count > kMaxInputs) {
    err.set("internalError", "%s has more inputs than the frame reads.", sig.module);
    return;
  }
  if (!check_arity(sig, nlhs, nrhs, err) || !check_problem(prhs[0], prhs[1], shape_, err)) return;
  for (int k = 2; k < sig.count; ++k)
    if (!read_scalar(sig, prhs, k, values_[k], err)) return;
  if (nrhs > sig.count) read_options(sig.module, sig.options, prhs[sig.count], sig.count, shape_.D, options_, err);
}

int CallInputs::position(const char *name) {
  for (int k = 2; k < sig_.count; ++k)
    if (std::strcmp(sig_.inputs[k], name) == 0) return k;
  err_.set("internalError", "%s has no scalar input named %s.", sig_.module, name);
  return -1;
}

double CallInputs::real(const char *name) {
  if (!ok()) return 0.0;
  const int k = position(name);
  if (k < 0) return 0.0;
  const double v = values_[k];
  if (!std::isfinite(v))
    err_.set("invalidParameter", "input %d (%s) must be a finite number; got %s.", k + 1, name,
             std::isnan(v) ? "NaN"
             : v > 0       ? "Inf"
                           : "-Inf");
  return v;
}

core::IntegerInput CallInputs::integer(const char *name, const char *meaning) {
  if (!ok()) return {};
  const int k = position(name);
  if (k < 0) return {};
  const core::IntegerInput in = core::IntegerInput::read(values_[k]);
  if (in.value == INT32_MIN && !(std::trunc(in.given) == -2147483648.0)) {
    char given[80];
    core::describe_given_integer(in.given, given, sizeof given);
    err_.warn("parameterOutOfRange", "input %d (%s) is %s; it reads as -2147483648, which %s.", k + 1, name, given,
              meaning);
  }
  return in;
}

bool CallInputs::verbose(const char *name) {
  return core::is_verbose(integer(name).value);
}

}  // namespace frame
