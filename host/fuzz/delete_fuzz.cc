// The delete state machine against any sequence of platform answers: the input's bytes, taken in
// turn and from the start again when used up, answer every call (see delete_fake.h, which checks
// each call). It always ends within its attempts, leaves no handle open, and says the path is
// gone exactly when the platform last said so.
#include "cleanup/delete.h"
#include "delete_fake.h"
#include "fuzz/fuzz_input.h"

namespace {

const uint8_t* script = nullptr;
size_t script_size = 0;
size_t position = 0;
// The error of the last open for deletion or mark: the one that decides a pass.
DWORD deciding_error = 0;

uint8_t NextByte() { return script_size == 0 ? 2 : script[position++ % script_size]; }

DWORD ErrorFrom(uint8_t b) {
  static const DWORD kErrors[] = {
      ERROR_SUCCESS,           ERROR_SUCCESS,       ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
      ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_DIR_NOT_EMPTY};
  return (b & 7) < 7 ? kErrors[b & 7] : b >> 3;  // any small error code, success included
}

delete_fake::Answer Answer(delete_fake::Call call) {
  const uint8_t b = NextByte();
  switch (call) {
    case delete_fake::Call::kOpenForDelete:
    case delete_fake::Call::kMark:
      deciding_error = ErrorFrom(b);
      return {deciding_error, 0};
    case delete_fake::Call::kReadAttributes:
      return (b & 0x0F) == 0x0F ? delete_fake::Answer{ERROR_ACCESS_DENIED, 0}
                                : delete_fake::Answer{ERROR_SUCCESS, b};
    case delete_fake::Call::kOpenForAttributes:
    case delete_fake::Call::kWriteAttributes:
      return {(b & 3) == 3 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS, 0};
  }
  return {ERROR_SUCCESS, 0};
}

bool IsGone(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }
bool IsCuredByWaiting(DWORD error) {
  return error == ERROR_SUCCESS || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_DIR_NOT_EMPTY || error == ERROR_ACCESS_DENIED;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  script = data;
  script_size = size;
  position = 0;
  deciding_error = 0;
  delete_fake::Start(Answer);
  const bool deleted = DeleteWithRetry(L"D\\TM_00000.tmp\\", delete_fake::Api());
  const delete_fake::Observed& seen = delete_fake::observed();

  REQUIRE(seen.problems.empty(), "%s", seen.problems.c_str());
  REQUIRE(seen.open_handles == 0, "%d handles left open", seen.open_handles);
  REQUIRE(seen.sleeps <= kDeleteAttempts - 1, "%d sleeps", seen.sleeps);
  // At most three passes per counted attempt, each at most two opens.
  const int most_opens = kDeleteAttempts * (kDeleteRestartsPerAttempt + 1) * 2;
  REQUIRE(seen.opens <= most_opens, "%d opens", seen.opens);
  REQUIRE(deleted == IsGone(deciding_error), "deleted %d after error %u", deleted, deciding_error);
  // Given up early only on an error that waiting does not cure.
  if (!deleted && seen.sleeps < kDeleteAttempts - 1) {
    REQUIRE(!IsCuredByWaiting(deciding_error), "gave up after %d sleeps on error %u", seen.sleeps,
            deciding_error);
  }
  return 0;
}
