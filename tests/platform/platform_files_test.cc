// The file-system behaviour that the output file and the deletion rely on, shown on the platform
// itself; where Windows behaves otherwise than Wine, Wine's own behaviour is pinned, so that
// docs/platform.md cannot silently go stale, and the Windows behaviour is played on the host.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cleanup/delete.h"
#include "testing/test_support.h"

namespace {

using testing_support::PathExists;
using testing_support::ScratchDir;
using testing_support::TestDirectory;
using testing_support::WriteFileBytes;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// As the deletion opens: a directory as well as a file, a link itself rather than its target.
constexpr DWORD kDeletionFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

BOOL MarkForDeletion(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

TEST(FileSystemUnderWine, MarkingForDeletionThroughAHandle) {
  struct Case {
    const char* label;
    std::function<bool(const std::wstring&)> make;
    BOOL marked;
    DWORD error;  // after a refused mark
  } cases[] = {
      {"file", [](const std::wstring& p) { return WriteFileBytes(p, "x"); }, TRUE, 0},
      {"empty directory",
       [](const std::wstring& p) { return CreateDirectoryW(p.c_str(), nullptr) != FALSE; }, TRUE,
       0},
      {"directory holding a file",
       [](const std::wstring& p) {
         return CreateDirectoryW(p.c_str(), nullptr) && WriteFileBytes(p + L"\\log.txt", "x");
       },
       FALSE, ERROR_DIR_NOT_EMPTY},
      {"read-only file",
       [](const std::wstring& p) {
         return WriteFileBytes(p, "x") && SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_READONLY);
       },
       FALSE, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    ScratchDir scratch(L"platform_mark");
    const std::wstring path = scratch / L"target";
    ASSERT_TRUE(c.make(path)) << c.label;
    const HANDLE handle = CreateFileW(path.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                      kDeletionFlags, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle) << c.label;
    SetLastError(0);
    EXPECT_EQ(c.marked, MarkForDeletion(handle)) << c.label;
    if (!c.marked) {
      EXPECT_EQ(c.error, GetLastError()) << c.label;
    }
    CloseHandle(handle);
    // A marked path goes with its last handle; a refused one stays.
    EXPECT_EQ(!c.marked, PathExists(path)) << c.label;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

FILE_BASIC_INFO ReadBasicInfo(HANDLE handle) {
  FILE_BASIC_INFO info = {};
  EXPECT_TRUE(GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info));
  return info;
}

// Zero attributes and zero times in FileBasicInfo mean "leave as it is": the expanded file keeps
// its last-write time, and a file whose only attribute was read-only needs FILE_ATTRIBUTE_NORMAL
// to lose it.
TEST(FileSystemUnderWine, ZeroBasicInfoFieldsLeaveTheFileAsItIs) {
  ScratchDir scratch(L"platform_basic_info");
  const std::wstring path = scratch / L"setup.exe";
  ASSERT_TRUE(WriteFileBytes(path, "x"));
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                    kShareAll, nullptr, OPEN_EXISTING, kDeletionFlags, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);
  const FILETIME written = {0x33333333, 0x01d20000};
  ASSERT_TRUE(SetFileTime(handle, nullptr, nullptr, &written));
  const FILE_BASIC_INFO before = ReadBasicInfo(handle);
  ASSERT_TRUE(before.FileAttributes & FILE_ATTRIBUTE_READONLY);

  FILE_BASIC_INFO zero = {};
  EXPECT_TRUE(SetFileInformationByHandle(handle, FileBasicInfo, &zero, sizeof zero));
  const FILE_BASIC_INFO after_zero = ReadBasicInfo(handle);
  EXPECT_EQ(before.FileAttributes, after_zero.FileAttributes);
  EXPECT_EQ(before.LastWriteTime.QuadPart, after_zero.LastWriteTime.QuadPart);

  FILE_BASIC_INFO normal = {};
  normal.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  EXPECT_TRUE(SetFileInformationByHandle(handle, FileBasicInfo, &normal, sizeof normal));
  EXPECT_EQ(0u, ReadBasicInfo(handle).FileAttributes & FILE_ATTRIBUTE_READONLY);
  CloseHandle(handle);
}

// A setup program that is still running (a child it started may outlive it) cannot be marked:
// the mark is refused with ERROR_ACCESS_DENIED, which the deletion waits out.
struct RunningProgram {
  HANDLE release = nullptr;
  HANDLE process = nullptr;
  std::vector<DWORD> sleeps;
  std::vector<DWORD> mark_errors;
};
RunningProgram g_running;

// The program is let go during the second pause; no test sleeps for real.
void WINAPI ReleasingSleep(DWORD ms) {
  g_running.sleeps.push_back(ms);
  if (g_running.sleeps.size() == 2) {
    SetEvent(g_running.release);
    WaitForSingleObject(g_running.process, 30000);
  }
}
BOOL WINAPI RecordingMark(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                          DWORD size) {
  const BOOL ok = SetFileInformationByHandle(file, info_class, info, size);
  const DWORD error = GetLastError();
  if (info_class == FileDispositionInfo) g_running.mark_errors.push_back(ok ? 0 : error);
  SetLastError(error);
  return ok;
}

TEST(DeleteWithRetryUnderWine, RunningProgramIsWaitedForUntilItEnds) {
  ScratchDir scratch(L"platform_running_program");
  const std::wstring program = scratch / L"setup.exe";
  const std::wstring held = scratch / L"held.txt";
  ASSERT_TRUE(CopyFileW((TestDirectory() + L"hold_file.exe").c_str(), program.c_str(), FALSE));
  ASSERT_TRUE(WriteFileBytes(held, "x"));
  g_running = RunningProgram();
  const std::wstring base = L"platform_running_" + std::to_wstring(GetCurrentProcessId());
  const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, (base + L"_ready").c_str());
  g_running.release = CreateEventW(nullptr, TRUE, FALSE, (base + L"_release").c_str());
  std::wstring line = L"\"" + program + L"\" \"" + held + L"\" " + base + L"_ready " + base +
                      L"_release";
  STARTUPINFOW startup = {sizeof startup};
  PROCESS_INFORMATION started = {};
  ASSERT_TRUE(CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &started));
  CloseHandle(started.hThread);
  g_running.process = started.hProcess;
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 30000));

  DeleteApi api;
  api.Sleep = ReleasingSleep;
  api.SetFileInformationByHandle = RecordingMark;
  EXPECT_TRUE(DeleteWithRetry(program.c_str(), api));
  EXPECT_FALSE(PathExists(program));
  // Refused until the program has ended (a slow system may take a pass more to drop its image),
  // then marked once.
  EXPECT_LE(2u, g_running.sleeps.size());
  ASSERT_EQ(g_running.sleeps.size() + 1, g_running.mark_errors.size());
  EXPECT_EQ(0u, g_running.mark_errors.back());
  for (size_t i = 0; i + 1 < g_running.mark_errors.size(); ++i) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), g_running.mark_errors[i]) << i;
  }
  SetEvent(g_running.release);
  WaitForSingleObject(g_running.process, 30000);
  CloseHandle(g_running.process);
  CloseHandle(g_running.release);
  CloseHandle(ready);
}

