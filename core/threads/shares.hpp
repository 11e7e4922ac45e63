// The cut of N sample positions into T contiguous shares, one per thread: the shares of
// splitavg's pass, and the blocks of rows the conversion's team writes (each thread writes the rows
// its share will read, so that their pages are first touched by that thread).
#pragma once

#include <cstdint>

namespace core {

// The inclusive range of positions share t of T holds; empty when start > end.
struct Share {
  int32_t start = 0;
  int32_t end = -1;
  bool empty() const { return start > end; }
  int32_t size() const { return empty() ? 0 : end - start + 1; }
};

// Every share but the last takes chunk = floor(N / T) positions from t * chunk on; the last also
// takes the rest, N - (T - 1) * chunk.
inline Share chunk_bounds(int32_t N, int32_t T, int32_t t) {
  const int32_t chunk = N / T;
  Share s;
  s.start = t * chunk;  // t < T, so t * chunk <= N: no overflow
  s.end = (t == T - 1) ? N - 1 : (t + 1) * chunk - 1;
  return s;
}

}  // namespace core
