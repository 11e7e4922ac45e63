// The copy at the heart of the conversion of X into rows: a tile of X's columns written into the
// rows of its samples, in one version per instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/kernels/cpu.hpp"

namespace core {

struct TransposeKernel {
  const char *name;
  // rows[i - i0][j] = X[i + j * n] for samples i0 <= i < i1 and features j0 <= j < j1; returns the
  // OR of the bits of v - v over the values copied, which is zero exactly when all are finite.
  uint64_t (*copy)(const double *X, std::size_t n, std::size_t i0, std::size_t i1, std::size_t j0, std::size_t j1,
                   double *const *rows);
};

// The version built for `s`: AVX2 for every wider set too.
TransposeKernel transpose_kernel_for(InstructionSet s);

}  // namespace core
