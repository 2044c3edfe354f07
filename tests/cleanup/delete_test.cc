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

constexpr DWORD kAttributeAccess = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

// Every open the deletion makes, whatever it is for.
struct OpenCall {
  std::wstring path;
  DWORD access, share;
  bool security;
  DWORD disposition, flags;
  bool template_file;
};

// Calls seen through the seam, shared by the model below and by the wrappers of the real calls.
struct Seen {
  std::vector<OpenCall> opens;
  std::vector<DWORD> sleeps;
  int marks = 0;
  int attribute_writes = 0;
  int open_handles = 0;
  int sleeps_with_handle_open = 0;
  FILE_BASIC_INFO written = {};
};
Seen g_seen;

void RecordOpen(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                DWORD disposition, DWORD flags, HANDLE template_file) {
  g_seen.opens.push_back({path, access, share, security != nullptr, disposition, flags,
                          template_file != nullptr});
}

// One path as a model file system sees it, for the cases Wine cannot stage: a path that another
// party lets go of at a chosen moment, a refusal that is not the read-only bit, a file system
// that reports success and changes nothing.
struct Model {
  bool exists = true;
  DWORD open_error = 0;          // every deletion open fails with it
  bool held = false;             // deletion opens fail with a sharing violation...
  size_t release_at_sleep = 0;   // ...until this sleep (0: never)
  DWORD mark_error = 0;          // every mark fails with it
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;  // read-only makes marks fail with access denied
  DWORD attribute_open_error = 0;
  bool stuck = false;            // marks and attribute writes succeed and change nothing
  bool marked = false;
};
Model g_model;
const LONGLONG kTimes[4] = {111, 222, 333, 444};

HANDLE WINAPI ModelCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE template_file) {
  RecordOpen(path, access, share, security, disposition, flags, template_file);
  DWORD error = 0;
  if (!g_model.exists) {
    error = ERROR_FILE_NOT_FOUND;
  } else if (access == DELETE) {
    error = g_model.open_error ? g_model.open_error : g_model.held ? ERROR_SHARING_VIOLATION : 0;
  } else {
    error = g_model.attribute_open_error;
  }
  if (error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  ++g_seen.open_handles;
  return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x1000 + g_seen.opens.size()));
}

BOOL WINAPI ModelSetFileInformationByHandle(HANDLE, FILE_INFO_BY_HANDLE_CLASS info_class,
                                            LPVOID info, DWORD size) {
  if (info_class == FileDispositionInfo) {
    ++g_seen.marks;
    EXPECT_EQ(1u, size);
    EXPECT_TRUE(static_cast<FILE_DISPOSITION_INFO*>(info)->DeleteFile);
    DWORD error = g_model.mark_error;
    if (!error && (g_model.attributes & FILE_ATTRIBUTE_READONLY)) error = ERROR_ACCESS_DENIED;
    if (error) {
      SetLastError(error);
      return FALSE;
    }
    g_model.marked = !g_model.stuck;
    return TRUE;
  }
  EXPECT_EQ(FileBasicInfo, info_class);
  EXPECT_EQ(sizeof(FILE_BASIC_INFO), size);
  ++g_seen.attribute_writes;
  g_seen.written = *static_cast<FILE_BASIC_INFO*>(info);
  if (!g_model.stuck) g_model.attributes = g_seen.written.FileAttributes;
  return TRUE;
}

BOOL WINAPI ModelGetFileInformationByHandleEx(HANDLE, FILE_INFO_BY_HANDLE_CLASS info_class,
                                              LPVOID info, DWORD size) {
  EXPECT_EQ(FileBasicInfo, info_class);
  EXPECT_EQ(sizeof(FILE_BASIC_INFO), size);
  FILE_BASIC_INFO* basic = static_cast<FILE_BASIC_INFO*>(info);
  basic->CreationTime.QuadPart = kTimes[0];
  basic->LastAccessTime.QuadPart = kTimes[1];
  basic->LastWriteTime.QuadPart = kTimes[2];
  basic->ChangeTime.QuadPart = kTimes[3];
  basic->FileAttributes = g_model.attributes;
  return TRUE;
}

