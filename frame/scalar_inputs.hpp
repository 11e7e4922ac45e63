// A solver module's inputs, checked as a whole before anything is read (arity, X and y, the type
// of every scalar input, the options struct), then read by name as the Signature names them:
//   p.stepSize = in.real("stepSize");   p.maxIter = in.integer("maxIter");
// The first failing check or read sets the call's error; every read after it does nothing.
#pragma once

#include "core/run/fit.hpp"
#include "frame/call_error.hpp"
#include "frame/call_shape.hpp"
#include "frame/options.hpp"
#include "mex.h"

namespace frame {

class CallInputs {
 public:
  static constexpr int kMaxInputs = 16;

  CallInputs(const Signature &sig, int nlhs, int nrhs, const mxArray *const *prhs, CallError &err);
  CallInputs(const CallInputs &) = delete;
  CallInputs &operator=(const CallInputs &) = delete;

  // No error so far.
  bool ok() const { return !err_.raised(); }
  int outputs() const { return nlhs_; }
  const ProblemShape &shape() const { return shape_; }
  const CallOptions &options() const { return options_; }
  const mxArray *X() const { return prhs_[0]; }
  const mxArray *y() const { return prhs_[1]; }
  CallError &error() const { return err_; }

  // A real-valued input: it must be finite (a NaN or an infinity there can only give NaN weights),
  // else an invalidParameter error names it.
  double real(const char *name);
  // An integer input by the reading rule (core::to_int32_parameter). A value that reads as -2^31
  // because it was NaN, an infinity or outside the 32-bit range keeps that reading, but the call
  // warns (parameterOutOfRange) with the value as given and `meaning`, what that reading does.
  core::IntegerInput integer(const char *name, const char *meaning = "counts as a value of 0 or less");
  // A verbosity flag: an integer input that is exactly 1.
  bool verbose(const char *name);

 private:
  // The position of the input `name` in the Signature; -1 (with an internalError) for none.
  int position(const char *name);

  const Signature &sig_;
  int nlhs_;
  const mxArray *const *prhs_;
  CallError &err_;
  ProblemShape shape_;
  CallOptions options_;
  double values_[kMaxInputs] = {0};
};

}  // namespace frame
