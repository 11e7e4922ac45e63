// How many processors are free of other processes' work now: a team that shares a processor with a
// busy job waits at every barrier for its turn there (beside a CPU-bound job, driftwalk's team of
// two took 4-5 times as long as one thread: bench/stochl1_bench drift beside `yes`), so a solver
// whose result does not depend on its team size runs on the free processors only. And whether the
// machine's memory lies on one node: where it lies on several, a page lives on the node of the
// thread that first wrote it, so rows written by a team are partly remote for a solver that steps
// on the calling thread alone; on one node, who writes them makes no difference.
#pragma once

#include <cstdint>

namespace core {

// The processors (omp_get_num_procs) less the threads of other processes ready to run now (the
// machine's running tasks of /proc/loadavg less this process's running threads, which are read
// only when something besides the calling thread runs), at least 1. Where /proc cannot be read,
// every processor counts as free, and so does every one of a process held to some of the
// machine's processors (the count cannot tell whose they are). About 5 µs on a quiet machine, 20-30 µs on a busy one.
int32_t free_processors();

// True when the kernel lists one node with memory (/sys/devices/system/node/has_memory); false
// where it lists several or cannot be read.
bool memory_on_one_node();

// Whether a node list as the kernel prints it ("0", "0-1", "0,2", with a newline) names one node.
bool names_one_node(const char *list);

#ifdef STOCHL1_TEST_SEAMS
// Test support: while alive, free_processors() returns `count` (0: the machine's own answer).
class FreeProcessorsForTests {
 public:
  explicit FreeProcessorsForTests(int32_t count);
  ~FreeProcessorsForTests();
  FreeProcessorsForTests(const FreeProcessorsForTests &) = delete;
  FreeProcessorsForTests &operator=(const FreeProcessorsForTests &) = delete;

 private:
  int32_t saved_;
};
#endif

}  // namespace core
