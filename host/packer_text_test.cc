// The packer's text rules: which UTF-8 is refused, the upper case of the units at the edges of
// the generated table, which resource names are stored and how, and how a value is quoted in a
// message and a file's text shown in a line.
#include "pack_error.h"
#include "text.h"

#include "harness.h"

HOST_TEST(Utf8ToUtf16TakesOnlyStrictUtf8) {
  const struct {
    const char* label;
    std::string utf8;
    bool valid;
    Text utf16;
  } cases[] = {
      {"ASCII and a NUL", std::string("a\0b", 3), true, Text(u"a\0b", 3)},
      {"two, three and four bytes", "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80", true,
       u"\u00E9\u65E5\U0001F600"},
      {"largest code point", "\xF4\x8F\xBF\xBF", true, u"\U0010FFFF"},
      {"overlong slash", "\xC0\xAF", false, u""},
      {"overlong three bytes", "\xE0\x80\xAF", false, u""},
      {"overlong four bytes", "\xF0\x8F\xBF\xBF", false, u""},
      {"encoded surrogate", "\xED\xA0\x80", false, u""},
      {"past U+10FFFF", "\xF4\x90\x80\x80", false, u""},
      {"five-byte lead", "\xF8\x88\x80\x80\x80", false, u""},
      {"lone continuation", "a\x80", false, u""},
      {"cut short", "\xE6\x97", false, u""},
      {"lead before ASCII",
       "\xC3"
       "a",
       false, u""},
  };
  for (const auto& c : cases) {
    Text out;
    CHECK(pack::Utf8ToUtf16(c.utf8, &out) == c.valid, c.label);
    if (c.valid) {
      CHECK_TEXT(c.utf16, out, c.label);
      CHECK(pack::Utf16ToUtf8(out) == c.utf8, c.label);
    }
  }
  CHECK(pack::Utf16ToUtf8(u"a\xD800"
                          "b\xDC00") ==
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD",
        "an unpaired surrogate becomes U+FFFD");
}

HOST_TEST(UpperCaseUnitsMapsEachUnitOnItsOwn) {
  const struct {
    const char* label;
    Text text;
    Text upper;
  } cases[] = {
      {"resource name", u"TAMREL.\u0430\u0440\u0445\u0438\u0432.7z",
       u"TAMREL.\u0410\u0420\u0425\u0418\u0412.7Z"},
      {"ASCII edges", u"`az{@AZ[", u"`AZ{@AZ["},
      {"the system leaves the micro sign", u"\u00B5", u"\u00B5"},
      {"y diaeresis leaves Latin-1", u"\u00FF", u"\u0178"},
      {"multiplication and division signs", u"\u00D7\u00F7", u"\u00D7\u00F7"},
      {"every other unit of a pair run, dotless i left", u"\u0100\u0101\u012F\u0130\u0131",
       u"\u0100\u0100\u012E\u0130\u0131"},
      {"long s and final sigma left", u"\u017F\u03C2", u"\u017F\u03C2"},
      {"title case left, lower to upper", u"\u01C5\u01C6", u"\u01C5\u01C4"},
      {"sharp s has no one-unit upper case", u"\u00DF", u"\u00DF"},
      {"n preceded by apostrophe neither", u"\u0149", u"\u0149"},
      {"Greek with iota subscript to its title case", u"\u1F80\u1FA7\u1FB3\u1FF3",
       u"\u1F88\u1FAF\u1FBC\u1FFC"},
      {"fullwidth", u"\uFF41\uFF5A\uFF5B", u"\uFF21\uFF3A\uFF5B"},
      {"surrogates and the last units", u"\xD801\xDC28\xFFFE\xFFFF", u"\xD801\xDC28\xFFFE\xFFFF"},
  };
  for (const auto& c : cases) CHECK_TEXT(c.upper, pack::UpperCaseUnits(c.text), c.label);
}

HOST_TEST(StoredResourceNameIsWhatFindResourceFinds) {
  const Text longest(pack::kLongestResourceName, u'a');
  const struct {
    const char* label;
    Text typed;
    Text stored;          // when accepted
    std::string message;  // else
  } cases[] = {
      {"lower case beyond ASCII", u"\u00FF\u00E9\u65E5\u672C", u"\u0178\u00C9\u65E5\u672C",
       ""},
      {"'#' further in", u"a#1", u"A#1", ""},
      {"longest", longest, Text(pack::kLongestResourceName, u'A'), ""},
      {"read as a number", u"#12", u"",
       "--resource name '#12' begins with '#': Windows reads such a name as a resource number"},
      {"one past the longest", longest + u"a", u"",
       "--resource name 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa'... is 32767 UTF-16 units long; Windows "
       "finds names of at most 32766"},
      {"too long and a line feed early", u"a\n" + longest, u"", "'a\\naaaa"},
  };
  for (const auto& c : cases) {
    std::string message;
    Text stored;
    try {
      stored = pack::StoredResourceName(c.typed, "--resource name");
    } catch (const pack::PackError& error) {
      message = error.what();
    }
    if (c.message.empty()) {
      CHECK(message.empty(), std::string(c.label) + ": " + message);
      CHECK_TEXT(c.stored, stored, c.label);
    } else {
      CHECK(message.find(c.message) != std::string::npos, std::string(c.label) + ": " + message);
      CHECK(message.find('\n') == std::string::npos, c.label);
    }
  }
  // The table upper-cases no unit twice, so that refusal takes no name today: a table that did
  // would show here.
  int refused = 0;
  for (unsigned unit = 0; unit < 0x10000; ++unit) {
    if (unit == '#') continue;
    try {
      pack::StoredResourceName(Text(1, static_cast<char16_t>(unit)), "name");
    } catch (const pack::PackError&) {
      ++refused;
    }
  }
  CHECK(refused == 0, std::to_string(refused) + " units upper-cased twice");
}

HOST_TEST(QuotedAndShownKeepALineOneLine) {
  const struct {
    std::string value;
    std::string quoted;
    std::string shown;  // as a line shows text from a file: only what acts on a terminal escaped
  } cases[] = {
      {"it's", "\"it's\"", "it's"},
      {"it's \"x\"", "'it\\'s \"x\"'", "it's \"x\""},
      {"two\nlines\r\t", "'two\\nlines\\r\\t'", "two\\nlines\\r\\t"},
      {std::string("\0\x1F\x7F", 3), "'\\x00\\x1f\\x7f'", "\\x00\\x1f\\x7f"},
      {"C1 \xC2\x85, separator \xE2\x80\xA8", "'C1 \\x85, separator \\u2028'",
       "C1 \\x85, separator \\u2028"},
      {"not UTF-8 \xFF\xC3", "'not UTF-8 \\xff\\xc3'", "not UTF-8 \\xff\\xc3"},
      {"\x1B[2J\xC2\x9B" "2J", "'\\x1b[2J\\x9b2J'", "\\x1b[2J\\x9b2J"},
      {"setup\xE2\x80\xAE" "exe.txt \xE2\x81\xA6", "'setup\\u202eexe.txt \\u2066'",
       "setup\\u202eexe.txt \\u2066"},
      {"C:\\dir 'q' \xC3\xA9", "\"C:\\\\dir 'q' \xC3\xA9\"", "C:\\dir 'q' \xC3\xA9"},
  };
  for (const auto& c : cases) {
    CHECK(pack::Quoted(c.value) == c.quoted, c.quoted);
    CHECK(pack::Shown(c.value) == c.shown, c.shown);
    // A quoted value already in a line is left as it is.
    CHECK(pack::Shown(c.quoted) == c.quoted, c.quoted);
  }
}
