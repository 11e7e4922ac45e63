// The noise source and the permutation written out step by step as they are described, without
// any tuning: the yardstick that the tuned versions must match value for value.
#pragma once

#include <cstdint>

namespace reference {

// Seeds a fresh subtract-with-carry engine from one value of core::thread_rand() (24 steps of the
// seeding generator, each with its 64-bit remainder), draws one Marsaglia polar pair and returns
// mean + sd * (first variate).
double gaussian_noise(double mean, double sd);

// Inside-out Fisher-Yates over p[0..n-1], k = core::thread_rand() % (j + 1).
void random_permutation(int32_t n, int32_t *p);

}  // namespace reference
