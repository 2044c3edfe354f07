// Whole installers, as the packer builds them, started from this Windows-side program so that
// all 32 bits of their exit codes are seen.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "testing/setup_report_support.h"
#include "testing/test_support.h"

namespace {

using testing_support::FakeSetupPath;
using testing_support::IsWorkDirectoryName;
using testing_support::ListDirectory;
using testing_support::ReadFileBytes;
using testing_support::RegistryString;
using testing_support::RunCommand;
using testing_support::ScopedEnvironment;
using testing_support::ScopedRegistryValue;
using testing_support::ScratchDir;
using testing_support::SetupRun;
using testing_support::TestDirectory;

const wchar_t kArchiveName[] = L"TAMREL.PACKED.7Z";

// The archive's size and first bytes as the test setup program describes them.
std::wstring ArchiveDescription() {
  std::string bytes;
  ReadFileBytes(TestDirectory() + L"..\\demo\\demo.7z", &bytes);
  std::wstring text = std::to_wstring(bytes.size()) + L" ";
  const wchar_t digits[] = L"0123456789ABCDEF";
  for (size_t i = 0; i < 8 && i < bytes.size(); ++i) {
    text += digits[static_cast<unsigned char>(bytes[i]) >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

// One installer copied into a scratch folder of its own, so that its work directory is made
// there; the setup program's report goes to another folder.
class InstallerFixture : public ::testing::Test {
 protected:
  struct Outcome {
    DWORD exit_code;
    std::vector<SetupRun> runs;
    std::vector<std::wstring> left;  // the installer's folder afterwards, the installer excepted
  };

  Outcome Run(const wchar_t* installer, const std::wstring& arguments) {
    const std::wstring stub = here_ / L"installer.exe";
    EXPECT_TRUE(CopyFileW((TestDirectory() + L"installers\\" + installer + L".exe").c_str(),
                          stub.c_str(), FALSE));
    DeleteFileW(report_.c_str());
    Outcome outcome;
    DWORD start_error = 0;
    outcome.exit_code = RunCommand(L"\"" + stub + L"\"" + arguments, &start_error);
    EXPECT_EQ(0u, start_error);
    outcome.runs = testing_support::ReadSetupReport(report_);
    for (const std::wstring& name : ListDirectory(here_.path())) {
      if (name != L"installer.exe") outcome.left.push_back(name);
    }
    DeleteFileW(stub.c_str());
    return outcome;
  }

  // The work directory a run used, checked to be a fresh one beside the installer.
  std::wstring WorkDirectory(const SetupRun& run) {
    const std::wstring& directory = run.work_directory;
    EXPECT_EQ(0u, directory.find(here_.path())) << testing::PrintToString(directory);
    const std::wstring name =
        directory.substr(here_.path().size(), directory.size() - here_.path().size() - 1);
    EXPECT_TRUE(IsWorkDirectoryName(name)) << testing::PrintToString(name);
    return directory;
  }

  ScratchDir here_{L"e2e_installer"};
  ScratchDir outside_{L"e2e_report"};
  const std::wstring report_ = outside_ / L"report.txt";
  ScopedEnvironment report_variable_{L"FAKE_SETUP_REPORT", report_.c_str()};
  ScopedEnvironment exit_variable_{L"FAKE_SETUP_EXIT_CODE", nullptr};
  ScopedEnvironment leave_variable_{L"FAKE_SETUP_LEAVE_FILE", nullptr};
  ScopedEnvironment write_variable_{L"FAKE_SETUP_WRITE_NEW_SETUP", nullptr};
  ScopedEnvironment machine_variable_{L"ZephonUpdateIsMachine", nullptr};
  ScopedRegistryValue cleanup_on_{HKEY_CURRENT_USER, 0, L"TamrelInstallerCleanup", REG_SZ,
                                  RegistryString(L"1")};
};

TEST_F(InstallerFixture, SetupGetsArchiveAndArgumentsStubExitsWithItsCodeAndLeavesNothing) {
  struct Case {
    const wchar_t* installer; std::wstring arguments; const wchar_t* exit_code;
    const wchar_t* switch_and_version; std::wstring received;
  } cases[] = {
      {L"e2e_normal", L"", L"0", L"install-archive", L""},
      {L"e2e_normal", L" --system-level x \"y z\"", L"3", L"install-archive",
       L" --system-level x \"y z\""},
      {L"e2e_normal", L"  two", L"5", L"install-archive", L"  two"},
      {L"e2e_normal", L"x y", L"118", L"install-archive", L" x y"},
      {L"e2e_normal", L" a", L"0xFFFFFFFF", L"install-archive", L" a"},
      {L"e2e_normal", L" a", L"0xC0000005", L"install-archive", L" a"},
      {L"e2e_archive_bl", L" a", L"0", L"uncompressed-archive", L" a"},
      {L"e2e_archive_bn", L" a", L"0", L"uncompressed-archive", L" a"},
      {L"e2e_version", L" a", L"0", L"install-archive", L" a"},
  };
  const std::wstring archive = ArchiveDescription();
  for (const Case& c : cases) {
    const std::string label = testing::PrintToString(c.installer + c.arguments);
    ScopedEnvironment exit_code(L"FAKE_SETUP_EXIT_CODE", c.exit_code);
    const Outcome outcome = Run(c.installer, c.arguments);
    EXPECT_EQ(wcstoul(c.exit_code, nullptr, 0), outcome.exit_code) << label;
    ASSERT_EQ(1u, outcome.runs.size()) << label;
    const SetupRun& run = outcome.runs[0];
    const std::wstring work = WorkDirectory(run);
    std::wstring expected = L"\"" + work + L"setup.exe\" --" + c.switch_and_version + L"=\"" +
                            work + kArchiveName + L"\"";
    if (std::wstring(c.installer) == L"e2e_version") expected += L" --previous-version=\"1.2.3\"";
    EXPECT_EQ(expected + c.received, run.command_line) << label;
    EXPECT_EQ((std::vector<std::wstring>{kArchiveName, L"setup.exe"}), run.entries) << label;
    EXPECT_EQ(archive, run.archive) << label;
    EXPECT_TRUE(outcome.left.empty()) << label << " left " << testing::PrintToString(outcome.left);
  }
}

TEST_F(InstallerFixture, CleanupSwitchedOffKeepsEverything) {
  ScopedRegistryValue off(HKEY_CURRENT_USER, 0, L"TamrelInstallerCleanup", REG_SZ,
                          RegistryString(L"0"));
  ScopedEnvironment exit_code(L"FAKE_SETUP_EXIT_CODE", L"7");
  const Outcome outcome = Run(L"e2e_normal", L" a");
  EXPECT_EQ(7u, outcome.exit_code);
  ASSERT_EQ(1u, outcome.runs.size());
  const std::wstring work = WorkDirectory(outcome.runs[0]);
  ASSERT_EQ(1u, outcome.left.size());
  EXPECT_EQ(work, here_.path() + outcome.left[0] + L"\\");
  EXPECT_EQ((std::vector<std::wstring>{kArchiveName, L"setup.exe"}), ListDirectory(work));
}

// The cleanup retries the directory for about ten seconds before it gives up on it; the run's
// result is setup's all the same.
TEST_F(InstallerFixture, FileLeftBySetupKeepsOnlyTheDirectoryAndThatFile) {
  ScopedEnvironment leave(L"FAKE_SETUP_LEAVE_FILE", L"setup-log.txt");
  ScopedEnvironment exit_code(L"FAKE_SETUP_EXIT_CODE", L"3");
  const Outcome outcome = Run(L"e2e_normal", L"");
  EXPECT_EQ(3u, outcome.exit_code);
  ASSERT_EQ(1u, outcome.runs.size());
  const std::wstring work = WorkDirectory(outcome.runs[0]);
  ASSERT_EQ(1u, outcome.left.size());
  EXPECT_EQ((std::vector<std::wstring>{L"setup-log.txt"}), ListDirectory(work));
}

// An empty resource ends the scan of its type where it stands, hiding what follows it: each
// installer ends as `tamrel-pack inspect --json` predicted at build time ("would_exit" null: with
// setup's own code), and leaves nothing.
TEST_F(InstallerFixture, EmptyResourceEndsAsInspectPredicted) {
  struct Case { const wchar_t* installer; DWORD exit_code; } cases[] = {
      {L"e2e_empty_archive_first", 112},
      {L"e2e_empty_b7_first", 112},
      {L"e2e_empty_bn_setup", 115},
      {L"e2e_empty_after_setup", 7},  // not a second setup program: the scan of BL ends at it
  };
  ScopedEnvironment exit_code(L"FAKE_SETUP_EXIT_CODE", L"7");
  for (const Case& c : cases) {
    const std::string label = testing::PrintToString(c.installer);
    std::string json;
    ReadFileBytes(TestDirectory() + L"installers\\" + c.installer + L".exe.json", &json);
    const size_t at = json.find("\"would_exit\":");
    ASSERT_NE(std::string::npos, at) << label << json;
    const char* value = json.c_str() + at + 13;
    const DWORD predicted = strncmp(value, "null", 4) == 0 ? 7 : strtoul(value, nullptr, 10);
    EXPECT_EQ(c.exit_code, predicted) << label;
    const Outcome outcome = Run(c.installer, L"");
    EXPECT_EQ(predicted, outcome.exit_code) << label;
    EXPECT_EQ(predicted == 7 ? 1u : 0u, outcome.runs.size()) << label;
    EXPECT_TRUE(outcome.left.empty()) << label << " left " << testing::PrintToString(outcome.left);
  }
}

// The setup resource is a patch: the previous installation's setup program, found through the
// registry in the root the run's level chooses, builds setup.exe, which then runs.
TEST_F(InstallerFixture, PatchRouteFromTheChosenRoot) {
  ScratchDir previous(L"e2e_previous");
  ASSERT_TRUE(CreateDirectoryW((previous.path() + L"2.0").c_str(), nullptr));
  const std::wstring previous_setup = previous / L"2.0\\setup.exe";
  ASSERT_TRUE(CopyFileW(FakeSetupPath().c_str(), previous_setup.c_str(), FALSE));
  ScopedEnvironment exit_code(L"FAKE_SETUP_EXIT_CODE", L"4");

  struct Case {
    const char* label; const wchar_t* installer; bool machine; std::wstring arguments;
    const wchar_t* machine_variable; const wchar_t* writes; DWORD exit_code;
  } cases[] = {
      {"user", L"e2e_patch", false, L" a \"b c\"", nullptr, L"1", 4},
      {"--system-level", L"e2e_patch", true, L" --system-level", nullptr, L"1", 4},
      {"ZephonUpdateIsMachine", L"e2e_patch", true, L"", L"1", L"1", 4},
      {"version matched", L"e2e_patch_version", false, L" a", nullptr, L"1", 4},
      {"new setup never written", L"e2e_patch", false, L"", nullptr, L"0", 122},
  };
  for (const Case& c : cases) {
    ScopedRegistryValue uninstall(c.machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
                                  c.machine ? KEY_WOW64_32KEY : 0, L"UninstallString", REG_SZ,
                                  RegistryString(L"\"" + previous_setup + L"\""));
    ScopedEnvironment machine(L"ZephonUpdateIsMachine", c.machine_variable);
    ScopedEnvironment writes(L"FAKE_SETUP_WRITE_NEW_SETUP", c.writes);
    const Outcome outcome = Run(c.installer, c.arguments);
    EXPECT_EQ(c.exit_code, outcome.exit_code) << c.label;
    ASSERT_EQ(c.exit_code == 4 ? 2u : 1u, outcome.runs.size()) << c.label;

    const std::wstring work = WorkDirectory(outcome.runs[0]);
    EXPECT_EQ(L"\"" + previous_setup + L"\" --update-setup-exe=\"" + work +
                  L"SETUP.PATCH\" --new-setup-exe=\"" + work + L"setup.exe\"" + c.arguments,
              outcome.runs[0].command_line) << c.label;
    if (c.exit_code == 4) {
      const std::wstring version =
          std::wstring(c.installer) == L"e2e_patch_version" ? L" --previous-version=\"2.0\"" : L"";
      EXPECT_EQ(L"\"" + work + L"setup.exe\" --install-archive=\"" + work + kArchiveName +
                    L"\"" + version + c.arguments,
                outcome.runs[1].command_line) << c.label;
      EXPECT_EQ((std::vector<std::wstring>{kArchiveName, L"setup.exe"}), outcome.runs[1].entries)
          << c.label << ": the patch is gone before setup runs";
    }
    EXPECT_TRUE(outcome.left.empty()) << c.label << " left "
                                      << testing::PrintToString(outcome.left);
  }
}

}  // namespace
