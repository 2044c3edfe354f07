// The delete state machine against scripted answers: what it returns, how long it waits, what it
// writes back, and that every call is one the platform would accept (see delete_fake.h).
#include "cleanup/delete.h"

#include <vector>

#include "delete_fake.h"
#include "harness.h"

namespace {

using delete_fake::Answer;
using delete_fake::Call;

constexpr DWORD kOk = ERROR_SUCCESS;
constexpr DWORD kGone = ERROR_FILE_NOT_FOUND;

// One queue per kind of call; the last answer of a queue repeats once it is used up. An empty
// queue answers success, except the open for deletion, which answers that the path is gone.
struct Script {
  std::vector<DWORD> opens;  // the open for deletion
  std::vector<DWORD> marks;
  std::vector<DWORD> attributes;  // read by the read-only check; ~0u fails the read
  std::vector<DWORD> attribute_opens;
};
const Script* script = nullptr;
size_t used[5] = {};

// The queue each kind of call is answered from, in the order of delete_fake::Call; the attribute
// write has none and always succeeds.
std::vector<DWORD> Script::*const kQueues[] = {&Script::opens, &Script::attribute_opens,
                                               &Script::marks, &Script::attributes, nullptr};

Answer FromScript(Call call) {
  const size_t kind = static_cast<size_t>(call);
  if (kQueues[kind] == nullptr) return {kOk, 0};
  const std::vector<DWORD>& queue = script->*kQueues[kind];
  if (queue.empty()) return {call == Call::kOpenForDelete ? ERROR_FILE_NOT_FOUND : kOk, 0};
  const DWORD value = queue[used[kind] < queue.size() ? used[kind] : queue.size() - 1];
  ++used[kind];
  if (call == Call::kReadAttributes)
    return value == ~0u ? Answer{ERROR_ACCESS_DENIED, 0} : Answer{kOk, value};
  return {value, 0};
}

void StartScript(const Script& s) {
  script = &s;
  for (size_t& n : used) n = 0;
  delete_fake::Start(FromScript);
}

std::vector<DWORD> Times(size_t n, DWORD error, std::vector<DWORD> then) {
  std::vector<DWORD> answers(n, error);
  answers.insert(answers.end(), then.begin(), then.end());
  return answers;
}

}  // namespace

