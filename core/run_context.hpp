// Everything one call shares with its solver: the data, whether to print, and where to print.
#pragma once

#include "core/printer.hpp"
#include "core/regression_data.hpp"

namespace core {

struct RunContext {
  const RegressionData &data;
  bool verbose = false;
  Printer out;
};

}  // namespace core
