// The installer's own scan of its payload resources, compiled from the stub's sources: what it
// finds as the archive and the setup program, or the exit code it would end with instead.
// Plain types only: the implementation is built with the stub's 16-bit wchar_t on every host.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace pack {

// A named resource of one of the payload types, in the order the installer enumerates them:
// "B7", then "BL", then "BN", each type's names as the resource directory sorts them.
struct PayloadName {
  int type;  // 0 "B7", 1 "BL", 2 "BN"
  const char16_t* name;
  size_t length;  // in UTF-16 units, without a terminator
  uint64_t size;
};

struct PayloadVerdict {
  uint32_t exit_code = 0;  // 0: the installer goes on to run setup; else 112 or 115
  uint32_t error = 0;      // the installer's extra code: 2, 13, 68, 123 or 206
  // The resource the scan stopped at (error 13, 68, 123 or 206), or -1.
  long rejected = -1;
  bool rejected_archive = false;  // error 68: the second is an archive, not a setup program
  long archive = -1;  // the resources found, or -1
  long setup = -1;
};

PayloadVerdict ScanPayload(const PayloadName* names, size_t count);

}  // namespace pack
