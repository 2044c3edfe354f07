#include "payload/output_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/test_support.h"

namespace {

using testing_support::PathExists;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;

constexpr DWORD k8MiB = 8388608;

// Fakes over the real calls. They record what they were asked and, where a case says so, fail
// or come back short as a full volume would.
std::vector<std::wstring> g_creates;  // the path of every create
bool g_fail_creates = false;
std::vector<DWORD> g_write_counts;
int g_failing_write = -1;  // zero-based index of the write that goes wrong
bool g_short_write = false;
int g_marks = 0;
int g_closes = 0;

HANDLE WINAPI RecordingCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE template_file) {
  g_creates.push_back(path);
  if (g_fail_creates) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(path, access, share, security, disposition, flags, template_file);
}

BOOL WINAPI ScriptedWriteFile(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                              LPOVERLAPPED overlapped) {
  const int index = static_cast<int>(g_write_counts.size());
  g_write_counts.push_back(count);
  if (index != g_failing_write) return WriteFile(file, data, count, written, overlapped);
  // Half the bytes really reach the file, so the file to be removed is not empty.
  const BOOL ok = WriteFile(file, data, count / 2, written, overlapped);
  if (g_short_write) return ok;
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

// The clean-up calls succeed but leave a last-error value of their own, so that a case sees
// whether the write's error survives them.
BOOL WINAPI NoisySetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class,
                                            LPVOID info, DWORD size) {
  if (info_class == FileDispositionInfo) ++g_marks;
  const BOOL ok = SetFileInformationByHandle(file, info_class, info, size);
  SetLastError(ERROR_GEN_FAILURE);
  return ok;
}
BOOL WINAPI NoisyCloseHandle(HANDLE handle) {
  ++g_closes;
  const BOOL ok = CloseHandle(handle);
  SetLastError(ERROR_INVALID_HANDLE);
  return ok;
}

OutputFileApi FakeApi() {
  g_creates.clear();
  g_fail_creates = false;
  g_write_counts.clear();
  g_failing_write = -1;
  g_short_write = false;
  g_marks = 0;
  g_closes = 0;
  return {RecordingCreateFileW, ScriptedWriteFile, NoisySetFileInformationByHandle,
          ::DuplicateHandle, NoisyCloseHandle, ::GetLastError, ::SetLastError};
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}

PEResource ResourceOf(const std::string& bytes) { return {bytes.data(), bytes.size()}; }

TEST(WriteResourceToFile, CreatesExclusivelyAndWritesAtMost8MiBPerCall) {
  struct Case { size_t size; std::vector<DWORD> writes; } cases[] = {
      {0, {}},
      {1, {1}},
      {k8MiB - 1, {k8MiB - 1}},
      {k8MiB, {k8MiB}},
      {k8MiB + 1, {k8MiB, 1}},
  };
  ScratchDir scratch(L"output_file_chunks");
  const std::wstring path = scratch / L"resource.bin";
  for (const Case& c : cases) {
    const std::string bytes = Pattern(c.size);
    const OutputFileApi api = FakeApi();
    ASSERT_TRUE(WriteResourceToFile(ResourceOf(bytes), path.c_str(), api)) << c.size;
    EXPECT_EQ(c.writes, g_write_counts) << c.size;
    std::string written;
    ASSERT_TRUE(ReadFileBytes(path, &written));
    EXPECT_TRUE(written == bytes) << c.size;
    EXPECT_EQ(0, g_marks);
    // One create of the path itself: how it is shared, replaced and marked is what
    // HoldsTheFileExclusivelyWhileOpen, ReplacesAnExistingFile and FailedWriteLeavesNoFile show.
    EXPECT_EQ(std::vector<std::wstring>{path}, g_creates) << c.size;
  }
}

TEST(WriteResourceToFile, ReplacesAnExistingFile) {
  ScratchDir scratch(L"output_file_replace");
  const std::wstring path = scratch / L"setup.ex_";
  ASSERT_TRUE(WriteFileBytes(path, std::string(5000, 'x')));
  const std::string bytes = "new";
  ASSERT_TRUE(WriteResourceToFile(ResourceOf(bytes), path.c_str()));
  std::string written;
  ASSERT_TRUE(ReadFileBytes(path, &written));
  EXPECT_EQ(bytes, written);
}

