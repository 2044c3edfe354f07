#include "launch/registry_string.h"

#include "support/wide_string.h"

long TerminateStringValue(uint32_t type, uint32_t bytes_stored, wchar_t* buffer,
                          size_t capacity) {
  if (type != kRegistryStringType) return kErrorNotSupported;
  const size_t characters = bytes_stored / 2;  // an odd last byte is not a character
  // The query never stores more than the buffer holds; a count that says otherwise is not trusted.
  if (characters > capacity) return kErrorMoreData;
  if (characters == 0) {
    if (capacity == 0) return kErrorMoreData;
    buffer[0] = 0;
    return 0;
  }
  if (buffer[characters - 1] == 0) return 0;
  if (characters >= capacity) return kErrorMoreData;
  buffer[characters] = 0;
  return 0;
}

void StripEnclosingQuotes(wchar_t* buffer, size_t capacity) {
  const size_t length = SafeStrLen(buffer, capacity);
  if (length < 2 || buffer[0] != L'"' || buffer[length - 1] != L'"') return;
  // Moved one place down by hand: the string need not be terminated inside the capacity, and a
  // copy would then read past it.
  for (size_t i = 0; i + 2 < length; ++i) buffer[i] = buffer[i + 1];
  buffer[length - 2] = 0;
}
