// A small test harness for the host build: registered test functions, checks that report and go
// on, UTF-16 text helpers and exact-size heap buffers. GoogleTest is not used here, since its
// library and printers are built for the host's 32-bit wchar_t (see CMakeLists.txt).
#pragma once

#include <stddef.h>

#include <memory>
#include <string>

static_assert(sizeof(wchar_t) == 2, "the host build needs -fshort-wchar");

// UTF-16 text for comparisons; std::wstring and libc's wide functions assume a 32-bit wchar_t.
using Text = std::u16string;

// The string at `s` up to its terminator (empty for null), or its first `n` slots.
Text ToText(const wchar_t* s);
Text ToText(const wchar_t* s, size_t n);
// Printable ASCII, other code units as \uXXXX.
std::string Show(const Text& text);

// `count` slots on the heap and not one more, so that AddressSanitizer reports any access past
// them. Filled with `fill`, or with `text` followed by `fill`.
class Slots {
 public:
  explicit Slots(size_t count, wchar_t fill = L'#');
  Slots(size_t count, const Text& text, wchar_t fill = L'#');
  wchar_t* get() { return slots_.get(); }
  wchar_t& operator[](size_t i) { return slots_[i]; }
  size_t size() const { return count_; }
  Text All() const { return ToText(slots_.get(), count_); }

 private:
  std::unique_ptr<wchar_t[]> slots_;
  size_t count_;
};

// `text` with its terminator in exactly text.size() + 1 slots, so reading past it is reported.
Slots Terminated(const Text& text);

void RegisterTest(const char* name, void (*body)());
void ReportFailure(const char* file, int line, const std::string& message);

#define HOST_TEST(name)                                                                     \
  static void name();                                                                       \
  [[maybe_unused]] static const bool name##_registered = (RegisterTest(#name, name), true); \
  static void name()

// Both report and go on; `label` names the table row.
#define CHECK(condition, label)                                                          \
  do {                                                                                   \
    if (!(condition))                                                                    \
      ReportFailure(__FILE__, __LINE__, std::string(#condition) + " [" + (label) + "]"); \
  } while (0)
#define CHECK_TEXT(expected, actual, label)                                                       \
  do {                                                                                            \
    const Text expected_ = (expected), actual_ = (actual);                                        \
    if (expected_ != actual_) {                                                                   \
      ReportFailure(__FILE__, __LINE__,                                                           \
                    std::string("expected \"") + Show(expected_) + "\", got \"" + Show(actual_) + \
                        "\" [" + (label) + "]");                                                  \
    }                                                                                             \
  } while (0)