// Every failed write, including one that reports success but came back short, removes the file
// (one that was there before included) and leaves the write's error, not the clean-up calls'.
TEST(WriteResourceToFile, FailedWriteLeavesNoFileAndItsOwnError) {
  struct Case { const char* label; size_t size; int failing_write; bool short_write; DWORD error; }
  cases[] = {
      {"first write fails", 1000, 0, false, ERROR_DISK_FULL},
      {"second write fails after a full chunk", k8MiB + 1000, 1, false, ERROR_DISK_FULL},
      {"first write comes back short", 1000, 0, true, ERROR_HANDLE_DISK_FULL},
      {"second write comes back short", k8MiB + 1000, 1, true, ERROR_HANDLE_DISK_FULL},
  };
  ScratchDir scratch(L"output_file_failed_write");
  const std::wstring path = scratch / L"archive.7z";
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteFileBytes(path, "an earlier file"));
    const std::string bytes = Pattern(c.size);
    const OutputFileApi api = FakeApi();
    g_failing_write = c.failing_write;
    g_short_write = c.short_write;
    EXPECT_FALSE(WriteResourceToFile(ResourceOf(bytes), path.c_str(), api)) << c.label;
    EXPECT_EQ(c.error, GetLastError()) << c.label;
    EXPECT_FALSE(PathExists(path)) << c.label;
    EXPECT_EQ(static_cast<size_t>(c.failing_write + 1), g_write_counts.size()) << c.label;
    EXPECT_EQ(1, g_marks) << c.label;
    EXPECT_EQ(1, g_closes) << c.label;
  }
}

TEST(WriteResourceToFile, MissingDirectoryCreatesNothing) {
  ScratchDir scratch(L"output_file_missing_dir");
  const std::string bytes = "abc";
  SetLastError(0);
  EXPECT_FALSE(WriteResourceToFile(ResourceOf(bytes), (scratch / L"missing\\a.bin").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_TRUE(testing_support::ListDirectory(scratch.path()).empty());
}

// A volume that really fills: STUB_SMALL_DRIVE names a Wine drive backed by an 8 MiB tmpfs,
// mapped by with_small_drive.sh. Wine reports a write that meets the end of the volume part-way as
// successful and short, and one that starts on a full volume as failed with ERROR_DISK_FULL.
TEST(OutputFileOnSmallDrive, FullVolumeLeavesNoFile) {
  wchar_t drive[8] = {};
  if (GetEnvironmentVariableW(L"STUB_SMALL_DRIVE", drive, 8) == 0) {
    GTEST_SKIP() << "no small drive mapped (run through tests/testing/with_small_drive.sh); the "
                    "disk-full cases run through the seam in WriteResourceToFile.*";
  }
  const std::wstring root = std::wstring(drive) + L"\\";
  struct Case { const char* label; size_t filler; size_t size; DWORD error; } cases[] = {
      {"the volume fills exactly with the first chunk", 0, k8MiB + 4096, ERROR_DISK_FULL},
      {"the first chunk meets the end of the volume", 7 * 1048576, 2 * 1048576,
       ERROR_HANDLE_DISK_FULL},
  };
  for (const Case& c : cases) {
    const std::wstring filler = root + L"filler.bin";
    if (c.filler) {
      ASSERT_TRUE(WriteFileBytes(filler, std::string(c.filler, 'f'))) << c.label;
    }
    ULARGE_INTEGER free_before = {}, free_after = {};
    ASSERT_TRUE(GetDiskFreeSpaceExW(root.c_str(), &free_before, nullptr, nullptr));
    const std::string bytes = Pattern(c.size);
    const std::wstring path = root + L"archive.7z";
    EXPECT_FALSE(WriteResourceToFile(ResourceOf(bytes), path.c_str())) << c.label;
    EXPECT_EQ(c.error, GetLastError()) << c.label;
    EXPECT_FALSE(PathExists(path)) << c.label;
    ASSERT_TRUE(GetDiskFreeSpaceExW(root.c_str(), &free_after, nullptr, nullptr));
    EXPECT_EQ(free_before.QuadPart, free_after.QuadPart) << c.label;
    DeleteFileW(filler.c_str());
  }
}

TEST(OutputFile, HoldsTheFileExclusivelyWhileOpen) {
  ScratchDir scratch(L"output_file_sharing");
  const std::wstring path = scratch / L"setup.exe";
  OutputFile file;
  ASSERT_TRUE(file.Open(path.c_str()));
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(path, file.GetPath());
  for (DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}}) {
    const HANDLE other =
        CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, other) << access;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError()) << access;
  }
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_STREQ(L"", file.GetPath());
  EXPECT_TRUE(PathExists(path));  // closing alone never deletes
}

