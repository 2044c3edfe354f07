#include "launch/launch_setup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/setup_report_support.h"
#include "testing/test_support.h"

namespace {

using testing_support::FakeSetupPath;
using testing_support::ReadSetupReport;
using testing_support::ScopedEnvironment;
using testing_support::ScratchDir;
using testing_support::SetupRun;
using testing_support::WriteFileBytes;

// The extracted files as the run sequence would hand them over: the test setup program as
// setup.exe and an archive in a work directory, and a report file outside it.
class LaunchFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyFileW(FakeSetupPath().c_str(), setup_.c_str(), FALSE));
    ASSERT_TRUE(WriteFileBytes(archive_, "7z\xBC\xAF\x27\x1C"));
  }

  ExitResult Launch(const wchar_t* stub_line, const wchar_t* previous_version = nullptr,
                    bool compressed = true, const ProcessApi& api = ProcessApi()) {
    DeleteFileW(report_.c_str());
    Configuration configuration;
    EXPECT_TRUE(configuration.ParseCommandLine(stub_line));
    configuration.previous_version = previous_version;
    return LaunchSetup(configuration, archive_.c_str(), setup_.c_str(), compressed, api);
  }

  // The setup command line without the stub's arguments.
  std::wstring Base(const wchar_t* previous_version = nullptr, bool compressed = true) const {
    std::wstring line = L"\"" + setup_ + L"\" --" +
                        (compressed ? L"install-archive" : L"uncompressed-archive") + L"=\"" +
                        archive_ + L"\"";
    if (previous_version) line += std::wstring(L" --previous-version=\"") + previous_version + L"\"";
    return line;
  }

  std::vector<SetupRun> Runs() const { return ReadSetupReport(report_); }

  ScratchDir work_{L"launch_work"};
  ScratchDir outside_{L"launch_report"};
  const std::wstring setup_ = work_ / L"setup.exe";
  const std::wstring archive_ = work_ / L"TAMREL.PACKED.7Z";
  const std::wstring report_ = outside_ / L"report.txt";
  ScopedEnvironment report_variable_{L"FAKE_SETUP_REPORT", report_.c_str()};
  ScopedEnvironment exit_variable_{L"FAKE_SETUP_EXIT_CODE", nullptr};
};

TEST_F(LaunchFixture, SetupReceivesExactlyThisCommandLine) {
  struct Case {
    const wchar_t* stub_line; const wchar_t* version; bool compressed; const wchar_t* arguments;
  } cases[] = {
      {L"\"C:\\dl\\stub.exe\"", nullptr, true, L""},
      {L"\"C:\\dl\\stub.exe\" --system-level", nullptr, true, L" --system-level"},
      {L"\"C:\\dl\\stub.exe\"  a  \"b c\"", nullptr, true, L"  a  \"b c\""},
      {L"\"C:\\dl\\stub.exe\"x y", nullptr, true, L" x y"},
      {L"\"C:\\dl\\stub.exe x y", nullptr, true, L""},
      {L"C:\\dl\\stub.exe\t--Cleanup-not", nullptr, true, L"\t--Cleanup-not"},
      {L"\"C:\\dl\\stub.exe\" a", L"1.2.3", true, L" a"},
      {L"\"C:\\dl\\stub.exe\"", L"", true, L""},
      {L"\"C:\\dl\\stub.exe\" a", nullptr, false, L" a"},
  };
  for (const Case& c : cases) {
    const ExitResult result = Launch(c.stub_line, c.version, c.compressed);
    EXPECT_EQ(0u, result.exit_code) << testing::PrintToString(std::wstring(c.stub_line));
    const std::vector<SetupRun> runs = Runs();
    ASSERT_EQ(1u, runs.size()) << testing::PrintToString(std::wstring(c.stub_line));
    EXPECT_EQ(Base(c.version, c.compressed) + c.arguments, runs[0].command_line);
    EXPECT_EQ(work_.path(), runs[0].work_directory);
  }
}

