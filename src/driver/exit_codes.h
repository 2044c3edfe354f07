// The result every step returns, and the stub's own exit codes.
#pragma once

#include <windows.h>

// exit_code 0 is success; extra_code carries the detail of a failure (a Windows error code, the
// attribute word of a missing program, or 0) and never leaves the process.
struct ExitResult {
  DWORD exit_code;
  DWORD extra_code;
};

// Every other non-zero exit code comes from a program the stub ran.
enum : DWORD {
  SUCCESS_EXIT_CODE = 0,
  CONFIGURATION_FAILED = 101,
  COMMAND_STRING_OVERFLOW = 105,
  WAIT_FOR_PROCESS_FAILED = 107,
  PATH_STRING_OVERFLOW = 108,
  UNABLE_TO_GET_WORK_DIRECTORY = 109,
  UNABLE_TO_FIND_REGISTRY_KEY = 110,
  PATCH_NOT_FOR_INSTALLED_VERSION = 111,
  UNABLE_TO_EXTRACT_ARCHIVE = 112,
  UNABLE_TO_EXTRACT_SETUP = 115,
  UNABLE_TO_WRITE_SETUP = 116,
  UNABLE_TO_SET_DIRECTORY_ACL = 117,
  UNSUPPORTED_OPTION = 118,
  PATCH_SETUP_FILE_NOT_FOUND = 119,
  PATCH_SETUP_PATH_NOT_FOUND = 120,
  PATCH_SETUP_LAUNCH_FAILED = 121,
  SETUP_FILE_NOT_FOUND = 122,
  SETUP_PATH_NOT_FOUND = 123,
  SETUP_LAUNCH_FAILED = 124,
};

inline ExitResult Success() { return {SUCCESS_EXIT_CODE, 0}; }
