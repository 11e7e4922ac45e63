// The two uses of the calling thread's generator: a uniform sample index and a random permutation.
#pragma once

#include <cstdint>
#include <vector>

#include "core/random/thread_rand.hpp"
#include "core/run/stop_check.hpp"

namespace core {

// Inside-out Fisher-Yates: p[j] <- p[k]; p[k] <- j with k = rand() % (j + 1), exactly n draws.
void random_permutation(int32_t n, int32_t *p);
// With `stop`, asks it as the draws are made and ends early (p unfinished) once it says stop.
void random_permutation(ThreadRand &rand, int32_t n, int32_t *p, const StopCheck *stop = nullptr);
std::vector<int32_t> random_permutation(int32_t n);

// A uniform sample index, rand() % N. N must be at least 1.
inline int32_t draw_sample(int32_t N) {
  return thread_rand() % N;
}

}  // namespace core
