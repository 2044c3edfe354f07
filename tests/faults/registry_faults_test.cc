// Registry values and the system-level variable in every odd form, read by whole installers:
// "TamrelInstallerCleanup" decides what stays, "UninstallString" which program builds setup.exe
// on the patch route, "ZephonUpdateIsMachine" which root that program is taken from.
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

const wchar_t kArchive[] = L"TAMREL.PACKED.7Z";

// The bytes of `text` without a terminator. Wine extends the stored count of a REG_SZ when a zero
// wide character follows it, so an unterminated form is stored from text with an 'X' after it.
std::string Bytes(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}
std::string Dword(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), 4); }

struct ValueForm {
  const char* label;
  DWORD type;
  std::string bytes;
  size_t count;  // of `bytes`, stored; npos: all
};

// Only a REG_SZ whose text is the single digit 0 keeps the extracted files; the value's name is
// looked up without regard to case, as the registry does.
TEST(RegistryFaults, TamrelInstallerCleanupKeepsFilesOnlyForTheTextZero) {
  const std::string zero = RegistryString(L"0");
  struct Case { ValueForm value; const wchar_t* name; bool keeps; } cases[] = {
      {{"0", REG_SZ, zero, std::string::npos}, nullptr, true},
      {{"0 without terminator", REG_SZ, Bytes(L"0X"), 2}, nullptr, true},
      {{"0 and an odd byte", REG_SZ, Bytes(L"0X"), 3}, nullptr, true},
      {{"0, name in other case", REG_SZ, zero, std::string::npos}, L"TAMRELINSTALLERcleanup",
       true},
      {{"one byte, 0x30", REG_SZ, Bytes(L"0X"), 1}, nullptr, false},
      {{"no bytes", REG_SZ, Bytes(L"X"), 0}, nullptr, false},
      {{"empty", REG_SZ, RegistryString(L""), std::string::npos}, nullptr, false},
      {{"1", REG_SZ, RegistryString(L"1"), std::string::npos}, nullptr, false},
      {{"00", REG_SZ, RegistryString(L"00"), std::string::npos}, nullptr, false},
      {{"00 without terminator", REG_SZ, Bytes(L"00X"), 4}, nullptr, false},
      {{"0, terminator, 1", REG_SZ, Bytes(std::wstring(L"0\0" L"1\0", 4)), std::string::npos},
       nullptr, false},
      {{"fullwidth zero", REG_SZ, RegistryString(L"\xFF10"), std::string::npos}, nullptr, false},
      {{"64 KiB of zeros", REG_SZ, RegistryString(std::wstring(32767, L'0')), std::string::npos},
       nullptr, false},
      {{"REG_EXPAND_SZ 0", REG_EXPAND_SZ, zero, std::string::npos}, nullptr, false},
      {{"REG_MULTI_SZ 0", REG_MULTI_SZ, zero, std::string::npos}, nullptr, false},
      // The same four bytes as the text 0 with its terminator, under other types.
      {{"REG_DWORD 0x30", REG_DWORD, Dword(0x30), std::string::npos}, nullptr, false},
      {{"REG_BINARY", REG_BINARY, zero, std::string::npos}, nullptr, false},
      {{"REG_NONE", REG_NONE, zero, std::string::npos}, nullptr, false},
      {{"REG_QWORD 0x30", REG_QWORD, Dword(0x30) + Dword(0), std::string::npos}, nullptr, false},
      {{"the key's default value 0", REG_SZ, zero, std::string::npos}, L"", false},
  };
  for (const Case& c : cases) {
    ScopedRegistryValue value(HKEY_CURRENT_USER, 0, c.name ? c.name : L"TamrelInstallerCleanup",
                              c.value.type, c.value.bytes, c.value.count);
    ASSERT_EQ(ERROR_SUCCESS, value.status()) << c.value.label;
    ScopedEnvironment code(L"FAKE_SETUP_EXIT_CODE", L"0x0000ABCD");
    InstallerRun run(L"faults_normal", L"faults_cleanup_value");
    EXPECT_EQ(0xABCDu, run.Run()) << c.value.label;
    EXPECT_EQ(1u, run.runs().size()) << c.value.label;
    if (!c.keeps) {
      EXPECT_TRUE(run.Left().empty()) << c.value.label;
      continue;
    }
    EXPECT_EQ((std::vector<std::wstring>{kArchive, L"setup.exe"}),
              ListDirectory(run.LeftWorkDirectory())) << c.value.label;
  }
}

// The previous installation's setup program: the test setup program in a folder whose name holds
// a space, with another program planted at the first word of that path, where a search or a
// split at the blank would find it.
class PreviousInstallation {
 public:
  PreviousInstallation() {
    EXPECT_TRUE(CreateDirectoryW((folder_.path() + L"prev dir").c_str(), nullptr));
    EXPECT_TRUE(CopyFileW(FakeSetupPath().c_str(), setup_.c_str(), FALSE));
    EXPECT_TRUE(CopyFileW(FakeSetupPath().c_str(), planted_.c_str(), FALSE));
  }
  const std::wstring& setup() const { return setup_; }
  const std::wstring& planted() const { return planted_; }
  const std::wstring& folder() const { return folder_.path(); }

