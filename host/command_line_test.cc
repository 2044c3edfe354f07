// The command lines the stub builds, with the stub's own line in exactly as many slots as it has
// (terminator included) and the guard slot of the fixed buffer watched.
#include "launch/command_line.h"

#include <memory>

#include "harness.h"

namespace {

constexpr wchar_t kGuard = 0xFEFE;

// A command line buffer on the heap, holding `held` characters, its spare last slot set to a
// value the operations must never write.
std::unique_ptr<CommandLineString> Holding(size_t held) {
  std::unique_ptr<CommandLineString> buffer(new CommandLineString);
  for (size_t i = 0; i < held; ++i) (*buffer)[i] = L'p';
  (*buffer)[held] = 0;
  (*buffer)[kMaxCommandLine] = kGuard;
  return buffer;
}

}  // namespace

HOST_TEST(AppendCommandLineFlagsAddsTheStubsOwnTailOrNothing) {
  struct Case {
    size_t held;
    Text stub_line;
    Text appended;
  } cases[] = {
      {2, u"\"C:\\a b\\stub.exe\" x \"y z\" ", u" x \"y z\" "},
      {2, u"\"C:\\a b\\stub.exe\"x", u" x"},
      {2, u"\"C:\\a b\\stub.exe x", u""},
      {2, u"\"C:\\a b\\stub.exe\"", u""},
      {2, u"\"C:\\a b\\stub.exe\"\"q\"", u" \"q\""},
      {2, u"\"\"", u""},
      {2, u"\"\" x", u" x"},
      {2, u"C:\\stub.exe \t", u" \t"},
      {2, u"C:\\st\"ub.exe x", u" x"},
      {2, u"stub\x01\x1f.exe x", u" x"},
      {2, u" x y", u" x y"},
      {2, u"\tx", u"\tx"},
      {2, u"\"", u""},
      {2, u"C:\\stub.exe\t x", u"\t x"},
      {2, u"C:\\stub.exe", u""},
      {2, u"", u""},
      {2, u"stub \u4E2D\U0001F600", u" \u4E2D\U0001F600"},  // a surrogate pair
      {1036, u"s ab", u" ab"},
      {1037, u"s ab", u""},
      {1037, u"\"s\"ab", u" "},  // the separating space fits, the arguments do not
      {1039, u"\"s\"ab", u""},
      {1039, u"s", u""},
  };
  for (const Case& c : cases) {
    std::unique_ptr<CommandLineString> buffer = Holding(c.held);
    Slots stub_line = Terminated(c.stub_line);
    AppendCommandLineFlags(stub_line.get(), *buffer);
    const std::string label = std::to_string(c.held) + " " + Show(c.stub_line);
    CHECK_TEXT(Text(c.held, u'p') + c.appended, ToText(buffer->Get()), label);
    CHECK((*buffer)[kMaxCommandLine] == kGuard, label);
  }
  std::unique_ptr<CommandLineString> buffer = Holding(2);
  AppendCommandLineFlags(nullptr, *buffer);
  CHECK_TEXT(u"pp", ToText(buffer->Get()), "no stub line");
}

HOST_TEST(BuildCommandLinesFitExactlyOrFail) {
  const Text setup_fixed = u"\"s\" --install-archive=\"a\" --previous-version=\"\"";
  const Text patch_fixed = u"\"\" --update-setup-exe=\"\" --new-setup-exe=\"\"";
  for (int extra : {-1, 0, 1}) {
    const std::string label = extra < 0 ? "one short" : extra == 0 ? "fits" : "one over";
    std::unique_ptr<CommandLineString> buffer = Holding(0);
    Slots version = Terminated(Text(kMaxCommandLine - 1 - setup_fixed.size() + extra, u'v'));
    CHECK(BuildSetupCommandLine(L"s", L"a", true, version.get(), *buffer) == (extra <= 0), label);
    CHECK((*buffer)[kMaxCommandLine] == kGuard, label);
    Slots patch = Terminated(Text(kMaxCommandLine - 1 - patch_fixed.size() + extra, u'p'));
    CHECK(BuildPatchCommandLine(L"", patch.get(), L"", *buffer) == (extra <= 0), label);
    CHECK((*buffer)[kMaxCommandLine] == kGuard, label);
    if (extra <= 0) CHECK(buffer->Length() == kMaxCommandLine - 1 + extra, label);
  }
  std::unique_ptr<CommandLineString> buffer = Holding(5);
  CHECK(BuildSetupCommandLine(nullptr, nullptr, false, nullptr, *buffer), "null pieces");
  CHECK_TEXT(u"\"\" --uncompressed-archive=\"\"", ToText(buffer->Get()), "null pieces");
}
