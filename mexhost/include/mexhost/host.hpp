// mexhost: loads a built MEX module, calls its mexFunction with arrays made here, and hands back
// the outputs, every printed line and a raised error, as MATLAB or Octave would see them.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "mex.h"

namespace mexhost {

// What mexErrMsgIdAndTxt throws inside libmex; Module::call turns it into a CallResult.
struct RaisedError {
  std::string id;
  std::string message;
};

struct ArrayDeleter {
  void operator()(mxArray *a) const { mxDestroyArray(a); }
};
using ArrayPtr = std::unique_ptr<mxArray, ArrayDeleter>;

// Array factories. Values are given in MATLAB's column-major order.
ArrayPtr make_double(size_t m, size_t n, const std::vector<double> &values = {});
ArrayPtr make_scalar(double value);
ArrayPtr make_row(std::initializer_list<double> values);
ArrayPtr make_numeric(mxClassID cls, size_t m, size_t n);  // zero-filled
ArrayPtr make_complex(size_t m, size_t n, const std::vector<double> &re, const std::vector<double> &im);
ArrayPtr make_sparse(size_t m, size_t n);  // all zero, no stored entries
// The nonzeros of a column-major m x n matrix, stored as a host stores a sparse double (or logical)
// array: compressed columns, rows increasing within each.
ArrayPtr make_sparse(size_t m, size_t n, const std::vector<double> &full);
ArrayPtr make_sparse_logical(size_t m, size_t n, const std::vector<double> &full);
// A sparse double array from raw compressed columns (jc: n + 1 starts, ir: rows, pr: values), as
// given, well-formed or not; it holds max(nzmax, pr.size()) entries.
ArrayPtr make_sparse(size_t m, size_t n, const std::vector<size_t> &jc, const std::vector<size_t> &ir,
                     const std::vector<double> &pr, size_t nzmax = 0);
ArrayPtr make_string(const char *text);
ArrayPtr make_cell(size_t m, size_t n);
ArrayPtr make_struct(const std::vector<std::string> &fields);  // 1 x 1, every field empty

// Column-major doubles of a real double array.
std::vector<double> values(const mxArray *a);
// The same of a sparse double or logical array, zeros filled in (of a full one: values(a)).
std::vector<double> full_values(const mxArray *a);

// A mexEvalString call the module made: the command, and how many bytes it had printed before.
struct Evaluation {
  std::string command;
  size_t printed_before = 0;
};

// A warning the module gave (mexWarnMsgIdAndTxt). Hosts show warnings apart from the printed
// output (Octave on stderr, with lastwarn holding the last one), so they are kept apart here too.
struct Warning {
  std::string id;
  std::string message;
};

struct CallResult {
  std::vector<ArrayPtr> outputs;      // plhs[0 .. max(nlhs, 1) - 1]; null where not assigned
  std::string printed;                // everything printed, as printed
  std::vector<std::string> lines;     // printed text split at line feeds
  std::vector<Evaluation> evaluated;  // mexEvalString calls, in order
  std::vector<Warning> warnings;      // warnings given, in order
  bool failed = false;                // an error was raised (by the module or by the host)
  std::string error_id;
  std::string error_message;
  long temporaries_left = 0;  // arrays the module created and neither returned nor freed
  // mexPrintf, mexEvalString and mexWarnMsgIdAndTxt calls made from inside an OpenMP parallel
  // region (as far as the OpenMP runtime the module loaded can tell).
  long host_calls_in_parallel = 0;

  const mxArray *output(size_t k = 0) const { return k < outputs.size() ? outputs[k].get() : nullptr; }
};

class Module {
 public:
  explicit Module(const std::string &path);  // throws std::runtime_error when it cannot load
  Module(const Module &) = delete;
  Module &operator=(const Module &) = delete;
  ~Module();

  // Calls mexFunction. Like MATLAB, nlhs = 0 still leaves room for one output (ans), and a
  // call that asked for outputs the module did not assign fails.
  CallResult call(int nlhs, const std::vector<const mxArray *> &inputs) const;

  const std::string &path() const { return path_; }

 private:
  using Gateway = void (*)(int, mxArray *[], int, const mxArray *[]);
  std::string path_;
  void *handle_ = nullptr;
  Gateway gateway_ = nullptr;
};

// Arrays alive in this process (made by the factories, the module or mxCreate* calls).
long live_arrays();

namespace detail {
// Used by Module::call: collect printed text (libmex) and the arrays created (libmx) during one call.
void begin_print_capture(const char *function_name);
std::string end_print_capture();
std::vector<Evaluation> end_evaluation_capture();
std::vector<Warning> end_warning_capture();
long end_parallel_count();
void begin_array_tracking();
std::vector<mxArray *> end_array_tracking();
}  // namespace detail

}  // namespace mexhost
