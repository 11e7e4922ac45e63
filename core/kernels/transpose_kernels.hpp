// The copy at the heart of the conversion of X into rows: a tile of X's columns written into the
// rows of its samples, in one version per instruction set (chosen once, as the step kernels are).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace core {

struct TransposeKernel {
  const char *name;
  // rows[i - i0][j] = X[i + j * n] for samples i0 <= i < i1 and features j0 <= j < j1; returns the
  // OR of the bits of v - v over the values copied, which is zero exactly when all are finite.
  uint64_t (*copy)(const double *X, std::size_t n, std::size_t i0, std::size_t i1, std::size_t j0, std::size_t j1,
                   double *const *rows);
};

// The version this process runs: AVX2 where the processor has it (and STOCHL1_GENERIC_KERNELS
// does not ask for the generic versions), else the generic one.
const TransposeKernel &transpose_kernel();

// Every version this processor can run, the generic one first (for tests).
std::vector<TransposeKernel> available_transpose_kernels();

}  // namespace core
