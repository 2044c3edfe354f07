// The bounded string helpers at their edges, each buffer exactly as large as the operation may use,
// so that AddressSanitizer reports a single slot read or written beyond it.
#include "support/wide_string.h"

#include <stdint.h>

#include "harness.h"

HOST_TEST(SafeStrLenReadsNoFurtherThanCapacityLessOne) {
  struct Case {
    Text slots;
    size_t capacity;
    size_t length;
  } cases[] = {
      {u"", 0, 0},
      {u"", 1, 0},
      {u"abc", 4, 3},
      {u"ab", 3, 2},
      {Text(u"\0bc", 3), 4, 0},
      {Text(259, u'x'), 260, 259},
  };
  for (const Case& c : cases) {
    // Slot capacity - 1 is never read, so it is not even allocated.
    Slots slots(c.capacity < 2 ? 0 : c.capacity - 1, c.slots);
    CHECK(SafeStrLen(slots.get(), c.capacity) == c.length, Show(c.slots));
  }
  CHECK(SafeStrLen(nullptr, 10) == 0, "null");
}

HOST_TEST(SafeStrCopyFitsWholeOrLeavesTheEmptyString) {
  struct Case {
    Text source;
    size_t capacity;
    bool ok;
  } cases[] = {
      {u"abc", 4, true}, {u"abc", 3, false}, {u"", 1, true}, {u"a", 1, false}, {u"abc", 0, false},
  };
  for (const Case& c : cases) {
    Slots destination(c.capacity);
    Slots source = Terminated(c.source);
    const std::string label = Show(c.source) + " in " + std::to_string(c.capacity);
    CHECK(SafeStrCopy(destination.get(), c.capacity, source.get()) == c.ok, label);
    if (c.capacity == 0) continue;
    CHECK_TEXT(c.ok ? c.source : u"", ToText(destination.get()), label);
  }
  CHECK(!SafeStrCopy(nullptr, 4, L"a"), "null destination");

  // Later in the same buffer, as a leading quote is removed.
  Slots quoted = Terminated(u"\"C:\\p q\\setup.exe\"");
  CHECK(SafeStrCopy(quoted.get(), quoted.size(), quoted.get() + 1), "overlap");
  CHECK_TEXT(u"C:\\p q\\setup.exe\"", ToText(quoted.get()), "overlap");
}

// A failed append leaves the string as it was; slots before its end are never written.
HOST_TEST(SafeStrCatAppendsWholeOrLeavesTheStringAsItWas) {
  struct Case {
    Text held;
    size_t capacity;
    Text source;
    bool ok;
    Text reads;
  } cases[] = {
      {u"ab", 5, u"cd", true, u"abcd"},
      {u"ab", 4, u"cd", false, u"ab"},
      {u"abc", 4, u"", true, u"abc"},
      {u"abc", 4, u"d", false, u"abc"},
      {u"", 1, u"", true, u""},
      {u"x", 1, u"", true, u""},  // slot 0 is the whole capacity
      {u"x", 1, u"a", false, u""},
      {u"xyz", 3, u"", true, u"xy"},  // no terminator within: the last slot receives one
      {u"xyz", 3, u"a", false, u"xy"},
      {u"", 6, u"hello", true, u"hello"},
      {u"", 6, u"hello!", false, u""},
  };
  for (const Case& c : cases) {
    Text initial = c.held;
    if (initial.size() < c.capacity) initial.push_back(0);
    Slots destination(c.capacity, initial);
    const std::string label =
        Show(c.held) + " + " + Show(c.source) + " in " + std::to_string(c.capacity);
    Slots source = Terminated(c.source);
    CHECK(SafeStrCat(destination.get(), c.capacity, source.get()) == c.ok, label);
    CHECK_TEXT(c.reads, ToText(destination.get()), label);
    CHECK_TEXT(c.reads, destination.All().substr(0, c.reads.size()), label);
  }
  Slots none(0);
  CHECK(!SafeStrCat(none.get(), 0, L""), "capacity 0");
  CHECK(!SafeStrCat(nullptr, 4, L"a"), "null destination");
}

