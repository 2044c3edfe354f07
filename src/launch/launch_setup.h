// Runs programs and waits for them; builds the setup program's command line.
#pragma once

#include <windows.h>

#include "driver/configuration.h"
#include "driver/exit_codes.h"
#include "support/wide_string.h"

struct ProcessApi {
  decltype(&::CreateProcessW) CreateProcessW = ::CreateProcessW;
};

// Runs setup.exe with the archive switch, the previous version and the stub's own arguments.
ExitResult LaunchSetup(const Configuration& configuration, const wchar_t* archive_path,
                       const wchar_t* setup_path, bool compressed_archive,
                       const ProcessApi& api = ProcessApi());
