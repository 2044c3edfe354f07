#include "launch/launch_setup.h"

#include "support/scoped.h"

static_assert(sizeof(STARTUPINFOW) == 104, "the start-up block's size is part of the contract");

ExitResult RunProcessAndWait(const wchar_t* program_path, CommandLineString& command_line,
                             DWORD file_not_found_code, DWORD path_not_found_code,
                             DWORD launch_failed_code, const ProcessApi& api) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!api.CreateProcessW(program_path, command_line.Get(), nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    const DWORD error = ::GetLastError();
    // The attribute word tells a caller whether the program was there at all: 0xFFFFFFFF when
    // the path cannot be reached.
    const DWORD attributes = api.GetFileAttributesW(program_path);
    if (error == ERROR_FILE_NOT_FOUND) return {file_not_found_code, attributes};
    if (error == ERROR_PATH_NOT_FOUND) return {path_not_found_code, attributes};
    return {launch_failed_code, error};
  }
  api.CloseHandle(process.hThread);
  ScopedKernelHandle process_handle(process.hProcess, api.CloseHandle);

  if (api.WaitForSingleObject(process_handle.Get(), INFINITE) != WAIT_OBJECT_0) {
    return {WAIT_FOR_PROCESS_FAILED, ::GetLastError()};
  }
  DWORD exit_code = 0;
  if (!api.GetExitCodeProcess(process_handle.Get(), &exit_code)) {
    return {WAIT_FOR_PROCESS_FAILED, ::GetLastError()};
  }
  return {exit_code, 0};
}

ExitResult LaunchSetup(const Configuration& configuration, const wchar_t* archive_path,
                       const wchar_t* setup_path, bool compressed_archive,
                       const ProcessApi& api) {
  CommandLineString command_line;
  if (!BuildSetupCommandLine(setup_path, archive_path, compressed_archive,
                             configuration.previous_version, command_line)) {
    return {COMMAND_STRING_OVERFLOW, 0};
  }
  AppendCommandLineFlags(configuration.command_line, command_line);
  return RunProcessAndWait(setup_path, command_line, SETUP_FILE_NOT_FOUND, SETUP_PATH_NOT_FOUND,
                           SETUP_LAUNCH_FAILED, api);
}
