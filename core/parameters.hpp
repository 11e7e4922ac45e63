// How the modules read their scalar parameters.
#pragma once

#include <cstdint>

namespace core {

// An integer parameter: truncated toward zero into a 32-bit signed integer. NaN, infinities and
// values whose truncation lies outside the 32-bit range become the most negative value, -2^31.
int32_t to_int32_parameter(double value);

// Messages are printed only when verbose is exactly 1 after truncation.
inline bool is_verbose(int32_t verbose) {
  return verbose == 1;
}

}  // namespace core
