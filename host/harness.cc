#include "harness.h"

#include <stdio.h>

Text ToText(const wchar_t* s) {
  Text text;
  if (s != nullptr) {
    while (*s != 0) text.push_back(static_cast<char16_t>(*s++));
  }
  return text;
}

Text ToText(const wchar_t* s, size_t n) {
  Text text;
  for (size_t i = 0; i < n; ++i) text.push_back(static_cast<char16_t>(s[i]));
  return text;
}

std::string Show(const Text& text) {
  std::string shown;
  for (char16_t c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      shown.push_back(static_cast<char>(c));
    } else {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      shown += escape;
    }
  }
  return shown;
}

Slots::Slots(size_t count, wchar_t fill) : slots_(new wchar_t[count]), count_(count) {
  for (size_t i = 0; i < count; ++i) slots_[i] = fill;
}

Slots::Slots(size_t count, const Text& text, wchar_t fill) : Slots(count, fill) {
  for (size_t i = 0; i < text.size() && i < count; ++i) slots_[i] = static_cast<wchar_t>(text[i]);
}

Slots Terminated(const Text& text) { return Slots(text.size() + 1, text, 0); }
