#include "big_number.h"

#include <utility>

namespace pack {
namespace {

__extension__ typedef unsigned __int128 Wide;

uint64_t Low(Wide value) { return static_cast<uint64_t>(value); }
uint64_t High(Wide value) { return static_cast<uint64_t>(value >> 64); }

// out = a - b over `count` limbs, any of them the same; the borrow out of the top.
uint64_t Sub(const uint64_t* a, const uint64_t* b, uint64_t* out, size_t count) {
  uint64_t borrow = 0;
  for (size_t i = 0; i < count; ++i) {
    const Wide difference = static_cast<Wide>(a[i]) - b[i] - borrow;
    out[i] = Low(difference);
    borrow = High(difference) != 0;
  }
  return borrow;
}

// out = a + b over `count` limbs, any of them the same; the carry out of the top.
uint64_t Sum(const uint64_t* a, const uint64_t* b, uint64_t* out, size_t count) {
  uint64_t carry = 0;
  for (size_t i = 0; i < count; ++i) {
    const Wide sum = static_cast<Wide>(a[i]) + b[i] + carry;
    out[i] = Low(sum);
    carry = High(sum);
  }
  return carry;
}

bool Below(const uint64_t* a, const uint64_t* b, size_t count) {
  for (size_t i = count; i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i];
  }
  return false;
}

}  // namespace

bool LimbsOf(ByteSpan bytes, size_t count, Limbs* out) {
  out->assign(count, 0);
  const uint8_t* data = bytes.data();
  for (size_t k = 0; k < bytes.size(); ++k) {
    const uint8_t byte = data[bytes.size() - 1 - k];
    if (byte == 0) continue;
    if (k / 8 >= count) return false;
    (*out)[k / 8] |= static_cast<uint64_t>(byte) << (8 * (k % 8));
  }
  return true;
}

bool BytesOf(const Limbs& number, size_t size, std::vector<uint8_t>* out) {
  if ((BitLength(number) + 7) / 8 > size) return false;
  out->assign(size, 0);
  for (size_t k = 0; k < size && k / 8 < number.size(); ++k) {
    (*out)[size - 1 - k] = static_cast<uint8_t>(number[k / 8] >> (8 * (k % 8)));
  }
  return true;
}

size_t BitLength(const Limbs& number) {
  for (size_t i = number.size(); i-- > 0;) {
    if (number[i] != 0) return 64 * i + 64 - __builtin_clzll(number[i]);
  }
  return 0;
}

bool IsZero(const Limbs& number) { return BitLength(number) == 0; }

int Compare(const Limbs& a, const Limbs& b) {
  if (Below(a.data(), b.data(), a.size())) return -1;
  return Below(b.data(), a.data(), a.size()) ? 1 : 0;
}

Limbs Difference(const Limbs& a, const Limbs& b) {
  Limbs out(a.size());
  Sub(a.data(), b.data(), out.data(), out.size());
  return out;
}

Montgomery::Montgomery(Limbs modulus) : m_(std::move(modulus)) {
  while (m_.size() > 1 && m_.back() == 0) m_.pop_back();
  // Newton's step doubles the bits of the inverse that are right; an odd number is its own
  // inverse modulo 8.
  uint64_t inverse = m_[0];
  for (int i = 0; i < 5; ++i) inverse *= 2 - m_[0] * inverse;
  m_inverse_ = 0 - inverse;

  // R mod m: from 2^(bits - 1), which is below m (odd and above 1), doubled up to 2^(64·limbs).
  const size_t count = m_.size(), bits = BitLength(m_);
  one_.assign(count, 0);
  one_[(bits - 1) / 64] = uint64_t{1} << ((bits - 1) % 64);
  for (size_t doubling = bits - 1; doubling < 64 * count; ++doubling) one_ = Add(one_, one_);
  // R² mod m is the Montgomery form of 2^(64·limbs): that power of the form of 2.
  r_squared_ = Power(Add(one_, one_), Limbs{64 * count});
}

// Coarsely integrated operand scanning: each limb of b multiplied in and one limb of m's
// multiple added to clear the lowest limb, which is then shifted out. For a, b < m the sum stays
// below 2m, so one subtraction reduces it.
void Montgomery::Multiply(const uint64_t* a, const uint64_t* b, uint64_t* out) const {
  const size_t count = m_.size();
  const uint64_t* m = m_.data();
  uint64_t t[kMaxNumberLimbs + 2];
  for (size_t j = 0; j < count + 2; ++j) t[j] = 0;
  for (size_t i = 0; i < count; ++i) {
    uint64_t carry = 0;
    for (size_t j = 0; j < count; ++j) {
      const Wide sum = static_cast<Wide>(a[j]) * b[i] + t[j] + carry;
      t[j] = Low(sum);
      carry = High(sum);
    }
    Wide sum = static_cast<Wide>(t[count]) + carry;
    t[count] = Low(sum);
    t[count + 1] = High(sum);
    const uint64_t q = t[0] * m_inverse_;
    carry = High(static_cast<Wide>(q) * m[0] + t[0]);
    for (size_t j = 1; j < count; ++j) {
      sum = static_cast<Wide>(q) * m[j] + t[j] + carry;
      t[j - 1] = Low(sum);
      carry = High(sum);
    }
    sum = static_cast<Wide>(t[count]) + carry;
    t[count - 1] = Low(sum);
    t[count] = t[count + 1] + High(sum);
  }
  if (t[count] != 0 || !Below(t, m, count)) Sub(t, m, t, count);
  for (size_t j = 0; j < count; ++j) out[j] = t[j];
}

void Montgomery::Add(const uint64_t* a, const uint64_t* b, uint64_t* out) const {
  const size_t count = m_.size();
  if (Sum(a, b, out, count) != 0 || !Below(out, m_.data(), count)) Sub(out, m_.data(), out, count);
}

void Montgomery::Subtract(const uint64_t* a, const uint64_t* b, uint64_t* out) const {
  const size_t count = m_.size();
  if (Sub(a, b, out, count) != 0) Sum(out, m_.data(), out, count);
}

Limbs Montgomery::Multiply(const Limbs& a, const Limbs& b) const {
  Limbs out(m_.size());
  Multiply(a.data(), b.data(), out.data());
  return out;
}

Limbs Montgomery::Add(const Limbs& a, const Limbs& b) const {
  Limbs out(m_.size());
  Add(a.data(), b.data(), out.data());
  return out;
}

Limbs Montgomery::Subtract(const Limbs& a, const Limbs& b) const {
  Limbs out(m_.size());
  Subtract(a.data(), b.data(), out.data());
  return out;
}

Limbs Montgomery::Leave(const Limbs& x) const {
  Limbs unit(m_.size(), 0);
  unit[0] = 1;
  return Multiply(x, unit);
}

Limbs Montgomery::Power(const Limbs& base, const Limbs& exponent) const {
  Limbs result = one_;
  for (size_t bit = BitLength(exponent); bit-- > 0;) {
    Multiply(result.data(), result.data(), result.data());
    if (exponent[bit / 64] >> (bit % 64) & 1) Multiply(result.data(), base.data(), result.data());
  }
  return result;
}

Limbs Montgomery::Inverse(const Limbs& a) const {
  Limbs two(m_.size(), 0);
  two[0] = 2;
  return Power(a, Difference(m_, two));
}

}  // namespace pack
