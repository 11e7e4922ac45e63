// The instruction sets the dispatched kernels come in, detected once, when the library loads.
// Every version of every kernel makes exactly the scalar operations of the generic one (no fused
// multiply-add, no reordered sum), so the choice changes the speed and never a result.
#pragma once

namespace core {

enum class InstructionSet { kGeneric = 0, kAvx2 = 1, kAvx512f = 2, kAvx512vl = 3 };
constexpr int kInstructionSets = 4;

const char *name_of(InstructionSet s);

// Whether this processor runs code built for `s` (kGeneric: always).
bool processor_runs(InstructionSet s);

// The set the kernels of this process use: the widest the processor runs, or kGeneric when the
// environment variable STOCHL1_GENERIC_KERNELS is set to anything but "" or "0" (for tests that
// run everything on the generic versions).
InstructionSet chosen_instruction_set();

bool generic_kernels_forced();

}  // namespace core
