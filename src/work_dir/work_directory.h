// Creates the randomly named work directory beside the stub, protected by an access-control list
// when the volume keeps one.
#pragma once

#include <windows.h>

#include "driver/exit_codes.h"
#include "support/wide_string.h"

struct WorkDirApi {
  decltype(&::CreateDirectoryW) CreateDirectoryW = ::CreateDirectoryW;
};

// Writes the result on every path and returns true exactly when it is success; the buffer then
// holds the new directory's path with a trailing backslash. On failure nothing was created.
bool CreateWorkDirectory(const wchar_t* base_directory, PathString& work_directory,
                         ExitResult* result, const WorkDirApi& api = WorkDirApi());
