#include "payload/output_file.h"

namespace {

// Access to write and, for MarkForDeletion, to delete; the file is shared only for deletion, so
// nobody can read or write it while it is incomplete.
constexpr DWORD kAccess = GENERIC_WRITE | DELETE;
constexpr DWORD kShareMode = FILE_SHARE_DELETE;
constexpr DWORD kFlags = FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL;
// Each WriteFile carries at most this much, well inside a DWORD count.
constexpr unsigned long long kMaxChunk = 0x800000;

}  // namespace

bool OutputFile::Open(const wchar_t* path) {
  Close();
  if (!path_.Copy(path)) return false;
  handle_ = api_.CreateFileW(path_.Get(), kAccess, kShareMode, nullptr, CREATE_ALWAYS, kFlags,
                             nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) {
    path_.Clear();
    return false;
  }
  return true;
}

bool OutputFile::MarkForDeletion() {
  if (!IsOpen()) return false;
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return api_.SetFileInformationByHandle(handle_, FileDispositionInfo, &disposition,
                                         sizeof disposition) != FALSE;
}

HANDLE OutputFile::DuplicateFileHandle() {
  if (!IsOpen()) return INVALID_HANDLE_VALUE;
  HANDLE duplicate = INVALID_HANDLE_VALUE;
  const HANDLE process = ::GetCurrentProcess();
  if (!api_.DuplicateHandle(process, handle_, process, &duplicate, 0, FALSE,
                            DUPLICATE_SAME_ACCESS)) {
    return INVALID_HANDLE_VALUE;
  }
  return duplicate;
}

void OutputFile::Close() {
  if (IsOpen()) {
    const DWORD saved = api_.GetLastError();
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    api_.CloseHandle(handle);
    api_.SetLastError(saved);
  }
  path_.Clear();
}

bool WriteResourceToFile(const PEResource& resource, const wchar_t* path,
                         const OutputFileApi& api) {
  OutputFile file(api);
  if (!file.Open(path)) return false;
  const BYTE* bytes = static_cast<const BYTE*>(resource.data);
  for (unsigned long long offset = 0; offset < resource.size;) {
    const unsigned long long left = resource.size - offset;
    const DWORD chunk = static_cast<DWORD>(left < kMaxChunk ? left : kMaxChunk);
    DWORD written = 0;
    const bool wrote = api.WriteFile(file.GetHandle(), bytes + offset, chunk, &written, nullptr);
    if (!wrote || written != chunk) {
      // A short write would lose the rest of the payload without a word, so it fails too. A full
      // volume is what makes one: Wine reports a write that meets the end of the volume part-way
      // as successful and short.
      const DWORD error = wrote ? ERROR_HANDLE_DISK_FULL : api.GetLastError();
      file.MarkForDeletion();
      file.Close();
      api.SetLastError(error);
      return false;
    }
    offset += chunk;
  }
  file.Close();
  return true;
}
