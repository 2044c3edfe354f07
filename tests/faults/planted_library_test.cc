// DLLs planted beside the stub and in its current directory, under the names of the libraries it
// loads: none may be loaded. A planted DLL that is loaded ends the process at once with
// 0x0BADD11 and leaves "<name>.loaded" beside itself.
//
// Wine prefers its own builtin libraries, and would pass this test whatever the stub did; the
// planted names are therefore made native-first for the programs under test (Wine's per-program
// DllOverrides in the registry: the environment's WINEDLLOVERRIDES is not passed on by a Windows
// parent), so that Wine, like Windows, takes a DLL of that name from the first place its search
// reaches. The control cases show that a program which loads by name alone, or imports the
// library, then does take the planted DLL. KERNEL32 and ADVAPI32 are not planted: Windows never
// searches for them (known DLLs), while Wine would take them under such an override.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/installer_run_support.h"

namespace {

using testing_support::InstallerRun;
using testing_support::ListDirectory;
using testing_support::Narrow;
using testing_support::PathExists;
using testing_support::RunCommand;
using testing_support::ScopedEnvironment;
using testing_support::ScratchDir;
using testing_support::TestDirectory;

const DWORD kPlantedLoaded = 0x0BADD11;
// shell32.dll and cryptbase.dll stood in the import table's reach once (CommandLineToArgvW, and
// SystemFunction036 which ADVAPI32 forwards to CRYPTBASE on Windows 7 and later); cabinet.dll is
// loaded for the expansion. Wine has no cryptbase.dll: its load by full path simply fails there.
const wchar_t* const kPlanted[] = {L"shell32.dll", L"cabinet.dll", L"cryptbase.dll"};

// Native-first for the planted names, for programs of one file name, while the object lives.
class NativeFirst {
 public:
  explicit NativeFirst(const std::wstring& program)
      : key_(L"Software\\Wine\\AppDefaults\\" + program) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, (key_ + L"\\DllOverrides").c_str(),
                                             0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr));
    for (const wchar_t* name : kPlanted) {
      const std::wstring library(name, wcslen(name) - 4);  // without ".dll"
      const wchar_t order[] = L"native,builtin";
      RegSetValueExW(key, library.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(order),
                     sizeof order);
    }
    RegCloseKey(key);
  }
  ~NativeFirst() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }

 private:
  std::wstring key_;
};

void Plant(const std::wstring& folder, const wchar_t* name) {
  ASSERT_TRUE(CopyFileW((TestDirectory() + L"planted.dll").c_str(), (folder + name).c_str(),
                        FALSE));
}

// Every "*.loaded" marker in a folder.
std::vector<std::wstring> Markers(const std::wstring& folder) {
  std::vector<std::wstring> markers;
  for (const std::wstring& name : ListDirectory(folder)) {
    if (name.size() > 7 && name.compare(name.size() - 7, 7, L".loaded") == 0) {
      markers.push_back(name);
    }
  }
  return markers;
}

TEST(PlantedLibraries, NoneIsLoadedFromBesideTheStubOrTheCurrentDirectory) {
  NativeFirst native_first(L"installer.exe");
  ScopedEnvironment code(L"FAKE_SETUP_EXIT_CODE", L"0x00C0FFEE");
  ScratchDir current(L"faults_planted_current");
  InstallerRun run(L"faults_normal", L"faults_planted");
  for (const wchar_t* name : kPlanted) {
    Plant(run.folder(), name);
    Plant(current.path(), name);
  }

  // The cabinet is expanded, the command line split and the work directory named, so every
  // library was asked for, by its full path in the system directory.
  EXPECT_EQ(0x00C0FFEEu, run.Run(L" --system-level", current.path().c_str()));
  EXPECT_EQ(1u, run.runs().size());
  EXPECT_TRUE(Markers(run.folder()).empty()) << testing::PrintToString(Markers(run.folder()));
  EXPECT_TRUE(Markers(current.path()).empty()) << testing::PrintToString(Markers(current.path()));
  EXPECT_EQ((std::vector<std::wstring>{L"cabinet.dll", L"cryptbase.dll", L"shell32.dll"}),
            run.Left());
}

// The same plants are taken by a program that trusts the search path, under the same overrides.
TEST(PlantedLibraries, ControlProgramsThatSearchTakeThePlantedLibrary) {
  NativeFirst native_first(L"program.exe");
  struct Case { const char* label; const wchar_t* planted; const wchar_t* load; } cases[] = {
      // fault_setup.exe imports SHELL32 (to split its own command line): the loader binds it
      // from beside the program before any of its code runs.
      {"imported", L"shell32.dll", nullptr},
      {"loaded by name", L"cabinet.dll", L"cabinet.dll"},
  };
  for (const Case& c : cases) {
    ScratchDir folder(L"faults_planted_control");
    const std::wstring program = folder / L"program.exe";
    ASSERT_TRUE(CopyFileW((TestDirectory() + L"fault_setup.exe").c_str(), program.c_str(), FALSE));
    Plant(folder.path(), c.planted);
    ScopedEnvironment load(L"FAULT_SETUP_LOAD", c.load);
    EXPECT_EQ(kPlantedLoaded, RunCommand(L"\"" + program + L"\"")) << c.label;
    EXPECT_TRUE(PathExists(folder / c.planted + L".loaded")) << c.label;
  }
}

}  // namespace
