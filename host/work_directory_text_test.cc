// The work directory's path and descriptor text at the edges of their fixed buffers, with the
// buffers' spare last slot watched.
#include "work_dir/work_directory_text.h"

#include <memory>

#include "harness.h"

namespace {

constexpr wchar_t kGuard = 0xFEFE;

template <typename String>
std::unique_ptr<String> Guarded() {
  std::unique_ptr<String> s(new String);
  (*s)[String::kCapacity] = kGuard;
  return s;
}

}  // namespace

// The name and a trailing backslash always fit once the path is started.
HOST_TEST(WorkDirectoryPathLeavesRoomForTheNameAndBackslash) {
  const unsigned char random[kWorkDirectoryRandomBytes] = {0xAB, 0xCD, 0xEF, 0x12};
  for (size_t base_length : {0, 1, 245, 246, 247, 259, 260}) {
    const std::string label = "base of " + std::to_string(base_length);
    const Text base(base_length, u'd');
    Slots base_slots = Terminated(base);
    std::unique_ptr<PathString> path = Guarded<PathString>();
    size_t prefix = 99;
    const bool started = StartWorkDirectoryPath(base_slots.get(), *path, &prefix);
    CHECK(started == (base_length <= 246), label);
    CHECK((*path)[kMaxPath] == kGuard, label);
    if (!started) continue;
    CHECK(prefix == base_length + 3, label);
    CHECK(FormWorkDirectoryName(*path, prefix, random), label);
    CHECK(path->Append(L"\\"), label);
    CHECK_TEXT(base + u"TM_ABCDE.tmp\\", ToText(path->Get()), label);
    CHECK((*path)[kMaxPath] == kGuard, label);
  }
  std::unique_ptr<PathString> path = Guarded<PathString>();
  size_t prefix = 99;
  CHECK(!StartWorkDirectoryPath(nullptr, *path, &prefix) && prefix == 0, "null base");
  path->Copy(L"keep");
  CHECK(!FormWorkDirectoryName(*path, 250, {}) && ToText(path->Get()) == u"keep", "no room");
}

HOST_TEST(FallbackNamesAreDistinctForEveryAttempt) {
  Text names;
  for (size_t attempt = 0; attempt < kWorkDirectoryAttempts; ++attempt) {
    unsigned char random[kWorkDirectoryRandomBytes];
    FallbackRandomBytes(attempt, random);
    PathString path;
    size_t prefix = 0;
    StartWorkDirectoryPath(L"", path, &prefix);
    FormWorkDirectoryName(path, prefix, random);
    names += ToText(path.Get()) + u" ";
  }
  CHECK_TEXT(
      u"TM_00000.tmp TM_00001.tmp TM_00002.tmp TM_00003.tmp TM_00004.tmp TM_00005.tmp "
      u"TM_00006.tmp TM_00007.tmp TM_00008.tmp TM_00009.tmp ",
      names, "fallback names");
}

HOST_TEST(SddlTakesAnyOwnerThatFits) {
  const Text prefix = ToText(kWorkDirectorySddlPrefix);
  CHECK(prefix.size() == 92, "fixed part");
  const size_t longest = kSddlCapacity - 1 - prefix.size() - 1;
  for (int extra : {-1, 0, 1}) {
    const Text owner = u"S-1-5-21-" + Text(longest - 9 + extra, u'9');
    Slots owner_slots = Terminated(owner);
    std::unique_ptr<SddlString> sddl = Guarded<SddlString>();
    CHECK(ComposeWorkDirectorySddl(owner_slots.get(), *sddl) == (extra <= 0), "owner");
    if (extra <= 0) CHECK_TEXT(prefix + owner + u")", ToText(sddl->Get()), "owner");
    CHECK((*sddl)[kSddlCapacity] == kGuard, "owner");
  }
  SddlString sddl;
  CHECK(!ComposeWorkDirectorySddl(nullptr, sddl), "null owner");
}
