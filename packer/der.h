// DER, the encoding of certificates and signatures: a type, a length and a value, nested.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "byte_span.h"

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


// Reading DER that nobody vouches for, one element at a time.
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNullTag = 0x05;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kUtcTime = 0x17;
constexpr uint8_t kGeneralizedTime = 0x18;
constexpr uint8_t kSequenceTag = 0x30;
constexpr uint8_t kSetTag = 0x31;
constexpr uint8_t kContext0 = 0xA0;  // [0], constructed
constexpr uint8_t kContext1 = 0xA1;

struct Node {
  uint8_t tag = 0;
  ByteSpan content;
  ByteSpan whole;  // tag and length too: what identifies a name or serial number
  std::string Bytes() const {
    return std::string(reinterpret_cast<const char*>(content.data()), content.size());
  }
};

// One definite-length element from the front of `rest`, which then holds what follows.
inline bool Take(ByteSpan* rest, Node* out) {
  uint8_t tag, first;
  if (!rest->Read8(0, &tag) || (tag & 0x1F) == 0x1F || !rest->Read8(1, &first)) return false;
  uint64_t length = first, header = 2;
  if (first & 0x80) {
    const unsigned count = first & 0x7F;
    if (count == 0 || count > 4) return false;  // indefinite, or past what a file can hold
    length = 0;
    for (unsigned i = 0; i < count; ++i) {
      uint8_t byte;
      if (!rest->Read8(2 + i, &byte)) return false;
      length = length << 8 | byte;
    }
    header += count;
  }
  if (!rest->Sub(header, length, &out->content) || !rest->Sub(0, header + length, &out->whole)) {
    return false;
  }
  out->tag = tag;
  *rest = rest->From(header + length);
  return true;
}

// The element that must come next, of tag `tag`.
inline bool Expect(ByteSpan* rest, uint8_t tag, Node* out) {
  return Take(rest, out) && out->tag == tag;
}

}  // namespace der
}  // namespace pack
