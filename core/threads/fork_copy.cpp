#include "core/threads/fork_copy.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

namespace core {
namespace {

// The mark of a process that starts teams: a page of its own, named, holding the process id. The
// modules are loaded apart and share no variable, but every one of them reads the process's
// mappings. A copy made by fork has the page and the id of the process it copies; a program started
// by exec has neither.
constexpr char kMarkName[] = "stochl1-openmp-teams";
constexpr size_t kMarkBytes = 4096;

// The process id the mark holds, 0 where the process has none.
pid_t mark_owner() {
  std::ifstream maps("/proc/self/maps");
  const std::string name = std::string("/memfd:") + kMarkName;
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find(name) == std::string::npos) continue;
    const unsigned long start = std::strtoul(line.c_str(), nullptr, 16);
    if (start == 0) continue;
    pid_t owner = 0;
    std::memcpy(&owner, reinterpret_cast<const void *>(start), sizeof owner);
    return owner;
  }
  return 0;
}

void mark_process() {
  const int fd = memfd_create(kMarkName, MFD_CLOEXEC);
  if (fd < 0) return;
  if (ftruncate(fd, kMarkBytes) == 0) {
    void *const page = mmap(nullptr, kMarkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (page != MAP_FAILED) {
      const pid_t me = getpid();
      std::memcpy(page, &me, sizeof me);
      mprotect(page, kMarkBytes, PROT_READ);
    }
  }
  close(fd);
}

// The bytes of a small /proc file (at most n); -1 when it cannot be read.
ssize_t read_proc_file(const char *path, char *buffer, size_t n) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t got = 0;
  while (got < n) {
    const ssize_t r = read(fd, buffer + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  close(fd);
  return static_cast<ssize_t>(got);
}

// A copy made by fork has its parent's auxiliary vector to the byte (the addresses the kernel chose
// when the program started); a program started by exec has one of its own. This finds the copies of
// a process whose teams were not ours (another library's), while the parent lives.
bool auxiliary_vector_is_parents() {
  char own[4096], parents[4096], path[64];
  const ssize_t n = read_proc_file("/proc/self/auxv", own, sizeof own);
  std::snprintf(path, sizeof path, "/proc/%ld/auxv", static_cast<long>(getppid()));
  const ssize_t m = read_proc_file(path, parents, sizeof parents);
  return n > 0 && n == m && std::memcmp(own, parents, static_cast<size_t>(n)) == 0;
}

}  // namespace

bool fork_copy() {
  // Worked out once in each process (a copy has an id of its own).
  static std::mutex asking;
  static pid_t answered_for = 0;
  static bool copy = false;
  const std::lock_guard<std::mutex> lock(asking);
  const pid_t me = getpid();
  if (answered_for != me) {
    const pid_t owner = mark_owner();
    copy = (owner != 0 && owner != me) || auxiliary_vector_is_parents();
    if (!copy && owner == 0) mark_process();
    answered_for = me;
  }
  return copy;
}

}  // namespace core
