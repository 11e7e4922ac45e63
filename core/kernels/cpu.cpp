#include "core/kernels/cpu.hpp"

#include <cstdlib>
#include <cstring>

namespace core {
namespace {

struct Detected {
  bool runs[kInstructionSets] = {true, false, false, false};
  InstructionSet chosen = InstructionSet::kGeneric;
};

// Reads the processor's features once; allocates nothing, so a first use from inside a team is
// safe too.
const Detected &detected() {
  static const Detected d = [] {
    Detected out;
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    out.runs[1] = __builtin_cpu_supports("avx2") != 0;
    out.runs[2] = __builtin_cpu_supports("avx512f") != 0;
    out.runs[3] = out.runs[2] && __builtin_cpu_supports("avx512vl") != 0;
#endif
    if (!generic_kernels_forced())
      for (int k = 0; k < kInstructionSets; ++k)
        if (out.runs[k]) out.chosen = static_cast<InstructionSet>(k);
    return out;
  }();
  return d;
}

// Detected when the library loads, not in the middle of a first run.
[[maybe_unused]] const Detected &at_load = detected();

}  // namespace

const char *name_of(InstructionSet s) {
  switch (s) {
    case InstructionSet::kAvx2:
      return "avx2";
    case InstructionSet::kAvx512f:
      return "avx512f";
    case InstructionSet::kAvx512vl:
      return "avx512vl";
    default:
      return "generic";
  }
}

bool processor_runs(InstructionSet s) {
  return detected().runs[static_cast<int>(s)];
}

InstructionSet chosen_instruction_set() {
  return detected().chosen;
}

bool generic_kernels_forced() {
  const char *v = std::getenv("STOCHL1_GENERIC_KERNELS");
  return v && *v && std::strcmp(v, "0") != 0;
}

}  // namespace core
