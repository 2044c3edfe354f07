// Deletes a file or an empty directory, retrying while another process holds it.
#pragma once

#include <windows.h>

struct DeleteApi {
  decltype(&::CreateFileW) CreateFileW = ::CreateFileW;
  decltype(&::SetFileInformationByHandle) SetFileInformationByHandle =
      ::SetFileInformationByHandle;
  decltype(&::GetFileInformationByHandleEx) GetFileInformationByHandleEx =
      ::GetFileInformationByHandleEx;
  decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
  decltype(&::GetLastError) GetLastError = ::GetLastError;
  decltype(&::Sleep) Sleep = ::Sleep;
};

// Counted passes before giving up, and the pause before each counted retry.
constexpr int kDeleteAttempts = 100;
constexpr DWORD kDeleteRetryDelayMs = 100;
// Passes that restart at once (after a successful mark or clearing of the read-only bit) allowed
// per counted pass; see delete.cc.
constexpr int kDeleteRestartsPerAttempt = 2;

// True when the path no longer exists at return. The path itself is removed, never what a link or
// junction points to. A directory must be empty to go. Leaves no handle open.
bool DeleteWithRetry(const wchar_t* path, const DeleteApi& api = DeleteApi());

// Deletes the archive, the setup program (either may be empty) and then the work directory, each
// whatever became of the others; best effort, nothing is reported.
void DeleteExtractedFiles(const wchar_t* archive_path, const wchar_t* setup_path,
                          const wchar_t* work_directory, const DeleteApi& api = DeleteApi());
