#include "core/threads/fork_copy.hpp"

#include <sys/mman.h>
#include <unistd.h>

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
    copy = owner != 0 && owner != me;
    if (!copy && owner == 0) mark_process();
    answered_for = me;
  }
  return copy;
}

}  // namespace core
