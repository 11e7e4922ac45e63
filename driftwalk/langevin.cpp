#include "driftwalk/langevin.hpp"

#include <cmath>
#include <ctime>
#include <stdexcept>
#include <vector>

#include "core/primitives.hpp"
#include "driftwalk/noise.hpp"

namespace driftwalk {

void minibatch_gradient(const core::RegressionData &data, const double *w, const int32_t *perm, int32_t B,
                        double lambda, double *g, const core::StopCheck *stop) {
  const int32_t D = data.D;
  for (int32_t k = 0; k < D; ++k) g[k] = 0.0;
  for (int32_t j = 0; j < B; ++j) {
    if (stop && stop->poll(2 * static_cast<uint64_t>(D) + 1)) return;
    const int32_t i = perm[j];
    const double *x = data.row(i);
    const double r = core::dot_product(x, w, D) - data.labels[static_cast<size_t>(i)];
    const double c = r * 2.0;
    for (int32_t k = 0; k < D; ++k) g[k] = g[k] + c * x[k];
  }
  // Scale the batch up to the whole data set; the penalty is not scaled.
  const double scale = static_cast<double>(data.N) / static_cast<double>(B);
  for (int32_t k = 0; k < D; ++k) g[k] = core::add_l1_subgradient(scale * g[k], w[k], lambda);
}

core::WeightVector langevin_solve(const core::RunContext &run, const Parameters &p) {
  const core::RegressionData &data = run.data;
  if (p.maxIter >= 1 && (p.batchSize < 1 || p.batchSize > data.N))
    throw std::invalid_argument("driftwalk: batchSize must lie in 1..N");

  core::WeightVector w(static_cast<size_t>(data.D), 0.0);
  if (run.wants_objective()) {
    const double f = run.objective(w.data(), p.lambda);
    if (run.stop.stopped()) return w;
    run.record_objective(f);
    if (run.verbose) run.out.printf("Initial object function = %f\n", f);
  }

  // One permutation and one gradient buffer serve every iteration: each iteration overwrites both
  // before reading them.
  std::vector<int32_t> perm(p.maxIter >= 1 ? static_cast<size_t>(data.N) : 0);
  std::vector<double> g(p.maxIter >= 1 ? static_cast<size_t>(data.D) : 0);
  core::ThreadRand &rand = core::this_thread_rand();
  for (int32_t t = 0; t < p.maxIter; ++t) {
    // An iteration draws N + D values: asking the host each time costs nothing in comparison. The
    // permutation and the gradient ask too, as their work adds up, so that a large N or batch
    // cannot hold a press back.
    if (run.stop.should_stop(t)) break;
    core::random_permutation(rand, data.N, perm.data(), &run.stop);
    minibatch_gradient(data, w.data(), perm.data(), p.batchSize, p.lambda, g.data(), &run.stop);
    if (run.stop.stopped()) break;
    const double eps = std::pow(static_cast<double>(t) + p.stepOffset, p.stepPower) * p.stepScale;
    for (int32_t k = 0; k < data.D; ++k) w[k] = (w[k] - (eps * 0.5) * g[k]) - gaussian_noise(rand, 0.0, eps);
    if (run.wants_objective()) {
      const double f = run.objective(w.data(), p.lambda);
      if (run.stop.stopped()) break;
      run.record_objective(f);
      if (run.verbose) {
        const unsigned long ticks = static_cast<unsigned long>(std::clock());
        run.out.printf("Iteration %d, clock= %lu, object function = %f\n", t, ticks, f);
      }
    }
  }
  return w;
}

}  // namespace driftwalk
