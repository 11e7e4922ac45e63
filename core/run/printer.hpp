// Where a solver's messages go. The numerical code never talks to the host directly: the gateway
// points the printer at mexPrintf, tests point it at a string.
#pragma once

#include <string>

namespace core {

class Printer {
 public:
  using Sink = void (*)(void *target, const char *text);
  using Flush = void (*)(void *target);

  Printer() = default;
  Printer(Sink sink, void *target, Flush flush = nullptr) : sink_(sink), target_(target), flush_(flush) {}

  // Formats like printf and hands the text to the sink in one piece.
  void printf(const char *fmt, ...) const __attribute__((format(printf, 2, 3)));

  // A printer that appends to a string.
  static Printer to_string(std::string *text);

  // Asks the host to show what was printed now (a line that does not end in a newline is not
  // shown otherwise).
  void flush() const {
    if (flush_) flush_(target_);
  }

 private:
  Sink sink_ = nullptr;
  void *target_ = nullptr;
  Flush flush_ = nullptr;
};

}  // namespace core
