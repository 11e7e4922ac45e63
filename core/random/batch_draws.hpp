// Many values of one thread's generator at once. The values themselves form a chain (each state is
// the one before times a constant plus a constant), but the state k steps ahead is one such step
// with other constants, so eight lanes can each run every eighth state. What the caller reduces
// them to (a shuffle's slot, rand() % (j + 1)) is exact integer arithmetic either way: the values,
// the slots and the generator's state afterwards are those of drawing one at a time.
#pragma once

#include <cstdint>

#include "core/kernels/cpu.hpp"
#include "core/random/thread_rand.hpp"

namespace core {

// The generator's next `count` values, as `count` calls of next() would give them.
void draw_values(ThreadRand &rand, int32_t count, int32_t *out);

// The slots of steps first .. first + count - 1 of the inside-out shuffle: value i of the next
// `count` reduced modulo first + i + 1. first >= 0, and first + count at most 2^31 - 1.
void draw_shuffle_slots(ThreadRand &rand, int32_t first, int32_t count, int32_t *slot);

// The same slots clamped to b (at most the slot, at most b): for a shuffle of which only the first b
// entries are kept.
void draw_head_slots(ThreadRand &rand, int32_t first, int32_t count, int32_t b, int32_t *slot);

// All three in the version built for one instruction set, on a bare generator state (tests run every
// version this processor runs).
struct DrawKernel {
  const char *name;
  void (*values)(uint64_t &state, int32_t count, int32_t *out);
  void (*slots)(uint64_t &state, int32_t first, int32_t count, int32_t *slot);
  void (*head)(uint64_t &state, int32_t first, int32_t count, int32_t b, int32_t *slot);
};
DrawKernel draw_kernel_for(InstructionSet s);

}  // namespace core
