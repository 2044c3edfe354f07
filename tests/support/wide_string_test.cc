#include "support/wide_string.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A buffer whose every slot starts as a marker, so that writes outside what an operation may touch
// show up.
struct Buffer {
  static constexpr wchar_t kMarker = L'#';
  wchar_t slots[16];
  explicit Buffer(const wchar_t* initial = L"") {
    for (wchar_t& c : slots) c = kMarker;
    for (size_t i = 0;; ++i) {
      slots[i] = initial[i];
      if (initial[i] == 0) break;
    }
  }
  std::wstring Text() const { return slots; }
  bool UntouchedFrom(size_t index) const {
    for (size_t i = index; i < 16; ++i)
      if (slots[i] != kMarker) return false;
    return true;
  }
};

TEST(SafeStrLen, CountsUpToCapacityMinusOne) {
  wchar_t unterminated[260];
  for (wchar_t& c : unterminated) c = L'x';
  struct Case { const wchar_t* text; size_t capacity; size_t expected; } cases[] = {
      {nullptr, 10, 0}, {L"abc", 0, 0}, {L"abc", 1, 0}, {L"abc", 4, 3}, {L"abc", 3, 2},
      {L"", 5, 0},      {unterminated, 260, 259},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, SafeStrLen(c.text, c.capacity)) << "capacity " << c.capacity;
  }
}

TEST(SafeStrCopy, WholeSourceOrEmptyDestination) {
  struct Case {
    const wchar_t* source; size_t capacity; bool ok; const wchar_t* text;
  } cases[] = {
      {L"abc", 4, true, L"abc"}, {L"abc", 3, false, L""}, {L"", 1, true, L""},
      {L"a", 1, false, L""},     {L"abcdef", 7, true, L"abcdef"},
  };
  for (const Case& c : cases) {
    Buffer b(L"zz");
    EXPECT_EQ(c.ok, SafeStrCopy(b.slots, c.capacity, c.source)) << c.source << " " << c.capacity;
    EXPECT_EQ(std::wstring(c.text), b.Text());
    EXPECT_TRUE(b.UntouchedFrom(c.capacity < 3 ? 3 : c.capacity));
  }
}

TEST(SafeStrCopy, NullOrZeroCapacityWritesNothing) {
  Buffer b(L"keep");
  EXPECT_FALSE(SafeStrCopy(b.slots, 0, L"abc"));
  EXPECT_EQ(L"keep", b.Text());
  EXPECT_FALSE(SafeStrCopy(nullptr, 10, L"abc"));
}

TEST(SafeStrCopy, OntoItselfOnePlaceLeft) {
  wchar_t quoted[] = L"\"C:\\a b\\setup.exe\"";
  EXPECT_TRUE(SafeStrCopy(quoted, 260, quoted + 1));
  EXPECT_EQ(std::wstring(L"C:\\a b\\setup.exe\""), quoted);
}

TEST(SafeStrCat, WholeSourceOrUnchangedDestination) {
  struct Case {
    const wchar_t* initial; const wchar_t* source; size_t capacity; bool ok; const wchar_t* text;
  } cases[] = {
      {L"ab", L"cd", 5, true, L"abcd"},  {L"ab", L"cd", 4, false, L"ab"},
      {L"abc", L"d", 4, false, L"abc"},  {L"abc", L"", 4, true, L"abc"},
      {L"", L"x", 1, false, L""},        {L"", L"", 1, true, L""},
      {L"a", L"bcde", 6, true, L"abcde"}, {L"", L"abc", 4, true, L"abc"},
  };
  for (const Case& c : cases) {
    Buffer b(c.initial);
    EXPECT_EQ(c.ok, SafeStrCat(b.slots, c.capacity, c.source))
        << c.initial << " + " << c.source << " in " << c.capacity;
    EXPECT_EQ(std::wstring(c.text), b.Text());
    EXPECT_TRUE(b.UntouchedFrom(c.capacity > 4 ? c.capacity : 4));
  }
}

TEST(SafeStrCat, EdgesOfCapacity) {
  EXPECT_FALSE(SafeStrCat(nullptr, 5, L"a"));
  Buffer zero(L"ab");
  EXPECT_FALSE(SafeStrCat(zero.slots, 0, L"a"));
  EXPECT_EQ(L"ab", zero.Text());
  // Capacity 1 overwrites slot 0 whatever it held.
  Buffer one(L"q");
  EXPECT_TRUE(SafeStrCat(one.slots, 1, L""));
  EXPECT_EQ(0, one.slots[0]);
  // No terminator within capacity - 1: the last slot receives one either way.
  Buffer full;
  for (int i = 0; i < 4; ++i) full.slots[i] = L'x';
  EXPECT_FALSE(SafeStrCat(full.slots, 4, L"y"));
  EXPECT_EQ(L"xxx", full.Text());
  for (int i = 0; i < 4; ++i) full.slots[i] = L'x';
  EXPECT_TRUE(SafeStrCat(full.slots, 4, L""));
  EXPECT_EQ(L"xxx", full.Text());
}

