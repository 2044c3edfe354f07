#include "payload/cabinet.h"

#include <fdi.h>
#include <gtest/gtest.h>

#include <cstdio>

#include <string>
#include <vector>

#include "testing/payload_support.h"
#include "testing/test_support.h"

namespace {

using testing_support::ListDirectory;
using testing_support::Narrow;
using testing_support::PathExists;
using testing_support::PayloadFixture;
using testing_support::PayloadFixtureBytes;
using testing_support::ReadFileBytes;
using testing_support::RunCommand;
using testing_support::ScratchDir;

// Heap blocks handed out through the seam and not yet given back.
int g_live_blocks = 0;
int g_allocations = 0;
LPVOID WINAPI CountingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
  LPVOID block = HeapAlloc(heap, flags, size);
  if (block != nullptr) {
    ++g_live_blocks;
    ++g_allocations;
  }
  return block;
}
BOOL WINAPI CountingHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  if (block != nullptr) --g_live_blocks;
  return HeapFree(heap, flags, block);
}

std::vector<std::wstring> g_loaded_paths;
bool g_fail_loads = false;
HMODULE WINAPI RecordingLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
  g_loaded_paths.push_back(path);
  if (g_fail_loads) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return LoadLibraryExW(path, file, flags);
}

// A system that cannot report its directory makes the loader fall back to the environment.
bool g_no_system_directory = false;
UINT WINAPI RecordingGetSystemDirectoryW(LPWSTR buffer, UINT size) {
  if (g_no_system_directory) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  return GetSystemDirectoryW(buffer, size);
}

std::vector<std::string> g_looked_up;
const char* g_missing_entry = nullptr;
FARPROC WINAPI RecordingGetProcAddress(HMODULE module, LPCSTR name) {
  g_looked_up.push_back(name);
  if (g_missing_entry != nullptr && std::string(name) == g_missing_entry) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return GetProcAddress(module, name);
}

// What the expansion asked the file system to set on the expanded file.
FILE_BASIC_INFO g_basic_info;
int g_basic_info_calls = 0;
BOOL WINAPI RecordingSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type,
                                                LPVOID info, DWORD size) {
  if (type == FileBasicInfo && size == sizeof(FILE_BASIC_INFO)) {
    g_basic_info = *static_cast<FILE_BASIC_INFO*>(info);
    ++g_basic_info_calls;
  }
  return SetFileInformationByHandle(file, type, info, size);
}

CabinetApi CountingApi() {
  g_live_blocks = 0;
  g_allocations = 0;
  g_loaded_paths.clear();
  g_looked_up.clear();
  g_fail_loads = false;
  g_no_system_directory = false;
  g_missing_entry = nullptr;
  g_basic_info = FILE_BASIC_INFO();
  g_basic_info_calls = 0;
  CabinetApi api;
  api.HeapAlloc = CountingHeapAlloc;
  api.HeapFree = CountingHeapFree;
  api.library.LoadLibraryExW = RecordingLoadLibraryExW;
  api.library.GetSystemDirectoryW = RecordingGetSystemDirectoryW;
  api.GetProcAddress = RecordingGetProcAddress;
  api.SetFileInformationByHandle = RecordingSetFileInformationByHandle;
  return api;
}

// The cabinet is copied into a scratch folder as the stub writes it; the destination is beside it.
struct Expansion {
  explicit Expansion(const wchar_t* fixture)
      : scratch(L"cabinet"), source(scratch / L"SETUP.EX_"), destination(scratch / L"setup.exe") {
    EXPECT_TRUE(CopyFileW(PayloadFixture(fixture).c_str(), source.c_str(), FALSE));
  }
  ~Expansion() { SetFileAttributesW(destination.c_str(), FILE_ATTRIBUTE_NORMAL); }
  ScratchDir scratch;
  std::wstring source;
  std::wstring destination;
};

const std::vector<std::string> kEntryPoints = {"FDICreate", "FDIDestroy", "FDICopy"};

