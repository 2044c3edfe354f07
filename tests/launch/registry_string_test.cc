#include "launch/registry_string.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A value as the query leaves it: `stored` in a buffer of `capacity` slots (plus the spare slot a
// fixed string has), the rest of the buffer still holding 'x'.
TEST(TerminateStringValue, TerminatesWhereTheDataEndsWhenThereIsRoom) {
  struct Case {
    const char* label; uint32_t type; std::wstring stored; uint32_t bytes; size_t capacity;
    long error; std::wstring text;
  } cases[] = {
      {"terminated", 1, std::wstring(L"ab\0", 3), 6, 8, 0, L"ab"},
      {"no terminator", 1, L"ab", 4, 8, 0, L"ab"},
      {"odd byte count ignores the half character", 1, L"abc", 5, 8, 0, L"ab"},
      {"nothing stored", 1, L"", 0, 8, 0, L""},
      {"one byte", 1, L"a", 1, 8, 0, L""},
      {"fills the capacity with its terminator", 1, std::wstring(L"abc\0", 4), 8, 4, 0, L"abc"},
      {"fills the capacity without one", 1, L"abcd", 8, 4, kErrorMoreData, L"abcd"},
      {"one short of the capacity", 1, L"abc", 6, 4, 0, L"abc"},
      {"count beyond the buffer", 1, L"abcd", 10, 4, kErrorMoreData, L"abcd"},
      {"expandable string", 2, std::wstring(L"ab\0", 3), 6, 8, kErrorNotSupported, L"ab"},
      {"binary", 3, L"ab", 4, 8, kErrorNotSupported, L"ab"},
  };
  for (const Case& c : cases) {
    std::wstring buffer(c.capacity + 1, L'x');
    buffer.replace(0, c.stored.size(), c.stored);
    EXPECT_EQ(c.error, TerminateStringValue(c.type, c.bytes, &buffer[0], c.capacity)) << c.label;
    if (c.error == 0) {
      EXPECT_EQ(c.text, std::wstring(buffer.c_str())) << c.label;
    } else {
      EXPECT_EQ(c.text, buffer.substr(0, c.text.size())) << c.label;
    }
  }
}

TEST(StripEnclosingQuotes, OnlyOnePairAroundTheWholeString) {
  struct Case { const wchar_t* value; const wchar_t* stripped; } cases[] = {
      {L"C:\\p\\setup.exe", L"C:\\p\\setup.exe"},
      {L"\"C:\\p q\\setup.exe\"", L"C:\\p q\\setup.exe"},
      {L"\"C:\\p\\setup.exe\" --x", L"\"C:\\p\\setup.exe\" --x"},
      {L"\"\"", L""},
      {L"\"", L"\""},
      {L"\"\"\"", L"\""},
      {L"\"a\" \"b\"", L"a\" \"b"},
      {L"a\"", L"a\""},
      {L"", L""},
  };
  for (const Case& c : cases) {
    std::wstring buffer = c.value;
    buffer.push_back(0);
    StripEnclosingQuotes(&buffer[0], buffer.size());
    EXPECT_EQ(std::wstring(c.stripped), buffer.c_str()) << testing::PrintToString(std::wstring(c.value));
  }
  // A string that fills its capacity unterminated is judged by what lies inside the capacity.
  wchar_t unterminated[4] = {L'"', L'a', L'"', L'z'};
  StripEnclosingQuotes(unterminated, 4);
  EXPECT_EQ(L'a', unterminated[0]);
  EXPECT_EQ(L'\0', unterminated[1]);
}

}  // namespace
