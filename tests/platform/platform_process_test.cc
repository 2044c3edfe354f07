// Return-value conventions of the platform that the stub's checks are written against, the
// working-set trim and the registry key's release, and how Wine refuses to start a directory.
#include <gtest/gtest.h>

#include <string>

#include "driver/run_installer.h"
#include "launch/launch_setup.h"
#include "testing/setup_report_support.h"
#include "testing/test_support.h"
#include "work_dir/work_directory.h"

namespace {

using testing_support::ListDirectory;
using testing_support::ScratchDir;

TEST(PlatformUnderWine, ReturnValueConventions) {
  // A module path cut short returns the buffer's size; the run sequence takes n >= size as cut.
  // (Windows also terminates the cut path and Wine does not; the code reads neither.)
  wchar_t path[MAX_PATH];
  const DWORD whole = GetModuleFileNameW(nullptr, path, MAX_PATH);
  EXPECT_TRUE(whole > 0 && whole < MAX_PATH && path[whole] == 0);
  wchar_t cut[8];
  SetLastError(0);
  EXPECT_EQ(8u, GetModuleFileNameW(nullptr, cut, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

  // An expansion's count includes the terminator; a buffer too small gets the size it needs.
  const wchar_t* candidate = L"%WINDIR%\\system32\\cabinet.dll";
  wchar_t expanded[MAX_PATH];
  const DWORD count = ExpandEnvironmentStringsW(candidate, expanded, MAX_PATH);
  EXPECT_EQ(wcslen(expanded) + 1, count);
  EXPECT_EQ(count, ExpandEnvironmentStringsW(candidate, expanded, 4));

  // The random generator reports success and fills the buffer: sixteen draws are not all alike.
  unsigned first = 0;
  bool varied = false;
  for (int i = 0; i < 16; ++i) {
    unsigned draw = 0;
    EXPECT_TRUE(SystemFunction036(&draw, 4));
    if (i == 0) first = draw;
    varied = varied || draw != first;
  }
  EXPECT_TRUE(varied);

  // Type tags are compared exactly.
  EXPECT_EQ(0, lstrcmpW(L"B7", L"B7"));
  EXPECT_NE(0, lstrcmpW(L"b7", L"B7"));
  EXPECT_NE(0, lstrcmpW(L"", L"B7"));
}

// Every Wine process of the tests starts without address randomization (scripts/wine sets it and
// each process hands it to those it starts): with it, one start in several thousand ended before
// it began, with ERROR_INTERNAL_ERROR for the program that started it, whenever the heap drew a
// place over the page Wine maps at 0x7ffe0000. A Unix program started from here reports the flag
// this process passes on. Wine returns from starting a Unix program at once: its line is awaited
// (a minute at most).
TEST(PlatformUnderWine, ProcessesStartWithoutAddressRandomization) {
  constexpr unsigned long kAddrNoRandomize = 0x0040000;
  ScratchDir scratch(L"platform_personality");
  const std::wstring report = scratch / L"personality.txt";
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  const HANDLE output = CreateFileW(report.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, output);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  PROCESS_INFORMATION process = {};
  wchar_t line[] = L"cat /proc/self/personality";
  EXPECT_TRUE(CreateProcessW(L"Z:\\bin\\cat", line, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &startup, &process)) << "start error " << GetLastError();
  CloseHandle(output);
  std::string text;
  for (int waited = 0; waited < 6000 && text.find('\n') == std::string::npos; ++waited) {
    Sleep(10);
    testing_support::ReadFileBytes(report, &text);
  }
  ASSERT_NE(std::string::npos, text.find('\n')) << text;
  EXPECT_NE(0u, std::stoul(text, nullptr, 16) & kAddrNoRandomize) << text;
}

// Wine does not trim working sets (the call succeeds and nothing changes that a test could see),
// so what the run passes is checked: both sizes (SIZE_T)-1 on the current process, which asks
// Windows to trim; once per run; and a failure changes nothing.
struct Trims { int calls = 0; HANDLE process = nullptr; SIZE_T minimum = 0, maximum = 0; };
Trims g_trims;
std::wstring g_stub_path;

BOOL WINAPI FailingTrim(HANDLE process, SIZE_T minimum, SIZE_T maximum) {
  g_trims = {g_trims.calls + 1, process, minimum, maximum};
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
DWORD WINAPI StubInScratch(HMODULE, LPWSTR buffer, DWORD size) {
  lstrcpynW(buffer, g_stub_path.c_str(), static_cast<int>(size));
  return static_cast<DWORD>(g_stub_path.size());
}

TEST(RunSequenceOnWindows, TrimsTheWorkingSetOnceWhateverTheResult) {
  ScratchDir scratch(L"platform_trim");
  g_stub_path = scratch / L"stub.exe";
  g_trims = Trims();
  DriverApi api;
  api.GetModuleFileNameW = StubInScratch;
  api.SetProcessWorkingSetSize = FailingTrim;
  // The test program carries no payload: the unpack fails, the trim and the cleanup still run.
  const ExitResult result = RunInstaller(GetModuleHandleW(nullptr), api);
  EXPECT_EQ(static_cast<DWORD>(UNABLE_TO_EXTRACT_ARCHIVE), result.exit_code);
  EXPECT_EQ(1, g_trims.calls);
  EXPECT_EQ(GetCurrentProcess(), g_trims.process);
  EXPECT_EQ(static_cast<SIZE_T>(-1), g_trims.minimum);
  EXPECT_EQ(static_cast<SIZE_T>(-1), g_trims.maximum);
  EXPECT_TRUE(ListDirectory(scratch.path()).empty());
}

// A key left open is invisible from outside the process: the seam counts the releases.
int g_opened = 0, g_closed = 0;
LSTATUS WINAPI CountingOpen(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) {
  const LSTATUS status = RegOpenKeyExW(root, path, options, access, key);
  g_opened += status == ERROR_SUCCESS;
  return status;
}
LSTATUS WINAPI CountingClose(HKEY key) {
  ++g_closed;
  return RegCloseKey(key);
}

TEST(ReadRegistryStringValue, EveryOpenedKeyIsClosed) {
  using testing_support::RegistryString;
  using testing_support::ScopedRegistryValue;
  const ScopedRegistryValue text(HKEY_CURRENT_USER, 0, L"PlatformText", REG_SZ,
                                 RegistryString(L"0"));
  const ScopedRegistryValue long_text(HKEY_CURRENT_USER, 0, L"PlatformLong", REG_SZ,
                                      RegistryString(L"0000"));
  const ScopedRegistryValue number(HKEY_CURRENT_USER, 0, L"PlatformNumber", REG_DWORD,
                                   std::string(4, '\0'));
  const wchar_t* key = L"Software\\Ostrevan";
  struct Case { const wchar_t* key; const wchar_t* value; bool read; int opened; } cases[] = {
      {key, L"PlatformText", true, 1},
      {key, L"PlatformLong", false, 1},    // ERROR_MORE_DATA
      {key, L"PlatformNumber", false, 1},  // not REG_SZ
      {key, L"PlatformMissing", false, 1},
      {L"Software\\Ostrevan\\Missing", L"PlatformText", false, 0},
  };
  ConfigApi api;
  api.RegOpenKeyExW = CountingOpen;
  api.RegCloseKey = CountingClose;
  for (const Case& c : cases) {
    g_opened = g_closed = 0;
    wchar_t buffer[3];
    EXPECT_EQ(c.read, ReadRegistryStringValue(HKEY_CURRENT_USER, c.key, c.value, buffer, 2, api))
        << testing_support::Narrow(c.value);
    EXPECT_EQ(c.opened, g_opened) << testing_support::Narrow(c.value);
    EXPECT_EQ(g_opened, g_closed) << testing_support::Narrow(c.value);
  }
}

// Windows refuses to start a directory with ERROR_ACCESS_DENIED, Wine with ERROR_INVALID_HANDLE;
// both are "any other error", reported with the error itself (the Windows error is played through
// the seam by LaunchFixture.StartErrorDecidesTheCode).
TEST(WineDiffersFromWindows, StartingADirectoryFailsWithInvalidHandle) {
  ScratchDir scratch(L"platform_start_directory");
  const std::wstring directory = scratch / L"setup.exe";
  ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
  CommandLineString line;
  ASSERT_TRUE(line.Copy((L"\"" + directory + L"\"").c_str()));
  const ExitResult result = RunProcessAndWait(directory.c_str(), line, SETUP_FILE_NOT_FOUND,
                                              SETUP_PATH_NOT_FOUND, SETUP_LAUNCH_FAILED);
  EXPECT_EQ(static_cast<DWORD>(SETUP_LAUNCH_FAILED), result.exit_code);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), result.extra_code);
}

}  // namespace
