// The error a call raises and the warnings it gives, kept until everything the call allocated is
// gone: a host's error jumps out of mexFunction without unwinding it.
#pragma once

namespace frame {

// Fixed buffers: it owns no memory. A host may turn a warning into an error.
class CallError {
 public:
  explicit CallError(const char *module) : module_(module) {}
  void set(const char *reason, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
  // A warning `module:reason`; a call gives at most kMaxWarnings, further ones are dropped.
  void warn(const char *reason, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
  bool raised() const { return id_[0] != '\0'; }
  const char *module() const { return module_; }
  // Gives the warnings, then raises the error in the host if one was set; does not return then.
  void raise_if_set() const;

 private:
  struct Message {
    char id[96] = {0};
    char text[512] = {0};
  };
  static constexpr int kMaxWarnings = 4;
  const char *module_;
  char id_[96] = {0};
  char message_[512] = {0};
  Message warnings_[kMaxWarnings];
  int warning_count_ = 0;
};

// `message` without a leading "module: " (hosts put the module's name in front of every message
// they raise, so a message that already has it would show it twice).
const char *without_module_prefix(const char *module, const char *message);

// Whether a host's error message reports that it could not allocate memory.
bool is_allocation_failure(const char *message);

}  // namespace frame