// Windows keeps a marked path that another process still holds "delete pending" and refuses every
// open of it with ERROR_ACCESS_DENIED until the holder lets go (the deletion's answer to that is
// checked on the host, host/delete_test.cc). What Wine does instead, pinned so that
// docs/platform.md is corrected when a Wine release changes it.
TEST(WineDiffersFromWindows, MarkedFileHeldElsewhereCanStillBeOpened) {
  ScratchDir scratch(L"platform_pending");
  const std::wstring path = scratch / L"archive.7z";
  ASSERT_TRUE(WriteFileBytes(path, "x"));
  const HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                    0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  HANDLE handle =
      CreateFileW(path.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, kDeletionFlags, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);
  ASSERT_TRUE(MarkForDeletion(handle));
  CloseHandle(handle);
  // Windows: INVALID_HANDLE_VALUE with ERROR_ACCESS_DENIED.
  handle =
      CreateFileW(path.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, kDeletionFlags, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, handle);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  CloseHandle(holder);
  EXPECT_FALSE(PathExists(path));
}

// Windows creates the link (given the privilege), and the deletion's reparse-point flag then
// removes the link and never its target. Wine reports success and creates nothing; it would also
// follow a link on deletion, so no test here may make one that leads out of its scratch folder.
TEST(WineDiffersFromWindows, SymbolicLinkIsReportedButNotCreated) {
  ScratchDir scratch(L"platform_link");
  const std::wstring target = scratch / L"target.txt";
  const std::wstring link = scratch / L"link.txt";
  ASSERT_TRUE(WriteFileBytes(target, "x"));
  EXPECT_TRUE(CreateSymbolicLinkW(link.c_str(), target.c_str(), 0));
  EXPECT_FALSE(PathExists(link));
}

// Windows keeps the creation time the expansion sets; Wine's Unix file systems have no settable
// one, so a set is accepted and the time read back is another.
TEST(WineDiffersFromWindows, CreationTimeIsNotKept) {
  ScratchDir scratch(L"platform_creation_time");
  const std::wstring path = scratch / L"setup.exe";
  const HANDLE handle =
      CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0,
                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);
  FILE_BASIC_INFO info = {};
  info.CreationTime.QuadPart = 132078255300000000;  // 2019-07-15 13:45:30 UTC
  EXPECT_TRUE(SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof info));
  EXPECT_NE(info.CreationTime.QuadPart, ReadBasicInfo(handle).CreationTime.QuadPart);
  CloseHandle(handle);
}

}  // namespace