// The path goes with the last handle of a marked path. The close also leaves a last-error value
// of its own, so that an error read after it instead of before shows up as the wrong one.
BOOL WINAPI ModelCloseHandle(HANDLE) {
  --g_seen.open_handles;
  if (g_model.marked) g_model.exists = false;
  SetLastError(ERROR_INVALID_FUNCTION);
  return TRUE;
}

// Shared by the model and the real cases: no test sleeps for real. A real holder process is let
// go at the chosen sleep.
HANDLE g_release_event = nullptr;
HANDLE g_holder = nullptr;
void WINAPI CountingSleep(DWORD ms) {
  g_seen.sleeps.push_back(ms);
  if (g_seen.open_handles != 0) ++g_seen.sleeps_with_handle_open;
  if (g_model.release_at_sleep == g_seen.sleeps.size()) {
    g_model.held = false;
    if (g_release_event) {
      SetEvent(g_release_event);
      WaitForSingleObject(g_holder, 30000);
    }
  }
}

DeleteApi ModelApi(const Model& model) {
  g_seen = Seen();
  g_model = model;
  DeleteApi api;
  api.CreateFileW = ModelCreateFileW;
  api.SetFileInformationByHandle = ModelSetFileInformationByHandle;
  api.GetFileInformationByHandleEx = ModelGetFileInformationByHandleEx;
  api.CloseHandle = ModelCloseHandle;
  api.Sleep = CountingSleep;
  return api;
}

// What every call must show: each open is one of the two the deletion makes, on the path itself
// and never through a link; every pause is 100 ms, taken with no handle open; none is left open.
void ExpectWellFormedCalls(const char* label) {
  for (const OpenCall& open : g_seen.opens) {
    EXPECT_TRUE(open.access == DELETE || open.access == kAttributeAccess) << label;
    EXPECT_EQ(0x7u, open.share) << label;
    EXPECT_FALSE(open.security) << label;
    EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), open.disposition) << label;
    EXPECT_EQ(0x02200000u, open.flags) << label;  // backup semantics | open reparse point
    EXPECT_FALSE(open.template_file) << label;
  }
  for (DWORD ms : g_seen.sleeps) EXPECT_EQ(100u, ms) << label;
  EXPECT_EQ(0, g_seen.sleeps_with_handle_open) << label;
  EXPECT_EQ(0, g_seen.open_handles) << label;
}

size_t DeletionOpens() {
  size_t n = 0;
  for (const OpenCall& open : g_seen.opens) n += open.access == DELETE;
  return n;
}

TEST(DeleteWithRetry, StateMachineThroughTheSeam) {
  const DWORD kReadOnlyHiddenArchive =
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
  struct Case {
    const char* label;
    Model model;
    bool result;
    size_t sleeps, deletion_opens;
    int marks, attribute_writes;
  } cases[] = {
      {"missing path", {false}, true, 0, 1, 0, 0},
      {"missing parent", {true, ERROR_PATH_NOT_FOUND}, true, 0, 1, 0, 0},
      {"ordinary file", {}, true, 0, 2, 1, 0},
      {"held throughout", {true, 0, true}, false, 99, 100, 0, 0},
      {"held, let go during the 40th sleep", {true, 0, true, 40}, true, 40, 42, 1, 0},
      {"held, let go during the last sleep", {true, 0, true, 99}, true, 99, 101, 1, 0},
      {"read-only", {true, 0, false, 0, 0, kReadOnlyHiddenArchive}, true, 0, 3, 2, 1},
      {"read-only, attributes cannot be opened",
       {true, 0, false, 0, 0, FILE_ATTRIBUTE_READONLY, ERROR_ACCESS_DENIED}, false, 99, 100, 100,
       0},
      {"refused, no read-only bit to clear", {true, 0, false, 0, ERROR_ACCESS_DENIED}, false, 99,
       100, 100, 0},
      {"non-empty directory", {true, 0, false, 0, ERROR_DIR_NOT_EMPTY}, false, 99, 100, 100, 0},
      {"invalid name", {true, ERROR_INVALID_NAME}, false, 0, 1, 0, 0},
      {"unhandled error from the mark", {true, 0, false, 0, ERROR_INVALID_PARAMETER}, false, 0, 1,
       1, 0},
      // Two restarts are allowed per counted pass, so the third pass of each counts: 3 x 100.
      {"marks succeed, path stays", {true, 0, false, 0, 0, FILE_ATTRIBUTE_ARCHIVE, 0, true}, false,
       99, 300, 300, 0},
      {"read-only bit never clears", {true, 0, false, 0, 0, FILE_ATTRIBUTE_READONLY, 0, true},
       false, 99, 300, 300, 300},
  };
  for (const Case& c : cases) {
    const DeleteApi api = ModelApi(c.model);
    EXPECT_EQ(c.result, DeleteWithRetry(L"C:\\work\\TM_3F0A9.tmp\\archive.7z", api)) << c.label;
    EXPECT_EQ(c.sleeps, g_seen.sleeps.size()) << c.label;
    EXPECT_EQ(c.deletion_opens, DeletionOpens()) << c.label;
    EXPECT_EQ(c.marks, g_seen.marks) << c.label;
    EXPECT_EQ(c.attribute_writes, g_seen.attribute_writes) << c.label;
    ExpectWellFormedCalls(c.label);
  }
}

