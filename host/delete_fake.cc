#include "delete_fake.h"

#include <stdint.h>

#include <map>
#include <set>
#include <utility>

namespace delete_fake {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

Oracle oracle = nullptr;
Observed seen;
DWORD last_error = 0;
uintptr_t next_handle = 0x1000;
// Each open handle with the access it was granted.
std::set<std::pair<HANDLE, DWORD>> handles;
std::u16string last_path;
// Attributes the last read on each handle returned.
std::map<HANDLE, DWORD> read_attributes;

void Problem(const std::string& what) { seen.problems += what + "; "; }

bool Granted(HANDLE handle, DWORD access, const char* call) {
  for (const auto& h : handles) {
    if (h.first == handle) {
      if ((h.second & access) != access)
        Problem(std::string(call) + " without the access it needs");
      return true;
    }
  }
  Problem(std::string(call) + " on a handle that is not open");
  return false;
}

BOOL Answered(Call call, DWORD* attributes = nullptr) {
  const Answer answer = oracle(call);
  if (answer.error != ERROR_SUCCESS) {
    last_error = answer.error;
    return FALSE;
  }
  if (attributes != nullptr) *attributes = answer.attributes;
  last_error = kStaleError;
  return TRUE;
}

HANDLE WINAPI FakeCreateFile(LPCWSTR path, DWORD access, DWORD share,
                             LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                             HANDLE template_file) {
  ++seen.opens;
  std::u16string name;
  for (const wchar_t* p = path; p != nullptr && *p != 0; ++p)
    name.push_back(static_cast<char16_t>(*p));
  if (name != last_path) seen.paths += name + u"|";
  last_path = name;
  if (disposition != OPEN_EXISTING) Problem("an open that may create");
  if ((flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0) Problem("an open that follows links");
  if ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) Problem("an open that cannot open a directory");
  if (share != kShareAll) Problem("an open that shuts others out");
  if (security != nullptr || template_file != nullptr) Problem("an open with extra arguments");
  Call call;
  if (access == DELETE) {
    call = Call::kOpenForDelete;
  } else if (access == (FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES)) {
    call = Call::kOpenForAttributes;
  } else {
    Problem("an open for unexpected access");
    call = Call::kOpenForAttributes;
  }
  if (!Answered(call)) return INVALID_HANDLE_VALUE;
  const HANDLE handle = reinterpret_cast<HANDLE>(next_handle++);
  handles.insert({handle, access});
  ++seen.open_handles;
  return handle;
}

BOOL WINAPI FakeSetInformation(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info,
                               DWORD size) {
  if (type == FileDispositionInfo) {
    ++seen.marks;
    if (!Granted(handle, DELETE, "a mark")) return FALSE;
    if (size != sizeof(FILE_DISPOSITION_INFO) ||
        !static_cast<FILE_DISPOSITION_INFO*>(info)->DeleteFile) {
      Problem("a mark that does not ask for deletion");
    }
    return Answered(Call::kMark);
  }
  if (type == FileBasicInfo) {
    if (!Granted(handle, FILE_WRITE_ATTRIBUTES, "an attribute write")) return FALSE;
    if (size != sizeof(FILE_BASIC_INFO)) Problem("an attribute write of the wrong size");
    const FILE_BASIC_INFO* basic = static_cast<FILE_BASIC_INFO*>(info);
    if (basic->CreationTime.QuadPart != 1 || basic->LastAccessTime.QuadPart != 2 ||
        basic->LastWriteTime.QuadPart != 3 || basic->ChangeTime.QuadPart != 4) {
      Problem("an attribute write that changes the times");
    }
    const DWORD attributes = basic->FileAttributes;
    const auto read = read_attributes.find(handle);
    if (read == read_attributes.end() || (read->second & FILE_ATTRIBUTE_READONLY) == 0) {
      Problem("an attribute write without a read-only bit read to clear");
    } else {
      const DWORD others = read->second & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
      if (attributes != (others != 0 ? others : FILE_ATTRIBUTE_NORMAL)) {
        Problem("an attribute write that changes more than the read-only bit");
      }
    }
    ++seen.attribute_writes;
    if (!Answered(Call::kWriteAttributes)) return FALSE;
    seen.written_attributes = attributes;
    return TRUE;
  }
  Problem("an unexpected information class");
  return FALSE;
}

BOOL WINAPI FakeGetInformation(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info,
                               DWORD size) {
  if (type != FileBasicInfo || size != sizeof(FILE_BASIC_INFO)) {
    Problem("an unexpected attribute read");
    return FALSE;
  }
  if (!Granted(handle, FILE_READ_ATTRIBUTES, "an attribute read")) return FALSE;
  FILE_BASIC_INFO* basic = static_cast<FILE_BASIC_INFO*>(info);
  // Times the code must write back untouched.
  basic->CreationTime.QuadPart = 1;
  basic->LastAccessTime.QuadPart = 2;
  basic->LastWriteTime.QuadPart = 3;
  basic->ChangeTime.QuadPart = 4;
  if (!Answered(Call::kReadAttributes, &basic->FileAttributes)) return FALSE;
  read_attributes[handle] = basic->FileAttributes;
  return TRUE;
}

// A close leaves a last-error value of its own, so that an error read after the close instead of
// before it is the wrong one.
BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  for (auto it = handles.begin(); it != handles.end(); ++it) {
    if (it->first == handle) {
      handles.erase(it);
      --seen.open_handles;
      last_error = kStaleError;
      return TRUE;
    }
  }
  Problem("a close of a handle that is not open");
  return FALSE;
}

DWORD WINAPI FakeGetLastError() { return last_error; }

void WINAPI FakeSleep(DWORD milliseconds) {
  ++seen.sleeps;
  if (milliseconds != kDeleteRetryDelayMs) Problem("a sleep of another length");
  if (!handles.empty()) Problem("a sleep with a handle open");
}

}  // namespace

void Start(Oracle answers) {
  oracle = answers;
  seen = Observed();
  last_error = kStaleError;
  handles.clear();
  last_path.clear();
  read_attributes.clear();
}

DeleteApi Api() {
  return {FakeCreateFile, FakeSetInformation, FakeGetInformation, FakeCloseHandle,
          FakeGetLastError, FakeSleep};
}

const Observed& observed() { return seen; }

}  // namespace delete_fake