TEST(ExpandCabinet, WritesTheFirstFileAtTheDestination) {
  struct Case {
    const wchar_t* cabinet;
    const wchar_t* expected;  // the fixture the expanded file must equal
    DWORD attributes;         // asked of the file system
    DWORD read_only;          // what the file then has of FILE_ATTRIBUTE_READONLY
  } cases[] = {
      {L"one.cab", L"setup.bin", FILE_ATTRIBUTE_ARCHIVE, 0},
      // Stored under another name, in mixed case.
      {L"renamed.cab", L"setup.bin", FILE_ATTRIBUTE_ARCHIVE, 0},
      // Only the first of two files; the second never replaces it.
      {L"two.cab", L"first.bin", FILE_ATTRIBUTE_ARCHIVE, 0},
      // Read-only and archive kept, the UTF-8-name bit 0x80 dropped.
      {L"attributes_a1.cab", L"setup.bin", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE,
       FILE_ATTRIBUTE_READONLY},
      {L"read_only.cab", L"setup.bin", FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY},
      {L"attributes_none.cab", L"setup.bin", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.cabinet));
    Expansion expansion(c.cabinet);
    const CabinetApi api = CountingApi();
    EXPECT_TRUE(ExpandCabinet(expansion.source.c_str(), expansion.destination.c_str(), api));

    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(expansion.destination, &bytes));
    EXPECT_TRUE(bytes == PayloadFixtureBytes(c.expected));
    EXPECT_EQ((std::vector<std::wstring>{L"SETUP.EX_", L"setup.exe"}),
              ListDirectory(expansion.scratch.path()));
    // Wine reports every file it keeps no attributes for as "archive", so on disk only the
    // read-only bit tells.
    EXPECT_EQ(c.attributes, g_basic_info.FileAttributes);
    EXPECT_EQ(c.read_only,
              GetFileAttributesW(expansion.destination.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(0, g_live_blocks);
    EXPECT_LT(0, g_allocations);
    EXPECT_EQ(kEntryPoints, g_looked_up);
  }
}

