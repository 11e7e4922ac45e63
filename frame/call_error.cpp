#include "frame/call_error.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "frame/host.hpp"
#include "mex.h"

namespace frame {

void CallError::set(const char *reason, const char *fmt, ...) {
  std::snprintf(id_, sizeof id_, "%s:%s", module_, reason);
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(message_, sizeof message_, fmt, args);
  va_end(args);
}

void CallError::warn(const char *reason, const char *fmt, ...) {
  if (warning_count_ == kMaxWarnings) return;
  Message &m = warnings_[warning_count_++];
  std::snprintf(m.id, sizeof m.id, "%s:%s", module_, reason);
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(m.text, sizeof m.text, fmt, args);
  va_end(args);
}

void CallError::raise_if_set() const {
  host_pass_on_signal();
  for (int k = 0; k < warning_count_; ++k) mexWarnMsgIdAndTxt(warnings_[k].id, "%s", warnings_[k].text);
  if (raised()) mexErrMsgIdAndTxt(id_, "%s", message_);
}

const char *without_module_prefix(const char *module, const char *message) {
  const size_t n = std::strlen(module);
  while (std::strncmp(message, module, n) == 0 && message[n] == ':' && message[n + 1] == ' ') message += n + 2;
  return message;
}

bool is_allocation_failure(const char *message) {
  return std::strstr(message, "failed to allocate") || std::strstr(message, "out of memory") ||
         std::strstr(message, "memory exhausted");
}

}  // namespace frame