// Only the read-only bit changes; a file with no other attribute says so with
// FILE_ATTRIBUTE_NORMAL, since attributes of 0 would leave the bit where it is.
TEST(DeleteWithRetry, ClearsTheReadOnlyBitAlone) {
  struct Case { DWORD before, written; } cases[] = {
      {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
      {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY},
      {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_NORMAL},
  };
  for (const Case& c : cases) {
    Model model;
    model.attributes = c.before;
    const DeleteApi api = ModelApi(model);
    EXPECT_TRUE(DeleteWithRetry(L"C:\\work\\setup.exe", api)) << c.before;
    EXPECT_TRUE(g_seen.sleeps.empty()) << c.before;
    ASSERT_EQ(1, g_seen.attribute_writes) << c.before;
    EXPECT_EQ(c.written, g_seen.written.FileAttributes) << c.before;
    EXPECT_EQ(kTimes[0], g_seen.written.CreationTime.QuadPart);
    EXPECT_EQ(kTimes[1], g_seen.written.LastAccessTime.QuadPart);
    EXPECT_EQ(kTimes[2], g_seen.written.LastWriteTime.QuadPart);
    EXPECT_EQ(kTimes[3], g_seen.written.ChangeTime.QuadPart);
  }
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
  RecordOpen(path, access, share, security, disposition, flags, template_file);
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
  g_model = Model();
  g_release_event = nullptr;
  g_holder = nullptr;
  DeleteApi api;
  api.CreateFileW = RecordingCreateFileW;
  api.CloseHandle = CountingCloseHandle;
  api.SetFileInformationByHandle = InspectingSetFileInformationByHandle;
  api.Sleep = CountingSleep;
  return api;
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
    ExpectWellFormedCalls(label.c_str());
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
  // is written back as read is shown through the seam (ClearsTheReadOnlyBitAlone).
  ExpectWellFormedCalls("read-only");
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
    g_model.release_at_sleep = c.release_at_sleep;
    g_release_event = holder.release_event();
    g_holder = holder.process();
    EXPECT_EQ(c.result, DeleteWithRetry(path.c_str(), api)) << c.label;
    EXPECT_EQ(c.sleeps, g_seen.sleeps.size()) << c.label;
    EXPECT_EQ(!c.result, PathExists(path)) << c.label;
    EXPECT_EQ(c.marks, g_seen.marks) << c.label;
    ExpectWellFormedCalls(c.label);
    g_release_event = nullptr;
  }
}

// The paths whose deletion was attempted, in order, each once however many passes it took.
std::vector<std::wstring> PathsTried() {
  std::vector<std::wstring> paths;
  for (const OpenCall& open : g_seen.opens) {
    if (paths.empty() || paths.back() != open.path) paths.push_back(open.path);
  }
  return paths;
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
    EXPECT_EQ(expected, PathsTried()) << c.label;
    EXPECT_FALSE(!archive.empty() && PathExists(archive)) << c.label;
    EXPECT_FALSE(!setup.empty() && PathExists(setup)) << c.label;
    EXPECT_EQ(!c.directory_goes, PathExists(directory)) << c.label;
    EXPECT_EQ(c.directory_goes ? 0u : 99u, g_seen.sleeps.size()) << c.label;
    ExpectWellFormedCalls(c.label);
  }
}

}  // namespace
