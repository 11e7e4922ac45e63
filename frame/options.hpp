// The optional last input of the solver modules: a struct of options.
#pragma once

#include <cstdint>

#include "core/run/fit_options.hpp"
#include "frame/call_error.hpp"
#include "frame/call_shape.hpp"
#include "mex.h"

namespace frame {

struct CallOptions {
  bool has_seed = false;
  uint32_t seed = 0;
  int32_t threads = 0;  // 0: the OpenMP runtime's default team size
  bool progress = false;
  core::FitOptions fit;  // history, w0, intercept, l1, average, passes
};

// Reads opts (a scalar struct, or [] for none). Unknown fields and values of the wrong type or
// range are errors that name the field. `accepted` is a mask of OptionField bits; D is the number
// of features (opts.w0 must hold D values).
bool read_options(const char *module, unsigned accepted, const mxArray *opts, int position, int32_t D, CallOptions &out,
                  CallError &err);

}  // namespace frame
