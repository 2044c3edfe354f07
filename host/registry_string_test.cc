// Registry string values as the query leaves them, in buffers of exactly the capacity the query
// was given: nothing may be read or written past it, and an error leaves the buffer as it was.
#include "launch/registry_string.h"

#include "harness.h"

HOST_TEST(TerminateStringValueStaysWithinTheQueriedBuffer) {
  struct Case {
    const char* label;
    uint32_t type;
    Text stored;
    uint32_t bytes;
    size_t capacity;
    long error;
    Text text;
  } cases[] = {
      {"terminated", 1, Text(u"ab\0", 3), 6, 3, 0, u"ab"},
      {"unterminated, a slot left", 1, u"ab", 4, 3, 0, u"ab"},
      {"unterminated, buffer full", 1, u"abc", 6, 3, kErrorMoreData, u""},
      {"count beyond the buffer", 1, u"abc", 8, 3, kErrorMoreData, u""},
      {"odd count", 1, u"abc", 5, 3, 0, u"ab"},
      {"nothing stored", 1, u"", 0, 1, 0, u""},
      {"one byte", 1, u"", 1, 1, 0, u""},
      {"nothing stored, no room", 1, u"", 0, 0, kErrorMoreData, u""},
      {"a zero inside", 1, Text(u"a\0c", 3), 6, 4, 0, u"a"},
      {"expandable", 2, Text(u"ab\0", 3), 6, 3, kErrorNotSupported, u""},
      {"binary", 3, u"ab", 4, 3, kErrorNotSupported, u""},
      {"huge count", 1, u"abc", 0xFFFFFFFF, 3, kErrorMoreData, u""},
  };
  for (const Case& c : cases) {
    Slots buffer(c.capacity, c.stored, L'x');
    const Text before = buffer.All();
    CHECK(TerminateStringValue(c.type, c.bytes, buffer.get(), c.capacity) == c.error, c.label);
    if (c.error == 0) {
      CHECK_TEXT(c.text, ToText(buffer.get()), c.label);
    } else {
      CHECK_TEXT(before, buffer.All(), c.label);
    }
  }
}

HOST_TEST(StripEnclosingQuotesJudgesOnlyWhatLiesWithinTheCapacity) {
  struct Case {
    Text value;
    Text stripped;
  } cases[] = {
      {u"C:\\p\\setup.exe", u"C:\\p\\setup.exe"},
      {u"\"C:\\p q\\setup.exe\"", u"C:\\p q\\setup.exe"},
      {u"\"\"\"", u"\""},
      {u"\"a\" \"b\"", u"a\" \"b"},
      {u"a\"", u"a\""},
      {u"\"C:\\p\\setup.exe\" --x", u"\"C:\\p\\setup.exe\" --x"},
      {u"\"\"", u""},
      {u"\"", u"\""},
      {u"", u""},
  };
  for (const Case& c : cases) {
    Slots buffer = Terminated(c.value);
    StripEnclosingQuotes(buffer.get(), buffer.size());
    CHECK_TEXT(c.stripped, ToText(buffer.get()), Show(c.value));
  }
  // Unterminated within the capacity: the last slot lies beyond the length and is not judged.
  Slots closed(4, u"\"a\"z");
  StripEnclosingQuotes(closed.get(), closed.size());
  CHECK_TEXT(u"a", ToText(closed.get()), "quote inside the capacity");
  Slots open(3, u"\"a\"");
  StripEnclosingQuotes(open.get(), open.size());
  CHECK_TEXT(u"\"a\"", open.All(), "quote in the last slot");
}