 private:
  ScratchDir folder_{L"faults_previous"};
  const std::wstring setup_ = folder_ / L"prev dir\\setup.exe";
  const std::wstring planted_ = folder_ / L"prev.exe";
};

// With cleanup off, the work directory shows how far the run got: the patch stays when nothing
// was started, is deleted once a start was attempted, and setup.exe is there when it was built.
TEST(RegistryFaults, UninstallStringOfEveryFormRunsOnlyTheProgramItNames) {
  PreviousInstallation previous;
  const std::wstring p = previous.setup();
  const std::wstring long_path = previous.folder() + L"m\\";
  const std::wstring path_259 = long_path + std::wstring(259 - long_path.size(), L'a');
  const std::wstring path_260 = path_259 + L"a";
  ScopedEnvironment writes(L"FAKE_SETUP_WRITE_NEW_SETUP", L"1");
  ScopedEnvironment code(L"FAKE_SETUP_EXIT_CODE", L"4");
  ScopedRegistryValue cleanup_off(HKEY_CURRENT_USER, 0, L"TamrelInstallerCleanup", REG_SZ,
                                  RegistryString(L"0"));
  enum Outcome { kBuilt, kNotStarted, kStartFailed };
  const std::vector<std::wstring> after[] = {
      {kArchive, L"setup.exe"}, {L"SETUP.PATCH", kArchive}, {kArchive}};
  struct Case { ValueForm value; DWORD exit_code; Outcome outcome; } cases[] = {
      {{"quoted", REG_SZ, RegistryString(L"\"" + p + L"\""), std::string::npos}, 4, kBuilt},
      {{"bare, with a blank", REG_SZ, RegistryString(p), std::string::npos}, 4, kBuilt},
      {{"terminated, then an odd byte", REG_SZ, RegistryString(p) + "X", std::string::npos}, 4,
       kBuilt},
      {{"text after the terminator", REG_SZ, Bytes(p + std::wstring(1, L'\0') + L"junkX"),
        (p.size() + 5) * 2}, 4, kBuilt},
      {{"259 characters, no terminator", REG_SZ, Bytes(path_259 + L"X"), 259 * 2},
       PATCH_SETUP_PATH_NOT_FOUND, kStartFailed},
      {{"quoted, with arguments", REG_SZ, RegistryString(L"\"" + p + L"\" --uninstall"),
        std::string::npos}, PATCH_SETUP_LAUNCH_FAILED, kStartFailed},
      {{"empty", REG_SZ, RegistryString(L""), std::string::npos}, PATCH_SETUP_PATH_NOT_FOUND,
       kStartFailed},
      {{"two quotes", REG_SZ, RegistryString(L"\"\""), std::string::npos},
       PATCH_SETUP_PATH_NOT_FOUND, kStartFailed},
      {{"260 characters, no terminator", REG_SZ, Bytes(path_260 + L"X"), 260 * 2},
       UNABLE_TO_FIND_REGISTRY_KEY, kNotStarted},
      {{"64 KiB", REG_SZ, RegistryString(std::wstring(32767, L'p')), std::string::npos},
       UNABLE_TO_FIND_REGISTRY_KEY, kNotStarted},
      {{"REG_EXPAND_SZ", REG_EXPAND_SZ, RegistryString(p), std::string::npos},
       UNABLE_TO_FIND_REGISTRY_KEY, kNotStarted},
      {{"REG_MULTI_SZ", REG_MULTI_SZ, RegistryString(p) + std::string(2, '\0'),
        std::string::npos}, UNABLE_TO_FIND_REGISTRY_KEY, kNotStarted},
      {{"REG_BINARY", REG_BINARY, RegistryString(p), std::string::npos},
       UNABLE_TO_FIND_REGISTRY_KEY, kNotStarted},
      {{"REG_NONE", REG_NONE, RegistryString(p), std::string::npos}, UNABLE_TO_FIND_REGISTRY_KEY,
       kNotStarted},
      {{"REG_DWORD", REG_DWORD, Dword(1), std::string::npos}, UNABLE_TO_FIND_REGISTRY_KEY,
       kNotStarted},
      {{"REG_QWORD", REG_QWORD, Dword(1) + Dword(0), std::string::npos},
       UNABLE_TO_FIND_REGISTRY_KEY, kNotStarted},
  };
  for (const Case& c : cases) {
    ScopedRegistryValue value(HKEY_CURRENT_USER, 0, L"UninstallString", c.value.type,
                              c.value.bytes, c.value.count);
    ASSERT_EQ(ERROR_SUCCESS, value.status()) << c.value.label;
    InstallerRun run(L"faults_patch", L"faults_uninstall_value");
    EXPECT_EQ(c.exit_code, run.Run()) << c.value.label;
    // The previous setup program, then the setup.exe it built; the planted program never.
    EXPECT_EQ(c.outcome == kBuilt ? 2u : 0u, run.runs().size()) << c.value.label;
    if (c.outcome == kBuilt && !run.runs().empty()) {
      EXPECT_EQ(p, run.runs()[0].exe) << c.value.label;
    }
    EXPECT_EQ(after[c.outcome], ListDirectory(run.LeftWorkDirectory())) << c.value.label;
  }
}

