#include "driver/system_library.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/run_installer.h"
#include "testing/test_support.h"

namespace {

// Every call the fakes see, in order.
std::vector<std::string> g_calls;
std::wstring g_system_directory;
UINT g_system_directory_result = 0;
bool g_has_set_default = true;
struct Load {
  std::wstring path;
  DWORD flags;
};
std::vector<Load> g_loads;
// Loads pass through to the real call, or fail with this error when it is set.
DWORD g_load_error = 0;

BOOL WINAPI FakeSetDefaultDllDirectories(DWORD flags) {
  g_calls.push_back("SetDefaultDllDirectories " + std::to_string(flags));
  return TRUE;
}
HMODULE WINAPI FakeGetModuleHandleW(LPCWSTR name) {
  g_calls.push_back("GetModuleHandleW " + testing::PrintToString(std::wstring(name)));
  return GetModuleHandleW(name);
}
FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
  g_calls.push_back(std::string("GetProcAddress ") + name);
  if (std::string(name) == "SetDefaultDllDirectories") {
    if (!g_has_set_default) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(FakeSetDefaultDllDirectories));
  }
  return GetProcAddress(module, name);
}
UINT WINAPI FakeGetSystemDirectoryW(LPWSTR buffer, UINT size) {
  g_calls.push_back("GetSystemDirectoryW");
  if (g_system_directory_result == 0) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return 0;
  }
  lstrcpynW(buffer, g_system_directory.c_str(), static_cast<int>(size));
  return g_system_directory_result;
}
HMODULE WINAPI FakeLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
  g_calls.push_back("LoadLibraryExW");
  g_loads.push_back({path, flags});
  EXPECT_EQ(nullptr, file);
  if (g_load_error != 0) {
    SetLastError(g_load_error);
    return nullptr;
  }
  return LoadLibraryExW(path, file, flags);
}

// The real system directory until a test says otherwise.
SystemLibraryApi FakeApi() {
  g_calls.clear();
  g_has_set_default = true;
  wchar_t directory[MAX_PATH];
  g_system_directory_result = GetSystemDirectoryW(directory, MAX_PATH);
  g_system_directory = directory;
  g_loads.clear();
  g_load_error = 0;
  SystemLibraryApi api;
  api.GetModuleHandleW = FakeGetModuleHandleW;
  api.GetProcAddress = FakeGetProcAddress;
  api.GetSystemDirectoryW = FakeGetSystemDirectoryW;
  api.LoadLibraryExW = FakeLoadLibraryExW;
  return api;
}

TEST(RestrictDllSearchPath, SystemDirectoryOnlyWhereTheSystemHasTheCall) {
  SystemLibraryApi api = FakeApi();
  EXPECT_TRUE(RestrictDllSearchPath(api));
  EXPECT_EQ((std::vector<std::string>{"GetModuleHandleW L\"kernel32.dll\"",
                                      "GetProcAddress SetDefaultDllDirectories",
                                      "SetDefaultDllDirectories 2048"}),  // SEARCH_SYSTEM32
            g_calls);

  // Windows Vista, or Windows 7 without the update: nothing else is tried, nothing fails.
  api = FakeApi();
  g_has_set_default = false;
  EXPECT_FALSE(RestrictDllSearchPath(api));
  EXPECT_EQ(2u, g_calls.size());
}

TEST(LoadSystemLibrary, FullPathInTheSystemDirectoryOrNothing) {
  const std::wstring dir_250 = L"C:\\" + std::wstring(247, L'd');
  struct Case {
    const char* label; std::wstring directory; UINT result; std::wstring loaded; DWORD error;
    bool unreported;  // the system did not say where its directory is
  } cases[] = {
      {"system32", L"C:\\Windows\\system32", 19, L"C:\\Windows\\system32\\shell32.dll", 0},
      {"a root", L"C:\\", 3, L"C:\\shell32.dll", 0},
      {"the call fails", L"", 0, L"", ERROR_INVALID_FUNCTION, true},
      {"the buffer is too small", L"C:\\x", 300, L"", ERROR_FILENAME_EXCED_RANGE, true},
      {"the name does not fit after it", dir_250, 250, L"", ERROR_FILENAME_EXCED_RANGE, false},
  };
  for (const Case& c : cases) {
    const SystemLibraryApi api = FakeApi();
    g_system_directory = c.directory;
    g_system_directory_result = c.result;
    SetLastError(0);
    bool unreported = !c.unreported;
    const HMODULE module = LoadSystemLibrary(L"shell32.dll", api, &unreported);
    EXPECT_EQ(c.unreported, unreported) << c.label;
    if (c.loaded.empty()) {
      EXPECT_EQ(nullptr, module) << c.label;
      EXPECT_EQ(c.error, GetLastError()) << c.label;
      EXPECT_EQ(std::vector<std::string>{"GetSystemDirectoryW"}, g_calls) << c.label;
    } else {
      ASSERT_EQ(1u, g_loads.size()) << c.label;
      EXPECT_EQ(c.loaded, g_loads[0].path) << c.label;
      EXPECT_EQ(static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH), g_loads[0].flags) << c.label;
    }
  }
}

std::wstring ModulePath(HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
  return std::wstring(path, n);
}

