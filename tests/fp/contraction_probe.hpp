// Arithmetic compiled with fused multiply-add instructions available (see tests/CMakeLists.txt), so
// that only -ffp-contract=off keeps the compiler from fusing a * b + c into one rounding.
#pragma once

#include <cstdint>

namespace probe {

// a * b + c as written: the product rounded, then the sum rounded.
double multiply_add(double a, double b, double c);

// core::dot_product, instantiated in this translation unit.
double dot(const double *x, const double *w, int32_t D);

}  // namespace probe
