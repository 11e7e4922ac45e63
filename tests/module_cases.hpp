// One call of every module, for the checks that every call goes through (test_conformance_module)
// and the options tests: the module, the names and values of its scalar inputs, and the call made
// from them on one problem whose results depend on every draw (N = 60 samples of D = 4 features).
#pragma once

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "module_call.hpp"

struct ModuleCase {
  const char *label;                      // "kinkstep m1"
  const char *name;                       // the module
  std::vector<const char *> param_names;  // the scalar inputs after X and y, verbose last
  std::vector<double> params;
  std::vector<bool> real;  // a real-valued input (NaN refused), not an integer one
  bool parallel;           // runs a thread team
  bool is(const char *module) const { return std::strcmp(name, module) == 0; }
  size_t inputs() const { return 2 + params.size(); }
};

inline const std::vector<ModuleCase> &module_cases() {
  static const std::vector<ModuleCase> cases = {
      {"kinkstep m0",
       "kinkstep",
       {"stepSize", "lambda", "maxIter", "method", "verbose"},
       {0.01, 0.1, 40, 0, 0},
       {true, true, false, false, false},
       false},
      {"kinkstep m1",
       "kinkstep",
       {"stepSize", "lambda", "maxIter", "method", "verbose"},
       {0.01, 0.1, 40, 1, 0},
       {true, true, false, false, false},
       true},
      {"driftwalk",
       "driftwalk",
       {"stepScale", "stepOffset", "stepPower", "lambda", "batchSize", "maxIter", "verbose"},
       {1e-3, 10, -0.55, 0.1, 8, 40, 0},
       {true, true, true, true, false, false, false},
       false},
      {"splitavg", "splitavg", {"stepSize", "lambda", "verbose"}, {0.01, 0.1, 0}, {true, true, false}, true},
  };
  return cases;
}

constexpr size_t kCaseN = 60, kCaseD = 4;

inline std::vector<double> case_wavy(size_t n, double phase) {
  std::vector<double> v(n);
  for (size_t k = 0; k < n; ++k) v[k] = std::sin(0.7 * static_cast<double>(k) + phase);
  return v;
}
inline std::vector<double> case_X() {
  return case_wavy(kCaseN * kCaseD, 0.3);
}
inline std::vector<double> case_y() {
  return case_wavy(kCaseN, 1.1);
}

// The call: X, y (single precision when asked), the scalar inputs with the given verbose, then
// the options when given.
inline Inputs case_inputs(const ModuleCase &c, double verbose, mexhost::ArrayPtr opts = nullptr, bool single = false) {
  Inputs in;
  const std::vector<double> X = case_X(), y = case_y();
  if (single) {
    mexhost::ArrayPtr xs = mexhost::make_numeric(mxSINGLE_CLASS, kCaseN, kCaseD);
    mexhost::ArrayPtr ys = mexhost::make_numeric(mxSINGLE_CLASS, kCaseN, 1);
    float *xf = static_cast<float *>(mxGetData(xs.get())), *yf = static_cast<float *>(mxGetData(ys.get()));
    for (size_t k = 0; k < X.size(); ++k) xf[k] = static_cast<float>(X[k]);
    for (size_t k = 0; k < y.size(); ++k) yf[k] = static_cast<float>(y[k]);
    in.add(std::move(xs)).add(std::move(ys));
  } else {
    in.add(mexhost::make_double(kCaseN, kCaseD, X)).add(mexhost::make_double(kCaseN, 1, y));
  }
  for (size_t k = 0; k + 1 < c.params.size(); ++k) in.add(c.params[k]);
  in.add(verbose);
  if (opts) in.add(std::move(opts));
  return in;
}

// {"seed", 5} -> struct('seed', 5)
inline mexhost::ArrayPtr case_options(std::initializer_list<std::pair<const char *, double>> fields) {
  std::vector<std::string> names;
  for (const auto &f : fields) names.push_back(f.first);
  mexhost::ArrayPtr s = mexhost::make_struct(names);
  for (const auto &f : fields) mxSetField(s.get(), 0, f.first, mxCreateDoubleScalar(f.second));
  return s;
}
