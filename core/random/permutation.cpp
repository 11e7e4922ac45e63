#include "core/random/permutation.hpp"

namespace core {

void random_permutation(int32_t n, int32_t *p) {
  random_permutation(this_thread_rand(), n, p);
}

void random_permutation(ThreadRand &rand, int32_t n, int32_t *p, const StopCheck *stop) {
  for (int32_t j = 0; j < n; ++j) {
    if (stop && stop->poll(4)) return;
    const int32_t k = rand.next() % (j + 1);
    if (k != j) p[j] = p[k];  // when k = j the slot simply receives j
    p[k] = j;
  }
}

std::vector<int32_t> random_permutation(int32_t n) {
  std::vector<int32_t> p(static_cast<size_t>(n > 0 ? n : 0));
  random_permutation(n, p.data());
  return p;
}

}  // namespace core
