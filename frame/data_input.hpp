// X and y as the solvers see them.
#pragma once

#include "core/regression_data.hpp"
#include "core/stop_check.hpp"
#include "mex.h"
#include "frame/call_shape.hpp"

namespace frame {

// The rows of X and the labels of y (each double or single). Throws std::bad_alloc /
// std::length_error when they do not fit and core::NonFiniteValue for a NaN or an infinity. Asks
// `stop` as it converts and ends early (unfinished) once it says stop.
core::RegressionData build_data(const mxArray *X, const mxArray *y, const ProblemShape &shape,
                                const core::StopCheck &stop);

}  // namespace frame
