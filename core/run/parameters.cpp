#include "core/run/parameters.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

namespace core {

int32_t to_int32_parameter(double value) {
  constexpr int32_t kInvalid = std::numeric_limits<int32_t>::min();
  if (!std::isfinite(value)) return kInvalid;
  const double t = std::trunc(value);
  if (t < -2147483648.0 || t > 2147483647.0) return kInvalid;
  return static_cast<int32_t>(t);
}

void describe_given_integer(double value, char *buf, size_t size) {
  if (std::isnan(value)) {
    std::snprintf(buf, size, "NaN");
  } else if (std::isinf(value)) {
    std::snprintf(buf, size, value > 0 ? "Inf" : "-Inf");
  } else {
    const double t = std::trunc(value);
    const bool fits = t >= -2147483648.0 && t <= 2147483647.0;
    std::snprintf(buf, size, "%.17g%s", value, fits ? "" : ", outside the 32-bit range");
  }
}

}  // namespace core
