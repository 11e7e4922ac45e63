// kinkstep's parameters, as both methods take them.
#pragma once

#include <cstdint>

#include "core/run/fit_options.hpp"

namespace kinkstep {

struct Parameters {
  double stepSize = 0.0;
  double lambda = 0.0;
  int32_t maxIter = 0;
  const core::FitOptions *options = nullptr;  // null: the defined run
};

}  // namespace kinkstep
