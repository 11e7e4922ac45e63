// The exact sum of doubles, rounded once when it is read (or its mean, rounded once): what averaging the iterates of a
// run accumulates per weight. An exact sum does not depend on the order of its terms, so a layout that adds a run of
// iterates at once (sparse rows catching up the steps that did not touch a feature) gets the bits of one that adds them
// step by step (full rows).
//
// Every finite double is a whole multiple of 2^-1074 below 2^1024: the sum is held as a signed
// integer in that unit, in chunks of 32 bits kept in 64-bit words, so that a term adds into at most
// three chunks with no carry between them; the carries are settled every 2^29 additions and when the
// sum is read. Infinities and NaNs are counted apart and give what IEEE addition gives (+Inf and
// -Inf together: NaN). 552 bytes a sum.
#pragma once

#include <cstdint>

namespace core {

class ExactSum {
 public:
  void add(double x);
  // count * x, exactly: the sum of `count` terms equal to x.
  void add_times(double x, uint64_t count);
  // k * 2^(unit - 1074) with k < 2^118, negated when `negative`: the run sums of the lazy steps,
  // whose terms are whole numbers of units of one binade.
  void add_units(unsigned __int128 k, int32_t unit, bool negative);
  // The sum rounded to the nearest double (ties to even); +-Inf beyond the largest double.
  double value() const;
  // The sum divided by count (at least 1), rounded once to the nearest double (ties to even): the
  // mean of `count` terms, which lies within their range even where their sum would overflow.
  double mean(uint64_t count) const;

 private:
  static constexpr int kChunks = 68;  // 2176 bits: 2098 for the doubles' range, the rest headroom
  static constexpr uint32_t kSettleEvery = uint32_t{1} << 29;
  void deposit(unsigned __int128 bits, int32_t position, bool negative, int pieces);
  void counted();
  void settle();

  int64_t chunk_[kChunks] = {};
  uint32_t since_settled_ = 0;
  uint8_t nan_ = 0, plus_inf_ = 0, minus_inf_ = 0;
};

}  // namespace core
