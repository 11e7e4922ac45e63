// The generator behind the modules' rand()/srand(): one state per thread, as the C runtime's.
//
// Algorithm (pinned by a test vector):
//   state: 64-bit unsigned, one per thread (thread_local).
//   seed_thread_rand(s): state <- splitmix64(s), where
//       z <- s + 0x9E3779B97F4A7C15; z <- (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
//       z <- (z ^ (z >> 27)) * 0x94D049BB133111EB; splitmix64 = z ^ (z >> 31)
//     so that consecutive seeds (the parallel method reseeds with k + t) start unrelated.
//   thread_rand(): PCG-XSH-RR 64/32 (O'Neill 2014):
//       old <- state; state <- old * 6364136223846793005 + 1442695040888963407 (mod 2^64);
//       x <- uint32(((old >> 18) ^ old) >> 27); r <- old >> 59; out <- rotate_right(x, r);
//     the value is out >> 1, in 0 .. 2^31 - 1.
//   A thread that never seeded behaves as if seeded with 1.
//
// Test builds (STOCHL1_TEST_SEAMS, the libraries' _seams variants) also count the draws and can
// replace them by a script; the modules and benchmarks are built without, so that a draw is the
// generator's step and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace core {

constexpr int32_t kThreadRandMax = 0x7fffffff;
// One step of the state: state * kRandMultiplier + kRandIncrement (mod 2^64).
constexpr uint64_t kRandMultiplier = 6364136223846793005ull;
constexpr uint64_t kRandIncrement = 1442695040888963407ull;

// The value that the state `old` gives (PCG's XSH-RR output, halved into 0 .. 2^31 - 1).
inline int32_t rand_output(uint64_t old) {
  const uint32_t x = static_cast<uint32_t>(((old >> 18) ^ old) >> 27);
  const uint32_t r = static_cast<uint32_t>(old >> 59);
  const uint32_t out = (x >> r) | (x << ((32u - r) & 31u));
  return static_cast<int32_t>(out >> 1);
}

#ifdef STOCHL1_TEST_SEAMS
class ScriptedThreadRand;
#endif

// One thread's generator. Hot loops take a reference once (this_thread_rand()) and draw through it:
// from a dynamically loaded module every access to thread-local storage is a call into the runtime
// linker, which would otherwise be paid on every draw.
struct ThreadRand {
  uint64_t state;
#ifdef STOCHL1_TEST_SEAMS
  uint64_t draws = 0;
  ScriptedThreadRand *script = nullptr;
#endif

  inline int32_t next();
};

// The calling thread's generator; the reference stays valid for the life of the thread.
ThreadRand &this_thread_rand();

void seed_thread_rand(uint32_t seed);
inline int32_t thread_rand() {
  return this_thread_rand().next();
}

#ifdef STOCHL1_TEST_SEAMS
// Values drawn on the calling thread since it started (tests count the generator's consumption).
uint64_t thread_rand_draws();

// Test support: while alive, thread_rand() on the constructing thread returns the given values in
// order (then 0), instead of the generator's. Seeding is recorded but does not change the script.
class ScriptedThreadRand {
 public:
  explicit ScriptedThreadRand(std::vector<int32_t> values);
  ~ScriptedThreadRand();
  ScriptedThreadRand(const ScriptedThreadRand &) = delete;
  ScriptedThreadRand &operator=(const ScriptedThreadRand &) = delete;
  std::size_t consumed() const { return next_; }
  int32_t take() { return next_ < values_.size() ? values_[next_++] : 0; }

 private:
  std::vector<int32_t> values_;
  std::size_t next_ = 0;
};
#endif  // STOCHL1_TEST_SEAMS

inline int32_t ThreadRand::next() {
#ifdef STOCHL1_TEST_SEAMS
  ++draws;
  if (script) return script->take();
#endif
  const uint64_t old = state;
  state = old * kRandMultiplier + kRandIncrement;
  return rand_output(old);
}

}  // namespace core
