#include "image_writer.h"

#include <algorithm>
#include <cstring>

#include "bytes.h"
#include "pack_error.h"

namespace pack {
void ImageWriter::Fold(const uint8_t* data, size_t count) {
  // The sum is of little-endian 16-bit words at even file offsets. Adding the two 32-bit halves
  // of 64-bit words instead gives the same sum modulo 0xFFFF (2^16 and 2^32 are 1 there), which
  // the final fold keeps: a byte at a time, the sum once took longer than the kernel's copy.
  uint64_t sum = sum_;
  if (odd_ && count > 0) {
    sum += static_cast<uint64_t>(*data) << 8;
    ++data;
    --count;
    odd_ = false;
  }
  const size_t words = count / 8;
  uint64_t low = 0, high = 0;
  for (size_t i = 0; i < words; ++i) {
    uint64_t word;
    std::memcpy(&word, data + 8 * i, 8);
    // Both builds run on little-endian x86-64; the loop is the hot path of a large pack. Neither
    // half can overflow: an image is far below 2^32 words of eight bytes.
    low += word & 0xFFFFFFFFu;
    high += word >> 32;
  }
  sum += (low & 0xFFFFFFFFu) + (low >> 32) + (high & 0xFFFFFFFFu) + (high >> 32);
  data += 8 * words;
  count -= 8 * words;
  for (; count >= 2; data += 2, count -= 2) sum += Get16(data);
  if (count == 1) {
    sum += *data;
    odd_ = true;
  }
  // Keep the running sum far from overflow: fold whenever it grows past 48 bits.
  while (sum >> 48) sum = (sum & 0xFFFFFFFFull) + (sum >> 32);
  sum_ = sum;
}

void ImageWriter::Write(const void* data, size_t count) {
  Fold(static_cast<const uint8_t*>(data), count);
  out_.Write(data, count);
}

void ImageWriter::WriteUnfolded(const void* data, size_t count) {
  if (odd_ || count % 2 != 0) Fail("internal error: unfolded bytes at an odd offset");
  out_.Write(data, count);
}

void ImageWriter::Rewrite(uint64_t offset, const void* data, size_t count) {
  if (offset % 2 != 0 || count % 2 != 0) Fail("internal error: rewriting at an odd offset");
  out_.WriteAt(offset, data, count);
  const bool odd = odd_;
  odd_ = false;
  Fold(static_cast<const uint8_t*>(data), count);
  odd_ = odd;
}

void ImageWriter::WriteZeros(uint64_t count) {
  if (count % 2 == 1) odd_ = !odd_;
  out_.WriteZeros(count);
}

void ImageWriter::PadTo(uint64_t offset) {
  if (offset < out_.offset()) Fail("internal error: writing backwards");
  WriteZeros(offset - out_.offset());
}

void ImageWriter::Copy(InputFile& file, uint64_t size) {
  out_.AppendFrom(file, size, [this](const uint8_t* data, size_t count) { Fold(data, count); });
}

void ImageWriter::Copy(OutputFile& written, uint64_t size) {
  out_.AppendFrom(written, size, [this](const uint8_t* data, size_t count) { Fold(data, count); });
}

uint32_t ImageWriter::Checksum() const {
  uint64_t sum = sum_;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + out_.offset());
}

}  // namespace pack