// The command line before the stub's arguments is padded through the previous version to the
// length under test.
TEST_F(LaunchFixture, CommandLineLengthLimit) {
  struct Case {
    size_t base_length; const wchar_t* stub_line; DWORD exit_code; const wchar_t* arguments;
  } cases[] = {
      {1039, L"\"C:\\stub.exe\"", 0, L""},
      {1040, L"\"C:\\stub.exe\"", COMMAND_STRING_OVERFLOW, nullptr},
      {1039, L"\"C:\\stub.exe\" a", 0, L""},
      {1036, L"\"C:\\stub.exe\" abc", 0, L""},
      {1035, L"\"C:\\stub.exe\" abc", 0, L" abc"},
      {1037, L"\"C:\\stub.exe\"abc", 0, L" "},
      {1039, L"\"C:\\stub.exe\"abc", 0, L""},
  };
  const size_t fixed = Base(L"").size();
  for (const Case& c : cases) {
    const std::wstring version(c.base_length - fixed, L'v');
    const ExitResult result = Launch(c.stub_line, version.c_str());
    EXPECT_EQ(c.exit_code, result.exit_code) << c.base_length;
    EXPECT_EQ(0u, result.extra_code) << c.base_length;
    const std::vector<SetupRun> runs = Runs();
    if (c.arguments == nullptr) {
      EXPECT_TRUE(runs.empty()) << "nothing may be started";
      continue;
    }
    ASSERT_EQ(1u, runs.size()) << c.base_length;
    EXPECT_EQ(Base(version.c_str()) + c.arguments, runs[0].command_line);
  }
}

TEST_F(LaunchFixture, SetupExitCodeIsTheResult) {
  for (const wchar_t* code : {L"0", L"3", L"5", L"118", L"0xFFFFFFFF", L"0xC0000005"}) {
    ScopedEnvironment exit_code(L"FAKE_SETUP_EXIT_CODE", code);
    const ExitResult result = Launch(L"\"C:\\stub.exe\"");
    EXPECT_EQ(wcstoul(code, nullptr, 0), result.exit_code) << code;
    EXPECT_EQ(0u, result.extra_code) << code;
  }
}

TEST_F(LaunchFixture, SetupThatCannotStart) {
  const std::wstring text_file = work_ / L"notes.txt";
  ASSERT_TRUE(WriteFileBytes(text_file, "not a program"));
  struct Case { std::wstring setup; ExitResult expected; } cases[] = {
      {work_ / L"missing.exe", {SETUP_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES}},
      {work_ / L"missing\\setup.exe", {SETUP_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES}},
      {text_file, {SETUP_LAUNCH_FAILED, ERROR_BAD_EXE_FORMAT}},
  };
  for (const Case& c : cases) {
    Configuration configuration;
    ASSERT_TRUE(configuration.ParseCommandLine(L"\"C:\\stub.exe\" a"));
    const ExitResult result = LaunchSetup(configuration, archive_.c_str(), c.setup.c_str(), true);
    EXPECT_EQ(c.expected.exit_code, result.exit_code) << testing::PrintToString(c.setup);
    EXPECT_EQ(c.expected.extra_code, result.extra_code) << testing::PrintToString(c.setup);
  }
}

// Faults Wine cannot produce on demand, through the seam. Each fake wraps the real call.
struct Seen {
  int closes = 0;
  int starts = 0;
  BOOL inherit = TRUE;
  DWORD flags = 0;
  bool environment_and_directory_inherited = false;
  DWORD startup_size = 0;
  std::wstring application;
};
Seen g_seen;
DWORD g_start_error = 0;
DWORD g_attributes_error = 0;