TEST(ExpandCabinet, CreationTimeIsTheStoredLocalTimeAndLastWriteTheExtraction) {
  Expansion expansion(L"attributes_a1.cab");
  const CabinetApi api = CountingApi();
  FILETIME before;
  GetSystemTimeAsFileTime(&before);
  ASSERT_TRUE(ExpandCabinet(expansion.source.c_str(), expansion.destination.c_str(), api));
  FILETIME after;
  GetSystemTimeAsFileTime(&after);

  // The fixture stores 2019-07-15 13:45:30 as local time.
  SYSTEMTIME stored = {2019, 7, 0, 15, 13, 45, 30, 0};
  FILETIME stored_local;
  FILETIME stored_utc;
  ASSERT_TRUE(SystemTimeToFileTime(&stored, &stored_local));
  ASSERT_TRUE(LocalFileTimeToFileTime(&stored_local, &stored_utc));
  // Wine cannot keep a creation time on a Unix file system: the value asked for is checked here,
  // and only the last-write time on disk.
  ASSERT_EQ(1, g_basic_info_calls);
  EXPECT_EQ(stored_utc.dwLowDateTime, g_basic_info.CreationTime.LowPart);
  EXPECT_EQ(stored_utc.dwHighDateTime, static_cast<DWORD>(g_basic_info.CreationTime.HighPart));
  EXPECT_EQ(0, g_basic_info.LastWriteTime.QuadPart);
  EXPECT_EQ(0, g_basic_info.LastAccessTime.QuadPart);
  EXPECT_EQ(0, g_basic_info.ChangeTime.QuadPart);

  HANDLE file = CreateFileW(expansion.destination.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  FILETIME written;
  ASSERT_TRUE(GetFileTime(file, nullptr, nullptr, &written));
  CloseHandle(file);
  // File system clocks tick coarsely: allow one second either side.
  const ULONGLONG kSecond = 10000000;
  auto value = [](const FILETIME& t) { return (ULONGLONG{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
  EXPECT_GE(value(written) + kSecond, value(before));
  EXPECT_LE(value(written), value(after) + kSecond);
}

TEST(ExpandCabinet, DamagedCabinetGivesFalseAndLeavesNoFile) {
  const wchar_t* fixtures[] = {
      L"not_cabinet.bin", L"empty.bin",
      // Header and file entry whole, no data: the library fails before or after opening the file.
      L"cut_after_header.cab",
      // One whole data block of the file: some libraries report the partial file closed before
      // they fail.
      L"cut_after_block.cab",
  };
  for (const wchar_t* fixture : fixtures) {
    SCOPED_TRACE(Narrow(fixture));
    Expansion expansion(fixture);
    const CabinetApi api = CountingApi();
    EXPECT_FALSE(ExpandCabinet(expansion.source.c_str(), expansion.destination.c_str(), api));
    EXPECT_EQ(std::vector<std::wstring>{L"SETUP.EX_"}, ListDirectory(expansion.scratch.path()));
    EXPECT_EQ(0, g_live_blocks);
  }
}

// An FDI may report the file written and still fail afterwards, or stop as the handler asked and
// report that stop as a failure (Windows does; Wine carries on and reports success). A wrapper
// around the real library plays each outcome.
enum class CopyOutcome { kReal, kStoppedAsAsked, kCorruptAfterwards };
CopyOutcome g_outcome = CopyOutcome::kReal;
PERF g_error_record = nullptr;
HMODULE CabinetModule() { return GetModuleHandleW(L"cabinet.dll"); }
template <typename Fn>
Fn RealEntry(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(CabinetModule(), name)));
}
HFDI DIAMONDAPI WrappedFdiCreate(PFNALLOC a, PFNFREE f, PFNOPEN o, PFNREAD r, PFNWRITE w,
                                 PFNCLOSE c, PFNSEEK s, int cpu, PERF error) {
  g_error_record = error;
  return RealEntry<decltype(&FDICreate)>("FDICreate")(a, f, o, r, w, c, s, cpu, error);
}
BOOL DIAMONDAPI WrappedFdiCopy(HFDI fdi, char* name, char* path, int flags, PFNFDINOTIFY notify,
                               PFNFDIDECRYPT decrypt, void* user) {
  const BOOL copied =
      RealEntry<decltype(&FDICopy)>("FDICopy")(fdi, name, path, flags, notify, decrypt, user);
  if (g_outcome == CopyOutcome::kReal) return copied;
  g_error_record->erfOper = g_outcome == CopyOutcome::kStoppedAsAsked ? FDIERROR_USER_ABORT
                                                                      : FDIERROR_CORRUPT_CABINET;
  g_error_record->fError = TRUE;
  return FALSE;
}
FARPROC WINAPI WrappingGetProcAddress(HMODULE module, LPCSTR name) {
  if (std::string(name) == "FDICreate") return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(WrappedFdiCreate));
  if (std::string(name) == "FDICopy") return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(WrappedFdiCopy));
  return GetProcAddress(module, name);
}

// A write that says it wrote everything but kept back the last byte of the file.
DWORD g_write_budget = 0;
BOOL WINAPI ShortWriteFile(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                           LPOVERLAPPED overlapped) {
  const DWORD kept = count <= g_write_budget ? count : g_write_budget;
  g_write_budget -= kept;
  if (!WriteFile(file, data, kept, written, overlapped)) return FALSE;
  *written = count;
  return TRUE;
}

