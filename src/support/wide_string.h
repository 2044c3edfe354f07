// Bounded operations on fixed-capacity UTF-16 strings: every path and command line goes through them.
#pragma once

#include <stddef.h>

// A capacity counts wide-character slots, the terminator's included. No operation writes outside
// the capacity, allocates, or touches the thread's last-error value; one that cannot finish says so
// in its result instead of truncating.

// Length of the string, at most capacity - 1 (slot capacity - 1 is never read). 0 for a null string
// or a capacity below 2.
size_t SafeStrLen(const wchar_t* string, size_t capacity);

// Copies the whole source, terminator included. On failure the destination reads as the empty
// string (when the capacity is not 0). A source later in the same buffer than the destination is
// copied correctly, since the copy runs forward one character at a time.
bool SafeStrCopy(wchar_t* destination, size_t capacity, const wchar_t* source);

// Appends the whole source. On failure the destination reads exactly as before the call.
bool SafeStrCat(wchar_t* destination, size_t capacity, const wchar_t* source);

// Whether the string begins with the prefix, folding only ASCII A-Z. Null arguments give false.
bool StrStartsWithI(const wchar_t* string, const wchar_t* prefix);

// The leftmost place where the pattern stands in the text, folding only ASCII A-Z; null when absent.
// An empty or null pattern matches at the start of the text.
const wchar_t* SearchStringI(const wchar_t* text, const wchar_t* pattern);

// Where the last component of the path begins: just after its last backslash, or the path itself
// when it holds none. path[length] is never read.
const wchar_t* GetNameFromPathExt(const wchar_t* path, size_t length);

// Upper-case hexadecimal, high nibble first; needs 2 * count + 1 slots or writes nothing.
bool HexEncode(const void* bytes, size_t count, wchar_t* output, size_t capacity);

// A wide string of fixed capacity N on the stack. It holds N + 1 elements, the first and the last
// set to 0 when set up, so it is a valid empty string before first use; every write goes through
// the bounded operations above with capacity N.
template <size_t N>
class FixedString {
 public:
  static constexpr size_t kCapacity = N;

  FixedString() {
    chars_[0] = 0;
    chars_[N] = 0;
  }
  FixedString(const FixedString&) = delete;
  FixedString& operator=(const FixedString&) = delete;

  wchar_t* Get() { return chars_; }
  const wchar_t* Get() const { return chars_; }
  wchar_t& operator[](size_t index) { return chars_[index]; }
  const wchar_t& operator[](size_t index) const { return chars_[index]; }

  size_t Length() const { return SafeStrLen(chars_, N); }
  bool IsEmpty() const { return chars_[0] == 0; }
  void Clear() { chars_[0] = 0; }
  bool Copy(const wchar_t* source) { return SafeStrCopy(chars_, N, source); }
  bool Append(const wchar_t* source) { return SafeStrCat(chars_, N, source); }

 private:
  wchar_t chars_[N + 1];
};

constexpr size_t kMaxPath = 260;          // MAX_PATH
constexpr size_t kMaxCommandLine = 1040;  // four times MAX_PATH
constexpr size_t kTypeTagCapacity = 3;    // two letters and the terminator

using PathString = FixedString<kMaxPath>;
using CommandLineString = FixedString<kMaxCommandLine>;
using TypeTag = FixedString<kTypeTagCapacity>;
