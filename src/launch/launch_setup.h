// Runs programs and waits for them; builds the setup program's command line.
#pragma once

#include <windows.h>

#include "driver/configuration.h"
#include "driver/exit_codes.h"
#include "launch/command_line.h"
#include "support/wide_string.h"

struct ProcessApi {
  decltype(&::CreateProcessW) CreateProcessW = ::CreateProcessW;
  decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
  decltype(&::WaitForSingleObject) WaitForSingleObject = ::WaitForSingleObject;
  decltype(&::GetExitCodeProcess) GetExitCodeProcess = ::GetExitCodeProcess;
  decltype(&::GetFileAttributesW) GetFileAttributesW = ::GetFileAttributesW;
};

// Starts `program_path` (no search path is consulted) with `command_line`, whose first token is
// that path in quotes, without a window and without inherited handles, and waits for it without
// a time limit. Result: {its exit code, 0} when it ran; when the start fails, the caller's code for
// the way it failed: {file_not_found_code or path_not_found_code, the path's attribute word} or
// {launch_failed_code, the start error}; {107, error} when the wait or the exit-code read fails.
// The platform may write into `command_line`.
ExitResult RunProcessAndWait(const wchar_t* program_path, CommandLineString& command_line,
                             DWORD file_not_found_code, DWORD path_not_found_code,
                             DWORD launch_failed_code, const ProcessApi& api = ProcessApi());

// Runs setup.exe with the archive switch, the previous version and the stub's own arguments.
// {105, 0} and nothing started when the line without the stub's arguments does not fit.
ExitResult LaunchSetup(const Configuration& configuration, const wchar_t* archive_path,
                       const wchar_t* setup_path, bool compressed_archive,
                       const ProcessApi& api = ProcessApi());
