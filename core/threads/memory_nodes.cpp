#include "core/threads/memory_nodes.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>

namespace core {

bool names_one_node(const char *list) {
  const char *p = list;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  while (*p == '\n' || *p == ' ') ++p;
  return *p == '\0';  // a range ("0-1") or a second node ("0,2") follows otherwise
}

bool memory_on_one_node() {
  static const bool one = [] {
    const int fd = open("/sys/devices/system/node/has_memory", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[256];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return false;
    text[n] = '\0';
    return names_one_node(text);
  }();
  return one;
}

}  // namespace core
