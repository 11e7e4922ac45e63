// The optional last input of the solver modules, a struct of options, and their optional second
// output, a struct describing the run.
#pragma once

#include <cstdint>
#include <vector>

#include "mex.h"

namespace frame {

class CallError;

// Option fields a module accepts (a bit mask in its Signature).
enum OptionField : unsigned {
  kSeedOption = 1u << 0,     // opts.seed: used in place of the calendar time for seeding
  kThreadsOption = 1u << 1,  // opts.threads: the team size of every team of the call
  kProgressOption = 1u << 2,  // opts.progress: a progress line while a silent run goes on
};

struct CallOptions {
  bool has_seed = false;
  uint32_t seed = 0;
  int32_t threads = 0;  // 0: the OpenMP runtime's default team size
  bool progress = false;
};

// Reads opts (a scalar struct, or [] for none). Unknown fields and values of the wrong type or
// range are errors that name the field.
bool read_options(const char *module, unsigned accepted, const mxArray *opts, int position, CallOptions &out,
                  CallError &err);

// What the second output reports.
struct RunInfo {
  bool has_seed = true;           // false when no seed played a part (kinkstep method 1): info.seed = []
  uint32_t seed = 0;              // the seed the call used, to replay it through opts.seed
  int32_t threads = 1;            // the team size (1 for the sequential methods)
  int32_t iterations = 0;         // iterations run (splitavg: the one pass)
  double seconds = 0.0;           // wall time of the run
  std::vector<double> objective;  // the initial objective, then one value per iteration
};

// A 1 x 1 struct with the fields seed, threads, iterations, time and objective; null if the host
// could not create it.
mxArray *make_info(const RunInfo &info);

}  // namespace frame
