#include "core/parameters.hpp"

#include <cmath>
#include <limits>

namespace core {

int32_t to_int32_parameter(double value) {
  constexpr int32_t kInvalid = std::numeric_limits<int32_t>::min();
  if (!std::isfinite(value)) return kInvalid;
  const double t = std::trunc(value);
  if (t < -2147483648.0 || t > 2147483647.0) return kInvalid;
  return static_cast<int32_t>(t);
}

}  // namespace core
