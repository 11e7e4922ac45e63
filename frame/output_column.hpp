// The weights as the call's first output.
#pragma once

#include <vector>

#include "mex.h"
#include "frame/call_error.hpp"

namespace frame {

// A D x 1 double column holding w; null if the host could not create it.
mxArray *make_column(const std::vector<double> &w);

// Stores w as the call's result in plhs[0], or sets an error if the host cannot create it.
void store_column(mxArray *plhs[], const std::vector<double> &w, CallError &err);

}  // namespace frame