// With cleanup on, a lookup that fails before anything is started leaves the patch, and so the
// work directory that holds it, after about ten seconds of retries on the directory.
TEST(RegistryFaults, UninstallStringMissingLeavesOnlyThePatchWithCleanupOn) {
  ScopedRegistryValue cleanup_on(HKEY_CURRENT_USER, 0, L"TamrelInstallerCleanup", REG_SZ,
                                 RegistryString(L"1"));
  ScopedRegistryValue value(HKEY_CURRENT_USER, 0, L"UninstallString", REG_DWORD, Dword(1));
  InstallerRun run(L"faults_patch", L"faults_uninstall_cleanup");
  EXPECT_EQ(static_cast<DWORD>(UNABLE_TO_FIND_REGISTRY_KEY), run.Run());
  EXPECT_TRUE(run.runs().empty());
  EXPECT_EQ(std::vector<std::wstring>{L"SETUP.PATCH"}, ListDirectory(run.LeftWorkDirectory()));
}

// The variable counts only as exactly "1" (its name, like every environment name, in any case),
// and only when --system-level is absent; system level takes the previous installation from
// HKEY_LOCAL_MACHINE (32-bit view), else from HKEY_CURRENT_USER.
TEST(RegistryFaults, ZephonUpdateIsMachineCountsOnlyAsExactlyOne) {
  ScratchDir previous(L"faults_level");
  const std::wstring user = previous / L"user.exe";
  const std::wstring machine = previous / L"machine.exe";
  ASSERT_TRUE(CopyFileW(FakeSetupPath().c_str(), user.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(FakeSetupPath().c_str(), machine.c_str(), FALSE));
  ScopedRegistryValue user_value(HKEY_CURRENT_USER, 0, L"UninstallString", REG_SZ,
                                 RegistryString(user));
  ScopedRegistryValue machine_value(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, L"UninstallString",
                                    REG_SZ, RegistryString(machine));
  ASSERT_EQ(ERROR_SUCCESS, machine_value.status());
  ScopedRegistryValue cleanup_on(HKEY_CURRENT_USER, 0, L"TamrelInstallerCleanup", REG_SZ,
                                 RegistryString(L"1"));
  ScopedEnvironment writes(L"FAKE_SETUP_WRITE_NEW_SETUP", L"1");
  ScopedEnvironment code(L"FAKE_SETUP_EXIT_CODE", L"4");
  const std::wstring long_one = L"1" + std::wstring(2000, L' ');
  struct Case {
    const wchar_t* name; const wchar_t* value; const wchar_t* arguments; bool machine;
  } cases[] = {
      {L"ZephonUpdateIsMachine", L"1", L"", true},
      {L"zephonupdateismachine", L"1", L"", true},
      {L"ZEPHONUPDATEISMACHINE", L"1", L"", true},
      {L"ZephonUpdateIsMachine", nullptr, L"", false},
      {L"ZephonUpdateIsMachine", L"", L"", false},
      {L"ZephonUpdateIsMachine", L"0", L"", false},
      {L"ZephonUpdateIsMachine", L"10", L"", false},
      {L"ZephonUpdateIsMachine", L"01", L"", false},
      {L"ZephonUpdateIsMachine", L"true", L"", false},
      {L"ZephonUpdateIsMachine", L" 1", L"", false},
      {L"ZephonUpdateIsMachine", L"1 ", L"", false},
      {L"ZephonUpdateIsMachine", L"1\t", L"", false},
      {L"ZephonUpdateIsMachine", L"\xFF11", L"", false},  // fullwidth digit one
      {L"ZephonUpdateIsMachine", long_one.c_str(), L"", false},
      {L"ZephonUpdateIsMachine", L"0", L" --System-Level", true},
      {L"ZephonUpdateIsMachine", nullptr, L" --system-level=1", false},
      {L"ZephonUpdateIsMachine_", L"1", L"", false},
  };
  for (const Case& c : cases) {
    const std::string label = Narrow(c.name) + "=" + (c.value ? Narrow(c.value) : "(unset)") +
                              Narrow(c.arguments);
    ScopedEnvironment canonical(L"ZephonUpdateIsMachine", nullptr);
    ScopedEnvironment variable(c.name, c.value);
    InstallerRun run(L"faults_patch", L"faults_level_run");
    EXPECT_EQ(4u, run.Run(c.arguments)) << label;
    ASSERT_EQ(2u, run.runs().size()) << label;
    EXPECT_EQ(c.machine ? machine : user, run.runs()[0].exe) << label;
    EXPECT_TRUE(run.Left().empty()) << label;
  }
}

}  // namespace
