// The command lines the stub builds, against plain models. Input: characters already held, the
// stub's own command line, setup path, archive path, version, flags (bit 0: the compressed
// archive; bit 1: no version at all).
#include <memory>

#include "fuzz/fuzz_input.h"
#include "launch/command_line.h"

namespace {

constexpr wchar_t kGuard = 0xFEFE;
constexpr size_t kLongest = kMaxCommandLine - 1;

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// What follows the program name: a quoted name ends at its closing quote (and there is nothing
// when it never closes), a bare one at the first blank. Arguments that start right after the name
// need a separating space.
struct Arguments {
  Text text;
  bool needs_space;
};
Arguments ModelArguments(const Text& line) {
  size_t rest;
  if (!line.empty() && line[0] == u'"') {
    const size_t close = line.find(u'"', 1);
    if (close == Text::npos) return {u"", false};
    rest = close + 1;
  } else {
    rest = 0;
    while (rest < line.size() && !IsBlank(line[rest])) ++rest;
  }
  if (rest == line.size()) return {u"", false};
  return {line.substr(rest), !IsBlank(line[rest])};
}

std::unique_ptr<CommandLineString> Holding(const Text& held) {
  std::unique_ptr<CommandLineString> buffer(new CommandLineString);
  for (size_t i = 0; i < held.size(); ++i) (*buffer)[i] = static_cast<wchar_t>(held[i]);
  (*buffer)[held.size()] = 0;
  (*buffer)[kMaxCommandLine] = kGuard;
  return buffer;
}

// The buffer holds `held` and then exactly the arguments, or nothing, or only the separating
// space when that fits and the arguments do not.
void CheckAppend(const Text& held, const Text& stub_line) {
  std::unique_ptr<CommandLineString> buffer = Holding(held);
  Slots line = Terminated(stub_line);
  AppendCommandLineFlags(line.get(), *buffer);
  const Arguments arguments = ModelArguments(Cut(stub_line));
  const Text tail = (arguments.needs_space ? u" " : u"") + arguments.text;
  Text expected = held;
  if (held.size() + tail.size() <= kLongest) {
    expected += tail;
  } else if (arguments.needs_space && held.size() + 1 <= kLongest) {
    expected += u" ";
  }
  REQUIRE(ToText(buffer->Get()) == expected, "held %zu, tail of %zu, got %zu", held.size(),
          tail.size(), buffer->Length());
  REQUIRE((*buffer)[kMaxCommandLine] == kGuard, "guard slot");
}

void CheckBuilt(bool built, const Text& expected, const CommandLineString& buffer) {
  REQUIRE(built == (expected.size() <= kLongest), "built %d, %zu characters", built,
          expected.size());
  if (built) REQUIRE(ToText(buffer.Get()) == expected, "built text");
  REQUIRE(buffer[kMaxCommandLine] == kGuard, "guard slot");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const size_t held = input.Number(kLongest);
  const Text stub_line = input.Wide();
  const Text setup = input.Wide(), archive = input.Wide(), version = input.Wide();
  const size_t flags = input.Number(3);
  const bool compressed = (flags & 1) != 0;
  const bool has_version = (flags & 2) == 0;

  CheckAppend(Text(held, u'p'), stub_line);

  Slots setup_slots = Terminated(setup), archive_slots = Terminated(archive),
        version_slots = Terminated(version);
  std::unique_ptr<CommandLineString> buffer = Holding(u"old");
  const bool built = BuildSetupCommandLine(setup_slots.get(), archive_slots.get(), compressed,
                                           has_version ? version_slots.get() : nullptr, *buffer);
  Text expected = u"\"" + Cut(setup) + u"\" --" +
                  (compressed ? u"install-archive" : u"uncompressed-archive") + u"=\"" +
                  Cut(archive) + u"\"";
  if (has_version) expected += u" --previous-version=\"" + Cut(version) + u"\"";
  CheckBuilt(built, expected, *buffer);
  // What the launch does next: the built line keeps its text and gains the stub's arguments.
  if (built) CheckAppend(expected, stub_line);

  buffer = Holding(u"old");
  const bool patch_built =
      BuildPatchCommandLine(setup_slots.get(), archive_slots.get(), version_slots.get(), *buffer);
  CheckBuilt(patch_built,
             u"\"" + Cut(setup) + u"\" --update-setup-exe=\"" + Cut(archive) +
                 u"\" --new-setup-exe=\"" + Cut(version) + u"\"",
             *buffer);
  return 0;
}
