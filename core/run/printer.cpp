#include "core/run/printer.hpp"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace core {

void Printer::printf(const char *fmt, ...) const {
  if (!sink_) return;
  char small[256];
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, fmt, args);
  va_end(args);
  if (n < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    va_end(copy);
    sink_(target_, small);
    return;
  }
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), fmt, copy);
  va_end(copy);
  sink_(target_, big.data());
}

Printer Printer::to_string(std::string *text) {
  return Printer([](void *target, const char *s) { static_cast<std::string *>(target)->append(s); }, text);
}

}  // namespace core