TEST(OutputFile, MarkedFileGoesWhenItsLastDuplicateCloses) {
  ScratchDir scratch(L"output_file_duplicate");
  const std::wstring path = scratch / L"setup.exe";
  OutputFile file;
  ASSERT_TRUE(file.Open(path.c_str()));
  const HANDLE duplicate = file.DuplicateFileHandle();
  ASSERT_NE(INVALID_HANDLE_VALUE, duplicate);
  // The duplicate writes to the same open file.
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(duplicate, "abc", 3, &written, nullptr));
  EXPECT_EQ(3, GetFileSize(file.GetHandle(), nullptr));
  EXPECT_TRUE(file.MarkForDeletion());
  file.Close();
  EXPECT_TRUE(PathExists(path));
  CloseHandle(duplicate);
  EXPECT_FALSE(PathExists(path));
}

TEST(OutputFile, ClosedObjectAndReopening) {
  ScratchDir scratch(L"output_file_states");
  OutputFile file;
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(file.MarkForDeletion());
  EXPECT_EQ(INVALID_HANDLE_VALUE, file.DuplicateFileHandle());
  file.Close();

  // A second Open closes the first file, which stays on disk and is free to open again.
  const std::wstring first = scratch / L"first.bin";
  const std::wstring second = scratch / L"second.bin";
  ASSERT_TRUE(file.Open(first.c_str()));
  ASSERT_TRUE(file.Open(second.c_str()));
  EXPECT_EQ(second, file.GetPath());
  std::string bytes;
  EXPECT_TRUE(ReadFileBytes(first, &bytes));
  EXPECT_FALSE(ReadFileBytes(second, &bytes));

  // Closing keeps the last-error value of the failure a user is about to report.
  SetLastError(ERROR_DISK_FULL);
  const OutputFileApi api = FakeApi();
  {
    OutputFile noisy(api);
    ASSERT_TRUE(noisy.Open((scratch / L"third.bin").c_str()));
    SetLastError(ERROR_DISK_FULL);
  }
  EXPECT_EQ(1, g_closes);
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
}

TEST(OutputFile, OpenFailures) {
  // 259 characters fit with the terminator; 260 and more do not and reach no system call.
  struct Case { size_t length; size_t creates; DWORD error; } cases[] = {
      {259, 1, ERROR_PATH_NOT_FOUND},
      {260, 0, ERROR_INVALID_DATA},
      {261, 0, ERROR_INVALID_DATA},
  };
  for (const Case& c : cases) {
    const std::wstring path = L"C:\\" + std::wstring(c.length - 3, L'a');
    const OutputFileApi api = FakeApi();
    g_fail_creates = true;
    OutputFile file(api);
    SetLastError(ERROR_INVALID_DATA);
    EXPECT_FALSE(file.Open(path.c_str())) << c.length;
    EXPECT_EQ(c.error, GetLastError()) << c.length;
    EXPECT_EQ(c.creates, g_creates.size()) << c.length;
    EXPECT_FALSE(file.IsOpen()) << c.length;
    EXPECT_STREQ(L"", file.GetPath()) << c.length;
  }
}

}  // namespace
