#include "frame/call_shape.hpp"

#include <cstdio>
#include <cstring>
#include <string>

namespace frame {
namespace {

constexpr size_t kMaxCount = 2147483647u;

// Real, full, double or single: the classes the data may come in.
bool is_real_full_data(const mxArray *a) {
  return (mxIsDouble(a) || mxIsSingle(a)) && !mxIsComplex(a) && !mxIsSparse(a);
}

// Real and sparse, double or logical: the sparse classes X may come in (y: double only).
bool is_real_sparse_data(const mxArray *a, bool logical_too) {
  return mxIsSparse(a) && !mxIsComplex(a) && (mxIsDouble(a) || (logical_too && mxIsLogical(a)));
}

}  // namespace

void describe_array(const mxArray *a, char *buf, size_t size) {
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
    describe_array(X, what, sizeof what);
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
    describe_array(y, what, sizeof what);
    err.set("invalidY",
            "input 2 (y) must be a real double or single vector of N labels (full, or sparse double); got %s.", what);
    return false;
  }
  if (mxGetNumberOfElements(y) < n) {
    err.set("yTooShort", "input 2 (y) must hold at least N = %zu labels, one per row of X; it holds %zu.", n,
            static_cast<size_t>(mxGetNumberOfElements(y)));
    return false;
  }
  // A matrix of labels is read as its values in memory order: most likely several targets, of which
  // only the first (and, when it is shorter than N, parts of the next) becomes y. A vector has one
  // dimension above 1 at most, whatever its number of dimensions.
  const mwSize y_dims = mxGetNumberOfDimensions(y);
  const mwSize *y_size = mxGetDimensions(y);
  std::string every, above_one;  // its dimensions, all and those above 1
  for (mwSize k = 0; k < y_dims; ++k) {
    const std::string size = std::to_string(static_cast<size_t>(y_size[k]));
    every += (k ? " x " : "") + size;
    if (y_size[k] > 1) above_one += (above_one.empty() ? "" : " x ") + size;
  }
  if (above_one.find(" x ") != std::string::npos && n > 0) {
    // Many dimensions of 1 would crowd out the ones that matter.
    const std::string shape = every.size() <= 60 ? every
                                                 : std::to_string(static_cast<size_t>(y_dims)) + "-dimensional (" +
                                                       above_one + " in its dimensions above 1)";
    err.warn("yNotVector",
             "input 2 (y) is a %s array, not a vector: its first N = %zu values, column after column, are the "
             "labels (%s); pass one target as a vector, e.g. y(:, k).",
             shape.c_str(), n, mxGetM(y) >= n ? "its first column" : "values of several columns");
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

}  // namespace frame
