#include "core/thread_rand.hpp"

namespace core {
namespace {

struct ThreadState {
  uint64_t state;
  uint64_t draws = 0;
  ScriptedThreadRand *script = nullptr;
};

uint64_t splitmix64(uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

thread_local ThreadState t_rand{splitmix64(1)};

}  // namespace

void seed_thread_rand(uint32_t seed) { t_rand.state = splitmix64(seed); }

int32_t thread_rand() {
  ++t_rand.draws;
  if (ScriptedThreadRand *s = t_rand.script) {
    return s->next_ < s->values_.size() ? s->values_[s->next_++] : 0;
  }
  uint64_t old = t_rand.state;
  t_rand.state = old * 6364136223846793005ull + 1442695040888963407ull;
  uint32_t x = static_cast<uint32_t>(((old >> 18) ^ old) >> 27);
  uint32_t r = static_cast<uint32_t>(old >> 59);
  uint32_t out = (x >> r) | (x << ((32u - r) & 31u));
  return static_cast<int32_t>(out >> 1);
}

uint64_t thread_rand_draws() { return t_rand.draws; }

ScriptedThreadRand::ScriptedThreadRand(std::vector<int32_t> values) : values_(std::move(values)) {
  t_rand.script = this;
}
ScriptedThreadRand::~ScriptedThreadRand() {
  if (t_rand.script == this) t_rand.script = nullptr;
}

}  // namespace core
