// Throws many random, mostly wrong, calls at each built module through mexhost and checks every
// answer: the right result or an error of the module's own, nothing printed that should not be,
// nothing left behind. Usage: bad_input_campaign [--calls N] [--seed S] [--module NAME]...
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "campaign/call_builder.hpp"
#include "test_support.hpp"

int main(int argc, char **argv) {
  long calls = 20000;
  uint64_t seed = 1;
  std::vector<std::string> names;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (arg == "--calls" && k + 1 < argc)
      calls = std::atol(argv[++k]);
    else if (arg == "--seed" && k + 1 < argc)
      seed = std::strtoull(argv[++k], nullptr, 10);
    else if (arg == "--module" && k + 1 < argc)
      names.push_back(argv[++k]);
    else {
      std::fprintf(stderr, "usage: %s [--calls N] [--seed S] [--module NAME]...\n", argv[0]);
      return 2;
    }
  }
  if (names.empty())
    for (const auto &m : campaign::module_models()) names.push_back(m.name);

  long faults = 0;
  for (const std::string &name : names) {
    const campaign::ModuleModel *model = campaign::find_model(name);
    if (!model) {
      std::fprintf(stderr, "unknown module %s\n", name.c_str());
      return 2;
    }
    mexhost::Module module(mexhost_module(name));
    campaign::SeededChooser choose(seed);
    long errors = 0, results = 0, module_faults = 0;
    for (long k = 0; k < calls; ++k) {
      const long live = mexhost::live_arrays();
      campaign::GeneratedCall call = campaign::generate(*model, choose);
      const long live_with_inputs = mexhost::live_arrays();
      mexhost::CallResult r = module.call(call.nlhs, call.pointers());
      const std::string fault = campaign::check(*model, call, r, live_with_inputs);
      (r.failed ? errors : results)++;
      if (!fault.empty() && ++module_faults <= 10)
        std::printf("FAULT %s call %ld (seed %llu): %s\n", name.c_str(), k, static_cast<unsigned long long>(seed),
                    fault.c_str());
      r.outputs.clear();
      call.inputs.clear();
      if (mexhost::live_arrays() != live && ++module_faults <= 10)
        std::printf("FAULT %s call %ld: arrays left after the call\n", name.c_str(), k);
    }
    std::printf("%s: %ld calls, %ld errors, %ld results, %ld faults\n", name.c_str(), calls, errors, results,
                module_faults);
    faults += module_faults;
  }
  return faults == 0 ? 0 : 1;
}