// Every row ends within 99 pauses and kDeleteAttempts counted passes of at most three marks each,
// however the file system answers.
HOST_TEST(DeleteWithRetryWaitsOnlyForWhatWaitingCures) {
  constexpr DWORD kHeld = ERROR_SHARING_VIOLATION;
  constexpr DWORD kRefused = ERROR_ACCESS_DENIED;
  constexpr DWORD kReadOnly = FILE_ATTRIBUTE_READONLY;
  constexpr DWORD kArchive = FILE_ATTRIBUTE_ARCHIVE;
  constexpr DWORD kHidden = FILE_ATTRIBUTE_HIDDEN;
  constexpr DWORD kSystem = FILE_ATTRIBUTE_SYSTEM;
  constexpr DWORD kDirectory = FILE_ATTRIBUTE_DIRECTORY;
  constexpr DWORD kNotEmpty = ERROR_DIR_NOT_EMPTY;
  // A read-only path: the mark is refused until the bit is cleared, then accepted.
  auto read_only = [](DWORD attributes) {
    return Script{{kOk, kOk, kGone}, {kRefused, kOk}, {attributes}};
  };
  struct Case {
    const char* label;
    Script script;
    bool deleted;
    int sleeps, marks, attribute_writes;
    DWORD written;  // attributes written back, 0 for none
  } cases[] = {
      {"already gone", {{kGone}}, true, 0, 0, 0, 0},
      {"folder already gone", {{ERROR_PATH_NOT_FOUND}}, true, 0, 0, 0, 0},
      {"marked, then gone", {{kOk, kGone}}, true, 0, 1, 0, 0},
      {"held five times", {Times(5, kHeld, {kOk, kGone})}, true, 5, 1, 0, 0},
      {"held until the next-to-last attempt", {Times(98, kHeld, {kOk, kGone})}, true, 98, 1, 0, 0},
      {"held on the last attempt", {Times(99, kHeld, {kOk, kGone})}, true, 99, 1, 0, 0},
      {"held one attempt too long", {Times(100, kHeld, {kOk, kGone})}, false, 99, 0, 0, 0},
      {"held for good", {{kHeld}}, false, 99, 0, 0, 0},
      // Only the read-only bit changes, and a file with no other attribute says so with
      // FILE_ATTRIBUTE_NORMAL, since attributes of 0 would leave the bit where it is; the fake
      // checks that the four times are written back as read.
      {"read-only, hidden", read_only(kReadOnly | kHidden | kArchive), true, 0, 2, 1,
       kHidden | kArchive},
      {"read-only, hidden, system", read_only(kReadOnly | kHidden | kSystem), true, 0, 2, 1,
       kHidden | kSystem},
      {"read-only directory", read_only(kReadOnly | kDirectory), true, 0, 2, 1, kDirectory},
      {"only read-only", read_only(kReadOnly), true, 0, 2, 1, FILE_ATTRIBUTE_NORMAL},
      {"read-only, refused at the open", {{kRefused, kOk, kGone}, {}, {kReadOnly | kArchive}},
       true, 0, 1, 1, kArchive},
      {"refused, not read-only", {Times(3, kRefused, {kOk, kGone}), {}, {kArchive}}, true, 3, 1, 0,
       0},
      {"mark refused for good, not read-only", {{kOk}, {kRefused}, {kArchive}}, false, 99, 100, 0,
       0},
      {"refused, attributes unreadable", {{kRefused}, {}, {~0u}}, false, 99, 0, 0, 0},
      {"refused, attributes cannot be opened", {{kRefused}, {}, {}, {kRefused}}, false, 99, 0, 0,
       0},
      {"read-only, attributes cannot be opened", {{kOk}, {kRefused}, {}, {kRefused}}, false, 99,
       100, 0, 0},
      {"a malformed name", {{ERROR_INVALID_NAME}}, false, 0, 0, 0, 0},
      {"an error waiting does not cure", {{ERROR_INVALID_PARAMETER}}, false, 0, 0, 0, 0},
      {"a folder not yet empty", {{kOk, kOk, kOk, kGone}, {kNotEmpty, kNotEmpty, kOk}}, true, 2, 3,
       0, 0},
      {"a folder that stays full", {{kOk}, {kNotEmpty}}, false, 99, 100, 0, 0},
      {"a mark refused for good", {{kOk}, {ERROR_WRITE_PROTECT}}, false, 0, 1, 0, 0},
      {"a mark refused with an unknown error", {{kOk}, {ERROR_INVALID_PARAMETER}}, false, 0, 1, 0,
       0},
      // The file system says marked (or cleared) every time, yet the path stays: two restarts per
      // counted pass, so the third pass of each counts.
      {"marked but never gone", {{kOk}, {kOk}}, false, 99, 300, 0, 0},
      {"read-only bit never clears", {{kOk}, {kRefused}, {kReadOnly}}, false, 99, 300, 300,
       FILE_ATTRIBUTE_NORMAL},
      // Windows keeps a marked path that another process still holds "delete pending" and refuses
      // every open of it, the attribute open included, with ERROR_ACCESS_DENIED until the holder
      // lets go; then the path is gone. (Wine opens such a path again: see
      // platform/platform_files_test.cc.)
      {"delete pending, let go during the fifth pause",
       {Times(1, kOk, Times(5, kRefused, {kGone})), {}, {}, {kRefused}}, true, 5, 1, 0, 0},
      {"delete pending throughout", {Times(1, kOk, {kRefused}), {}, {}, {kRefused}}, false, 99, 1,
       0, 0},
  };
  for (const Case& c : cases) {
    StartScript(c.script);
    const bool deleted = DeleteWithRetry(L"C:\\w\\TM_00000.tmp\\A.7Z", delete_fake::Api());
    const delete_fake::Observed& seen = delete_fake::observed();
    CHECK(deleted == c.deleted, c.label);
    CHECK(seen.sleeps == c.sleeps,
          std::string(c.label) + ": " + std::to_string(seen.sleeps) + " sleeps");
    CHECK(seen.marks == c.marks,
          std::string(c.label) + ": " + std::to_string(seen.marks) + " marks");
    CHECK(seen.attribute_writes == c.attribute_writes,
          std::string(c.label) + ": " + std::to_string(seen.attribute_writes) + " writes");
    CHECK(seen.written_attributes == c.written, c.label);
    CHECK(seen.open_handles == 0, c.label);
    CHECK(seen.problems.empty(), std::string(c.label) + ": " + seen.problems);
  }
}

HOST_TEST(DeleteExtractedFilesRemovesTheFilesBeforeTheirDirectory) {
  struct Case {
    const wchar_t* archive;
    const wchar_t* setup;
    Text opened;
  } cases[] = {
      {L"D\\a.7z", L"D\\setup.exe", u"D\\a.7z|D\\setup.exe|D\\|"},
      {L"", L"D\\setup.exe", u"D\\setup.exe|D\\|"},
      {L"", L"", u"D\\|"},
      {nullptr, nullptr, u"D\\|"},
  };
  const Script marked_then_gone = {{kOk, kGone}};
  for (const Case& c : cases) {
    StartScript(marked_then_gone);
    DeleteExtractedFiles(c.archive, c.setup, L"D\\", delete_fake::Api());
    CHECK_TEXT(c.opened, delete_fake::observed().paths, Show(c.opened));
  }
}