// For real: the split is the platform's own, from the shell32.dll of the system directory.
TEST(SplitCommandLine, SplitsAsCommandLineToArgvWWithTheSystemsShell32) {
  const wchar_t* lines[] = {
      L"\"C:\\dl\\stub.exe\" --system-level x",
      L"stub.exe  \"a b\" c\\\"d \"e\\\\\" f",
      L"\"C:\\\x0423\x0441\x0442\\stub.exe\" \x674E \xD83D\xDE00",
      L"\"C:\\unclosed quote",
  };
  for (const wchar_t* line : lines) {
    int expected_count = -1;
    int count = -1;
    wchar_t** expected = CommandLineToArgvW(line, &expected_count);
    wchar_t** split = SplitCommandLine(line, &count);
    ASSERT_NE(nullptr, split);
    ASSERT_EQ(expected_count, count) << testing::PrintToString(std::wstring(line));
    for (int i = 0; i < count; ++i) EXPECT_EQ(std::wstring(expected[i]), split[i]);
    LocalFree(expected);
    LocalFree(split);
  }
  wchar_t system_directory[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system_directory, MAX_PATH);
  const HMODULE shell32 = GetModuleHandleW(L"shell32.dll");
  ASSERT_NE(nullptr, shell32);
  EXPECT_EQ(0, lstrcmpiW((std::wstring(system_directory, n) + L"\\shell32.dll").c_str(),
                         ModulePath(shell32).c_str()));
}

TEST(FindRandomGenerator, FillsFromTheSystemGenerator) {
  const RandomGeneratorFn generate = FindRandomGenerator();
  ASSERT_NE(nullptr, generate);
  unsigned char bytes[64] = {};
  ASSERT_TRUE(generate(bytes, sizeof bytes));
  // 512 zero bits from a working generator would be a once-in-2^512 event.
  EXPECT_NE(std::string(64, '\0'), std::string(reinterpret_cast<char*>(bytes), sizeof bytes));
  // Where the system has CRYPTBASE.dll (Windows 7 and later; Wine has none), it was loaded from
  // the system directory.
  wchar_t system_directory[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system_directory, MAX_PATH);
  const std::wstring cryptbase = std::wstring(system_directory, n) + L"\\cryptbase.dll";
  if (GetFileAttributesW(cryptbase.c_str()) != INVALID_FILE_ATTRIBUTES) {
    const HMODULE loaded = GetModuleHandleW(L"cryptbase.dll");
    ASSERT_NE(nullptr, loaded);
    EXPECT_EQ(0, lstrcmpiW(cryptbase.c_str(), ModulePath(loaded).c_str()));
  }
}

// The search is restricted before the run reads anything: its own resource comes next.
LPWSTR WINAPI UnsupportedModeLine() { return const_cast<LPWSTR>(L"stub.exe --cleanup"); }
HRSRC WINAPI RecordingFindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
  g_calls.push_back("FindResourceW");
  return FindResourceW(module, name, type);
}

TEST(RunInstaller, RestrictsTheDllSearchBeforeAnythingElse) {
  DriverApi api;
  api.library = FakeApi();
  api.config.FindResourceW = RecordingFindResourceW;
  api.config.GetCommandLineW = UnsupportedModeLine;
  EXPECT_EQ(static_cast<DWORD>(UNSUPPORTED_OPTION),
            RunInstaller(GetModuleHandleW(nullptr), api).exit_code);
  ASSERT_LE(4u, g_calls.size());
  EXPECT_EQ("SetDefaultDllDirectories 2048", g_calls[2]);
  EXPECT_EQ("FindResourceW", g_calls[3]);
}

// The stub's own path, in this program's folder, where no work directory can be made: the run
// ends with 109 after the configuration and all ten attempts.
DWORD WINAPI StubPathHere(HMODULE, LPWSTR buffer, DWORD size) {
  const std::wstring path = testing_support::TestDirectory() + L"installer.exe";
  lstrcpynW(buffer, path.c_str(), static_cast<int>(size));
  return static_cast<DWORD>(path.size());
}
BOOL WINAPI NameAlwaysTaken(LPCWSTR, LPSECURITY_ATTRIBUTES) {
  SetLastError(ERROR_ALREADY_EXISTS);
  return FALSE;
}

// Each library the run needs is loaded once (not once per attempt), through the run's own seam,
// with the narrowest search for its dependencies that the system has. A shell32.dll that cannot
// be loaded ends the run with 101 and the load's error.
TEST(RunInstaller, LoadsEachLibraryOnceThroughItsSeam) {
  const std::vector<std::wstring> both = {L"shell32.dll", L"cryptbase.dll"};
  struct Case {
    bool has_set_default; DWORD load_error; DWORD exit_code; std::vector<std::wstring> loaded;
    DWORD flags;
  } cases[] = {
      {true, 0, UNABLE_TO_GET_WORK_DIRECTORY, both, LOAD_LIBRARY_SEARCH_SYSTEM32},
      {false, 0, UNABLE_TO_GET_WORK_DIRECTORY, both, LOAD_WITH_ALTERED_SEARCH_PATH},
      {true, ERROR_MOD_NOT_FOUND, CONFIGURATION_FAILED, {L"shell32.dll"},
       LOAD_LIBRARY_SEARCH_SYSTEM32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.loaded) + (c.has_set_default ? " restricted" : ""));
    DriverApi api;
    api.library = FakeApi();
    g_has_set_default = c.has_set_default;
    g_load_error = c.load_error;
    api.GetModuleFileNameW = StubPathHere;
    api.work_dir.CreateDirectoryW = NameAlwaysTaken;
    const ExitResult result = RunInstaller(GetModuleHandleW(nullptr), api);
    EXPECT_EQ(c.exit_code, result.exit_code);
    EXPECT_EQ(c.load_error, result.extra_code);
    ASSERT_EQ(c.loaded.size(), g_loads.size());
    for (size_t i = 0; i < g_loads.size(); ++i) {
      EXPECT_EQ(g_system_directory + L"\\" + c.loaded[i], g_loads[i].path);
      EXPECT_EQ(c.flags, g_loads[i].flags);
    }
  }
}

}  // namespace
