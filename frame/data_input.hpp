// X and y as the solvers see them.
#pragma once

#include <variant>

#include "core/data/regression_data.hpp"
#include "core/run/stop_check.hpp"
#include "core/sparse/sparse_rows.hpp"
#include "frame/call_shape.hpp"
#include "mex.h"

namespace frame {

// The data in the row layout the solvers take: full rows; for a sparse X compressed sparse rows
// (never anything of size N x D then), or full rows when X stores at least two thirds of its cells
// (no more memory, the same bits, faster steps). A gateway visits it once: from there on the layout
// is a type.
using ProblemData = std::variant<core::RegressionData, core::SparseRows>;

// How a module wants its dense rows built.
struct DataPlan {
  // The team that converts X (core::RowPlacement::threads): 0 for the call's default team, 1 for
  // the calling thread alone.
  int32_t threads = 1;
  // When set, full rows are written straight into this order of the samples (row k holds sample
  // order[k]; the conversion reuses the entries, see core::RowPlacement); sparse rows ignore it.
  int32_t *order = nullptr;
};

// The rows of X (full double or single, or sparse double or logical) and the labels of y (full
// double or single, or sparse double, taken as full(y)). Throws std::bad_alloc /
// std::length_error when they do not fit, core::NonFiniteValue for a NaN or an infinity (X before
// y) and core::MalformedSparse for compressed columns that describe no matrix. Asks `stop` as it
// converts and ends early (unfinished) once it says stop.
ProblemData build_data(const mxArray *X, const mxArray *y, const ProblemShape &shape, const core::StopCheck &stop,
                       const DataPlan &plan = {});

}  // namespace frame
