// The deletion against Wine's own files: real files and directories, a read-only file, a file
// another process holds open. Its decisions against answers Wine cannot give (a delete-pending
// path, a file system that reports success and changes nothing) are checked on the host, through
// host/delete_fake.cc.
#include "cleanup/delete.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/test_support.h"

namespace {

using testing_support::PathExists;
using testing_support::ScratchDir;
using testing_support::TestDirectory;
using testing_support::WriteFileBytes;

// What the calls through the seam showed: the paths opened in order, the pauses, the handles.
struct Seen {
  std::vector<std::wstring> paths;  // each path opened, repeats collapsed
  std::vector<DWORD> sleeps;
  int marks = 0;
  int attribute_writes = 0;
  int open_handles = 0;
  int sleeps_with_handle_open = 0;
};
Seen g_seen;

// No test sleeps for real. A real holder process is let go at the chosen sleep.
size_t g_release_at_sleep = 0;  // 0: never
HANDLE g_release_event = nullptr;
HANDLE g_holder = nullptr;
void WINAPI CountingSleep(DWORD ms) {
  g_seen.sleeps.push_back(ms);
  if (g_seen.open_handles != 0) ++g_seen.sleeps_with_handle_open;
  if (g_release_at_sleep == g_seen.sleeps.size() && g_release_event) {
    SetEvent(g_release_event);
    WaitForSingleObject(g_holder, 30000);
  }
}

// What every deletion must leave: every pause 100 ms, taken with no handle open, none left open.
void ExpectNoHandleLeft(const char* label) {
  for (DWORD ms : g_seen.sleeps) EXPECT_EQ(kDeleteRetryDelayMs, ms) << label;
  EXPECT_EQ(0, g_seen.sleeps_with_handle_open) << label;
  EXPECT_EQ(0, g_seen.open_handles) << label;
}

// The real calls under Wine, with only the pause faked and counted.
FILE_BASIC_INFO g_after_clear = {};
std::wstring g_clear_path;

FILE_BASIC_INFO ReadBasicInfo(const std::wstring& path) {
  FILE_BASIC_INFO info = {};
  const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info);
    CloseHandle(file);
  }
  return info;
}

HANDLE WINAPI RecordingCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE template_file) {
  if (g_seen.paths.empty() || g_seen.paths.back() != path) g_seen.paths.push_back(path);
  const HANDLE handle =
      CreateFileW(path, access, share, security, disposition, flags, template_file);
  if (handle != INVALID_HANDLE_VALUE) ++g_seen.open_handles;
  return handle;
}
BOOL WINAPI CountingCloseHandle(HANDLE handle) {
  --g_seen.open_handles;
  return CloseHandle(handle);
}
// Reads the file back right after its attributes were written, while it is still there.
BOOL WINAPI InspectingSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class,
                                                 LPVOID info, DWORD size) {
  const BOOL ok = SetFileInformationByHandle(file, info_class, info, size);
  const DWORD error = GetLastError();
  if (info_class == FileBasicInfo) {
    ++g_seen.attribute_writes;
    g_after_clear = ReadBasicInfo(g_clear_path);
  } else {
    ++g_seen.marks;
  }
  SetLastError(error);
  return ok;
}

DeleteApi RealApi() {
  g_seen = Seen();
  g_release_at_sleep = 0;
  g_release_event = nullptr;
  g_holder = nullptr;
  return {RecordingCreateFileW, InspectingSetFileInformationByHandle,
          ::GetFileInformationByHandleEx, CountingCloseHandle, ::GetLastError, CountingSleep};
}

