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

Answer FromScript(Call call) {
  const size_t kind = static_cast<size_t>(call);
  const std::vector<DWORD>* queue = nullptr;
  switch (call) {
    case Call::kOpenForDelete:
      queue = &script->opens;
      break;
    case Call::kMark:
      queue = &script->marks;
      break;
    case Call::kReadAttributes:
      queue = &script->attributes;
      break;
    case Call::kOpenForAttributes:
      queue = &script->attribute_opens;
      break;
    case Call::kWriteAttributes:
      return {kOk, 0};
  }
  if (queue->empty()) return {call == Call::kOpenForDelete ? ERROR_FILE_NOT_FOUND : kOk, 0};
  const DWORD value = (*queue)[used[kind] < queue->size() ? used[kind] : queue->size() - 1];
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

HOST_TEST(DeleteWithRetryWaitsOnlyForWhatWaitingCures) {
  constexpr DWORD kHeld = ERROR_SHARING_VIOLATION;
  constexpr DWORD kRefused = ERROR_ACCESS_DENIED;
  constexpr DWORD kReadOnly = FILE_ATTRIBUTE_READONLY;
  constexpr DWORD kArchive = FILE_ATTRIBUTE_ARCHIVE;
  constexpr DWORD kNotEmpty = ERROR_DIR_NOT_EMPTY;
  struct Case {
    const char* label;
    Script script;
    bool deleted;
    int sleeps;
    DWORD written;  // attributes written back, 0 for none
  } cases[] = {
      {"already gone", {{kGone}}, true, 0, 0},
      {"folder already gone", {{ERROR_PATH_NOT_FOUND}}, true, 0, 0},
      {"marked, then gone", {{kOk, kGone}}, true, 0, 0},
      {"held five times", {Times(5, kHeld, {kOk, kGone})}, true, 5, 0},
      {"held until the next-to-last attempt", {Times(98, kHeld, {kOk, kGone})}, true, 98, 0},
      {"held on the last attempt", {Times(99, kHeld, {kOk, kGone})}, true, 99, 0},
      {"held for good", {{kHeld}}, false, 99, 0},
      {"read-only", {{kRefused, kOk, kGone}, {}, {kReadOnly | kArchive}}, true, 0, kArchive},
      {"only read-only", {{kRefused, kOk, kGone}, {}, {kReadOnly}}, true, 0, FILE_ATTRIBUTE_NORMAL},
      {"refused, not read-only", {Times(3, kRefused, {kOk, kGone}), {}, {kArchive}}, true, 3, 0},
      {"refused, attributes unreadable", {{kRefused}, {}, {~0u}}, false, 99, 0},
      {"refused, attributes cannot be opened", {{kRefused}, {}, {}, {kRefused}}, false, 99, 0},
      {"an error waiting does not cure", {{ERROR_INVALID_PARAMETER}}, false, 0, 0},
      {"a folder not yet empty", {{kOk, kOk, kOk, kGone}, {kNotEmpty, kNotEmpty, kOk}}, true, 2, 0},
      {"a mark refused for good", {{kOk}, {ERROR_WRITE_PROTECT}}, false, 0, 0},
      // The file system says marked every time, yet the path stays.
      {"marked but never gone", {{kOk}, {kOk}}, false, 99, 0},
  };
  for (const Case& c : cases) {
    StartScript(c.script);
    const bool deleted = DeleteWithRetry(L"C:\\w\\TM_00000.tmp\\A.7Z", delete_fake::Api());
    const delete_fake::Observed& seen = delete_fake::observed();
    CHECK(deleted == c.deleted, c.label);
    CHECK(seen.sleeps == c.sleeps,
          std::string(c.label) + ": " + std::to_string(seen.sleeps) + " sleeps");
    CHECK(seen.written_attributes == c.written, c.label);
    CHECK(seen.open_handles == 0, c.label);
    CHECK(seen.problems.empty(), std::string(c.label) + ": " + seen.problems);
  }
}

// A path that keeps answering "marked" still ends: at most three passes per counted attempt.
HOST_TEST(DeleteWithRetryIsBoundedWhateverTheFileSystemSays) {
  const Script endless = {{kOk}, {kOk}};
  StartScript(endless);
  CHECK(!DeleteWithRetry(L"x", delete_fake::Api()), "endless");
  CHECK(delete_fake::observed().marks == kDeleteAttempts * (kDeleteRestartsPerAttempt + 1),
        std::to_string(delete_fake::observed().marks) + " marks");
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
