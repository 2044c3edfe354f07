// Starts an installer from the Windows side, waits for it and prints its whole 32-bit exit code
// (the Linux side of Wine sees only the low 8 bits), naming the stub's own codes.
//
//   run-installer.exe INSTALLER.exe [ARGUMENT]...
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

struct Named { DWORD code; const char* meaning; };
const Named kStubCodes[] = {
    {101, "the configuration could not be read"},
    {105, "a command line did not fit"},
    {107, "waiting for a program failed"},
    {108, "a path did not fit"},
    {109, "no work directory could be created"},
    {110, "no previous installation found in the registry"},
    {111, "the patch is not for the installed version"},
    {112, "the archive could not be extracted"},
    {115, "the setup program could not be extracted"},
    {116, "the setup program could not be written"},
    {117, "the work directory could not be protected"},
    {118, "unsupported option (--cleanup or --tamrel-frame)"},
    {119, "the previous setup program was not found"},
    {120, "the previous setup program's folder was not found"},
    {121, "the previous setup program could not be started"},
    {122, "setup.exe was not found"},
    {123, "setup.exe's folder was not found"},
    {124, "setup.exe could not be started"},
};

// Quotes an argument the way the platform's own splitting reads it back.
std::wstring Quote(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: run-installer.exe INSTALLER.exe [ARGUMENT]...\n");
    return 2;
  }
  std::wstring line = L"\"" + std::wstring(argv[1]) + L"\"";
  for (int i = 2; i < argc; ++i) line += L" " + Quote(argv[i]);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(argv[1], &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    fprintf(stderr, "run-installer: cannot start the installer (error %lu)\n", GetLastError());
    return 2;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);

  printf("installer exit code: %lu (0x%08lX)", code, code);
  for (const Named& named : kStubCodes) {
    if (named.code == code) printf(" - the stub's own code: %s", named.meaning);
  }
  printf("%s\n", code == 0 ? " - success" : "");
  fflush(stdout);
  return code == 0 ? 0 : 1;
}
