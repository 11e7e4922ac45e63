#include "splitavg/elapsed.hpp"

#include <cmath>
#include <limits>

namespace splitavg {

double whole_seconds(double reading) {
  return std::trunc(reading);
}

unsigned long elapsed_seconds(double start_whole_seconds, double now) {
  const double elapsed = std::trunc(now - start_whole_seconds);
  if (!(elapsed > 0)) return 0;  // also NaN
  constexpr unsigned long kMax = std::numeric_limits<unsigned long>::max();
  // kMax as a double rounds up to 2^64; anything at or above it does not fit.
  if (elapsed >= static_cast<double>(kMax)) return kMax;
  return static_cast<unsigned long>(elapsed);
}

}  // namespace splitavg
