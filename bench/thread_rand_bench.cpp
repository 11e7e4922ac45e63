// The cost of one draw from the generator, the way the solvers draw (a reference taken once, then
// next() in the loop), and of the permutation built from draws. Built twice: as the modules are
// (thread_rand_bench) and with the test seams, the draw count and script (thread_rand_bench_seams),
// so that running both shows what the seams would cost the hot path.
//
//   thread_rand_bench [draws] [repeats]   prints "draw_ns <ns per draw>" and "permutation_ns <ns per element>"
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/harness.hpp"
#include "core/kernels/dense_steps.hpp"
#include "core/kernels/sparse_steps.hpp"
#include "core/random/permutation.hpp"
#include "core/random/thread_rand.hpp"

int main(int argc, char **argv) {
  const long draws = argc > 1 ? std::atol(argv[1]) : 100000000;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 7;
  core::seed_thread_rand(1);
  core::ThreadRand &rand = core::this_thread_rand();
  uint32_t sink = 0;
  const double t = bench::median_of(repeats, [&] {
    uint32_t s = 0;
    for (long k = 0; k < draws; ++k) s += static_cast<uint32_t>(rand.next()) % 1000u;  // as an index is drawn
    sink ^= s;
  });
  const int32_t n = 1000000;
  std::vector<int32_t> p(n);
  const double tp = bench::median_of(repeats, [&] {
    core::random_permutation(rand, n, p.data());
    sink ^= static_cast<uint32_t>(p[0]);
  });
  std::printf("draw_ns %.4f\npermutation_ns %.4f\nsink %u\n", t / static_cast<double>(draws) * 1e9, tp / n * 1e9, sink);
  return 0;
}
