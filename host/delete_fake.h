// A scripted stand-in for the platform under the delete state machine: every answer comes from an
// oracle the test or fuzz target supplies, and every call is checked against what the real
// platform would accept (known handles, the access each call needs, links never followed).
#pragma once

#include <string>

#include "cleanup/delete.h"

namespace delete_fake {

enum class Call { kOpenForDelete, kOpenForAttributes, kMark, kReadAttributes, kWriteAttributes };

// ERROR_SUCCESS or the error the call fails with; a successful attribute read returns `attributes`.
struct Answer {
  DWORD error;
  DWORD attributes;
};
using Oracle = Answer (*)(Call call);

// The last-error value every successful call leaves behind: real calls do not clear it, and code
// that read it after a success would act on this stale value.
constexpr DWORD kStaleError = 0xDEAD;

struct Observed {
  int opens = 0;
  int marks = 0;
  int attribute_writes = 0;
  int sleeps = 0;
  int open_handles = 0;
  DWORD written_attributes = 0;  // the last attributes written back; 0 when none were
  std::u16string paths;          // each path opened, '|' after each, repeats collapsed
  std::string problems;          // calls the real platform would refuse or that break a rule
};

// Starts a fresh run; the oracle answers every call until the next Start.
void Start(Oracle oracle);
DeleteApi Api();
const Observed& observed();

}  // namespace delete_fake
