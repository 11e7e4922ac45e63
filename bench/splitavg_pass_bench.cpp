// The threaded module's pass on the data of a MAT file, for comparison with splitavg-mpi: reads X
// and y whole, shuffles with the seed as the module does, and times pass_and_average (the
// function the module runs) with T threads, best of R runs.
//   splitavg_pass_bench data.mat T seed R
#include <matio.h>
#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/data/regression_data.hpp"
#include "core/random/thread_rand.hpp"
#include "core/run/run_context.hpp"
#include "core/threads/team.hpp"
#include "reference/tuned_pass.hpp"
#include "splitavg/shuffle.hpp"
#include "splitavg/split_average.hpp"

namespace {

std::vector<double> read_all(mat_t *mat, const char *name, size_t &rows, size_t &cols) {
  matvar_t *v = Mat_VarRead(mat, name);
  if (!v || v->class_type != MAT_C_DOUBLE || v->isComplex) {
    std::fprintf(stderr, "no real double %s\n", name);
    std::exit(1);
  }
  rows = v->dims[0];
  cols = v->dims[1];
  const double *d = static_cast<const double *>(v->data);
  std::vector<double> out(d, d + rows * cols);
  Mat_VarFree(v);
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: splitavg_pass_bench data.mat T seed R\n");
    return 2;
  }
  const int T = std::atoi(argv[2]), reps = std::atoi(argv[4]);
  const uint32_t seed = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
  mat_t *mat = Mat_Open(argv[1], MAT_ACC_RDONLY);
  if (!mat) return 1;
  size_t n = 0, d = 0, yn = 0, one = 0;
  const std::vector<double> X = read_all(mat, "X", n, d), y = read_all(mat, "y", yn, one);
  Mat_Close(mat);
  core::RegressionData data =
      core::make_regression_data(X.data(), static_cast<int32_t>(n), static_cast<int32_t>(d), y.data());
  core::seed_thread_rand(seed);
  splitavg::shuffle_samples(data, 0, data.N - 1);
  const core::FixedTeamSize fixed;
  double best = 1e300;
  core::WeightVector w(d, 0.0);
  for (int r = 0; r < reps; ++r) {
    const double start = omp_get_wtime();
    const int32_t got = reference::pass_and_average(core::RunContext(data), {1e-3, 1e-4}, T, w);
    best = std::min(best, omp_get_wtime() - start);
    if (got != T) return 1;
  }
  std::printf("%.6f\n", best);
  return 0;
}
