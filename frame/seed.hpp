// The seed of a call.
#pragma once

#include <cstdint>

#include "frame/options.hpp"

namespace frame {

// The calendar time in seconds, truncated to 32 bits: the seed of every time-seeded call.
uint32_t time_seed();

// opts.seed when given, else the calendar time.
inline uint32_t call_seed(const CallOptions &options) {
  return options.has_seed ? options.seed : time_seed();
}

}  // namespace frame
