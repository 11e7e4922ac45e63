// Each method in its textbook form, on full rows, a few dozen lines each: the plain loops the tuned
// solvers must match bit for bit (tests/test_plain_loops.cpp), and where a newcomer reads what a
// method does before reading how it is made fast. Sums run in index order on one accumulator;
// draws come from the calling thread's generator (core::thread_rand), as the modules draw them.
#pragma once

#include <cstdint>
#include <vector>

#include "core/data/regression_data.hpp"

namespace reference {

// kinkstep method 0: w = 0; maxIter times: i = rand() % N, g = c x_i + lambda sign(w) with
// c = x_i . w - y_i, then w <- w - stepSize * g.
std::vector<double> kinkstep_sequential(const core::RegressionData &data, double stepSize, double lambda,
                                        int32_t maxIter);

// kinkstep method 1 with a team of T, its threads taken one after another: in iteration k, thread
// t reseeds its generator with k + t, draws i = rand() % N and forms the candidate w - stepSize * g
// from the shared w; then w <- (candidate_0 + ... + candidate_{T-1}) / T.
std::vector<double> kinkstep_parallel(const core::RegressionData &data, double stepSize, double lambda, int32_t maxIter,
                                      int32_t T);

// driftwalk: w = 0; per iteration t a permutation of the N samples, the mini-batch of its first B,
// g = (N / B) * sum of 2 (x_i . w - y_i) x_i plus lambda sign(w), eps = (t + b)^gamma * a, and
// w_k <- (w_k - (eps * 0.5) * g_k) - gaussian_noise(0, eps) for k = 0 .. D-1.
std::vector<double> driftwalk(const core::RegressionData &data, double stepScale, double stepOffset, double stepPower,
                              double lambda, int32_t batchSize, int32_t maxIter);

// The mini-batch gradient of driftwalk above, into g (D values).
void minibatch_gradient(const core::RegressionData &data, const double *w, const int32_t *perm, int32_t B,
                        double lambda, double *g);

// splitavg with T threads: the samples shuffled by one random permutation (position k takes the
// sample at p[k]), cut into T contiguous shares (chunk_bounds), one pass of steps per share on a
// model from zero, and w the models' average, summed in share order and divided once by T.
std::vector<double> splitavg(const core::RegressionData &data, double stepSize, double lambda, int32_t T);

}  // namespace reference
