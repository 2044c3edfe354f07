// Whether a file is a program Windows starts on an x64 machine, judged from its headers alone:
// the packer's check of the setup program it is given, and the installer reader's of the one an
// installer would write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pack {

// Takes a file's bytes as they come, streamed in order or read by position, and keeps only what
// decides: the MZ header and the PE header it points to.
class ProgramHeaders {
 public:
  // Bytes [offset, offset + count) of the file. Each header is taken from its own start onwards,
  // so pieces that leave a gap before one are not kept.
  void See(uint64_t offset, const uint8_t* bytes, size_t count);

  struct Range {
    uint64_t offset = 0;
    size_t count = 0;
  };
  // What of a file of `size` bytes is still to be seen before Fault() can judge it; count 0 once
  // nothing is. The first 4 KiB come first (they hold both headers in any usual program), then
  // the PE header when it lies beyond them.
  Range Wanted(uint64_t size) const;

  // Why a file of `size` bytes, whatever Wanted() asked for seen, is no program for x64 or x86, as
  // the rest of a sentence about it: "is not a Windows program: no MZ header", "is a DLL, not a
  // program", "is for ARM64 (machine 0xAA64)". Empty when it is one.
  std::string Fault(uint64_t size) const;

 private:
  static constexpr size_t kMzHeader = 64;
  static constexpr size_t kPeHeader = 26;  // the signature, the file header, the optional magic
  static constexpr size_t kFirstRead = 4096;
  uint64_t PeOffset() const;

  uint8_t mz_[kMzHeader] = {};
  uint8_t pe_[kPeHeader] = {};
  size_t mz_seen_ = 0;  // of each header, how much from its start has been seen
  size_t pe_seen_ = 0;
};

}  // namespace pack