TEST(ExpandCabinet, CountsOnlyAWholeFileAfterAGoodEnd) {
  struct Case {
    const char* label;
    CopyOutcome outcome;
    DWORD write_budget;  // bytes that really reach the file
    bool expanded;
    const wchar_t* cabinet;
  } cases[] = {
      {"as the library ends", CopyOutcome::kReal, 100000, true},
      {"stopped as the handler asked", CopyOutcome::kStoppedAsAsked, 100000, true},
      {"failure after the file was closed", CopyOutcome::kCorruptAfterwards, 100000, false},
      {"one byte short, reported whole", CopyOutcome::kReal, 99999, false},
      {"short and then stopped", CopyOutcome::kStoppedAsAsked, 99999, false},
      // A read-only file could not be marked for deletion.
      {"read-only file, failure after it was closed", CopyOutcome::kCorruptAfterwards, 100000,
       false, L"read_only.cab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Expansion expansion(c.cabinet != nullptr ? c.cabinet : L"one.cab");
    CabinetApi api = CountingApi();
    api.GetProcAddress = WrappingGetProcAddress;
    api.WriteFile = ShortWriteFile;
    g_outcome = c.outcome;
    g_write_budget = c.write_budget;
    // The wrapper finds the library by module handle: make sure it is loaded.
    ASSERT_NE(nullptr, LoadLibraryW(L"cabinet.dll"));
    EXPECT_EQ(c.expanded,
              ExpandCabinet(expansion.source.c_str(), expansion.destination.c_str(), api));
    EXPECT_EQ(c.expanded, PathExists(expansion.destination));
    EXPECT_EQ(0, g_live_blocks);
  }
}

TEST(ExpandCabinet, UnusableDestinationGivesFalse) {
  // Nor is the second file written in its place.
  Expansion expansion(L"two.cab");
  const CabinetApi api = CountingApi();
  const std::wstring destination = expansion.scratch / L"missing\\setup.exe";
  EXPECT_FALSE(ExpandCabinet(expansion.source.c_str(), destination.c_str(), api));
  EXPECT_EQ(std::vector<std::wstring>{L"SETUP.EX_"}, ListDirectory(expansion.scratch.path()));
  EXPECT_EQ(0, g_live_blocks);
}

TEST(ExpandCabinet, RefusesBeforeTheLibraryIsUsed) {
  Expansion expansion(L"one.cab");
  // A source without a directory: nothing to hand FDI.
  for (const wchar_t* source : {L"SETUP.EX_", L"\\SETUP.EX_", L""}) {
    SCOPED_TRACE(Narrow(source));
    const CabinetApi api = CountingApi();
    EXPECT_FALSE(ExpandCabinet(source, expansion.destination.c_str(), api));
    EXPECT_EQ(0, g_allocations);
  }
  // A missing entry point.
  for (const char* missing : {"FDICreate", "FDIDestroy", "FDICopy"}) {
    SCOPED_TRACE(missing);
    const CabinetApi api = CountingApi();
    g_missing_entry = missing;
    EXPECT_FALSE(ExpandCabinet(expansion.source.c_str(), expansion.destination.c_str(), api));
    EXPECT_EQ(0, g_allocations);
  }
  EXPECT_FALSE(PathExists(expansion.destination));
}

// The library cache lives as long as the process, so what happens at the first load is seen in a
// fresh process: the cases below run one at a time in a child copy of this program.
void RunInFreshProcess(const char* test) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring command = L"\"" + std::wstring(self) +
                               L"\" --gtest_also_run_disabled_tests --gtest_brief=1 "
                               L"--gtest_filter=DISABLED_CabinetLibraryInFreshProcess." +
                               testing_support::Widen(test);
  DWORD start_error = 0;
  DWORD code = RunCommand(command, &start_error);
  if (start_error != 0) {
    // A start refused by a busy machine says nothing about the library: try once more.
    std::printf("child %s did not start (error %lu); starting it again\n", test, start_error);
    code = RunCommand(command, &start_error);
  }
  EXPECT_EQ(0u, start_error) << test;
  EXPECT_EQ(0u, code) << test;
}

TEST(CabinetLibrary, LoadedOncePerProcessFromTheSystemDirectory) {
  RunInFreshProcess("LoadsOnceAndLooksUpOnEveryCall");
  RunInFreshProcess("WithoutWindirLoadsTheSecondCandidate");
  RunInFreshProcess("AHostileWindirIsNotFollowed");
  RunInFreshProcess("FailedLoadIsTriedAgain");
}

