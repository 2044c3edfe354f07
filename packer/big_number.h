// Unsigned integers of up to 16384 bits and arithmetic modulo an odd number, for checking
// signatures. Every number it handles is public, so nothing here takes care to run in constant
// time; it takes care to be right.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "byte_span.h"

namespace pack {

// 64-bit limbs, the least significant first. The numbers one operation takes have the same
// count of limbs: that of the modulus they belong to.
using Limbs = std::vector<uint64_t>;

constexpr size_t kMaxNumberLimbs = 16384 / 64;

// `bytes` (big-endian, leading zeros allowed) as `count` limbs; false when it needs more.
bool LimbsOf(ByteSpan bytes, size_t count, Limbs* out);
// `number` as `size` big-endian bytes; false when it needs more.
bool BytesOf(const Limbs& number, size_t size, std::vector<uint8_t>* out);
size_t BitLength(const Limbs& number);
bool IsZero(const Limbs& number);
// Below zero, zero or above as a < b, a == b or a > b; both of the same count of limbs.
int Compare(const Limbs& a, const Limbs& b);
// a - b, for a >= b of the same count of limbs.
Limbs Difference(const Limbs& a, const Limbs& b);

// Arithmetic modulo an odd m > 1, on numbers below m carried in Montgomery form: x as x·R mod m,
// R = 2^(64·limbs), so that a product is reduced without a division.
class Montgomery {
 public:
  // `modulus` odd, above 1 and of at most kMaxNumberLimbs significant limbs, as the caller has
  // checked; high zero limbs are dropped.
  explicit Montgomery(Limbs modulus);

  const Limbs& modulus() const { return m_; }
  size_t count() const { return m_.size(); }

  Limbs Enter(const Limbs& x) const { return Multiply(x, r_squared_); }  // x < m
  Limbs Leave(const Limbs& x) const;
  const Limbs& One() const { return one_; }
  Limbs Multiply(const Limbs& a, const Limbs& b) const;
  Limbs Add(const Limbs& a, const Limbs& b) const;
  Limbs Subtract(const Limbs& a, const Limbs& b) const;
  // The same on count() limbs at each pointer, for callers that keep numbers on the stack;
  // `out` may be `a` or `b`.
  void Multiply(const uint64_t* a, const uint64_t* b, uint64_t* out) const;
  void Add(const uint64_t* a, const uint64_t* b, uint64_t* out) const;
  void Subtract(const uint64_t* a, const uint64_t* b, uint64_t* out) const;
  // base^exponent: `base` in Montgomery form, `exponent` a plain number of any count of limbs.
  Limbs Power(const Limbs& base, const Limbs& exponent) const;
  // a^(m-2), the inverse of a nonzero `a` where m is prime.
  Limbs Inverse(const Limbs& a) const;

 private:
  Limbs m_;
  uint64_t m_inverse_ = 0;  // -1/m mod 2^64
  Limbs one_;               // R mod m
  Limbs r_squared_;         // R² mod m
};

}  // namespace pack