// Only A-Z fold: '@' and '[' sit next to them, and a non-ASCII capital keeps its case.
HOST_TEST(CaseInsensitiveMatchingFoldsOnlyAsciiLetters) {
  struct Starts {
    Text string;
    Text prefix;
    bool starts;
  } starts[] = {
      {u"SETUP.EX_", u"setup", true},
      {u"set", u"setup", false},
      {u"", u"", true},
      {u"abc", u"", true},
      {u"\u00C9t", u"\u00E9t", false},
      {u"@x", u"`x", false},
      {u"[x", u"{x", false},
      {u"TamrelX", u"TAMREL", true},
  };
  for (const Starts& c : starts) {
    Slots string = Terminated(c.string), prefix = Terminated(c.prefix);
    CHECK(StrStartsWithI(string.get(), prefix.get()) == c.starts,
          Show(c.string) + "/" + Show(c.prefix));
  }
  CHECK(!StrStartsWithI(nullptr, L"") && !StrStartsWithI(L"", nullptr), "null");

  struct Search {
    Text text;
    Text pattern;
    ptrdiff_t at;
  } searches[] = {
      {u"C:\\Prog\\1.2.3\\setup.exe", u"PROG", 3},
      {u"aXbxAX", u"ax", 0},
      {u"xaXax", u"AX", 1},
      {u"ab", u"abc", -1},
      {u"abc", u"", 0},
      {u"", u"a", -1},
      {u"aab", u"ab", 1},
      {u"\u00C9", u"\u00E9", -1},
  };
  for (const Search& c : searches) {
    Slots text = Terminated(c.text), pattern = Terminated(c.pattern);
    const wchar_t* found = SearchStringI(text.get(), pattern.get());
    CHECK((found == nullptr ? -1 : found - text.get()) == c.at,
          Show(c.text) + "/" + Show(c.pattern));
  }
  CHECK(SearchStringI(nullptr, L"") == nullptr, "null text, empty pattern");
}

HOST_TEST(GetNameFromPathExtNeverReadsTheSlotAtLength) {
  struct Case {
    Text path;
    size_t name_at;
  } cases[] = {
      {u"C:\\dir\\stub.exe", 7}, {u"stub.exe", 0},        {u"\\stub.exe", 1},
      {u"C:\\dir\\", 7},         {u"C:/dir/stub.exe", 0}, {u"", 0},
  };
  for (const Case& c : cases) {
    Slots path(c.path.size(), c.path);  // no terminator: path[length] is not there to read
    CHECK(GetNameFromPathExt(path.get(), c.path.size()) == path.get() + c.name_at, Show(c.path));
  }
}

HOST_TEST(HexEncodeNeedsTwoSlotsABytePlusTheTerminator) {
  const unsigned char bytes[] = {0x00, 0xAB, 0x0F, 0xF0};
  struct Case {
    size_t count;
    size_t capacity;
    bool ok;
    Text text;
  } cases[] = {
      {4, 9, true, u"00AB0FF0"}, {4, 8, false, u""},  {0, 1, true, u""},
      {0, 0, false, u""},        {1, 3, true, u"00"}, {2, 4, false, u""},
  };
  for (const Case& c : cases) {
    Slots output(c.capacity);
    const std::string label = std::to_string(c.count) + " in " + std::to_string(c.capacity);
    CHECK(HexEncode(bytes, c.count, output.get(), c.capacity) == c.ok, label);
    if (c.ok) {
      CHECK_TEXT(c.text, ToText(output.get()), label);
    } else {
      CHECK_TEXT(Text(c.capacity, u'#'), output.All(), label);
    }
  }
  // A count so large that twice it wraps around must not pass the room check.
  Slots output(4);
  CHECK(!HexEncode(bytes, SIZE_MAX / 2 + 2, output.get(), 4), "wrapping count");
}