// Run directly in a process that has loaded the library already, these cases cannot see the first
// load: they say so rather than pass.
#define ASSERT_FRESH_PROCESS() \
  ASSERT_EQ(nullptr, GetModuleHandleW(L"cabinet.dll")) << "run through CabinetLibrary.*"

std::wstring SystemDirectory() {
  wchar_t buffer[MAX_PATH];
  GetSystemDirectoryW(buffer, MAX_PATH);
  return buffer;
}

std::wstring Expanded(const wchar_t* text) {
  wchar_t buffer[MAX_PATH];
  ExpandEnvironmentStringsW(text, buffer, MAX_PATH);
  return buffer;
}

TEST(DISABLED_CabinetLibraryInFreshProcess, LoadsOnceAndLooksUpOnEveryCall) {
  ASSERT_FRESH_PROCESS();
  Expansion expansion(L"one.cab");
  const CabinetApi api = CountingApi();
  ASSERT_TRUE(ExpandCabinet(expansion.source.c_str(), expansion.destination.c_str(), api));
  ASSERT_TRUE(DeleteFileW(expansion.destination.c_str()));
  ASSERT_TRUE(ExpandCabinet(expansion.source.c_str(), expansion.destination.c_str(), api));
  EXPECT_EQ(std::vector<std::wstring>{SystemDirectory() + L"\\cabinet.dll"}, g_loaded_paths);
  std::vector<std::string> twice = kEntryPoints;
  twice.insert(twice.end(), kEntryPoints.begin(), kEntryPoints.end());
  EXPECT_EQ(twice, g_looked_up);
}

TEST(DISABLED_CabinetLibraryInFreshProcess, WithoutWindirLoadsTheSecondCandidate) {
  ASSERT_FRESH_PROCESS();
  Expansion expansion(L"one.cab");
  const CabinetApi api = CountingApi();
  ASSERT_TRUE(SetEnvironmentVariableW(L"WINDIR", nullptr));
  g_no_system_directory = true;
  EXPECT_TRUE(ExpandCabinet(expansion.source.c_str(), expansion.destination.c_str(), api));
  // The unset variable stays unexpanded, which names no file.
  EXPECT_EQ((std::vector<std::wstring>{L"%WINDIR%\\system32\\cabinet.dll",
                                       Expanded(L"%SYSTEMROOT%\\system32\\cabinet.dll")}),
            g_loaded_paths);
}

// WINDIR pointing at a folder of the user's own, as an elevated stub could inherit it: the library
// still comes from the system directory.
TEST(DISABLED_CabinetLibraryInFreshProcess, AHostileWindirIsNotFollowed) {
  ASSERT_FRESH_PROCESS();
  Expansion expansion(L"one.cab");
  const CabinetApi api = CountingApi();
  ASSERT_TRUE(SetEnvironmentVariableW(L"WINDIR", L"C:\\users\\public"));
  EXPECT_TRUE(ExpandCabinet(expansion.source.c_str(), expansion.destination.c_str(), api));
  EXPECT_EQ(std::vector<std::wstring>{SystemDirectory() + L"\\cabinet.dll"}, g_loaded_paths);
}

// The environment's candidates are not tried after the system directory's library failed to load.
TEST(DISABLED_CabinetLibraryInFreshProcess, FailedLoadIsTriedAgain) {
  ASSERT_FRESH_PROCESS();
  Expansion expansion(L"one.cab");
  CabinetApi api = CountingApi();
  g_fail_loads = true;
  EXPECT_FALSE(ExpandCabinet(expansion.source.c_str(), expansion.destination.c_str(), api));
  EXPECT_EQ(std::vector<std::wstring>{SystemDirectory() + L"\\cabinet.dll"}, g_loaded_paths);
  EXPECT_TRUE(g_looked_up.empty());
  EXPECT_FALSE(PathExists(expansion.destination));

  g_fail_loads = false;
  g_loaded_paths.clear();
  EXPECT_TRUE(ExpandCabinet(expansion.source.c_str(), expansion.destination.c_str(), api));
  EXPECT_EQ(1u, g_loaded_paths.size());
}

}  // namespace
