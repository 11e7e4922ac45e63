// Running out of memory, and other failures inside a call, as the call's errors rather than as
// exceptions leaving mexFunction (which would take some hosts down).
#pragma once

#include <exception>
#include <new>
#include <stdexcept>

#include "core/data/regression_data.hpp"
#include "core/sparse/sparse_rows.hpp"
#include "frame/call_error.hpp"
#include "frame/call_shape.hpp"
#include "frame/host.hpp"
#include "mex.h"

namespace frame {

// Runs the body; running out of memory inside it becomes an outOfMemory error and a NaN or an
// infinity in X or y a nonFiniteData error, raised once the body's objects are gone. Any other
// standard exception (a check inside the numerical code that the frame's own checks should have
// made unreachable) becomes an internalError. The host's own allocation failures (Octave raises
// them as errors from mxCreate*) are out of memory too.
template <typename Body>
void guard_memory(const ProblemShape &shape, CallError &err, Body &&body) {
  try {
    body();
  } catch (const core::NonFiniteValue &e) {
    err.set("nonFiniteData", "input %d (%s) must hold only finite values, but %s; remove or fill in such values first.",
            e.in_labels ? 2 : 1, e.in_labels ? "y" : "X", e.what());
  } catch (const core::MalformedSparse &e) {
    err.set(e.in_labels ? "invalidY" : "invalidX",
            "input %d (%s) is a sparse matrix whose compressed columns do not describe a matrix: %s.",
            e.in_labels ? 2 : 1, e.in_labels ? "y" : "X", e.what());
  } catch (const std::bad_alloc &) {
    set_out_of_memory(shape, err);
  } catch (const std::length_error &) {
    set_out_of_memory(shape, err);
  } catch (const std::exception &e) {
    if (host_exception_is_interrupt(e))
      answer_interrupt(err);
    else if (is_allocation_failure(e.what()))
      set_out_of_memory(shape, err);
    else
      err.set("internalError", "%s", without_module_prefix(err.module(), e.what()));
  }
}

// What a host's mxCreate* call returns, or null when it could not allocate: some hosts return null
// then, others (Octave) raise an error, which arrives here as an exception.
template <typename Create>
mxArray *host_create(Create &&create) {
  try {
    return create();
  } catch (const std::exception &e) {
    if (!is_allocation_failure(e.what())) throw;
    return nullptr;
  }
}

}  // namespace frame
