#include "reference/plain_loops.hpp"

#include <cmath>

#include "core/random/thread_rand.hpp"
#include "core/threads/shares.hpp"
#include "reference/direct.hpp"

namespace reference {
namespace {

double dot(const double *x, const double *w, int32_t D) {
  double s = 0.0;
  for (int32_t k = 0; k < D; ++k) s = s + x[k] * w[k];
  return s;
}

double l1(double g, double wj, double lambda) {
  return wj > 0 ? g + lambda : wj < 0 ? g - lambda : g;
}

// g = c x + lambda sign(w), c = x . w - y.
void subgradient(const double *x, double y, const std::vector<double> &w, double lambda, std::vector<double> &g) {
  const int32_t D = static_cast<int32_t>(w.size());
  const double c = dot(x, w.data(), D) - y;
  for (int32_t j = 0; j < D; ++j) g[static_cast<size_t>(j)] = l1(c * x[j], w[static_cast<size_t>(j)], lambda);
}

}  // namespace

std::vector<double> kinkstep_sequential(const core::RegressionData &data, double stepSize, double lambda,
                                        int32_t maxIter) {
  std::vector<double> w(static_cast<size_t>(data.D), 0.0), g(w.size());
  for (int32_t k = 0; k < maxIter; ++k) {
    const int32_t i = core::thread_rand() % data.N;
    subgradient(data.row(i), data.labels[static_cast<size_t>(i)], w, lambda, g);
    for (size_t j = 0; j < w.size(); ++j) w[j] = w[j] - stepSize * g[j];
  }
  return w;
}

std::vector<double> kinkstep_parallel(const core::RegressionData &data, double stepSize, double lambda, int32_t maxIter,
                                      int32_t T) {
  const size_t D = static_cast<size_t>(data.D);
  std::vector<double> w(D, 0.0), g(D);
  std::vector<std::vector<double>> candidate(static_cast<size_t>(T), std::vector<double>(D));
  for (int32_t k = 0; k < maxIter; ++k) {
    for (int32_t t = 0; t < T; ++t) {
      core::seed_thread_rand(static_cast<uint32_t>(k) + static_cast<uint32_t>(t));
      const int32_t i = core::thread_rand() % data.N;
      subgradient(data.row(i), data.labels[static_cast<size_t>(i)], w, lambda, g);
      for (size_t j = 0; j < D; ++j) candidate[static_cast<size_t>(t)][j] = w[j] - stepSize * g[j];
    }
    for (size_t j = 0; j < D; ++j) {
      double s = 0.0;
      for (int32_t t = 0; t < T; ++t) s = s + candidate[static_cast<size_t>(t)][j];
      w[j] = s / static_cast<double>(T);
    }
  }
  return w;
}

void minibatch_gradient(const core::RegressionData &data, const double *w, const int32_t *perm, int32_t B,
                        double lambda, double *g) {
  for (int32_t k = 0; k < data.D; ++k) g[k] = 0.0;
  for (int32_t j = 0; j < B; ++j) {
    const int32_t i = perm[j];
    const double r = dot(data.row(i), w, data.D) - data.labels[static_cast<size_t>(i)];
    const double c = r * 2.0;
    for (int32_t k = 0; k < data.D; ++k) g[k] = g[k] + c * data.row(i)[k];
  }
  const double scale = static_cast<double>(data.N) / static_cast<double>(B);
  for (int32_t k = 0; k < data.D; ++k) g[k] = l1(scale * g[k], w[k], lambda);
}

std::vector<double> driftwalk(const core::RegressionData &data, double stepScale, double stepOffset, double stepPower,
                              double lambda, int32_t batchSize, int32_t maxIter) {
  std::vector<double> w(static_cast<size_t>(data.D), 0.0), g(w.size());
  std::vector<int32_t> perm(static_cast<size_t>(data.N));
  for (int32_t t = 0; t < maxIter; ++t) {
    random_permutation(data.N, perm.data());
    minibatch_gradient(data, w.data(), perm.data(), batchSize, lambda, g.data());
    const double eps = std::pow(static_cast<double>(t) + stepOffset, stepPower) * stepScale;
    for (size_t k = 0; k < w.size(); ++k) w[k] = (w[k] - (eps * 0.5) * g[k]) - gaussian_noise(0.0, eps);
  }
  return w;
}

std::vector<double> splitavg(const core::RegressionData &data, double stepSize, double lambda, int32_t T) {
  const int32_t N = data.N;
  const size_t D = static_cast<size_t>(data.D);
  std::vector<int32_t> p(static_cast<size_t>(N));
  random_permutation(N, p.data());
  std::vector<double> w(D, 0.0), g(D);
  std::vector<std::vector<double>> model(static_cast<size_t>(T), std::vector<double>(D, 0.0));
  for (int32_t t = 0; t < T; ++t) {
    const core::Share share = core::chunk_bounds(N, T, t);
    std::vector<double> &m = model[static_cast<size_t>(t)];
    for (int32_t k = share.start; k <= share.end; ++k) {
      const int32_t i = p[static_cast<size_t>(k)];  // position k holds the sample at p[k]
      subgradient(data.row(i), data.labels[static_cast<size_t>(i)], m, lambda, g);
      for (size_t j = 0; j < D; ++j) m[j] = m[j] - stepSize * g[j];
    }
  }
  for (size_t j = 0; j < D; ++j) {
    double s = 0.0;
    for (int32_t t = 0; t < T; ++t) s = s + model[static_cast<size_t>(t)][j];
    w[j] = s / static_cast<double>(T);
  }
  return w;
}

}  // namespace reference
