#include "frame/data_input.hpp"

#include <exception>
#include <vector>

namespace frame {
namespace {

template <typename YReal>
ProblemData build_with_labels(const mxArray *X, const YReal *y, const ProblemShape &shape, const core::StopCheck &stop,
                              const DataPlan &plan) {
  if (!shape.sparse) {
    const core::RowPlacement placement{plan.order, plan.threads};
    if (mxIsSingle(X))
      return core::make_regression_data(static_cast<const float *>(mxGetData(X)), shape.N, shape.D, y, &stop,
                                        placement);
    return core::make_regression_data(static_cast<const double *>(mxGetData(X)), shape.N, shape.D, y, &stop, placement);
  }
  const mwIndex *jc = mxGetJc(X), *ir = mxGetIr(X);
  const size_t capacity = static_cast<size_t>(mxGetNzmax(X));
  if (core::fills_densely(jc, capacity, shape.N, shape.D)) {
    if (mxIsLogical(X)) return core::make_dense_rows(jc, ir, mxGetLogicals(X), capacity, shape.N, shape.D, y, &stop);
    return core::make_dense_rows(jc, ir, mxGetPr(X), capacity, shape.N, shape.D, y, &stop);
  }
  if (mxIsLogical(X))
    return core::make_sparse_rows(jc, ir, mxGetLogicals(X), capacity, shape.N, shape.D, y, &stop, plan.threads);
  return core::make_sparse_rows(jc, ir, mxGetPr(X), capacity, shape.N, shape.D, y, &stop, plan.threads);
}

}  // namespace

ProblemData build_data(const mxArray *X, const mxArray *y, const ProblemShape &shape, const core::StopCheck &stop,
                       const DataPlan &plan) {
  if (mxIsSingle(y)) return build_with_labels(X, static_cast<const float *>(mxGetData(y)), shape, stop, plan);
  if (!mxIsSparse(y)) return build_with_labels(X, static_cast<const double *>(mxGetData(y)), shape, stop, plan);
  // A sparse y: its first N values, zeros filled in. A NaN or an infinity there is named only
  // once X is known to hold none, as for a full y.
  std::vector<double> labels;
  std::exception_ptr bad_label;
  try {
    labels = core::sparse_leading_values(mxGetJc(y), mxGetIr(y), mxGetPr(y), static_cast<size_t>(mxGetNzmax(y)),
                                         mxGetM(y), mxGetN(y), static_cast<size_t>(shape.N), &stop);
    if (stop.stopped()) return ProblemData{};
  } catch (const core::NonFiniteValue &) {
    bad_label = std::current_exception();
    if (!core::resize_asking(labels, static_cast<size_t>(shape.N), &stop)) return ProblemData{};
  } catch (const core::MalformedSparse &e) {
    throw core::MalformedSparse(e.what(), true);
  }
  ProblemData d = build_with_labels(X, labels.data(), shape, stop, plan);
  if (bad_label) std::rethrow_exception(bad_label);
  return d;
}

}  // namespace frame
