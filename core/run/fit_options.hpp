// What a call may ask for beyond the defined run (the options struct's fields other than seed,
// threads and progress). With every field at its default the run is the defined one, bit for bit.
#pragma once

#include <cstdint>
#include <vector>

namespace core {

struct FitOptions {
  // opts.w0: the starting weights (D values, finite; a -0 starts as +0); empty: zeros.
  std::vector<double> w0;
  // opts.intercept: an unpenalised bias b in every residual, c = (x . w + b) - y, stepped with the
  // weights, b <- b - stepSize * c.
  bool intercept = false;
  // opts.l1 = 'prox': the data step v = w - stepSize * (c x), then the soft threshold
  // w_j = sign(v_j) * max(|v_j| - fl(stepSize * lambda), 0) on every feature.
  bool prox = false;
  // opts.l1 = 'cumulative': the data step, then for each feature the sample holds (x_ij != 0) the
  // cumulative penalty's clip: with u the sum of fl(stepSize * lambda) over the steps so far and q_j
  // the penalty w_j has taken, w_j > 0 becomes max(0, w_j - (u + q_j)), w_j < 0 becomes
  // min(0, w_j + (u - q_j)), and q_j grows by the change. A weight that sits at zero banks the
  // penalty of its steps, so that the samples' sporadic kicks do not make it nonzero.
  bool cumulative = false;
  // opts.average: 0 off; kSecondHalf the iterates after the first half of the run's steps; s >= 1
  // the iterates from step s on. The result is their mean.
  int64_t average = 0;
  static constexpr int64_t kSecondHalf = -1;
  // opts.passes (splitavg): passes over each share before the models are averaged.
  int32_t passes = 1;
  // opts.history: the objective also every `history` iterations into the trace; 0: the initial and
  // final objective only.
  int32_t history = 0;

  // The first step whose iterate is averaged, in a run of `steps` steps numbered from 1; 0 when
  // nothing is averaged.
  uint64_t average_from(uint64_t steps) const {
    if (average == 0) return 0;
    if (average == kSecondHalf) return steps / 2 + 1;
    return static_cast<uint64_t>(average);
  }
  // Whether the steps themselves differ from the defined step (the starting weights and the
  // history do not change a step).
  bool plain_steps() const { return !intercept && !prox && !cumulative && average == 0; }
};

}  // namespace core
