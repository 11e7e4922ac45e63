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

// The state `steps` draws after `state`, in about 64 steps whatever the count (the k-th power of
// the step, by squaring): so that threads can each take their own part of a long run of draws.
uint64_t rand_state_after(uint64_t state, uint64_t steps);

// Steps first .. last - 1 of the shuffle of which only p[0 .. b - 1] is kept (b <= first), from
// the generator's state before step first, with no generator of a thread involved: every hit[k]
// (k < b) that one of these steps places a j at ends holding the last such j; the others are left
// as they are, and hit[b] is scratch. Threads that take consecutive parts of the steps, each into
// its own hit, give the shuffle's head: at each position the last part's hit, else the head after
// steps 0 .. b - 1.
void shuffle_head_hits(uint64_t state, int32_t first, int32_t last, int32_t b, int32_t *hit);

// Whether the thread's draws follow a test's script (only in test builds), and so must be made
// through its generator one after another; and a count of draws made outside it, for the tests'
// totals.
bool draws_scripted(const ThreadRand &rand);
void count_draws(ThreadRand &rand, uint64_t n);

// draw_values, draw_shuffle_slots and draw_head_slots in the version built for one instruction
// set, on a bare generator state (tests run every version this processor runs).
struct DrawKernel {
  const char *name;
  void (*values)(uint64_t &state, int32_t count, int32_t *out);
  void (*slots)(uint64_t &state, int32_t first, int32_t count, int32_t *slot);
  void (*head)(uint64_t &state, int32_t first, int32_t count, int32_t b, int32_t *slot);
};
DrawKernel draw_kernel_for(InstructionSet s);

}  // namespace core
