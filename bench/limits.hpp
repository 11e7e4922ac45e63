// The limits a module is measured against: the same steps with nothing but their arithmetic, and a
// plain read of the bytes one pass touches.
#pragma once

#include <cstdint>
#include <vector>

#include "core/data/regression_data.hpp"

namespace bench {

// The generator of core/thread_rand, held in a local variable instead of thread-local storage.
struct LocalPcg {
  uint64_t state;
  explicit LocalPcg(uint32_t seed);
  int32_t next() {
    const uint64_t old = state;
    state = old * 6364136223846793005ull + 1442695040888963407ull;
    const uint32_t x = static_cast<uint32_t>(((old >> 18) ^ old) >> 27);
    const uint32_t r = static_cast<uint32_t>(old >> 59);
    return static_cast<int32_t>(((x >> r) | (x << ((32u - r) & 31u))) >> 1);
  }
};

// `steps` constant-step subgradient steps on samples rand() % N from seed, written as one plain
// loop: an in-order dot product, then one element-wise update with the L1 term.
std::vector<double> minimal_steps(const core::RegressionData &d, uint32_t seed, int32_t steps, double stepSize,
                                  double lambda);

// One pass over all rows in table order from w = 0, the same loop.
std::vector<double> minimal_pass(const core::RegressionData &d, double stepSize, double lambda);

// The same two loops compiled for the widest vector instructions the processor has (the way the
// modules' step kernels are), with the next row asked into the cache one step ahead. Same weights.
// `isa` names the instruction set used.
std::vector<double> minimal_steps_widest(const core::RegressionData &d, uint32_t seed, int32_t steps, double stepSize,
                                         double lambda, const char **isa = nullptr);
std::vector<double> minimal_pass_widest(const core::RegressionData &d, double stepSize, double lambda);

// The floor of a step: `adds` dependent additions s = s + x[k] * w[k] on one accumulator (no fused
// multiply-add), the products taken from a few rows of D features that stay in the cache. A step
// on D features cannot take less than D such additions: its dot product is defined as this chain.
// Returns the sum, so that the chain is not optimised away.
double add_chain(int32_t D, int64_t adds);

// driftwalk's iterations as one thread makes them one weight at a time: the permutation, the batch
// gradient sample by sample, then per weight one noise draw (gaussian_noise) and the step. This is
// the module's loop before its work was shared out; the same weights, bit for bit.
std::vector<double> one_thread_langevin(const core::RegressionData &d, uint32_t seed, double stepScale,
                                        double stepOffset, double stepPower, double lambda, int32_t B,
                                        int32_t iterations);

// Reads every 8-byte word of [p, p + n) once, split over `threads` contiguous parts.
uint64_t read_all(const double *p, size_t n, int threads);

// Writes one value to every 4 KB page of a block of `bytes` just allocated as rows are, then
// gives the block back: the cost of first touches.
uint64_t touch_fresh_pages(size_t bytes);

// Reads the rows that `steps` draws from seed select, in the same order.
uint64_t read_drawn_rows(const core::RegressionData &d, uint32_t seed, int32_t steps);

}  // namespace bench