TEST(DeleteWithRetryUnderWine, FilesAndDirectories) {
  ScratchDir scratch(L"delete_paths");
  ASSERT_TRUE(WriteFileBytes(scratch / L"file.bin", "abc"));
  ASSERT_TRUE(CreateDirectoryW((scratch / L"empty").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((scratch / L"TM_00001.tmp").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(scratch / L"TM_00001.tmp\\setup.log", "setup's own"));
  struct Case { const wchar_t* name; bool result; size_t sleeps; bool stays; } cases[] = {
      {L"file.bin", true, 0, false},
      {L"empty\\", true, 0, false},
      {L"missing.bin", true, 0, false},
      {L"missing\\file.bin", true, 0, false},
      {L"bad<name", false, 0, false},  // ERROR_INVALID_NAME
      {L"TM_00001.tmp\\", false, 99, true},
  };
  for (const Case& c : cases) {
    const std::wstring path = scratch / c.name;
    const std::string label = testing_support::Narrow(c.name);
    const DeleteApi api = RealApi();
    EXPECT_EQ(c.result, DeleteWithRetry(path.c_str(), api)) << label;
    EXPECT_EQ(c.stays, PathExists(path)) << label;
    EXPECT_EQ(c.sleeps, g_seen.sleeps.size()) << label;
    ExpectNoHandleLeft(label.c_str());
  }
  EXPECT_TRUE(PathExists(scratch / L"TM_00001.tmp\\setup.log"));
}

TEST(DeleteWithRetryUnderWine, ReadOnlyFileGoesOnTheNextPassUnchangedUntilThen) {
  ScratchDir scratch(L"delete_read_only");
  g_clear_path = scratch / L"setup.exe";
  ASSERT_TRUE(WriteFileBytes(g_clear_path, "abc"));
  const DWORD attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                           FILE_ATTRIBUTE_ARCHIVE;
  ASSERT_TRUE(SetFileAttributesW(g_clear_path.c_str(), attributes));
  const HANDLE file = CreateFileW(g_clear_path.c_str(), FILE_WRITE_ATTRIBUTES, 7, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  const FILETIME creation = {0x11111111, 0x01d00000}, access = {0x22222222, 0x01d10000},
                 write = {0x33333333, 0x01d20000};
  ASSERT_TRUE(SetFileTime(file, &creation, &access, &write));
  CloseHandle(file);
  const FILE_BASIC_INFO before = ReadBasicInfo(g_clear_path);
  ASSERT_EQ(attributes, before.FileAttributes);

  const DeleteApi api = RealApi();
  EXPECT_TRUE(DeleteWithRetry(g_clear_path.c_str(), api));
  EXPECT_FALSE(PathExists(g_clear_path));
  EXPECT_TRUE(g_seen.sleeps.empty());
  EXPECT_EQ(1, g_seen.attribute_writes);
  EXPECT_EQ(2, g_seen.marks);  // refused while read-only, then accepted
  EXPECT_EQ(attributes & ~FILE_ATTRIBUTE_READONLY, g_after_clear.FileAttributes);
  EXPECT_EQ(before.CreationTime.QuadPart, g_after_clear.CreationTime.QuadPart);
  EXPECT_EQ(before.LastAccessTime.QuadPart, g_after_clear.LastAccessTime.QuadPart);
  EXPECT_EQ(before.LastWriteTime.QuadPart, g_after_clear.LastWriteTime.QuadPart);
  // The change time is not compared here: Wine clears the bit with chmod, which moves it. That it
  // is written back as read is checked on the host (host/delete_test.cc).
  ExpectNoHandleLeft("read-only");
}

// A second process holds the file open until the chosen pause.
class HolderProcess {
 public:
  HolderProcess(const std::wstring& path, bool share_delete) {
    const std::wstring base = L"delete_test_" + std::to_wstring(GetCurrentProcessId());
    ready_ = CreateEventW(nullptr, TRUE, FALSE, (base + L"_ready").c_str());
    release_ = CreateEventW(nullptr, TRUE, FALSE, (base + L"_release").c_str());
    std::wstring line = L"\"" + TestDirectory() + L"hold_file.exe\" \"" + path + L"\" " + base +
                        L"_ready " + base + L"_release" + (share_delete ? L" share-delete" : L"");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
      CloseHandle(process.hThread);
      process_ = process.hProcess;
      const HANDLE waits[2] = {ready_, process_};
      holding_ = WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
    }
  }
  ~HolderProcess() {
    SetEvent(release_);
    if (process_) {
      WaitForSingleObject(process_, 30000);
      CloseHandle(process_);
    }
    CloseHandle(ready_);
    CloseHandle(release_);
  }
  bool holding() const { return holding_; }
  HANDLE release_event() const { return release_; }
  HANDLE process() const { return process_; }

 private:
  HANDLE ready_ = nullptr;
  HANDLE release_ = nullptr;
  HANDLE process_ = nullptr;
  bool holding_ = false;
};

// Without delete sharing every open is refused with a sharing violation. With it, Wine opens and
// marks the path in every pass while it stays until the holder lets go: a file system reporting
// success while the path stays, which the bound on restarts turns into counted passes (3 marks
// each) instead of a loop that only the other process could end.
TEST(DeleteWithRetryUnderWine, FileHeldByAnotherProcess) {
  struct Case {
    const char* label; bool share_delete; size_t release_at_sleep; bool result; size_t sleeps;
    int marks;
  } cases[] = {
      {"let go during the third pause", false, 3, true, 3, 1},
      {"held throughout", false, 0, false, 99, 0},
      {"shared for deletion, let go during the second pause", true, 2, true, 2, 6},
      {"shared for deletion throughout", true, 0, false, 99, 300},
  };
  for (const Case& c : cases) {
    ScratchDir scratch(L"delete_held");
    const std::wstring path = scratch / L"archive.7z";
    ASSERT_TRUE(WriteFileBytes(path, "abc"));
    HolderProcess holder(path, c.share_delete);
    ASSERT_TRUE(holder.holding()) << c.label;
    const DeleteApi api = RealApi();
    g_release_at_sleep = c.release_at_sleep;
    g_release_event = holder.release_event();
    g_holder = holder.process();
    EXPECT_EQ(c.result, DeleteWithRetry(path.c_str(), api)) << c.label;
    EXPECT_EQ(c.sleeps, g_seen.sleeps.size()) << c.label;
    EXPECT_EQ(!c.result, PathExists(path)) << c.label;
    EXPECT_EQ(c.marks, g_seen.marks) << c.label;
    ExpectNoHandleLeft(c.label);
    g_release_event = nullptr;
  }
}

TEST(DeleteExtractedFiles, FilesFirstThenTheDirectoryAlways) {
  struct Case {
    const char* label;
    const wchar_t* archive;
    const wchar_t* setup;
    bool extra_file;
    bool directory_goes;
  } cases[] = {
      {"both files", L"archive.7z", L"setup.exe", false, true},
      {"both paths empty", L"", L"", false, true},
      {"the archive cannot be deleted", L"bad<name", L"setup.exe", false, true},
      {"setup left a file of its own", L"archive.7z", L"setup.exe", true, false},
  };
  for (const Case& c : cases) {
    ScratchDir scratch(L"delete_extracted");
    const std::wstring directory = scratch / L"TM_0BEEF.tmp\\";
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    std::vector<std::wstring> expected;
    std::wstring archive, setup;
    if (*c.archive) expected.push_back(archive = directory + c.archive);
    if (*c.setup) expected.push_back(setup = directory + c.setup);
    expected.push_back(directory);
    for (const std::wstring& path : {archive, setup}) {
      if (!path.empty() && path.find(L'<') == std::wstring::npos) {
        ASSERT_TRUE(WriteFileBytes(path, "x"));
      }
    }
    if (c.extra_file) {
      ASSERT_TRUE(WriteFileBytes(directory + L"setup.log", "x"));
    }

    const DeleteApi api = RealApi();
    DeleteExtractedFiles(archive.c_str(), setup.c_str(), directory.c_str(), api);
    EXPECT_EQ(expected, g_seen.paths) << c.label;
    EXPECT_FALSE(!archive.empty() && PathExists(archive)) << c.label;
    EXPECT_FALSE(!setup.empty() && PathExists(setup)) << c.label;
    EXPECT_EQ(!c.directory_goes, PathExists(directory)) << c.label;
    EXPECT_EQ(c.directory_goes ? 0u : 99u, g_seen.sleeps.size()) << c.label;
    ExpectNoHandleLeft(c.label);
  }
}

}  // namespace
