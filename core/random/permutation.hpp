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

// The first b entries of the permutation above into p[0 .. b - 1], from the same n draws (b is
// taken into 0 .. n); the rest is never formed. p has room for b + 1 entries: p[b] is scratch.
// With `stop`, as above.
void random_permutation_head(ThreadRand &rand, int32_t n, int32_t b, int32_t *p, const StopCheck *stop = nullptr);

// A uniform sample index, rand() % N. N must be at least 1.
inline int32_t draw_sample(int32_t N) {
  return thread_rand() % N;
}

}  // namespace core
