// driftwalk's solver: stochastic gradient Langevin dynamics on the L1-regularised least squares.
#pragma once

#include <cstdint>

#include "core/run/fit.hpp"
#include "core/run/fit_options.hpp"
#include "core/run/run_context.hpp"

namespace driftwalk {

struct Parameters {
  double stepScale = 0.0;   // a in eps_t = a * (t + b)^gamma
  double stepOffset = 0.0;  // b
  double stepPower = 0.0;   // gamma, with its sign
  double lambda = 0.0;
  int32_t batchSize = 0;  // B: must lie in 1..N whenever maxIter >= 1
  int32_t maxIter = 0;
  const core::FitOptions *options = nullptr;  // null: the defined run (driftwalk takes w0)
};

// The work of an iteration that a team shares, weighted by what sharing it saves (units of about a
// third of a nanosecond on one thread): a term of the batch's dot products and sums 1, a draw of
// the permutation 2 (each thread draws a part of it), a feature's noise variate and step 16 (they
// take about 100 on one thread, but a piece of them comes from the other processor's caches).
inline int64_t parallel_work(int32_t N, int32_t D, int32_t batchSize) {
  return int64_t{D} * batchSize + 16 * int64_t{D} + 2 * int64_t{N};
}

// Iterations with less shared work than this stay on the calling thread: below it a team's start
// and barrier cost more than the shared work saves (bench/run --drift, "Where a team pays"; at
// N = 1000, B = 10 two threads took 1.03 times one at D = 300, 0.90 at D = 500, 0.75-0.77 at
// D = 1000; at D = 10, B = 10 0.82 at N = 10^4, 0.57 at N = 5 10^4).
constexpr int64_t kMinParallelWork = 16384;

// maxIter iterations from w = 0, each drawing a fresh permutation of all N samples (N values of
// the thread's generator; only its first batchSize entries are formed) and one noise value per weight (D values), and
// updating w_k <- (w_k - (eps_t * 0.5) * g_k) - gaussian_noise(0, eps_t). Prints the initial objective and one line per
// iteration when run.verbose. Throws std::invalid_argument if an iteration would run with B outside 1..N.
//
// The draws, the noise variates, the batch's dot products and the per-feature sums are shared by a
// team of run.threads threads (0: the OpenMP default), every value computed as on one thread (each
// thread draws its part of the one generator's sequence, from the state it jumps to) and every
// sum taken in batch order from 0.0 (the team's threads add their shares of the batch in turn),
// so the weights, the printed lines and the generator's consumption do not depend on the team.
// r.threads is the team size used: 1 where parallel_work is below kMinParallelWork. A team that cannot start makes r
// TeamFailed (threadTeam); one smaller than run.threads warns threadsReduced. A run that run.stop stopped returns
// r.stopped().
template <typename Rows>
core::FitResult langevin_solve(const core::RunContext<Rows> &run, const Parameters &p);

namespace detail {
// The same with the least parallel_work that gets a team given: tests use 0 to run teams on tiny
// problems.
template <typename Rows>
core::FitResult langevin_solve(const core::RunContext<Rows> &run, const Parameters &p, int64_t min_parallel_work);
}  // namespace detail

}  // namespace driftwalk
