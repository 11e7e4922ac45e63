// libFuzzer target: the fuzzer's bytes choose the module and every part of the call; any wrong
// answer aborts. Built only with clang (STOCHL1_FUZZ=ON); see scripts/fuzz.
#include <omp.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "campaign/call_builder.hpp"
#include "test_support.hpp"

namespace {

struct Loaded {
  const campaign::ModuleModel *model;
  std::unique_ptr<mexhost::Module> module;
};

std::vector<Loaded> &loaded_modules() {
  static std::vector<Loaded> modules = [] {
    // The OpenMP runtime comes with the program, not with the first module: its per-thread state
    // then lives where the leak check at exit looks for it.
    (void)omp_get_max_threads();
    std::vector<Loaded> v;
    for (const campaign::ModuleModel &m : campaign::module_models()) {
      try {
        v.push_back({&m, std::make_unique<mexhost::Module>(mexhost_module(m.name))});
      } catch (const std::exception &e) {
        std::fprintf(stderr, "skipping %s: %s\n", m.name.c_str(), e.what());
      }
    }
    return v;
  }();
  return modules;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<Loaded> &modules = loaded_modules();
  if (modules.empty()) return 0;
  campaign::BytesChooser choose(data, size);
  const Loaded &target = modules[choose.pick(static_cast<uint32_t>(modules.size()))];
  campaign::GeneratedCall call = campaign::generate(*target.model, choose);
  const long live = mexhost::live_arrays();
  mexhost::CallResult r = target.module->call(call.nlhs, call.pointers());
  const std::string fault = campaign::check(*target.model, call, r, live);
  if (!fault.empty()) {
    std::fprintf(stderr, "FAULT %s: %s\n", target.model->name.c_str(), fault.c_str());
    std::abort();
  }
  return 0;
}
