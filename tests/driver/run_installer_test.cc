#include "driver/run_installer.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/test_support.h"

namespace {

using testing_support::ListDirectory;
using testing_support::RunCommand;
using testing_support::ScratchDir;
using testing_support::TestDirectory;

// GetModuleFileNameW stand-ins: the path the stub would see, and the value it would return.
const wchar_t* g_module_path = L"";
DWORD g_module_result = 0;
DWORD WINAPI FakeGetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
  lstrcpynW(buffer, g_module_path, static_cast<int>(size));
  SetLastError(g_module_result == size ? ERROR_INSUFFICIENT_BUFFER
                                       : (g_module_result == 0 ? ERROR_MOD_NOT_FOUND : 0));
  return g_module_result;
}

TEST(RunInstaller, UnusableOwnPathStopsWithPathOverflow) {
  struct Case { const char* label; const wchar_t* path; DWORD result; DWORD extra; } cases[] = {
      {"call failed", L"", 0, ERROR_MOD_NOT_FOUND},
      {"path cut short", L"C:\\very\\long", 260, ERROR_INSUFFICIENT_BUFFER},
      {"no backslash", L"stub.exe", 8, 0},
  };
  for (const Case& c : cases) {
    g_module_path = c.path;
    g_module_result = c.result;
    DriverApi api;
    api.GetModuleFileNameW = FakeGetModuleFileNameW;
    const ExitResult result = RunInstaller(GetModuleHandleW(nullptr), api);
    EXPECT_EQ(static_cast<DWORD>(PATH_STRING_OVERFLOW), result.exit_code) << c.label;
    EXPECT_EQ(c.extra, result.extra_code) << c.label;
  }
}

// The built stub, run for real from a scratch folder of its own.
TEST(StubProcess, UnsupportedModesExitWith118AndCreateNothing) {
  const wchar_t* arguments[] = {L"--cleanup", L"--TAMREL-FRAME", L"x --tamrel-frame y",
                                L"--system-level --Cleanup"};
  for (const wchar_t* argument : arguments) {
    ScratchDir scratch(L"unsupported_mode");
    const std::wstring stub = scratch / L"stub.exe";
    ASSERT_TRUE(CopyFileW((TestDirectory() + L"..\\stub.exe").c_str(), stub.c_str(), FALSE));
    EXPECT_EQ(118u, RunCommand(L"\"" + stub + L"\" " + argument)) << argument;
    EXPECT_EQ(std::vector<std::wstring>{L"stub.exe"}, ListDirectory(scratch.path())) << argument;
  }
}

}  // namespace