BOOL WINAPI CountingCloseHandle(HANDLE handle) {
  ++g_seen.closes;
  return CloseHandle(handle);
}
BOOL WINAPI RecordingCreateProcessW(LPCWSTR application, LPWSTR line, LPSECURITY_ATTRIBUTES p,
                                    LPSECURITY_ATTRIBUTES t, BOOL inherit, DWORD flags,
                                    LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                                    LPPROCESS_INFORMATION process) {
  ++g_seen.starts;
  g_seen.application = application ? application : L"(null)";
  g_seen.inherit = inherit;
  g_seen.flags = flags;
  g_seen.environment_and_directory_inherited =
      environment == nullptr && directory == nullptr && p == nullptr && t == nullptr;
  g_seen.startup_size = startup->cb;
  if (g_start_error != 0) {
    SetLastError(g_start_error);
    return FALSE;
  }
  return CreateProcessW(application, line, p, t, inherit, flags, environment, directory, startup,
                        process);
}
// Both let the child end first, so that no test leaves it running in its scratch folder.
DWORD WINAPI FailingWait(HANDLE process, DWORD) {
  WaitForSingleObject(process, INFINITE);
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}
BOOL WINAPI FailingGetExitCodeProcess(HANDLE process, LPDWORD) {
  WaitForSingleObject(process, INFINITE);
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
// Clobbers the last-error value, as any call after the failing start may.
DWORD WINAPI ClobberingGetFileAttributesW(LPCWSTR path) {
  const DWORD attributes = GetFileAttributesW(path);
  SetLastError(g_attributes_error);
  return attributes;
}

ProcessApi RecordingApi() {
  g_seen = Seen();
  g_start_error = 0;
  ProcessApi api;
  api.CreateProcessW = RecordingCreateProcessW;
  api.CloseHandle = CountingCloseHandle;
  api.GetFileAttributesW = ClobberingGetFileAttributesW;
  return api;
}

TEST_F(LaunchFixture, StartsWithoutWindowOrInheritanceAndClosesBothHandles) {
  const ExitResult result = Launch(L"\"C:\\stub.exe\"", nullptr, true, RecordingApi());
  EXPECT_EQ(0u, result.exit_code);
  EXPECT_EQ(setup_, g_seen.application);
  EXPECT_EQ(static_cast<DWORD>(CREATE_NO_WINDOW), g_seen.flags);
  EXPECT_FALSE(g_seen.inherit);
  EXPECT_TRUE(g_seen.environment_and_directory_inherited);
  EXPECT_EQ(104u, g_seen.startup_size);
  EXPECT_EQ(2, g_seen.closes);
}

TEST_F(LaunchFixture, FailedWaitOrExitCodeReadGives107WithBothHandlesClosed) {
  ProcessApi api = RecordingApi();
  api.WaitForSingleObject = FailingWait;
  ExitResult result = Launch(L"\"C:\\stub.exe\"", nullptr, true, api);
  EXPECT_EQ(static_cast<DWORD>(WAIT_FOR_PROCESS_FAILED), result.exit_code);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), result.extra_code);
  EXPECT_EQ(2, g_seen.closes);

  api = RecordingApi();
  api.GetExitCodeProcess = FailingGetExitCodeProcess;
  result = Launch(L"\"C:\\stub.exe\"", nullptr, true, api);
  EXPECT_EQ(static_cast<DWORD>(WAIT_FOR_PROCESS_FAILED), result.exit_code);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), result.extra_code);
  EXPECT_EQ(2, g_seen.closes);
}

// The start error is taken before anything else can change it, and the attribute word of the
// program path is what a not-found start reports, whatever the file's state.
TEST_F(LaunchFixture, StartErrorDecidesTheCode) {
  struct Case { DWORD start_error; ExitResult expected; } cases[] = {
      {ERROR_FILE_NOT_FOUND, {SETUP_FILE_NOT_FOUND, FILE_ATTRIBUTE_ARCHIVE}},
      {ERROR_PATH_NOT_FOUND, {SETUP_PATH_NOT_FOUND, FILE_ATTRIBUTE_ARCHIVE}},
      {ERROR_ACCESS_DENIED, {SETUP_LAUNCH_FAILED, ERROR_ACCESS_DENIED}},
  };
  for (const Case& c : cases) {
    ProcessApi api = RecordingApi();
    g_start_error = c.start_error;
    g_attributes_error = ERROR_INVALID_FUNCTION;
    const ExitResult result = Launch(L"\"C:\\stub.exe\"", nullptr, true, api);
    EXPECT_EQ(c.expected.exit_code, result.exit_code) << c.start_error;
    EXPECT_EQ(c.expected.extra_code, result.extra_code) << c.start_error;
    EXPECT_EQ(0, g_seen.closes) << c.start_error;
  }
}

}  // namespace
