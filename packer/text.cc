#include "text.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "pack_error.h"
#include "upper_case_table.h"

namespace pack {

namespace {

bool IsSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

void AppendUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | c >> 6));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | c >> 12));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | c >> 18));
    out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// The code point whose strict UTF-8 form starts at `utf8[i]`, and that form's length.
bool DecodeOne(std::string_view utf8, size_t i, uint32_t* code_point, size_t* length) {
  const uint8_t lead = static_cast<uint8_t>(utf8[i]);
  uint32_t c = 0;
  uint32_t least = 0;  // the smallest code point that needs this many bytes: no overlong forms
  if (lead < 0x80) {
    *code_point = lead;
    *length = 1;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    *length = 2, c = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    *length = 3, c = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    *length = 4, c = lead & 0x07, least = 0x10000;
  } else {
    return false;  // a continuation byte without its lead, or 0xF8-0xFF
  }
  if (utf8.size() - i < *length) return false;
  for (size_t k = 1; k < *length; ++k) {
    const uint8_t next = static_cast<uint8_t>(utf8[i + k]);
    if ((next & 0xC0) != 0x80) return false;
    c = c << 6 | (next & 0x3F);
  }
  *code_point = c;
  return c >= least && c <= 0x10FFFF && !IsSurrogate(c);
}

// Whether a code point would act on a terminal or change the line rather than show: C0, DEL and
// C1 (ESC and CSI among them), the line and paragraph separators, and the marks and overrides
// that reorder the text around them (one could make "exe.txt" read as "txt.exe").
bool IsControl(uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029 || c == 0x200E ||
         c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// `utf8` with every control character and every byte that is not UTF-8 as an escape; with a
// `quote`, that quote and the backslash escaped too.
void AppendEscaped(std::string_view utf8, char quote, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  const auto escape = [out](const char* prefix, uint32_t value, int digits) {
    *out += prefix;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) *out += kHex[value >> shift & 15];
  };
  for (size_t i = 0; i < utf8.size();) {
    uint32_t c = 0;
    size_t length = 0;
    if (!DecodeOne(utf8, i, &c, &length)) {
      escape("\\x", static_cast<uint8_t>(utf8[i]), 2);  // a byte that is not UTF-8
      ++i;
      continue;
    }
    if (quote != 0 && (c == '\\' || c == static_cast<uint32_t>(quote))) {
      *out += '\\';
      *out += static_cast<char>(c);
    } else if (c == '\n' || c == '\r' || c == '\t') {
      *out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
    } else if (IsControl(c)) {
      if (c < 0x100) escape("\\x", c, 2); else escape("\\u", c, 4);
    } else {
      out->append(utf8.substr(i, length));
    }
    i += length;
  }
}

}  // namespace

bool Utf8ToUtf16(std::string_view utf8, std::u16string* out) {
  out->clear();
  out->reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    uint32_t c = 0;
    size_t length = 0;
    if (!DecodeOne(utf8, i, &c, &length)) return false;
    if (c < 0x10000) {
      out->push_back(static_cast<char16_t>(c));
    } else {
      out->push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
    i += length;
  }
  return true;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t c = utf16[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (utf16[++i] - 0xDC00);
    } else if (IsSurrogate(c)) {
      c = 0xFFFD;  // an unpaired surrogate has no UTF-8 form
    }
    AppendUtf8(c, &out);
  }
  return out;
}

std::u16string UpperCaseUnits(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& unit : out) {
    // The first range that ends at or after the unit is the only one that can hold it.
    const auto range =
        std::lower_bound(std::begin(kUpperCaseRanges), std::end(kUpperCaseRanges), unit,
                         [](const UpperCaseRange& r, char16_t u) { return r.last < u; });
    if (range != std::end(kUpperCaseRanges) && unit >= range->first &&
        (unit - range->first) % range->step == 0) {
      unit = static_cast<char16_t>(unit + range->delta);
    }
  }
  return out;
}

std::u16string StoredResourceName(const std::u16string& typed, const std::string& what) {
  if (typed.size() > kLongestResourceName) {
    // Its beginning is enough to tell which one it is.
    Fail(what + " " + Quoted(Utf16ToUtf8(typed.substr(0, 32))) + "... is " +
         std::to_string(typed.size()) + " UTF-16 units long; Windows finds names of at most " +
         std::to_string(kLongestResourceName));
  }
  const std::string shown = Quoted(Utf16ToUtf8(typed));
  if (!typed.empty() && typed[0] == u'#') {
    Fail(what + " " + shown + " begins with '#': Windows reads such a name as a resource number " +
         "and would never find it");
  }
  std::u16string stored = UpperCaseUnits(typed);
  // The system's table upper-cases nothing twice today. With one that did, FindResourceW would
  // change the stored name again before comparing it: listed, but never found as listed.
  if (UpperCaseUnits(stored) != stored) {
    Fail(what + " " + shown + " is stored as " + Quoted(Utf16ToUtf8(stored)) +
         ", which Windows upper-cases again: it could not be found as stored");
  }
  return stored;
}

std::string GroupedDigits(uint64_t number) {
  std::string digits = std::to_string(number);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<size_t>(at), ",");
  }
  return digits;
}

std::string Quoted(std::string_view utf8) {
  // Double quotes when that saves escaping a single one.
  const char quote =
      utf8.find('\'') != std::string_view::npos && utf8.find('"') == std::string_view::npos ? '"'
                                                                                            : '\'';
  std::string out(1, quote);
  AppendEscaped(utf8, quote, &out);
  out += quote;
  return out;
}

std::string Shown(std::string_view utf8) {
  std::string out;
  AppendEscaped(utf8, 0, &out);
  return out;
}

}  // namespace pack
