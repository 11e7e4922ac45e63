#include "core/kernels/kernels.hpp"

namespace core {

Kernels kernels_for(InstructionSet s) {
  return Kernels{s, step_kernels_for(s), transpose_kernel_for(s), batch_kernels_for(s), catch_up_kernel_for(s)};
}

const Kernels &kernels() {
  // Made once; making it allocates nothing, so a first use from inside a team is safe too.
  static const Kernels chosen = kernels_for(chosen_instruction_set());
  return chosen;
}

std::vector<Kernels> available_kernels() {
  std::vector<Kernels> out;
  for (int k = 0; k < kInstructionSets; ++k) {
    const InstructionSet s = static_cast<InstructionSet>(k);
    if (processor_runs(s)) out.push_back(kernels_for(s));
  }
  return out;
}

namespace {
// Made when the library loads, not in the middle of a first run.
[[maybe_unused]] const Kernels &made_at_load = kernels();
}  // namespace

}  // namespace core
