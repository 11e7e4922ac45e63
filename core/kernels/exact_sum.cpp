#include "core/kernels/exact_sum.hpp"

#include <cstring>
#include <limits>

namespace core {
namespace {

constexpr uint64_t kLow32 = 0xffffffffu;
constexpr uint64_t kHidden = uint64_t{1} << 52;

uint64_t bits_of(double x) {
  uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

double from_bits(uint64_t b) {
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

// Bit q of a settled, non-negative sum.
int bit_at(const int64_t *chunk, int32_t q) {
  return static_cast<int>((static_cast<uint64_t>(chunk[q >> 5]) >> (q & 31)) & 1u);
}

// Bits q .. q + n - 1 (n <= 64) of a settled, non-negative sum.
uint64_t bits_from(const int64_t *chunk, int32_t q, int n) {
  uint64_t out = 0;
  for (int k = 0; k < n; ++k) out |= static_cast<uint64_t>(bit_at(chunk, q + k)) << k;
  return out;
}

// Whether any bit below q is set.
bool any_below(const int64_t *chunk, int32_t q) {
  if (q <= 0) return false;
  const int32_t whole = q >> 5;
  for (int32_t c = 0; c < whole; ++c)
    if (chunk[c] != 0) return true;
  const int32_t rest = q & 31;
  return rest != 0 && (static_cast<uint64_t>(chunk[whole]) & ((uint64_t{1} << rest) - 1)) != 0;
}

}  // namespace

void ExactSum::counted() {
  // A deposit adds less than 2^33 to any chunk; 2^29 deposits stay below 2^62 beside a settled chunk.
  if (++since_settled_ >= kSettleEvery) settle();
}

void ExactSum::settle() {
  for (int c = 0; c + 1 < kChunks; ++c) {
    const int64_t carry = chunk_[c] >> 32;  // floor division by 2^32
    chunk_[c] -= carry * (int64_t{1} << 32);
    chunk_[c + 1] += carry;
  }
  since_settled_ = 0;
}

void ExactSum::deposit(unsigned __int128 bits, int32_t position, bool negative, int pieces) {
  const int32_t at = position >> 5, shift = position & 31;
  for (int p = 0; p < pieces; ++p) {
    const uint64_t piece = static_cast<uint64_t>(bits >> (32 * p)) & kLow32;
    if (piece == 0) continue;
    const uint64_t moved = piece << shift;  // below 2^63
    const int64_t low = static_cast<int64_t>(moved & kLow32), high = static_cast<int64_t>(moved >> 32);
    if (negative) {
      chunk_[at + p] -= low;
      chunk_[at + p + 1] -= high;
    } else {
      chunk_[at + p] += low;
      chunk_[at + p + 1] += high;
    }
  }
  counted();
}

void ExactSum::add(double x) {
  const uint64_t b = bits_of(x);
  const bool negative = (b >> 63) != 0;
  int32_t e = static_cast<int32_t>((b >> 52) & 0x7ff);
  uint64_t m = b & (kHidden - 1);
  if (e == 0x7ff) {
    if (m != 0)
      nan_ = 1;
    else if (negative)
      minus_inf_ = 1;
    else
      plus_inf_ = 1;
    return;
  }
  if (e == 0) {
    if (m == 0) return;
    e = 1;
  } else {
    m |= kHidden;
  }
  // m * 2^(e - 1) units: at most 84 bits once shifted into place, three chunks.
  const int32_t position = e - 1;
  const int32_t at = position >> 5;
  const unsigned __int128 v = static_cast<unsigned __int128>(m) << (position & 31);
  const int64_t c0 = static_cast<int64_t>(static_cast<uint64_t>(v) & kLow32);
  const int64_t c1 = static_cast<int64_t>(static_cast<uint64_t>(v >> 32) & kLow32);
  const int64_t c2 = static_cast<int64_t>(static_cast<uint64_t>(v >> 64));
  if (negative) {
    chunk_[at] -= c0;
    chunk_[at + 1] -= c1;
    chunk_[at + 2] -= c2;
  } else {
    chunk_[at] += c0;
    chunk_[at + 1] += c1;
    chunk_[at + 2] += c2;
  }
  counted();
}

void ExactSum::add_times(double x, uint64_t count) {
  if (count == 0) return;
  const uint64_t b = bits_of(x);
  const bool negative = (b >> 63) != 0;
  int32_t e = static_cast<int32_t>((b >> 52) & 0x7ff);
  uint64_t m = b & (kHidden - 1);
  if (e == 0x7ff) {
    add(x);
    return;
  }
  if (e == 0) {
    if (m == 0) return;
    e = 1;
  } else {
    m |= kHidden;
  }
  add_units(static_cast<unsigned __int128>(m) * count, e - 1, negative);
}

void ExactSum::add_units(unsigned __int128 k, int32_t unit, bool negative) {
  if (k == 0) return;
  deposit(k, unit, negative, 4);
}

double ExactSum::value() const {
  return mean(1);
}

double ExactSum::mean(uint64_t count) const {
  if (nan_ || (plus_inf_ && minus_inf_)) return std::numeric_limits<double>::quiet_NaN();
  if (plus_inf_) return std::numeric_limits<double>::infinity();
  if (minus_inf_) return -std::numeric_limits<double>::infinity();
  ExactSum s = *this;
  s.settle();
  const bool negative = s.chunk_[kChunks - 1] < 0;
  if (negative) {
    for (int64_t &c : s.chunk_) c = -c;
    s.settle();
  }
  // Long division of the magnitude by count, chunk by chunk from the top, the quotient in place.
  // Once the quotient's bits down to one below its 53rd are known, the rest only tells whether
  // anything is left: a sticky bit, as is what is left below one unit.
  int64_t *const chunk = s.chunk_;
  int32_t top = kChunks - 1;
  while (top >= 0 && chunk[top] == 0) --top;
  unsigned __int128 left = 0;
  int32_t p = -1;  // the quotient's leading bit, once found
  bool rest = false;
  for (int32_t c = top; c >= 0; --c) {
    const unsigned __int128 part = (left << 32) | static_cast<uint64_t>(chunk[c]);
    if (count <= kLow32) {  // below 2^64: a 64-bit division
      const uint64_t narrow = static_cast<uint64_t>(part);
      chunk[c] = static_cast<int64_t>(narrow / count);
      left = narrow % count;
    } else {
      chunk[c] = static_cast<int64_t>(static_cast<uint64_t>(part / count));
      left = part % count;
    }
    if (p < 0 && chunk[c] != 0) p = 32 * c + 63 - __builtin_clzll(static_cast<uint64_t>(chunk[c]));
    if (p >= 53 && 32 * c <= p - 53) {
      for (int32_t b = 0; b < c; ++b) {
        rest = rest || chunk[b] != 0;
        chunk[b] = 0;
      }
      break;
    }
  }
  rest = rest || left != 0;
  uint64_t bits;
  if (p < 53) {
    // Below 2^-1021 every whole number of units is a double whose bits are that number; the part
    // of a unit left decides the rounding (a half to even).
    bits = p < 0 ? 0 : bits_from(chunk, 0, 53);
    const unsigned __int128 twice = left * 2;
    if (twice > count || (twice == count && (bits & 1))) ++bits;
    if (bits == 0 && !rest) return 0.0;  // an exact zero is +0, as x + (-x) is in round-to-nearest
  } else {
    int32_t q = p;
    uint64_t M = bits_from(chunk, q - 52, 53);
    const int round = bit_at(chunk, q - 53);
    const bool sticky = rest || any_below(chunk, q - 53);
    if (round && (sticky || (M & 1))) {
      ++M;
      if (M == (uint64_t{1} << 53)) {
        M >>= 1;
        ++q;
      }
    }
    const int64_t E = static_cast<int64_t>(q) - 51;  // M * 2^(q - 52) units is M * 2^(E - 1075)
    if (E >= 0x7ff)
      return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    bits = (static_cast<uint64_t>(E) << 52) | (M & (kHidden - 1));
  }
  const double magnitude = from_bits(bits);
  return negative ? -magnitude : magnitude;
}

}  // namespace core
