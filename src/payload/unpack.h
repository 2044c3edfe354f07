// Finds the archive and setup resources in the stub's own image and writes them into the work
// directory, expanding a cabinet-compressed setup program into setup.exe.
#pragma once

#include <windows.h>

#include "driver/exit_codes.h"
#include "support/wide_string.h"

struct UnpackApi {
  decltype(&::EnumResourceNamesW) EnumResourceNamesW = ::EnumResourceNamesW;
};

// The four outputs are empty on entry; see the failure table in unpack.cc for what they hold
// after a failure.
ExitResult UnpackPayload(HMODULE module, const wchar_t* work_directory, PathString& setup_path,
                         TypeTag& setup_type, PathString& archive_path, TypeTag& archive_type,
                         const UnpackApi& api = UnpackApi());