TEST(StrStartsWithI, FoldsOnlyAsciiLetters) {
  struct Case { const wchar_t* text; const wchar_t* prefix; bool expected; } cases[] = {
      {L"SETUP.EX_", L"setup", true}, {L"set", L"setup", false}, {L"", L"", true},
      {L"abc", L"", true},           {nullptr, L"a", false},    {L"a", nullptr, false},
      {L"tamrel.x", L"TAMREL", true}, {L"\u00C9t", L"\u00E9t", false}, {L"[x", L"{x", false},
      {L"setup", L"setup", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, StrStartsWithI(c.text, c.prefix));
  }
}

TEST(SearchStringI, LeftmostMatchFoldingAscii) {
  const wchar_t* text = L"C:\\App\\1.2.3\\Setup 1.2.3.EXE";
  EXPECT_EQ(text + 7, SearchStringI(text, L"1.2.3"));
  EXPECT_EQ(text + 13, SearchStringI(text, L"sETUP"));
  EXPECT_EQ(nullptr, SearchStringI(L"ab", L"abc"));
  EXPECT_EQ(text, SearchStringI(text, L""));
  EXPECT_EQ(nullptr, SearchStringI(nullptr, nullptr));
  EXPECT_EQ(nullptr, SearchStringI(L"", L"a"));
  EXPECT_EQ(nullptr, SearchStringI(L"\u00C4", L"\u00E4"));
  const wchar_t* partial = L"aab";
  EXPECT_EQ(partial + 1, SearchStringI(partial, L"ab"));
}

TEST(GetNameFromPathExt, CutsAfterLastBackslash) {
  const wchar_t* full = L"C:\\dir\\stub.exe";
  EXPECT_EQ(full + 7, GetNameFromPathExt(full, 15));
  const wchar_t* bare = L"stub.exe";
  EXPECT_EQ(bare, GetNameFromPathExt(bare, 8));
  const wchar_t* rooted = L"\\stub.exe";
  EXPECT_EQ(rooted + 1, GetNameFromPathExt(rooted, 9));
  const wchar_t* dir = L"C:\\dir\\";
  EXPECT_EQ(dir + 7, GetNameFromPathExt(dir, 7));
  EXPECT_EQ(full, GetNameFromPathExt(full, 0));
  const wchar_t* slash = L"C:/dir/stub.exe";
  EXPECT_EQ(slash, GetNameFromPathExt(slash, 15));
  // Only the first `length` characters are looked at.
  EXPECT_EQ(full + 3, GetNameFromPathExt(full, 6));
}

TEST(HexEncode, UpperCaseHighNibbleFirst) {
  const unsigned char bytes[] = {0x00, 0xAB, 0x0F, 0xF0};
  Buffer out;
  EXPECT_TRUE(HexEncode(bytes, 4, out.slots, 9));
  EXPECT_EQ(L"00AB0FF0", out.Text());
  Buffer small;
  EXPECT_FALSE(HexEncode(bytes, 4, small.slots, 8));
  EXPECT_EQ(0, small.slots[0]);
  EXPECT_TRUE(small.UntouchedFrom(1));
  Buffer empty;
  EXPECT_TRUE(HexEncode(bytes, 0, empty.slots, 1));
  EXPECT_EQ(L"", empty.Text());
  EXPECT_FALSE(HexEncode(bytes, 0, empty.slots, 0));
  EXPECT_FALSE(HexEncode(bytes, ~size_t{0}, empty.slots, 16));
}

TEST(FixedString, SetUpEmptyWithBothEndsZero) {
  FixedString<3> tag;
  EXPECT_TRUE(tag.IsEmpty());
  EXPECT_EQ(0, tag[3]);
  EXPECT_TRUE(tag.Copy(L"B7"));
  EXPECT_FALSE(tag.Append(L"X"));
  EXPECT_EQ(std::wstring(L"B7"), tag.Get());
  EXPECT_FALSE(tag.Copy(L"BLX"));
  EXPECT_TRUE(tag.IsEmpty());
}

}  // namespace
