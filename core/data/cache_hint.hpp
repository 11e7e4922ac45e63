// Hints that memory is wanted soon, for the loops that know their next rows and weights ahead.
#pragma once

#include <cstdint>

namespace core {

// Asks for the cache line holding p (for writing: fetch_line_for_write). The empty volatile asm is
// a side effect the compiler must keep: GCC otherwise takes a function whose only effect is a
// prefetch for one without effects and deletes its calls before inlining them (a look-ahead
// helper with a loop lost every prefetch that way).
inline void fetch_line(const void *p) {
  __builtin_prefetch(p, 0);
  asm volatile("");
}
inline void fetch_line_for_write(const void *p) {
  __builtin_prefetch(p, 1);
  asm volatile("");
}

// Every cache line of [begin, end): a short row rarely starts on a line's edge.
template <typename Fetch>
inline void each_line(const void *begin, const void *end, Fetch fetch) {
  constexpr uintptr_t kLine = 64;
  for (uintptr_t p = reinterpret_cast<uintptr_t>(begin) & ~(kLine - 1); p < reinterpret_cast<uintptr_t>(end);
       p += kLine)
    fetch(reinterpret_cast<const void *>(p));
}
inline void fetch_lines(const void *begin, const void *end) {
  each_line(begin, end, fetch_line);
}
inline void fetch_lines_for_write(const void *begin, const void *end) {
  each_line(begin, end, fetch_line_for_write);
}

}  // namespace core
