// The options a call may add to the defined step, in their textbook form: kinkstep's two methods
// and splitavg with starting weights, an intercept, the proximal L1 step, averaged iterates and more
// passes, and driftwalk from starting weights, each a plain loop over full rows. Averages are exact
// sums (MPFR, wide enough to hold any sum of doubles) divided by the count, rounded once.
#pragma once

#include <cstdint>
#include <vector>

#include "core/data/regression_data.hpp"

namespace reference {

struct Options {
  std::vector<double> w0;  // empty: zeros
  bool intercept = false;
  bool prox = false;
  bool cumulative = false;  // the cumulative penalty's clip on the sample's features
  int64_t average = 0;      // 0 off; -1 the second half of the steps; s >= 1 from step s
  int32_t passes = 1;       // splitavg
};

struct Fit {
  std::vector<double> w;
  double b = 0.0;
  uint64_t averaged = 0;  // kinkstep: iterates averaged
};

// The exact sum of doubles, rounded to the nearest double when read.
class MpfrSum {
 public:
  MpfrSum();
  ~MpfrSum();
  MpfrSum(const MpfrSum &other);
  MpfrSum &operator=(const MpfrSum &) = delete;
  void add(double x);
  double value() const;
  // The sum divided by count, rounded once to the nearest double.
  double mean(uint64_t count) const;

 private:
  struct Value;
  Value *v_;
};

// kinkstep method 0: draws i = rand() % N from the calling thread's generator, as the defined loop.
Fit kinkstep_sequential(const core::RegressionData &data, double stepSize, double lambda, int32_t maxIter,
                        const Options &o);
// kinkstep method 1 with a team of T taken one after another (draws seeded with k + t).
Fit kinkstep_parallel(const core::RegressionData &data, double stepSize, double lambda, int32_t maxIter, int32_t T,
                      const Options &o);
// splitavg with T shares: the shuffle from the calling thread's generator, o.passes passes per share
// in the same order, each share's result (its average, when averaging), then the mean of the shares.
Fit splitavg(const core::RegressionData &data, double stepSize, double lambda, int32_t T, const Options &o);
// driftwalk from o.w0.
std::vector<double> driftwalk(const core::RegressionData &data, double stepScale, double stepOffset, double stepPower,
                              double lambda, int32_t batchSize, int32_t maxIter, const Options &o);

}  // namespace reference
