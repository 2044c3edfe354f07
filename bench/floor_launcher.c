// The benchmark's floor: what any launcher must pay under the same Wine. Starts the command line
// that follows its own program name, waits for it and exits with its exit code.
#include <windows.h>

// Static, so zero-initialised without a call to a byte fill this program does not link.
static STARTUPINFOW startup;
static PROCESS_INFORMATION process;
static wchar_t command_line[4096];

void FloorEntry(void) {
  const wchar_t* rest = GetCommandLineW();
  // Past the program's own name, quoted or not, and the blanks after it.
  if (*rest == L'"') {
    ++rest;
    while (*rest != 0 && *rest != L'"') ++rest;
    if (*rest == L'"') ++rest;
  } else {
    while (*rest != 0 && *rest != L' ' && *rest != L'\t') ++rest;
  }
  while (*rest == L' ' || *rest == L'\t') ++rest;
  int length = 0;
  while (rest[length] != 0 && length < 4095) {
    command_line[length] = rest[length];
    ++length;
  }
  command_line[length] = 0;

  startup.cb = sizeof(startup);
  if (!CreateProcessW(NULL, command_line, NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL,
                      &startup, &process)) {
    ExitProcess(GetLastError());
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 1;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hProcess);
  ExitProcess(exit_code);
}
