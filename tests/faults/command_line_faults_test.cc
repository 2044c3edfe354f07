// Command lines at the platform's length limit, and names outside ASCII in the stub's folder, its
// own name, its payload and its arguments: whole installers, with what the test setup program
// received compared character for character.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/exit_codes.h"
#include "testing/installer_run_support.h"

namespace {

using testing_support::FakeSetupPath;
using testing_support::InstallerRun;
using testing_support::ListDirectory;
using testing_support::Narrow;
using testing_support::RegistryString;
using testing_support::ScopedEnvironment;
using testing_support::ScopedRegistryValue;
using testing_support::ScratchDir;
using testing_support::SetupRun;

// The longest command line CreateProcessW takes: 32,767 characters with its terminator.
constexpr size_t kLongestCommandLine = 32766;

std::wstring Padded(const std::wstring& start, const std::wstring& unit, const std::wstring& end) {
  std::wstring line = start;
  while (line.size() + unit.size() + end.size() <= kLongestCommandLine) line += unit;
  line.append(kLongestCommandLine - end.size() - line.size(), L'z');
  return line + end;
}

// Setup runs without the arguments that do not fit its 1,039 characters: the stub neither fails
// nor cuts them. Every argument is still read for the stub's own switches, the last included.
TEST(CommandLineFaults, LongestCommandLineDoesNotStopTheRun) {
  ScopedEnvironment code(L"FAKE_SETUP_EXIT_CODE", L"5");
  struct Case {
    const char* label; std::wstring unit; std::wstring end; DWORD exit_code;
  } cases[] = {
      {"one argument", L"a", L"", 5},
      {"many arguments, quoted, with backslashes", L" \"x y\\\\\" \\\"q", L"", 5},
      {"--cleanup as the last argument", L" filler", L" --cleanup", UNSUPPORTED_OPTION},
  };
  for (const Case& c : cases) {
    InstallerRun run(L"faults_normal", L"faults_long_line");
    const std::wstring line = Padded(L"\"" + run.path() + L"\" ", c.unit, c.end);
    ASSERT_EQ(kLongestCommandLine, line.size());
    EXPECT_EQ(c.exit_code, run.RunCommandLine(line)) << c.label;
    EXPECT_EQ(0u, run.start_error()) << c.label;
    EXPECT_TRUE(run.Left().empty()) << c.label;
    if (c.exit_code == UNSUPPORTED_OPTION) {
      EXPECT_TRUE(run.runs().empty()) << c.label;
      continue;
    }
    ASSERT_EQ(1u, run.runs().size()) << c.label;
    const std::wstring& work = run.runs()[0].work_directory;
    EXPECT_EQ(L"\"" + work + L"setup.exe\" --install-archive=\"" + work + L"TAMREL.PACKED.7Z\"",
              run.runs()[0].command_line) << c.label;
  }
}

// Cyrillic, CJK and a character outside the Basic Multilingual Plane (a surrogate pair in UTF-16).
const wchar_t kFolder[] = L"faults Установка 安装 \xD842\xDFB7";
const wchar_t kFileName[] = L"установщик 李 \xD83D\xDE00.exe";
const wchar_t kArguments[] = L" --name=\"Пётр 李 \xD83D\xDE00\" \xD842\xDFB7  \"ключ \\\" 值\"";

TEST(CommandLineFaults, NamesOutsideAsciiPassThroughUnchanged) {
  ScopedEnvironment code(L"FAKE_SETUP_EXIT_CODE", L"0");
  InstallerRun run(L"faults_unicode_archive", kFolder, kFileName);
  EXPECT_EQ(0u, run.Run(kArguments)) << "start error " << run.start_error();
  ASSERT_EQ(1u, run.runs().size());
  const SetupRun& setup = run.runs()[0];
  const std::wstring work = setup.work_directory;
  ASSERT_EQ(0u, work.find(run.folder())) << Narrow(work);
  EXPECT_TRUE(testing_support::IsWorkDirectoryName(
      work.substr(run.folder().size(), work.size() - run.folder().size() - 1)));
  const std::wstring archive = L"TAMREL.АРХИВ.7Z";
  EXPECT_EQ(L"\"" + work + L"setup.exe\" --install-archive=\"" + work + archive + L"\"" +
                kArguments,
            setup.command_line);
  EXPECT_EQ(work + L"setup.exe", setup.exe);
  EXPECT_EQ((std::vector<std::wstring>{archive, L"setup.exe"}), setup.entries);
  EXPECT_EQ(0u, setup.archive.find(L"65536 ")) << Narrow(setup.archive);
  EXPECT_TRUE(run.Left().empty());
}

// The same names in the previous installation's path, read from the registry and started.
TEST(CommandLineFaults, PreviousSetupPathOutsideAsciiIsStarted) {
  ScratchDir previous(std::wstring(kFolder) + L" предыдущая");
  const std::wstring setup = previous / kFileName;
  ASSERT_TRUE(CopyFileW(FakeSetupPath().c_str(), setup.c_str(), FALSE));
  ScopedRegistryValue value(HKEY_CURRENT_USER, 0, L"UninstallString", REG_SZ,
                            RegistryString(L"\"" + setup + L"\""));
  ScopedRegistryValue cleanup_on(HKEY_CURRENT_USER, 0, L"TamrelInstallerCleanup", REG_SZ,
                                 RegistryString(L"1"));
  ScopedEnvironment writes(L"FAKE_SETUP_WRITE_NEW_SETUP", L"1");
  ScopedEnvironment code(L"FAKE_SETUP_EXIT_CODE", L"4");
  InstallerRun run(L"faults_patch", kFolder, kFileName);
  EXPECT_EQ(4u, run.Run(kArguments));
  ASSERT_EQ(2u, run.runs().size());
  const std::wstring work = run.runs()[0].work_directory;
  EXPECT_EQ(setup, run.runs()[0].exe);
  EXPECT_EQ(L"\"" + setup + L"\" --update-setup-exe=\"" + work +
                L"SETUP.PATCH\" --new-setup-exe=\"" + work + L"setup.exe\"" + kArguments,
            run.runs()[0].command_line);
  EXPECT_EQ(L"\"" + work + L"setup.exe\" --install-archive=\"" + work + L"TAMREL.PACKED.7Z\"" +
                kArguments,
            run.runs()[1].command_line);
  EXPECT_TRUE(run.Left().empty());
}

// Five folders of 16 CJK characters: about 100 wide characters, well inside MAX_PATH, but more
// than 240 bytes in UTF-8, past what the cabinet library takes for a path. The setup program is
// expanded and run all the same.
TEST(CommandLineFaults, DeepFolderOutsideAsciiStillExpandsTheSetup) {
  // The four folders above the installer's; the run makes its own.
  ScratchDir root(L"faults_deep");
  std::wstring below_root;
  for (wchar_t level = 0; level < 5; ++level) {
    if (level > 0) {
      ASSERT_TRUE(CreateDirectoryW((root / below_root).c_str(), nullptr));
      below_root += L"\\";
    }
    below_root += std::wstring(16, static_cast<wchar_t>(0x5B89 + level));
  }
  ScopedEnvironment code(L"FAKE_SETUP_EXIT_CODE", L"7");
  InstallerRun run(L"faults_normal", L"faults_deep\\" + below_root);
  EXPECT_EQ(7u, run.Run());
  ASSERT_EQ(1u, run.runs().size());
  EXPECT_EQ(run.runs()[0].work_directory + L"setup.exe", run.runs()[0].exe);
  EXPECT_TRUE(run.Left().empty());
}

}  // namespace
