#include "cleanup/delete.h"

#include "support/wide_string.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Backup semantics open a directory as well as a file. The reparse-point flag opens a symbolic
// link or junction itself, so that the link is what gets deleted and never its target.
constexpr DWORD kOpenFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// How one pass ends.
enum class Pass {
  kGone,           // the path does not exist
  kRestart,        // progress was made (marked, or read-only bit cleared): open again at once
  kClearReadOnly,  // refused: a read-only attribute may stand in the way
  kWait,           // held by another process, or a directory not yet empty
  kGiveUp,         // an error that waiting will not cure
};

Pass Classify(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return Pass::kGone;
    case ERROR_SHARING_VIOLATION:
    case ERROR_DIR_NOT_EMPTY:
      return Pass::kWait;
    // Also what a path gets that another process still holds after it was marked, or an image
    // still running; those are waited for when there is no read-only bit to clear.
    case ERROR_ACCESS_DENIED:
      return Pass::kClearReadOnly;
    default:
      return Pass::kGiveUp;
  }
}

// Opens the path and marks it for deletion. A successful mark is not success yet: the path goes
// when the last handle to it closes, which the next pass's open confirms.
Pass MarkForDeletion(const wchar_t* path, const DeleteApi& api) {
  const HANDLE handle =
      api.CreateFileW(path, DELETE, kShareAll, nullptr, OPEN_EXISTING, kOpenFlags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Classify(api.GetLastError());
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  const bool marked = api.SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                                     sizeof disposition) != FALSE;
  // Read before the close, which may change it.
  const DWORD error = marked ? ERROR_SUCCESS : api.GetLastError();
  api.CloseHandle(handle);
  return marked ? Pass::kRestart : Classify(error);
}

// True when the read-only bit was set and has been cleared; every other attribute and the four
// times are written back as read.
bool ClearReadOnly(const wchar_t* path, const DeleteApi& api) {
  const HANDLE handle = api.CreateFileW(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                        kShareAll, nullptr, OPEN_EXISTING, kOpenFlags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FILE_BASIC_INFO info = {};
  bool cleared = false;
  if (api.GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info) &&
      (info.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    // Attributes of 0 mean "leave them as they are" to the file system, which would keep the
    // read-only bit of a file that had no other attribute; FILE_ATTRIBUTE_NORMAL says "none".
    if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    cleared = api.SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof info) != FALSE;
  }
  api.CloseHandle(handle);
  return cleared;
}

}  // namespace

bool DeleteWithRetry(const wchar_t* path, const DeleteApi& api) {
  int attempt = 1;
  // Restarts since the last counted pass. An ordinary read-only file needs two in a row (after
  // clearing the bit, then after the mark), and a marked path is gone by the next open. A third
  // means the file system keeps reporting success while the path stays (or something keeps
  // recreating it), so that pass is counted as a wait: the whole call then stays within
  // kDeleteAttempts counted passes and their sleeps, however the file system behaves.
  int restarts = 0;
  for (;;) {
    Pass pass = MarkForDeletion(path, api);
    if (pass == Pass::kClearReadOnly) {
      pass = ClearReadOnly(path, api) ? Pass::kRestart : Pass::kWait;
    }
    if (pass == Pass::kGone) return true;
    if (pass == Pass::kGiveUp) return false;
    if (pass == Pass::kRestart && restarts < kDeleteRestartsPerAttempt) {
      ++restarts;
      continue;
    }
    if (attempt == kDeleteAttempts) return false;
    ++attempt;
    restarts = 0;
    api.Sleep(kDeleteRetryDelayMs);
  }
}

void DeleteExtractedFiles(const wchar_t* archive_path, const wchar_t* setup_path,
                          const wchar_t* work_directory, const DeleteApi& api) {
  if (SafeStrLen(archive_path, kMaxPath) != 0) DeleteWithRetry(archive_path, api);
  if (SafeStrLen(setup_path, kMaxPath) != 0) DeleteWithRetry(setup_path, api);
  // Last, since only an empty directory can go; tried whatever became of the files.
  DeleteWithRetry(work_directory, api);
}
