// The owner of one file being extracted, and the writer that copies a payload resource into one.
#pragma once

#include <windows.h>

#include "support/wide_string.h"

// A resource's bytes in the loaded image; they are used in place and never freed.
struct PEResource {
  const void* data;
  unsigned long long size;
};

struct OutputFileApi {
  decltype(&::CreateFileW) CreateFileW = ::CreateFileW;
  decltype(&::WriteFile) WriteFile = ::WriteFile;
  decltype(&::SetFileInformationByHandle) SetFileInformationByHandle =
      ::SetFileInformationByHandle;
  decltype(&::DuplicateHandle) DuplicateHandle = ::DuplicateHandle;
  decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
  decltype(&::GetLastError) GetLastError = ::GetLastError;
  decltype(&::SetLastError) SetLastError = ::SetLastError;
};

// Creates a file exclusively for writing and owns its one handle. Closing never deletes the file;
// a user that decides the file is incomplete calls MarkForDeletion first, and the file system then
// removes it once every handle to it, duplicates included, is closed.
class OutputFile {
 public:
  // The table is copied, so the object never refers to its caller's.
  explicit OutputFile(const OutputFileApi& api = OutputFileApi()) : api_(api) {}
  ~OutputFile() { Close(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Closes any file already open (it stays on disk unless it was marked), then creates `path`,
  // replacing a file already there. A path of kMaxPath characters or more fails without any
  // system call and leaves the last-error value untouched; otherwise a failure leaves the one
  // CreateFileW set.
  bool Open(const wchar_t* path);
  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  // False when no file is open.
  bool MarkForDeletion();
  // A second handle to the open file with the same access; it belongs to the caller, who must
  // close it. INVALID_HANDLE_VALUE when no file is open or the duplication fails.
  HANDLE DuplicateFileHandle();
  // Lent, not given: the object still closes it.
  HANDLE GetHandle() const { return handle_; }
  const wchar_t* GetPath() const { return path_.Get(); }
  // Harmless on a closed object. Keeps the thread's last-error value, so a user can close on its
  // failure path and still report the error of the call that failed.
  void Close();

 private:
  PathString path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  OutputFileApi api_;
};

// Creates the file at `path` holding exactly the resource's bytes, closed on return. When the open
// fails, its last-error value stands. When a write fails, the partly written file is gone at return
// and the last-error value is the write's own; a write reported successful but short counts as
// failed, with ERROR_HANDLE_DISK_FULL.
bool WriteResourceToFile(const PEResource& resource, const wchar_t* path,
                         const OutputFileApi& api = OutputFileApi());
