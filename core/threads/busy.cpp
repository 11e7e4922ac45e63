#include "core/threads/busy.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace core {
namespace {

#ifdef STOCHL1_TEST_SEAMS
int32_t g_free_for_tests = 0;
#endif

// A small /proc or /sys file read whole into `text` (NUL-terminated); false where it cannot be read.
bool read_small_file(const char *path, char *text, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = read(fd, text, size - 1);
  close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  return true;
}

// The tasks of the whole machine ready to run now (the running count of /proc/loadavg, "r/t" in its
// fourth field, the same count as /proc/stat's procs_running); -1 unread.
long running_tasks() {
  char text[256];
  if (!read_small_file("/proc/loadavg", text, sizeof text)) return -1;
  const char *p = text;
  for (int field = 0; field < 3 && p; ++field) {
    p = std::strchr(p, ' ');
    if (p) ++p;
  }
  return p ? std::strtol(p, nullptr, 10) : -1;
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
    if (!read_small_file(path, text, sizeof text)) continue;
    // "tid (name) S ...": the state follows the last ')' (a name may hold one).
    const char *close_paren = std::strrchr(text, ')');
    if (close_paren && close_paren[1] == ' ' && close_paren[2] == 'R') ++running;
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
  // The running count is the whole machine's: it says nothing about the processors of a process
  // held to some of them (taskset, a cpuset), which keeps every one it may use.
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (online > 0 && processors < online) return processors;
  const long all = running_tasks();
  if (all <= 1) return processors;  // the calling thread alone (or unread): no thread of ours to count
  const long ours = own_running_threads();
  if (ours < 0) return processors;
  // Read again after our threads: one of ours that went to sleep in between is not taken for
  // another process's work.
  const long again = running_tasks();
  const long others = std::min(all, again < 0 ? all : again) - ours;
  const long free = static_cast<long>(processors) - (others > 0 ? others : 0);
  return free < 1 ? 1 : static_cast<int32_t>(free);
}

bool names_one_node(const char *list) {
  const char *p = list;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  while (*p == '\n' || *p == ' ') ++p;
  return *p == '\0';  // a range ("0-1") or a second node ("0,2") follows otherwise
}

bool memory_on_one_node() {
  static const bool one = [] {
    char text[256];
    return read_small_file("/sys/devices/system/node/has_memory", text, sizeof text) && names_one_node(text);
  }();
  return one;
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
