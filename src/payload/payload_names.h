// The payload scan without its platform calls: the order of the payload types, which slot a named
// resource fills, whether its name may become a file name in the work directory, when the
// enumeration of a type ends, and the exit code the scan ends with. No platform call, so it also
// builds and is fuzzed natively, and the packer compiles it to judge an installer as it will judge
// itself.
#pragma once

#include <stdint.h>

#include "support/wide_string.h"

// The platform's error numbers for a rejected name, so that this builds without its headers.
constexpr uint32_t kErrorFileNotFound = 2;           // ERROR_FILE_NOT_FOUND: a piece missing
constexpr uint32_t kErrorInvalidData = 13;          // ERROR_INVALID_DATA: neither kind of name
constexpr uint32_t kErrorTooManyNames = 68;         // ERROR_TOO_MANY_NAMES: a second of a kind
constexpr uint32_t kErrorInvalidName = 123;         // ERROR_INVALID_NAME: not a plain file name
constexpr uint32_t kErrorFilenameExcedRange = 206;  // ERROR_FILENAME_EXCED_RANGE: over kMaxPath

// The exit codes a scan can end with, so that this builds without the driver's header.
constexpr uint32_t kUnableToExtractArchive = 112;  // UNABLE_TO_EXTRACT_ARCHIVE
constexpr uint32_t kUnableToExtractSetup = 115;    // UNABLE_TO_EXTRACT_SETUP

// The string types that hold the payload, in the order they are scanned.
constexpr size_t kPayloadTypeCount = 3;
extern const wchar_t* const kPayloadTypes[kPayloadTypeCount];

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

// Takes one name as the enumeration of a payload type hands it over (null for an integer
// identifier), with the resource it names as found, loaded and locked: null `data` or `size` 0
// when any of that failed. Whether the enumeration of the type goes on. A resource that cannot be
// used ends it silently, and so does an integer identifier: the directory lists a type's named
// entries before its integer ones, so by then every named resource has been taken, but an empty
// named one hides those after it. A rejected name ends it with `error` set (VisitPayloadResource).
bool TakePayloadResource(PayloadResources& resources, const wchar_t* name, const void* data,
                         uint64_t size);

struct PayloadOutcome {
  uint32_t exit_code;
  uint32_t extra_code;
};

// After the enumeration of kPayloadTypes[type], each in turn: {0, 0} to go on to the next type
// (after the last one: both pieces found), else the exit code the scan ends with. A rejection is
// the archive's (kUnableToExtractArchive) until an earlier type held the archive, the setup
// program's after; then a piece missing after the last type. The tags, empty on entry, take the
// type each piece was first found in.
PayloadOutcome EndPayloadType(const PayloadResources& resources, size_t type,
                              TypeTag& archive_type, TypeTag& setup_type);
