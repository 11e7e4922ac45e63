#include "core/threads/fork_copy.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

namespace core {
namespace {

// The mark of a process that starts teams: a page of its own, named, holding a tag and the process
// id. The modules are loaded apart and share no variable, but every one of them reads the process's
// mappings. A copy made by fork has the page and the id of the process it copies; a program started
// by exec has neither.
constexpr char kMarkName[] = "stochl1-openmp-teams";
constexpr size_t kMarkBytes = 4096;
constexpr uint64_t kMarkTag = 0x73746f63686c3101;  // "stochl1", then the layout below (1)
struct Mark {
  uint64_t tag;
  int64_t pid;
};

// The process id the mark holds, 0 where the process has none. Only a readable mapping of the
// mark's exact name, large enough and tagged, is read.
pid_t mark_owner() {
  std::ifstream maps("/proc/self/maps");
  const std::string path = std::string("/memfd:") + kMarkName + " (deleted)";
  std::string line;
  while (std::getline(maps, line)) {
    if (line.size() < path.size() || line.compare(line.size() - path.size(), path.size(), path) != 0) continue;
    std::istringstream fields(line);
    unsigned long start = 0, end = 0;
    char dash = 0;
    std::string permissions;
    if (!(fields >> std::hex >> start >> dash >> end >> permissions) || dash != '-' || permissions.empty() ||
        permissions[0] != 'r' || end < start || end - start < sizeof(Mark))
      continue;
    Mark mark;
    std::memcpy(&mark, reinterpret_cast<const void *>(start), sizeof mark);
    if (mark.tag == kMarkTag) return static_cast<pid_t>(mark.pid);
  }
  return 0;
}

void mark_process() {
  const int fd = memfd_create(kMarkName, MFD_CLOEXEC);
  if (fd < 0) return;
  if (ftruncate(fd, kMarkBytes) == 0) {
    void *const page = mmap(nullptr, kMarkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (page != MAP_FAILED) {
      const Mark mark{kMarkTag, static_cast<int64_t>(getpid())};
      std::memcpy(page, &mark, sizeof mark);
      mprotect(page, kMarkBytes, PROT_READ);
    }
  }
  close(fd);
}

}  // namespace

bool fork_copy() {
  // Worked out once in each process by each module (a copy has an id of its own). The first
  // process id that asked here also tells a copy where the mark cannot be made or read (no memfd,
  // no /proc), as long as this module was the one that asked before the fork.
  static std::mutex asking;
  static pid_t first_asked = 0, answered_for = 0;
  static bool copy = false;
  const std::lock_guard<std::mutex> lock(asking);
  const pid_t me = getpid();
  if (first_asked == 0) first_asked = me;
  if (answered_for != me) {
    const pid_t owner = mark_owner();
    copy = (owner != 0 && owner != me) || first_asked != me;
    if (!copy && owner == 0) mark_process();
    answered_for = me;
  }
  return copy;
}

}  // namespace core
