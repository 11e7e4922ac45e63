// Every dispatched kernel, in one table per instruction set (core/kernels/cpu.hpp). The table of the
// set this process runs is made once, when the library loads; tests run every table the processor
// can run against the generic one.
#pragma once

#include <vector>

#include "core/kernels/batch_kernels.hpp"
#include "core/kernels/catch_up_kernels.hpp"
#include "core/kernels/cpu.hpp"
#include "core/kernels/step_kernels.hpp"
#include "core/kernels/transpose_kernels.hpp"

namespace core {

struct Kernels {
  InstructionSet set;
  StepKernels step;           // kinkstep's and splitavg's step on a dense row
  TransposeKernel transpose;  // the conversion's tile copy
  BatchKernels batch;         // driftwalk's per-feature sums and step
  CatchUpKernel catch_up;     // the lazy L1 steps' long catch-ups, several at once
};

// The table of chosen_instruction_set().
const Kernels &kernels();

// The table of `s`.
Kernels kernels_for(InstructionSet s);

// The table of every set this processor runs, the generic one first.
std::vector<Kernels> available_kernels();

}  // namespace core
