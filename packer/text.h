// Text as resources and version blocks hold it: UTF-16, converted from the UTF-8 the packer
// takes its options in on both builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pack {

// Strict UTF-8 (no overlong forms, no surrogate code points, nothing past U+10FFFF) to UTF-16.
// False on anything else; `out` is then unspecified.
bool Utf8ToUtf16(std::string_view utf8, std::u16string* out);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Each UTF-16 unit upper-cased on its own by the system's table (RtlUpcaseUnicodeChar), as
// FindResourceW upper-cases the name it is given before it compares it with the stored ones.
std::u16string UpperCaseUnits(std::u16string_view text);

// The longest resource name FindResourceW finds as typed: it carries the name as a counted
// string whose size in bytes, terminator included, fits 16 bits.
constexpr size_t kLongestResourceName = 32766;

// The form in which a resource type or name the user typed is stored, so that FindResourceW
// finds it both as typed and as EnumResourceNamesW lists it. PackError, its message naming
// `what` ("--resource name"), for a name that could never be found so: one beginning with '#'
// (read as a number), one longer than kLongestResourceName, or one whose stored form the system
// would upper-case again.
std::u16string StoredResourceName(const std::u16string& typed, const std::string& what);

// A number with its thousands set apart by commas, as messages and reports show sizes: 2,147,483,647.
std::string GroupedDigits(uint64_t number);

// A value as a message shows it, in the manner of the earlier script's repr(): in quotes (double
// ones when it holds a single quote and no double one), a backslash or the quote escaped, control
// characters (C0, DEL, C1, the line separators and the bidirectional marks and overrides) and
// bytes that are not UTF-8 as escapes, so the message stays one line; other text as it is.
std::string Quoted(std::string_view utf8);

// Text that came from a file, as a line printed to a terminal shows it: the control characters
// and bytes Quoted() escapes escaped alike, nothing else changed (a quoted value already in it
// stays as it is), so that the file cannot end the line, move the cursor, recolour or reorder
// what follows.
std::string Shown(std::string_view utf8);

}  // namespace pack
