// JSON text built in order: commas and nesting kept by the writer, strings escaped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pack {

class JsonWriter {
 public:
  JsonWriter& Open(char bracket);  // '{' or '['
  JsonWriter& Close();
  JsonWriter& Key(const std::string& key);  // inside an object, before each value
  JsonWriter& String(const std::string& utf8);
  JsonWriter& Number(uint64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  const std::string& text() const { return text_; }

 private:
  void Value();
  std::string text_;
  std::vector<char> open_;  // the closing bracket of every open level
  bool first_ = true;       // nothing yet at this level
  bool after_key_ = false;
};

// `utf8` as a JSON string literal, quotes included. Bytes that are not UTF-8 become U+FFFD.
std::string JsonQuoted(const std::string& utf8);

}  // namespace pack
