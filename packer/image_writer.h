// The installer's bytes as they are written, in order, with the PE checksum kept over them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "file_io.h"

namespace pack {

// Writes the installer from its first byte on, keeping the PE checksum (the 16-bit one's
// complement sum the loader and signing tools check) over everything written.
class ImageWriter {
 public:
  explicit ImageWriter(OutputFile& out) : out_(out) {}
  void Write(const void* data, size_t count);
  // Bytes that change before the end (headers that wait on a size): written now, counted in
  // the checksum only as Rewrite() leaves them. Both take an even count at an even offset.
  void WriteUnfolded(const void* data, size_t count);
  void Rewrite(uint64_t offset, const void* data, size_t count);
  void WriteZeros(uint64_t count);
  void PadTo(uint64_t offset);
  // Copies `size` bytes of a file, folding them into the checksum as they land.
  void Copy(InputFile& file, uint64_t size);
  void Copy(OutputFile& written, uint64_t size);
  uint64_t offset() const { return out_.offset(); }
  // The checksum of everything written, plus the file's length; the checksum field itself must
  // have been written as zero.
  uint32_t Checksum() const;
  OutputFile& file() { return out_; }

 private:
  void Fold(const uint8_t* data, size_t count);

  OutputFile& out_;
  uint64_t sum_ = 0;
  bool odd_ = false;  // an odd number of bytes so far: the next byte is a word's high half
};

}  // namespace pack
