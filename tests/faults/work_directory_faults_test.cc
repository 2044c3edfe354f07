// Names of the work directory that are already taken, and a random generator that fails: the run
// sequence in this process on a real installer image, with everything real but the generator
// (and the path the stub sees as its own). A failing generator and a name chosen in advance cannot
// be had from a separate process; the names a failing generator yields can be planted, though,
// and are.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "driver/run_installer.h"
#include "testing/installer_run_support.h"
#include "testing/payload_support.h"

namespace {

using testing_support::ListDirectory;
using testing_support::Narrow;
using testing_support::ReadFileBytes;
using testing_support::ReadSetupReport;
using testing_support::RegistryString;
using testing_support::ScopedEnvironment;
using testing_support::ScopedRegistryValue;
using testing_support::ScratchDir;
using testing_support::SetupRun;
using testing_support::TestInstaller;
using testing_support::WriteFileBytes;

std::wstring g_stub_path;
std::wstring g_command_line;
bool g_generator_fails = false;
std::deque<std::vector<unsigned char>> g_draws;
std::vector<std::wstring> g_deletion_opens;
std::vector<DWORD> g_deletion_flags;

DWORD WINAPI StubPath(HMODULE, LPWSTR buffer, DWORD size) {
  lstrcpynW(buffer, g_stub_path.c_str(), static_cast<int>(size));
  return static_cast<DWORD>(g_stub_path.size());
}
LPWSTR WINAPI StubCommandLine() { return &g_command_line[0]; }

// A failing generator leaves junk behind, as a half-done fill would.
BOOLEAN WINAPI Generator(PVOID buffer, ULONG length) {
  unsigned char* bytes = static_cast<unsigned char*>(buffer);
  if (g_generator_fails || g_draws.empty()) {
    for (ULONG i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(0xA5 + i);
    return FALSE;
  }
  for (ULONG i = 0; i < length; ++i) bytes[i] = g_draws.front()[i];
  g_draws.pop_front();
  return TRUE;
}

HANDLE WINAPI RecordingCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE template_file) {
  g_deletion_opens.push_back(path);
  g_deletion_flags.push_back(flags);
  return CreateFileW(path, access, share, security, disposition, flags, template_file);
}

// The folder that plays the stub's own, beside which the work directory is made.
class InProcessRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, image_) << GetLastError();
    g_stub_path = folder_ / L"installer.exe";
    g_command_line = L"\"" + g_stub_path + L"\" x";
    g_generator_fails = false;
    g_draws.clear();
    g_deletion_opens.clear();
    g_deletion_flags.clear();
  }
  void TearDown() override {
    if (image_ != nullptr) FreeLibrary(image_);
  }

  ExitResult Run() {
    DeleteFileW(report_.c_str());
    DriverApi api;
    api.GetModuleFileNameW = StubPath;
    api.config.GetCommandLineW = StubCommandLine;
    api.work_dir.SystemFunction036 = Generator;
    api.deletion.CreateFileW = RecordingCreateFileW;
    api.unpack.deletion.CreateFileW = RecordingCreateFileW;
    return RunInstaller(image_, api);
  }

  // A directory or a file planted under a name, with content that must survive the run.
  void Plant(const std::wstring& name, bool directory) {
    const std::wstring path = folder_ / name;
    if (directory) {
      ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
      ASSERT_TRUE(WriteFileBytes(path + L"\\planted.txt", "someone else's"));
    } else {
      ASSERT_TRUE(WriteFileBytes(path, "someone else's"));
    }
    planted_.push_back(name);
  }
  void ExpectPlantedUntouched() {
    for (const std::wstring& name : planted_) {
      const std::wstring path = folder_ / name;
      std::string bytes;
      const bool directory = GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY;
      EXPECT_TRUE(ReadFileBytes(directory ? path + L"\\planted.txt" : path, &bytes))
          << Narrow(name);
      EXPECT_EQ("someone else's", bytes) << Narrow(name);
      if (directory) {
        EXPECT_EQ(1u, ListDirectory(path).size()) << Narrow(name);
      }
    }
  }
  // The work directory setup was started in, checked to be `name` beside the stub; and every
  // deletion of the run opened that directory or a file in it, as itself and never through a
  // link (FILE_FLAG_OPEN_REPARSE_POINT), and nothing planted.
  void ExpectRanIn(const std::wstring& name, DWORD exit_code, const ExitResult& result) {
    EXPECT_EQ(exit_code, result.exit_code) << Narrow(name);
    const std::vector<SetupRun> runs = ReadSetupReport(report_);
    ASSERT_EQ(1u, runs.size()) << Narrow(name);
    const std::wstring work = folder_ / name + L"\\";
    EXPECT_EQ(work, runs[0].work_directory);
    EXPECT_EQ(L"\"" + work + L"setup.exe\" --install-archive=\"" + work +
                  L"TAMREL.PACKED.7Z\" x",
              runs[0].command_line);
    ASSERT_FALSE(g_deletion_opens.empty());
    for (size_t i = 0; i < g_deletion_opens.size(); ++i) {
      EXPECT_EQ(0u, g_deletion_opens[i].find(work)) << Narrow(g_deletion_opens[i]);
      EXPECT_EQ(static_cast<DWORD>(FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT),
                g_deletion_flags[i]) << Narrow(g_deletion_opens[i]);
    }
    EXPECT_EQ(work, g_deletion_opens.back());
    std::vector<std::wstring> planted = planted_;
    std::sort(planted.begin(), planted.end());
    EXPECT_EQ(planted, ListDirectory(folder_.path())) << "only the planted entries stay";
    ExpectPlantedUntouched();
  }

  HMODULE image_ = LoadLibraryExW(TestInstaller(L"faults_normal").c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ScratchDir folder_{L"faults_in_process"};
  ScratchDir report_folder_{L"faults_in_process_report"};
  const std::wstring report_ = report_folder_ / L"report.txt";
  ScopedEnvironment report_variable_{L"FAKE_SETUP_REPORT", report_.c_str()};
  ScopedEnvironment exit_variable_{L"FAKE_SETUP_EXIT_CODE", L"0xC0DE0007"};
  ScopedRegistryValue cleanup_on_{HKEY_CURRENT_USER, 0, L"TamrelInstallerCleanup", REG_SZ,
                                  RegistryString(L"1")};
  std::vector<std::wstring> planted_;
};

