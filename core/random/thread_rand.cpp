#include "core/random/thread_rand.hpp"

namespace core {
namespace {

uint64_t splitmix64(uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

thread_local ThreadRand t_rand{splitmix64(1)};

}  // namespace

void seed_thread_rand(uint32_t seed) {
  t_rand.state = splitmix64(seed);
}

ThreadRand &this_thread_rand() {
  return t_rand;
}

#ifdef STOCHL1_TEST_SEAMS
uint64_t thread_rand_draws() {
  return t_rand.draws;
}

ScriptedThreadRand::ScriptedThreadRand(std::vector<int32_t> values) : values_(std::move(values)) {
  t_rand.script = this;
}
ScriptedThreadRand::~ScriptedThreadRand() {
  if (t_rand.script == this) t_rand.script = nullptr;
}
#endif  // STOCHL1_TEST_SEAMS

}  // namespace core
