// DER, the encoding of certificates and signatures: a type, a length and a value, nested.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace pack {
namespace der {

using Bytes = std::vector<uint8_t>;

inline Bytes Tlv(uint8_t tag, const Bytes& value) {
  Bytes out{tag};
  const size_t size = value.size();
  if (size < 0x80) {
    out.push_back(static_cast<uint8_t>(size));
  } else {
    Bytes length;
    for (size_t rest = size; rest != 0; rest >>= 8) {
      length.insert(length.begin(), static_cast<uint8_t>(rest & 0xFF));
    }
    out.push_back(static_cast<uint8_t>(0x80 | length.size()));
    out.insert(out.end(), length.begin(), length.end());
  }
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline Bytes Sequence(std::initializer_list<Bytes> parts) { return Tlv(0x30, Cat(parts)); }

// A SET OF: its elements in the order of their encodings, as DER wants.
inline Bytes SetOf(std::vector<Bytes> elements, uint8_t tag = 0x31) {
  std::sort(elements.begin(), elements.end());
  Bytes content;
  for (const Bytes& element : elements) content.insert(content.end(), element.begin(), element.end());
  return Tlv(tag, content);
}

const Bytes kNull = {0x05, 0x00};
const Bytes kSha256 = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};

// Where one element of DER at `at` begins its value and ends, inside [at, end); false when it
// does not fit. For answers nobody vouches for.
inline bool Element(const uint8_t* at, const uint8_t* end, uint8_t* tag, const uint8_t** value,
                    const uint8_t** next) {
  if (end - at < 2) return false;
  *tag = at[0];
  size_t length = at[1];
  const uint8_t* start = at + 2;
  if (length & 0x80) {
    const size_t bytes = length & 0x7F;
    if (bytes == 0 || bytes > 4 || static_cast<size_t>(end - start) < bytes) return false;
    length = 0;
    for (size_t i = 0; i < bytes; ++i) length = length << 8 | start[i];
    start += bytes;
  }
  if (static_cast<size_t>(end - start) < length) return false;
  *value = start;
  *next = start + length;
  return true;
}

}  // namespace der
}  // namespace pack
