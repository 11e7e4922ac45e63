// What a solver module's call looks like, and the checks of its shape made before anything is
// read: the number of inputs and outputs, and X and y.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/call_error.hpp"
#include "mex.h"

namespace frame {

// Option fields a module accepts (a bit mask in its Signature).
enum OptionField : unsigned {
  kSeedOption = 1u << 0,       // opts.seed: used in place of the calendar time for seeding
  kThreadsOption = 1u << 1,    // opts.threads: the team size of every team of the call
  kProgressOption = 1u << 2,   // opts.progress: a progress line while a silent run goes on
  kHistoryOption = 1u << 3,    // opts.history: the objective every k iterations into info
  kW0Option = 1u << 4,         // opts.w0: the starting weights
  kInterceptOption = 1u << 5,  // opts.intercept: an unpenalised bias
  kL1Option = 1u << 6,         // opts.l1: 'subgradient' or 'prox'
  kAverageOption = 1u << 7,    // opts.average: the mean of the iterates
  kPassesOption = 1u << 8,     // opts.passes: passes over each share (splitavg)
};

// The inputs a solver module takes: its name, the names of its inputs in order (X and y first,
// then scalars), and the option fields it accepts in an optional struct after them (0: no options
// input, no second output).
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
  bool sparse = false;    // X is a sparse matrix
  uint64_t nonzeros = 0;  // its stored entries, when sparse
};

// X: a real matrix of at most 2^31 - 1 rows and columns, full double or single, or sparse double
// or logical; y: a real double or single array (full, or sparse double) with at least N values.
// A sparse y counts as full(y).
bool check_problem(const mxArray *X, const mxArray *y, ProblemShape &shape, CallError &err);

// The outOfMemory error for the data of this shape (N x D, or the nonzeros of a sparse X).
void set_out_of_memory(const ProblemShape &shape, CallError &err);

// "a 3x2 complex double array", for messages.
void describe_array(const mxArray *a, char *buf, size_t size);

}  // namespace frame
