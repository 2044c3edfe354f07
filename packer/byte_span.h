// A view of bytes nobody vouches for: every offset and length is checked against the view's own
// size before a byte is read, and a failed check reads nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "bytes.h"

namespace pack {

class ByteSpan {
 public:
  ByteSpan() = default;
  ByteSpan(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Whether [offset, offset + count) lies inside; no sum can wrap.
  bool Holds(uint64_t offset, uint64_t count) const {
    return offset <= size_ && count <= size_ - offset;
  }
  // The bytes [offset, offset + count), or false.
  bool Sub(uint64_t offset, uint64_t count, ByteSpan* out) const {
    if (!Holds(offset, count)) return false;
    *out = ByteSpan(data_ + offset, static_cast<size_t>(count));
    return true;
  }
  // From `offset` to the end, or an empty view past it.
  ByteSpan From(uint64_t offset) const {
    return offset >= size_ ? ByteSpan() : ByteSpan(data_ + offset, size_ - offset);
  }
  bool Read8(uint64_t offset, uint8_t* out) const {
    if (!Holds(offset, 1)) return false;
    *out = data_[offset];
    return true;
  }
  bool Read16(uint64_t offset, uint16_t* out) const {
    if (!Holds(offset, 2)) return false;
    *out = Get16(data_ + offset);
    return true;
  }
  bool Read32(uint64_t offset, uint32_t* out) const {
    if (!Holds(offset, 4)) return false;
    *out = Get32(data_ + offset);
    return true;
  }
  // 16-bit units from `offset`, `count` of them, as text.
  bool ReadUnits(uint64_t offset, uint64_t count, std::u16string* out) const {
    if (count > size_ / 2 || !Holds(offset, 2 * count)) return false;
    out->resize(static_cast<size_t>(count));
    for (size_t i = 0; i < count; ++i) (*out)[i] = static_cast<char16_t>(Get16(data_ + offset + 2 * i));
    return true;
  }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Tells the system that the pages of [data, data + size) are not wanted again soon, where they
// are a file's mapped pages (InputFile::Map): they stay in the page cache and come back if they
// are read again, but a pass over a large file no longer holds it all in the process's memory.
// Anything else (a buffer of the program's own) is left alone.
void ForgetPages(const uint8_t* data, size_t size);

// Hands `span` to `fold(data, size)` in order, a window at a time, forgetting each window's
// pages once it is folded.
template <typename Fold>
void ForEachWindow(ByteSpan span, Fold fold) {
  constexpr size_t kWindow = size_t{16} << 20;  // a multiple of every page and word size
  for (size_t at = 0; at < span.size(); at += kWindow) {
    const size_t count = span.size() - at < kWindow ? span.size() - at : kWindow;
    fold(span.data() + at, count);
    ForgetPages(span.data() + at, count);
  }
}

}  // namespace pack
