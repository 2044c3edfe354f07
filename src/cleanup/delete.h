// Deletes a file or an empty directory, retrying while another process holds it.
#pragma once

#include <windows.h>

struct DeleteApi {
  decltype(&::CreateFileW) CreateFileW = ::CreateFileW;
};

// True when the path no longer exists at return.
bool DeleteWithRetry(const wchar_t* path, const DeleteApi& api = DeleteApi());

// Deletes the archive, the setup program (either may be empty) and then the work directory.
void DeleteExtractedFiles(const wchar_t* archive_path, const wchar_t* setup_path,
                          const wchar_t* work_directory, const DeleteApi& api = DeleteApi());
