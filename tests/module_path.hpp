// Where the built modules are, for tests that load them.
#pragma once

#include <string>

inline std::string mexhost_module(const char *name) {
  return std::string(MEXHOST_MODULE_DIR) + "/" + name + ".mexa64";
}
inline std::string octave_module(const char *name) {
  return std::string(OCTAVE_MODULE_DIR) + "/" + name + ".mex";
}
