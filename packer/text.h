// Text as resources and version blocks hold it: UTF-16, converted from the UTF-8 the packer
// takes its options in on both builds.
#pragma once

#include <string>
#include <string_view>

namespace pack {

// Strict UTF-8 (no overlong forms, no surrogate code points, nothing past U+10FFFF) to UTF-16.
// False on anything else; `out` is then unspecified.
bool Utf8ToUtf16(std::string_view utf8, std::u16string* out);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Each UTF-16 unit upper-cased on its own, as Windows upper-cases a resource name before it
// looks it up: a unit with no single-unit upper case (and every surrogate) stays as it is.
std::u16string UpperCaseUnits(std::u16string_view text);

// A value as a message shows it, in the manner of the earlier script's repr(): in quotes (double
// ones when it holds a single quote and no double one), a backslash or the quote escaped, control
// characters, line separators and bytes that are not UTF-8 as escapes, so the message stays one
// line; other text as it is.
std::string Quoted(std::string_view utf8);

}  // namespace pack
