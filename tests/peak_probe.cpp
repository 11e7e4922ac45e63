// One module call in a fresh process, printing how far its peak resident size rose above what the
// process held before it: "extra_bytes <n>". The peak of a fresh process is its own, so no
// kernel support for resetting it is needed (test_memory_module.cpp runs one process a shape).
//
//   peak_probe <kinkstep0|kinkstep1|splitavg|driftwalk>[+intercept] <full|sparse> N D spacing <full|sparse y> [batch]
//
// "+intercept" passes struct('intercept', true): the steps with options, which hold no more per
// weight than the plain ones.
// A sparse X holds x(i, j) where i and j leave the same remainder by `spacing` (a fraction
// 1/spacing of the cells; spacing 1 is every cell). Inputs are written in place into the host's
// arrays, so nothing freed before the call raised the peak.
#include <malloc.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "mexhost/host.hpp"
#include "test_support.hpp"

namespace {

mexhost::ArrayPtr full_x(size_t N, size_t D) {
  mexhost::ArrayPtr X(mxCreateDoubleMatrix(N, D, mxREAL));
  double *x = mxGetPr(X.get());
  for (size_t k = 0; k < N * D; ++k) x[k] = std::sin(0.01 * static_cast<double>(k)) + 1.5;
  return X;
}

mexhost::ArrayPtr sparse_x(size_t N, size_t D, size_t spacing) {
  size_t nnz = 0;
  for (size_t j = 0; j < D; ++j) nnz += N > j % spacing ? (N - 1 - j % spacing) / spacing + 1 : 0;
  mexhost::ArrayPtr X(mxCreateSparse(N, D, nnz > 0 ? nnz : 1, mxREAL));
  mwIndex *jc = mxGetJc(X.get()), *ir = mxGetIr(X.get());
  double *pr = mxGetPr(X.get());
  size_t k = 0;
  for (size_t j = 0; j < D; ++j) {
    jc[j] = k;
    for (size_t i = j % spacing; i < N; i += spacing, ++k) {
      ir[k] = i;
      pr[k] = std::sin(0.01 * static_cast<double>(k)) + 1.5;
    }
  }
  jc[D] = k;
  return X;
}

mexhost::ArrayPtr labels(size_t N, bool sparse) {
  mexhost::ArrayPtr y(sparse ? mxCreateSparse(N, 1, N > 0 ? N : 1, mxREAL) : mxCreateDoubleMatrix(N, 1, mxREAL));
  double *v = mxGetPr(y.get());
  for (size_t i = 0; i < N; ++i) v[i] = std::cos(0.02 * static_cast<double>(i)) + 2.0;
  if (sparse) {
    mwIndex *jc = mxGetJc(y.get()), *ir = mxGetIr(y.get());
    for (size_t i = 0; i < N; ++i) ir[i] = i;
    jc[0] = 0;
    jc[1] = N;
  }
  return y;
}

// driftwalk's batch: `batch` samples, at most N.
std::vector<mexhost::ArrayPtr> parameters(const std::string &name, size_t N, size_t batch = 8) {
  std::vector<double> p;
  if (name == "kinkstep0" || name == "kinkstep1") p = {1e-3, 0.1, 20, name == "kinkstep1" ? 1.0 : 0.0, 0.0};
  if (name == "driftwalk") p = {1e-4, 10, -0.55, 0.1, static_cast<double>(N < batch ? N : batch), 20, 0.0};
  if (name == "splitavg") p = {1e-3, 0.1, 0.0};
  std::vector<mexhost::ArrayPtr> a;
  for (double v : p) a.push_back(mexhost::make_scalar(v));
  return a;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 7 && argc != 8) {
    std::fprintf(stderr, "usage: peak_probe module full|sparse N D spacing full|sparse [batch]\n");
    return 2;
  }
  // Every block of more than 64 KB gets its own mapping and goes back to the system when freed, so
  // that the peak counts each allocation once, as the formulas do.
  mallopt(M_MMAP_THRESHOLD, 64 * 1024);
  mallopt(M_TRIM_THRESHOLD, 64 * 1024);
  std::string name = argv[1];
  const size_t suffix = name.find("+intercept");
  const bool intercept = suffix != std::string::npos;
  if (intercept) name.erase(suffix);
  const std::string module_name = name.rfind("kinkstep", 0) == 0 ? "kinkstep" : name;
  const bool sparse = std::strcmp(argv[2], "sparse") == 0, sparse_y = std::strcmp(argv[6], "sparse") == 0;
  const size_t N = std::strtoull(argv[3], nullptr, 10), D = std::strtoull(argv[4], nullptr, 10);
  const size_t spacing = std::strtoull(argv[5], nullptr, 10);
  const mexhost::Module &module = loaded_module(module_name);

  std::vector<mexhost::ArrayPtr> params = parameters(name, N, argc == 8 ? std::strtoull(argv[7], nullptr, 10) : 8);
  if (intercept) {
    params.push_back(mexhost::make_struct({"intercept"}));
    mxSetField(params.back().get(), 0, "intercept", mxCreateLogicalScalar(true));
  }
  auto call = [&](const mxArray *X, const mxArray *y) {
    std::vector<const mxArray *> in{X, y};
    for (const auto &p : params) in.push_back(p.get());
    return module.call(1, in);
  };
  // A first small call starts the thread pool, whose stacks are not the call's memory.
  {
    const mexhost::ArrayPtr x = full_x(100, 3), y = labels(100, false);
    const std::vector<mexhost::ArrayPtr> first = parameters(name, 100);
    std::vector<const mxArray *> in{x.get(), y.get()};
    for (const auto &p : first) in.push_back(p.get());
    module.call(1, in);
  }
  const mexhost::ArrayPtr X = sparse ? sparse_x(N, D, spacing) : full_x(N, D), y = labels(N, sparse_y);
  malloc_trim(0);
  const double before = status_bytes("VmHWM"), resident = status_bytes("VmRSS");
  const mexhost::CallResult r = call(X.get(), y.get());
  const double after = status_bytes("VmHWM");
  if (r.failed) {
    std::fprintf(stderr, "%s: %s\n", r.error_id.c_str(), r.error_message.c_str());
    return 3;
  }
  // The call's own peak shows only where it rose above the process's earlier one.
  if (after <= before) {
    std::fprintf(stderr, "the call stayed below the peak of building its inputs\n");
    return 4;
  }
  std::printf("extra_bytes %.0f\n", after - resident);
  return 0;
}
