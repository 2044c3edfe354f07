#include "support/wide_string.h"

namespace {

wchar_t FoldAscii(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c | 0x0020) : c;
}

// Copies up to `room` characters; true when the terminator was among them.
bool CopyBounded(wchar_t* destination, size_t room, const wchar_t* source) {
  for (size_t i = 0; i < room; ++i) {
    destination[i] = source[i];
    if (source[i] == 0) return true;
  }
  return false;
}

}  // namespace

size_t SafeStrLen(const wchar_t* string, size_t capacity) {
  if (string == nullptr || capacity < 2) return 0;
  for (size_t i = 0; i + 1 < capacity; ++i) {
    if (string[i] == 0) return i;
  }
  return capacity - 1;
}

bool SafeStrCopy(wchar_t* destination, size_t capacity, const wchar_t* source) {
  if (destination == nullptr || capacity == 0) return false;
  if (CopyBounded(destination, capacity, source)) return true;
  destination[0] = 0;
  return false;
}

bool SafeStrCat(wchar_t* destination, size_t capacity, const wchar_t* source) {
  const size_t start = SafeStrLen(destination, capacity);
  if (destination == nullptr || capacity - start == 0) return false;
  if (CopyBounded(destination + start, capacity - start, source)) return true;
  destination[start] = 0;
  return false;
}

bool StrStartsWithI(const wchar_t* string, const wchar_t* prefix) {
  if (string == nullptr || prefix == nullptr) return false;
  if (prefix[0] == 0) return true;
  for (size_t i = 0;; ++i) {
    if (FoldAscii(string[i]) != FoldAscii(prefix[i])) return false;
    if (prefix[i + 1] == 0) return true;
  }
}

const wchar_t* SearchStringI(const wchar_t* text, const wchar_t* pattern) {
  if (pattern == nullptr || pattern[0] == 0) return text;
  for (const wchar_t* start = text; *start != 0; ++start) {
    size_t i = 0;
    while (pattern[i] != 0 && start[i] != 0 && FoldAscii(start[i]) == FoldAscii(pattern[i])) ++i;
    if (pattern[i] == 0) return start;
  }
  return nullptr;
}

const wchar_t* GetNameFromPathExt(const wchar_t* path, size_t length) {
  for (size_t i = length; i > 0; --i) {
    if (path[i - 1] == L'\\') return path + i;
  }
  return path;
}

bool HexEncode(const void* bytes, size_t count, wchar_t* output, size_t capacity) {
  // Written so that a huge count cannot overflow the comparison.
  if (capacity == 0 || count > (capacity - 1) / 2) return false;
  static const char kDigits[] = "0123456789ABCDEF";
  const unsigned char* in = static_cast<const unsigned char*>(bytes);
  output[2 * count] = 0;
  for (size_t i = 0; i < count; ++i) {
    output[2 * i] = static_cast<wchar_t>(kDigits[in[i] >> 4]);
    output[2 * i + 1] = static_cast<wchar_t>(kDigits[in[i] & 0x0F]);
  }
  return true;
}
