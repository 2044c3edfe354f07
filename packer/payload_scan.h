// The installer's own scan of its payload resources, compiled from the stub's sources: what it
// finds as the archive and the setup program, or the exit code it would end with instead.
// Plain types only: the implementation is built with the stub's 16-bit wchar_t on every host.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string_view>

namespace pack {

// One entry of a resource type as EnumResourceNamesW lists it, of any type, in directory order,
// with what the installer's FindResourceW then finds for it. The scan picks the payload types
// from them itself, in its own order.
struct PayloadName {
  std::u16string_view type;
  bool is_id = false;      // an integer identifier, which ends the scan of its type
  std::u16string_view name;  // as handed over: no further than a NUL it may hold
  uint64_t size = 0;       // of what FindResourceW finds for the name; 0 for nothing
  long found = -1;         // the caller's index of that resource, or -1
};

struct PayloadVerdict {
  uint32_t exit_code = 0;  // 0: the installer goes on to run setup; else 112 or 115
  uint32_t error = 0;      // the installer's extra code: 2, 13, 68, 123 or 206
  // In the names given: the one the scan stopped at (error 13, 68, 123 or 206), or -1.
  long rejected = -1;
  bool rejected_archive = false;  // error 68: the second is an archive, not a setup program
  long archive = -1;  // the names found, or -1
  long setup = -1;
};

PayloadVerdict ScanPayload(const PayloadName* names, size_t count);

// Whether resources of this type are scanned as payload ("B7", "BL", "BN").
bool IsPayloadType(std::u16string_view type);

}  // namespace pack
