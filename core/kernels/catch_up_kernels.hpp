// The catch-ups of the lazy L1 steps (core/kernels/l1_catchup.hpp) of a sparse step's features,
// several at once, in one version per instruction set.
#pragma once

#include <cstdint>

#include "core/kernels/cpu.hpp"

namespace core {

// A feature of a lazy L1 run: its weight beside the step it was last brought up to date at, so
// that a touched feature costs one cache line.
struct LazyFeature {
  double w = 0.0;
  uint64_t last = 0;
};

struct CatchUpKernel {
  const char *name;
  // f[j].w <- l1_catch_up(f[j].w, a, behind[k]) for j = columns[k], k < count (distinct columns),
  // the same bits; f[j].last is left as it is.
  void (*catch_up)(LazyFeature *f, const int32_t *columns, const uint64_t *behind, int64_t count, double a);
  // The same with prox_catch_up (the proximal step's untouched steps, which make a zero +0), a >= 0.
  void (*prox_catch_up)(LazyFeature *f, const int32_t *columns, const uint64_t *behind, int64_t count, double a);
  // How many steps' catch-ups a solver takes together (LazyL1Steps::catch_up_ahead): enough features
  // to fill the lanes; 1 where taking them one by one is as fast.
  int steps_together;
};

// The version built for `s`. The vector one takes every weight of a group of up to 32 through one
// binade a turn, side by side and without branching on the values: one catch-up after another,
// each binade's chain of dependent operations and the unpredictable number of binades add up.
// Below 8a, where a binade holds a step or a few, it takes plain steps instead of turns. It
// needs AVX-512's quadword conversions (AVX512DQ) besides AVX512VL; processors without them take
// the AVX2 one, and processors without AVX2 the generic one.
CatchUpKernel catch_up_kernel_for(InstructionSet s);

}  // namespace core
