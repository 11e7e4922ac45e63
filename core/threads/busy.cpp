#include "core/threads/busy.hpp"

#include <dirent.h>
#include <omp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace core {
namespace {

#ifdef STOCHL1_TEST_SEAMS
int32_t g_free_for_tests = 0;
#endif

// procs_running of /proc/stat: the tasks of the whole machine ready to run now; -1 unread.
long running_tasks() {
  FILE *f = std::fopen("/proc/stat", "r");
  if (!f) return -1;
  char line[256];
  long running = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "procs_running ", 14) == 0) running = std::strtol(line + 14, nullptr, 10);
  std::fclose(f);
  return running;
}

// This process's threads in state R (running or ready), from /proc/self/task/<tid>/stat.
long own_running_threads() {
  DIR *tasks = opendir("/proc/self/task");
  if (!tasks) return -1;
  long running = 0;
  while (const dirent *e = readdir(tasks)) {
    if (e->d_name[0] == '.') continue;
    char path[300], text[512];
    std::snprintf(path, sizeof path, "/proc/self/task/%s/stat", e->d_name);
    FILE *f = std::fopen(path, "r");
    if (!f) continue;
    const size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    // "tid (name) S ...": the state follows the last ')' (a name may hold one).
    const char *close = std::strrchr(text, ')');
    if (close && close[1] == ' ' && close[2] == 'R') ++running;
  }
  closedir(tasks);
  return running;
}

}  // namespace

int32_t free_processors() {
#ifdef STOCHL1_TEST_SEAMS
  if (g_free_for_tests > 0) return g_free_for_tests;
#endif
  const int32_t processors = omp_get_num_procs();
  const long all = running_tasks(), ours = own_running_threads();
  if (all < 0 || ours < 0) return processors;
  const long others = all > ours ? all - ours : 0;
  const long free = static_cast<long>(processors) - others;
  return free < 1 ? 1 : static_cast<int32_t>(free);
}

#ifdef STOCHL1_TEST_SEAMS
FreeProcessorsForTests::FreeProcessorsForTests(int32_t count) : saved_(g_free_for_tests) {
  g_free_for_tests = count;
}
FreeProcessorsForTests::~FreeProcessorsForTests() {
  g_free_for_tests = saved_;
}
#endif

}  // namespace core
