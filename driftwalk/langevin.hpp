// driftwalk's solver: stochastic gradient Langevin dynamics on the L1-regularised least squares.
#pragma once

#include <cstdint>

#include "core/data/regression_data.hpp"
#include "core/run/run_context.hpp"
#include "core/threads/team.hpp"

namespace driftwalk {

struct Parameters {
  double stepScale = 0.0;   // a in eps_t = a * (t + b)^gamma
  double stepOffset = 0.0;  // b
  double stepPower = 0.0;   // gamma, with its sign
  double lambda = 0.0;
  int32_t batchSize = 0;  // B: must lie in 1..N whenever maxIter >= 1
  int32_t maxIter = 0;
};

// g = (N / B) * sum over perm[0..B-1] of 2 (x_i . w - y_i) x_i, then the L1 term of each weight.
// Overwrites all D entries of g; reads w only. With `stop`, asks it as the batch is summed and
// ends early (g unfinished) once it says stop.
void minibatch_gradient(const core::RegressionData &data, const double *w, const int32_t *perm, int32_t B,
                        double lambda, double *g, const core::StopCheck *stop = nullptr);

// Batches smaller than this (D * batchSize) stay on the calling thread: below it a team's start
// and barrier cost more than the shared work saves (measured with bench/stochl1_bench drift).
constexpr int64_t kMinParallelWork = 4096;

// maxIter iterations from w = 0, each drawing a fresh permutation of all N samples (N values of
// the thread's generator) and one noise value per weight (D values), and updating
// w_k <- (w_k - (eps_t * 0.5) * g_k) - gaussian_noise(0, eps_t). Prints the initial objective and
// one line per iteration when run.verbose. Throws std::invalid_argument if an iteration would run
// with B outside 1..N.
//
// The draws are made on the calling thread; the noise variates, the batch's dot products and the
// per-feature sums are shared by a team of run.threads threads (0: the OpenMP default), each piece
// computed exactly as on one thread, so the weights, the printed lines and the generator's
// consumption do not depend on the team. *threads (if given) receives the team size used: 1 for a
// batch below kMinParallelWork. *team (if given) receives the first team's outcome when a team was
// sized: when its problem is set, no team could start (*threads is 0) and w is no result.
core::WeightVector langevin_solve(const core::RunContext &run, const Parameters &p, int32_t *threads = nullptr,
                                  core::TeamSize *team = nullptr);

namespace detail {
// The same with the smallest batch (D * batchSize) that gets a team given: tests use 0 to run
// teams on tiny problems.
core::WeightVector langevin_solve(const core::RunContext &run, const Parameters &p, int64_t min_parallel_work,
                                  int32_t *threads = nullptr, core::TeamSize *team = nullptr);
}  // namespace detail

}  // namespace driftwalk
