// The work directory's path and descriptor text, against plain models, with the fixed buffers'
// spare slot watched. Input: base directory, random bytes, owner SID, a prefix length.
#include <memory>

#include "fuzz/fuzz_input.h"
#include "work_dir/work_directory_text.h"

namespace {

constexpr wchar_t kGuard = 0xFEFE;

template <typename String>
std::unique_ptr<String> Guarded() {
  std::unique_ptr<String> s(new String);
  (*s)[String::kCapacity] = kGuard;
  return s;
}

Text Hex(const unsigned char* bytes, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  Text text;
  for (size_t i = 0; i < count; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const Text base = input.Wide();
  const std::string random_field = input.Bytes();
  const Text owner = input.Wide();
  const size_t prefix_seed = input.Number(kMaxPath + 2);

  unsigned char random[kWorkDirectoryRandomBytes] = {};
  for (size_t i = 0; i < kWorkDirectoryRandomBytes && i < random_field.size(); ++i) {
    random[i] = static_cast<unsigned char>(random_field[i]);
  }
  const Text name = Hex(random, kWorkDirectoryRandomBytes).substr(0, 5) + u".tmp";

  // Started, the path keeps room for the name and the trailing backslash.
  Slots base_slots = Terminated(base);
  std::unique_ptr<PathString> path = Guarded<PathString>();
  size_t prefix = 0;
  const Text started = Cut(base) + u"TM_";
  const bool room = started.size() + name.size() + 1 <= kMaxPath - 1;
  REQUIRE(StartWorkDirectoryPath(base_slots.get(), *path, &prefix) == room, "base of %zu",
          Cut(base).size());
  if (room) {
    REQUIRE(prefix == started.size() && ToText(path->Get()) == started, "started path");
    REQUIRE(FormWorkDirectoryName(*path, prefix, random), "named");
    REQUIRE(path->Append(L"\\"), "room for the backslash");
    REQUIRE(ToText(path->Get()) == started + name + u"\\", "named path");
  }
  REQUIRE((*path)[kMaxPath] == kGuard, "guard slot");

  // Named at any prefix of a full path: written exactly when the room rule holds.
  std::unique_ptr<PathString> full = Guarded<PathString>();
  const Text filler(kMaxPath - 1, u'p');
  full->Copy(Terminated(filler).get());
  const bool named = FormWorkDirectoryName(*full, prefix_seed, random);
  REQUIRE(named == (prefix_seed + 11 <= kMaxPath), "prefix %zu", prefix_seed);
  REQUIRE(ToText(full->Get()) == (named ? filler.substr(0, prefix_seed) + name : filler),
          "prefix %zu", prefix_seed);
  REQUIRE((*full)[kMaxPath] == kGuard, "guard slot");

  Slots owner_slots = Terminated(owner);
  std::unique_ptr<SddlString> sddl = Guarded<SddlString>();
  const Text expected = ToText(kWorkDirectorySddlPrefix) + Cut(owner) + u")";
  const bool composed = ComposeWorkDirectorySddl(owner_slots.get(), *sddl);
  REQUIRE(composed == (expected.size() <= kSddlCapacity - 1), "owner of %zu", Cut(owner).size());
  if (composed) REQUIRE(ToText(sddl->Get()) == expected, "descriptor text");
  REQUIRE((*sddl)[kSddlCapacity] == kGuard, "guard slot");
  return 0;
}
