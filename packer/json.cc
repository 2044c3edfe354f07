#include "json.h"

#include <cstdio>

namespace pack {

std::string JsonQuoted(const std::string& utf8) {
  std::string out = "\"";
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7F) {
        char escape[8];
        std::snprintf(escape, sizeof(escape), "\\u%04x", c);
        out += escape;
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // A whole, shortest-form sequence is copied; anything else is one replacement character.
    const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    bool whole = length != 0 && c <= 0xF4 && i + length <= utf8.size();
    uint32_t code = whole ? c & (0x7F >> length) : 0;
    for (size_t k = 1; whole && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(utf8[i + k]);
      whole = (next & 0xC0) == 0x80;
      code = code << 6 | (next & 0x3F);
    }
    whole = whole && !(length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) &&
            !(length == 4 && (code < 0x10000 || code > 0x10FFFF));
    // C1 controls (CSI among them) and the marks and overrides that reorder text are escaped as
    // the C0 ones are, so that printing the report cannot act on a terminal.
    const bool control = (code >= 0x80 && code < 0xA0) || code == 0x200E || code == 0x200F ||
                         (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
    if (whole && control) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(code));
      out += escape;
      i += length;
    } else if (whole) {
      out.append(utf8, i, length);
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out + "\"";
}

void JsonWriter::Value() {
  if (!after_key_ && !first_) text_ += ',';
  first_ = false;
  after_key_ = false;
}

JsonWriter& JsonWriter::Open(char bracket) {
  Value();
  text_ += bracket;
  open_.push_back(bracket == '{' ? '}' : ']');
  first_ = true;
  return *this;
}

JsonWriter& JsonWriter::Close() {
  text_ += open_.back();
  open_.pop_back();
  first_ = false;
  return *this;
}

JsonWriter& JsonWriter::Key(const std::string& key) {
  Value();
  text_ += JsonQuoted(key) + ':';
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(const std::string& utf8) {
  Value();
  text_ += JsonQuoted(utf8);
  return *this;
}

JsonWriter& JsonWriter::Number(uint64_t value) {
  Value();
  text_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  Value();
  text_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  Value();
  text_ += "null";
  return *this;
}

}  // namespace pack