std::wstring FallbackName(int attempt) { return L"TM_0000" + std::to_wstring(attempt) + L".tmp"; }

// A failing generator still gives ten different names, the same on every run: TM_00000.tmp to
// TM_00009.tmp. Taken ones, by a directory or a file, cost one attempt each.
TEST_F(InProcessRun, FailingGeneratorUsesTheFirstFreeOfItsTenNames) {
  g_generator_fails = true;
  ExpectRanIn(FallbackName(0), 0xC0DE0007, Run());

  for (int i = 0; i < 4; ++i) Plant(FallbackName(i), i != 2);
  g_deletion_opens.clear();
  g_deletion_flags.clear();
  ExpectRanIn(FallbackName(4), 0xC0DE0007, Run());
}

TEST_F(InProcessRun, FailingGeneratorWithAllTenNamesTakenGives109AndTouchesNothing) {
  g_generator_fails = true;
  for (int i = 0; i < 10; ++i) Plant(FallbackName(i), i != 9);
  const ExitResult result = Run();
  EXPECT_EQ(static_cast<DWORD>(UNABLE_TO_GET_WORK_DIRECTORY), result.exit_code);
  EXPECT_TRUE(ReadSetupReport(report_).empty());
  EXPECT_TRUE(g_deletion_opens.empty()) << "nothing was extracted, so nothing is deleted";
  EXPECT_EQ(planted_, ListDirectory(folder_.path()));
  ExpectPlantedUntouched();
}

// The next name drawn is taken, whatever stands there: a fresh name is drawn at once, and what
// was there is never entered, written or deleted.
TEST_F(InProcessRun, NameTakenBeforeTheDrawIsSkipped) {
  Plant(L"TM_3F0A9.tmp", true);
  Plant(L"TM_12345.tmp", false);
  g_draws = {{0x3F, 0x0A, 0x9C, 0x11}, {0x12, 0x34, 0x5F, 0xFF}, {0xBE, 0xEF, 0x00, 0x00}};
  ExpectRanIn(L"TM_BEEF0.tmp", 0xC0DE0007, Run());
  EXPECT_TRUE(g_draws.empty());
}

}  // namespace
