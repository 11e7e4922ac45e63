#include "core/random/permutation.hpp"

#include <algorithm>

#include "core/random/batch_draws.hpp"

namespace core {
namespace {

// The slots are drawn a block at a time (side by side in vector registers), then used in order.
constexpr int32_t kSlotBlock = 512;

}  // namespace

void random_permutation(int32_t n, int32_t *p) {
  random_permutation(this_thread_rand(), n, p);
}

void random_permutation(ThreadRand &rand, int32_t n, int32_t *p, const StopCheck *stop) {
  int32_t slot[kSlotBlock];
  // (Stepped by the count, never past n: n may be 2^31 - 1.)
  for (int32_t first = 0, count = 0; first < n; first += count) {
    count = std::min(kSlotBlock, n - first);
    if (stop && stop->poll(4 * static_cast<uint64_t>(count))) return;
    draw_shuffle_slots(rand, first, count, slot);
    for (int32_t i = 0; i < count; ++i) {
      const int32_t j = first + i, k = slot[i];
      if (k != j) p[j] = p[k];  // when k = j the slot simply receives j
      p[k] = j;
    }
  }
}

// Steps 0 .. b - 1 touch only p[0 .. b - 1], so they are the shuffle of b. A later step j moves
// p[k] out to position j >= b, from where no later step brings it back (step j' reads p[k'] only
// to place it at j'), and puts j at k: so the head ends with the last j placed at each of its
// positions, and the rest of the permutation need not exist.
void random_permutation_head(ThreadRand &rand, int32_t n, int32_t b, int32_t *p, const StopCheck *stop) {
  b = std::max(0, std::min(b, n));
  random_permutation(rand, b, p, stop);
  int32_t slot[kSlotBlock];
  for (int32_t first = b, count = 0; first < n; first += count) {
    count = std::min(kSlotBlock, n - first);
    if (stop && stop->poll(static_cast<uint64_t>(count))) return;
    draw_head_slots(rand, first, count, b, slot);
    for (int32_t i = 0; i < count; ++i) p[slot[i]] = first + i;  // p[b] when it falls outside
  }
}

std::vector<int32_t> random_permutation(int32_t n) {
  std::vector<int32_t> p(static_cast<size_t>(n > 0 ? n : 0));
  random_permutation(n, p.data());
  return p;
}

}  // namespace core
