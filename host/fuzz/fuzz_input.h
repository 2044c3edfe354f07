// How the fuzz targets read their input, and how they fail. An input is fields separated by a
// line feed; a text field is one UTF-16 code unit per byte (Latin-1), where the byte 0xFF and the
// two after it (low byte first) stand for any code unit, so seeds are readable text files.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "harness.h"

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), end_(data + size) {}

  // The next field's bytes, as they are.
  std::string Bytes() {
    std::string field;
    while (data_ != end_ && *data_ != '\n') field.push_back(static_cast<char>(*data_++));
    if (data_ != end_) ++data_;
    return field;
  }

  // The escape is read before the field's end is looked for, so it can stand for a line feed.
  Text Wide() {
    Text text;
    while (data_ != end_ && *data_ != '\n') {
      if (*data_ == 0xFF && end_ - data_ >= 3) {
        text.push_back(static_cast<char16_t>(data_[1] | data_[2] << 8));
        data_ += 3;
      } else {
        text.push_back(*data_++);
      }
    }
    if (data_ != end_) ++data_;
    return text;
  }

  // The decimal digits of the next field (others are skipped), from 0 to `limit`.
  size_t Number(size_t limit) {
    size_t value = 0;
    for (char c : Bytes()) {
      if (c >= '0' && c <= '9' && value <= SIZE_MAX / 10 - 10) value = value * 10 + (c - '0');
    }
    return value % (limit + 1);
  }

 private:
  const uint8_t* data_;
  const uint8_t* end_;
};

// The text up to its first zero: what the code reads as the string.
inline Text Cut(const Text& text) { return text.substr(0, text.find(u'\0')); }

// A property that does not hold: say which, and stop so that libFuzzer keeps the input.
#define REQUIRE(condition, ...)                                                        \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      fprintf(stderr, "  " __VA_ARGS__);                                               \
      fprintf(stderr, "\n");                                                           \
      abort();                                                                         \
    }                                                                                  \
  } while (0)
