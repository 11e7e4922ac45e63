#include "frame/data_input.hpp"

namespace frame {
namespace {

template <typename YReal>
core::RegressionData build_with_labels(const mxArray *X, const YReal *y, const ProblemShape &shape,
                                       const core::StopCheck &stop) {
  if (mxIsSingle(X))
    return core::make_regression_data(static_cast<const float *>(mxGetData(X)), shape.N, shape.D, y, &stop);
  return core::make_regression_data(static_cast<const double *>(mxGetData(X)), shape.N, shape.D, y, &stop);
}

}  // namespace

core::RegressionData build_data(const mxArray *X, const mxArray *y, const ProblemShape &shape,
                                const core::StopCheck &stop) {
  if (mxIsSingle(y)) return build_with_labels(X, static_cast<const float *>(mxGetData(y)), shape, stop);
  return build_with_labels(X, static_cast<const double *>(mxGetData(y)), shape, stop);
}

}  // namespace frame
