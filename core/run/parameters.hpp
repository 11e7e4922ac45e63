// How the modules read their scalar parameters.
#pragma once

#include <cstddef>
#include <cstdint>

namespace core {

// An integer parameter: truncated toward zero into a 32-bit signed integer. NaN, infinities and
// values whose truncation lies outside the 32-bit range become the most negative value, -2^31.
int32_t to_int32_parameter(double value);

// An integer parameter's value as the caller gave it, for messages: "NaN", "Inf", "2.5", or
// "2147483648, outside the 32-bit range" when its truncation does not fit.
void describe_given_integer(double value, char *buf, size_t size);

// Messages are printed only when verbose is exactly 1 after truncation.
inline bool is_verbose(int32_t verbose) {
  return verbose == 1;
}

}  // namespace core
