// Which payload slot a named resource fills, and whether its name may become a file name in the
// work directory. Pure text work: no platform call, so it also builds and is fuzzed natively.
#pragma once

#include <stdint.h>

#include "support/wide_string.h"

// The platform's error numbers for a rejected name, so that this builds without its headers.
constexpr uint32_t kErrorInvalidData = 13;          // ERROR_INVALID_DATA: neither kind of name
constexpr uint32_t kErrorTooManyNames = 68;         // ERROR_TOO_MANY_NAMES: a second of a kind
constexpr uint32_t kErrorInvalidName = 123;         // ERROR_INVALID_NAME: not a plain file name
constexpr uint32_t kErrorFilenameExcedRange = 206;  // ERROR_FILENAME_EXCED_RANGE: over kMaxPath

// One piece of the payload. It is filled once its size is not 0; `data` is a view into the
// loaded image, never a copy.
struct PayloadSlot {
  PathString name;
  const void* data = nullptr;
  uint64_t size = 0;
};

// The state of one scan over the payload types.
struct PayloadResources {
  PayloadSlot archive;
  PayloadSlot setup;
  uint32_t error = 0;
};

// Records one named resource of `size` bytes (not 0: the caller passes over empty ones). A name
// beginning with "tamrel" (ASCII letters in any case) goes to the archive slot, else one beginning
// with "setup" to the setup slot. Checked in this order, the first failure setting `error`:
// neither prefix kErrorInvalidData, the slot already filled kErrorTooManyNames, the name with its
// terminator longer than kMaxPath kErrorFilenameExcedRange, a '\\', '/' or ':' in it
// kErrorInvalidName. False on a rejection, which leaves both slots as they were; `error` is not
// touched on success. The name is read no further than its terminator or kMaxPath + 1 slots.
bool VisitPayloadResource(PayloadResources& resources, const wchar_t* name, const void* data,
                          uint64_t size);
