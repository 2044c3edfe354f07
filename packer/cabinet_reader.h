// The setup program's cabinet read back as the installer expands it: the first file of the
// cabinet, whatever its name, from its folder's MSZIP (or stored) data blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "byte_span.h"

namespace pack {

struct CabinetContents {
  std::string name;        // the first file's stored name
  uint32_t declared_size = 0;
  uint64_t blocks = 0;     // data blocks decoded
};

// Decodes every data block of the first file's folder, checking each block's checksum and size,
// and hands the first file's bytes to `sink` in order, at most 32 KiB at a time. Empty on
// success, else why the cabinet cannot be expanded (the bytes handed over so far are then not
// the whole file). Holds two blocks of memory whatever the cabinet's size.
std::string ReadCabinet(ByteSpan cabinet, const std::function<void(const uint8_t*, size_t)>& sink,
                        CabinetContents* contents);

}  // namespace pack
