// Turning a registry string value, as the query left it in a fixed buffer, into the previous
// setup program's path. Pure text work: no platform call.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The registry's own type and error numbers, so that this builds without the platform headers.
constexpr uint32_t kRegistryStringType = 1;        // REG_SZ
constexpr long kErrorNotSupported = 50;             // ERROR_NOT_SUPPORTED
constexpr long kErrorMoreData = 234;                // ERROR_MORE_DATA

// Makes `buffer` (capacity slots, of which the query filled `bytes_stored` bytes) a terminated
// string. The registry does not promise a terminator: a value stored without one gets it at the
// end of the data when a slot is left for it. Returns 0, kErrorNotSupported for any type but
// REG_SZ (REG_EXPAND_SZ included), or kErrorMoreData when no terminator fits. On an error the
// buffer is left as it was.
long TerminateStringValue(uint32_t type, uint32_t bytes_stored, wchar_t* buffer, size_t capacity);

// Removes one pair of double quotes that encloses the whole string; any other string (a quoted
// path followed by arguments, a lone quote) stays as it is. Two quotes alone become empty.
void StripEnclosingQuotes(wchar_t* buffer, size_t capacity);
