#include "launch/patch_setup.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "testing/setup_report_support.h"
#include "testing/test_support.h"

namespace {

using testing_support::FakeSetupPath;
using testing_support::PathExists;
using testing_support::ReadSetupReport;
using testing_support::RegistryString;
using testing_support::ScopedEnvironment;
using testing_support::ScopedRegistryValue;
using testing_support::ScratchDir;
using testing_support::SetupRun;
using testing_support::WriteFileBytes;

const wchar_t kUninstallValue[] = L"UninstallString";

// Where a test stores the value. HKCU\Software is one key in both registry views; HKLM\Software
// in the 32-bit view is the Wow6432Node key.
enum class Where { kNowhere, kUser, kMachine32, kMachine64 };

struct Place { HKEY root; REGSAM view; };
Place PlaceOf(Where where) {
  switch (where) {
    case Where::kMachine32: return {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY};
    case Where::kMachine64: return {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY};
    default: return {HKEY_CURRENT_USER, 0};
  }
}

// Registry calls through the seam, counted: every key opened must be closed again.
struct RegistryCounts { int opened = 0; int closed = 0; REGSAM access = 0; };
RegistryCounts g_registry;

LSTATUS WINAPI CountingRegOpenKeyExW(HKEY root, LPCWSTR path, DWORD options, REGSAM access,
                                     PHKEY key) {
  g_registry.access = access;
  const LSTATUS status = RegOpenKeyExW(root, path, options, access, key);
  if (status == ERROR_SUCCESS) ++g_registry.opened;
  return status;
}
LSTATUS WINAPI CountingRegCloseKey(HKEY key) {
  ++g_registry.closed;
  return RegCloseKey(key);
}
RegistryApi CountingRegistry() {
  g_registry = RegistryCounts();
  RegistryApi api;
  api.RegOpenKeyExW = CountingRegOpenKeyExW;
  api.RegCloseKey = CountingRegCloseKey;
  return api;
}

// A wide string's bytes followed by a non-zero wide character, so that a count that stops short
// of the terminator really stores the value without one.
std::string Unterminated(const std::wstring& text) {
  const std::wstring padded = text + L"ZZ";
  return std::string(reinterpret_cast<const char*>(padded.data()), padded.size() * 2);
}

TEST(GetPreviousSetupPath, ReadsUninstallStringFromTheChosenRootOnly) {
  const std::wstring a259(259, L'a');
  const std::wstring a260(260, L'a');
  struct Case {
    const char* label; Where where; const wchar_t* name; DWORD type; std::string bytes;
    size_t count; bool system_level; const wchar_t* version; ExitResult expected;
    std::wstring path;
  } cases[] = {
      {"bare", Where::kUser, kUninstallValue, REG_SZ, RegistryString(L"C:\\p\\setup.exe"),
       std::string::npos, false, nullptr, {0, 0}, L"C:\\p\\setup.exe"},
      {"quoted", Where::kUser, kUninstallValue, REG_SZ, RegistryString(L"\"C:\\p q\\setup.exe\""),
       std::string::npos, false, nullptr, {0, 0}, L"C:\\p q\\setup.exe"},
      {"quoted with arguments", Where::kUser, kUninstallValue, REG_SZ,
       RegistryString(L"\"C:\\p\\setup.exe\" --uninstall"), std::string::npos, false, nullptr,
       {0, 0}, L"\"C:\\p\\setup.exe\" --uninstall"},
      {"two quotes", Where::kUser, kUninstallValue, REG_SZ, RegistryString(L"\"\""),
       std::string::npos, false, nullptr, {0, 0}, L""},
      {"empty", Where::kUser, kUninstallValue, REG_SZ, RegistryString(L""), std::string::npos,
       false, nullptr, {0, 0}, L""},
      {"259 without terminator", Where::kUser, kUninstallValue, REG_SZ, Unterminated(a259), 518,
       false, nullptr, {0, 0}, a259},
      {"260 without terminator", Where::kUser, kUninstallValue, REG_SZ, Unterminated(a260), 520,
       false, nullptr, {110, ERROR_MORE_DATA}, L""},
      {"260 with terminator", Where::kUser, kUninstallValue, REG_SZ, RegistryString(a260),
       std::string::npos, false, nullptr, {110, ERROR_MORE_DATA}, L""},
      {"expandable string", Where::kUser, kUninstallValue, REG_EXPAND_SZ,
       RegistryString(L"C:\\p\\setup.exe"), std::string::npos, false, nullptr,
       {110, ERROR_NOT_SUPPORTED}, L""},
      {"value missing", Where::kUser, L"SomethingElse", REG_SZ, RegistryString(L"C:\\x"),
       std::string::npos, false, nullptr, {110, ERROR_FILE_NOT_FOUND}, L""},
      {"key missing", Where::kNowhere, kUninstallValue, REG_SZ, "", 0, false, nullptr,
       {110, ERROR_FILE_NOT_FOUND}, L""},
      {"version in other case", Where::kUser, kUninstallValue, REG_SZ,
       RegistryString(L"\"C:\\Prod\\Ver-1.2.3-Beta\\setup.exe\""), std::string::npos, false,
       L"vER-1.2.3-bETA", {0, 0}, L"C:\\Prod\\Ver-1.2.3-Beta\\setup.exe"},
      {"other version", Where::kUser, kUninstallValue, REG_SZ,
       RegistryString(L"C:\\Prod\\1.2.3\\setup.exe"), std::string::npos, false, L"1.2.4",
       {111, 0}, L""},
      {"empty version matches anything", Where::kUser, kUninstallValue, REG_SZ,
       RegistryString(L""), std::string::npos, false, L"", {0, 0}, L""},
      {"version against an empty value", Where::kUser, kUninstallValue, REG_SZ,
       RegistryString(L""), std::string::npos, false, L"1", {111, 0}, L""},
      {"system level reads the machine's 32-bit view", Where::kMachine32, kUninstallValue, REG_SZ,
       RegistryString(L"C:\\m\\setup.exe"), std::string::npos, true, nullptr, {0, 0},
       L"C:\\m\\setup.exe"},
      {"system level ignores the user's", Where::kUser, kUninstallValue, REG_SZ,
       RegistryString(L"C:\\u\\setup.exe"), std::string::npos, true, nullptr,
       {110, ERROR_FILE_NOT_FOUND}, L""},
      {"user level ignores the machine's", Where::kMachine32, kUninstallValue, REG_SZ,
       RegistryString(L"C:\\m\\setup.exe"), std::string::npos, false, nullptr,
       {110, ERROR_FILE_NOT_FOUND}, L""},
      {"only in the machine's 64-bit view", Where::kMachine64, kUninstallValue, REG_SZ,
       RegistryString(L"C:\\m\\setup.exe"), std::string::npos, true, nullptr,
       {110, ERROR_FILE_NOT_FOUND}, L""},
  };
  for (const Case& c : cases) {
    std::unique_ptr<ScopedRegistryValue> stored;
    if (c.where != Where::kNowhere) {
      const Place place = PlaceOf(c.where);
      stored.reset(new ScopedRegistryValue(place.root, place.view, c.name, c.type, c.bytes, c.count));
      ASSERT_EQ(ERROR_SUCCESS, stored->status()) << c.label;
    }
    PathString path;
    path.Copy(L"stale");
    const ExitResult result =
        GetPreviousSetupPath(c.system_level, c.version, path.Get(), kMaxPath, CountingRegistry());
    EXPECT_EQ(c.expected.exit_code, result.exit_code) << c.label;
    EXPECT_EQ(c.expected.extra_code, result.extra_code) << c.label;
    if (result.exit_code == 0) {
      EXPECT_EQ(c.path, path.Get()) << c.label;
    }
    EXPECT_EQ(g_registry.opened, g_registry.closed) << c.label;
    EXPECT_EQ(static_cast<REGSAM>(KEY_QUERY_VALUE | KEY_WOW64_32KEY), g_registry.access) << c.label;
  }
}

TEST(RegistryKeyHolder, OpeningAgainClosesTheHeldKeyAndAFailedOpenLeavesItEmpty) {
  ScopedRegistryValue stored(HKEY_CURRENT_USER, 0, kUninstallValue, REG_SZ, RegistryString(L"x"));
  {
    RegistryKeyHolder holder(CountingRegistry());
    EXPECT_EQ(ERROR_SUCCESS, OpenProductKey(holder, HKEY_CURRENT_USER, KEY_QUERY_VALUE));
    EXPECT_EQ(ERROR_SUCCESS, OpenProductKey(holder, HKEY_CURRENT_USER, KEY_QUERY_VALUE));
    EXPECT_EQ(1, g_registry.closed);
    CloseKey(holder);
    CloseKey(holder);
    EXPECT_EQ(2, g_registry.closed);
    EXPECT_EQ(nullptr, holder.Get());
    EXPECT_EQ(ERROR_SUCCESS, OpenProductKey(holder, HKEY_CURRENT_USER, KEY_QUERY_VALUE));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenProductKey(holder, HKEY_CLASSES_ROOT, KEY_QUERY_VALUE));
    EXPECT_EQ(nullptr, holder.Get());
    EXPECT_EQ(3, g_registry.closed);
  }
  EXPECT_EQ(g_registry.opened, g_registry.closed);
}

// The deletion belongs to the cleanup; here it is only recorded, and done with a plain delete.
std::vector<std::wstring> g_deleted;
bool RecordingDelete(const wchar_t* path, const DeleteApi&) {
  g_deleted.push_back(path);
  return DeleteFileW(path) != FALSE;
}

// A work directory holding the patch and an archive, the previous installation's setup program
// (the test setup program) in a folder of its own, and the report outside both.
class PatchFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDirectoryW((previous_.path() + L"2.0").c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(FakeSetupPath().c_str(), previous_setup_.c_str(), FALSE));
    ASSERT_TRUE(WriteFileBytes(archive_, "7z\xBC\xAF\x27\x1C"));
  }

  ExitResult Patch(const wchar_t* stub_line, const wchar_t* version = nullptr,
                   const std::wstring& new_setup = std::wstring()) {
    DeleteFileW(report_.c_str());
    g_deleted.clear();
    EXPECT_TRUE(WriteFileBytes(patch_, "patch"));
    configuration_.Clear();
    EXPECT_TRUE(configuration_.ParseCommandLine(stub_line));
    configuration_.previous_version = version;
    PatchApi api;
    api.DeleteWithRetry = RecordingDelete;
    return PatchSetup(configuration_, patch_.c_str(),
                      (new_setup.empty() ? new_setup_ : new_setup).c_str(), api);
  }

  std::vector<SetupRun> Runs() const { return ReadSetupReport(report_); }

  ScratchDir work_{L"patch_work"};
  ScratchDir previous_{L"patch_previous"};
  ScratchDir outside_{L"patch_report"};
  const std::wstring patch_ = work_ / L"SETUP.PATCH";
  const std::wstring archive_ = work_ / L"TAMREL.PACKED.7Z";
  const std::wstring new_setup_ = work_ / L"setup.exe";
  const std::wstring previous_setup_ = previous_ / L"2.0\\setup.exe";
  const std::wstring report_ = outside_ / L"report.txt";
  Configuration configuration_;
  ScopedEnvironment report_variable_{L"FAKE_SETUP_REPORT", report_.c_str()};
  ScopedEnvironment write_variable_{L"FAKE_SETUP_WRITE_NEW_SETUP", nullptr};
  ScopedEnvironment update_variable_{L"FAKE_SETUP_UPDATE_EXIT_CODE", nullptr};
  ScopedEnvironment exit_variable_{L"FAKE_SETUP_EXIT_CODE", nullptr};
  ScopedEnvironment machine_variable_{L"ZephonUpdateIsMachine", nullptr};
};

TEST_F(PatchFixture, PreviousSetupGetsPatchNewPathAndStubArguments) {
  ScopedRegistryValue stored(HKEY_CURRENT_USER, 0, kUninstallValue, REG_SZ,
                             RegistryString(L"\"" + previous_setup_ + L"\""));
  ScopedEnvironment write(L"FAKE_SETUP_WRITE_NEW_SETUP", L"1");
  const ExitResult result = Patch(L"\"C:\\dl\\stub.exe\"  a \"b c\"", L"2.0");
  EXPECT_EQ(0u, result.exit_code);
  EXPECT_EQ(0u, result.extra_code);
  const std::vector<SetupRun> runs = Runs();
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ(L"\"" + previous_setup_ + L"\" --update-setup-exe=\"" + patch_ +
                L"\" --new-setup-exe=\"" + new_setup_ + L"\"  a \"b c\"",
            runs[0].command_line);
  // While it ran the patch was there; afterwards only its work is.
  EXPECT_EQ((std::vector<std::wstring>{L"SETUP.PATCH", L"TAMREL.PACKED.7Z", L"setup.exe"}),
            runs[0].entries);
  EXPECT_EQ(std::vector<std::wstring>{patch_}, g_deleted);
  EXPECT_FALSE(PathExists(patch_));
  EXPECT_TRUE(PathExists(new_setup_));
}

// The patch is deleted exactly when a start was attempted, whatever its outcome.
TEST_F(PatchFixture, PatchDeletedAfterEveryStartAttemptOnly) {
  struct Case {
    const char* label; std::wstring uninstall; const wchar_t* version; const wchar_t* exit_code;
    std::wstring new_setup; ExitResult expected; bool attempted; size_t runs;
  } cases[] = {
      {"exits 0", previous_setup_, nullptr, L"0", L"", {0, 0}, true, 1},
      {"exits 7", previous_setup_, nullptr, L"7", L"", {7, 0}, true, 1},
      {"exits 0xC0000005", previous_setup_, L"2.0", L"0xC0000005", L"", {0xC0000005, 0}, true, 1},
      {"program missing", previous_.path() + L"gone.exe", nullptr, L"0", L"",
       {PATCH_SETUP_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES}, true, 0},
      {"folder missing", previous_.path() + L"gone\\setup.exe", nullptr, L"0", L"",
       {PATCH_SETUP_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES}, true, 0},
      {"quoted with arguments", L"\"" + previous_setup_ + L"\" --x", nullptr, L"0", L"",
       {PATCH_SETUP_LAUNCH_FAILED, ERROR_INVALID_NAME}, true, 0},
      {"not a program", archive_, nullptr, L"0", L"",
       {PATCH_SETUP_LAUNCH_FAILED, ERROR_BAD_EXE_FORMAT}, true, 0},
      {"other version installed", previous_setup_, L"3.0", L"0", L"",
       {PATCH_NOT_FOR_INSTALLED_VERSION, 0}, false, 0},
      {"command line too long", previous_setup_, nullptr, L"0", std::wstring(1000, L'n'),
       {COMMAND_STRING_OVERFLOW, 0}, false, 0},
  };
  for (const Case& c : cases) {
    ScopedRegistryValue stored(HKEY_CURRENT_USER, 0, kUninstallValue, REG_SZ,
                               RegistryString(c.uninstall));
    ScopedEnvironment exit_code(L"FAKE_SETUP_UPDATE_EXIT_CODE", c.exit_code);
    const ExitResult result = Patch(L"\"C:\\stub.exe\" x", c.version, c.new_setup);
    EXPECT_EQ(c.expected.exit_code, result.exit_code) << c.label;
    EXPECT_EQ(c.expected.extra_code, result.extra_code) << c.label;
    EXPECT_EQ(c.attempted ? std::vector<std::wstring>{patch_} : std::vector<std::wstring>{},
              g_deleted) << c.label;
    EXPECT_EQ(!c.attempted, PathExists(patch_)) << c.label;
    EXPECT_EQ(c.runs, Runs().size()) << c.label;
  }
  // No previous installation recorded at all: nothing started, the patch stays.
  EXPECT_EQ(static_cast<DWORD>(UNABLE_TO_FIND_REGISTRY_KEY), Patch(L"\"C:\\stub.exe\"").exit_code);
  EXPECT_TRUE(g_deleted.empty());
  EXPECT_TRUE(PathExists(patch_));
}

// What the run sequence does next: run the new setup.exe, which the previous program may have
// failed to write although it exited with 0.
TEST_F(PatchFixture, NewSetupRunsAfterwardsOrIsMissing) {
  ScopedRegistryValue stored(HKEY_CURRENT_USER, 0, kUninstallValue, REG_SZ,
                             RegistryString(previous_setup_));
  ScopedEnvironment exit_code(L"FAKE_SETUP_EXIT_CODE", L"4");
  for (const wchar_t* writes : {L"1", L"0"}) {
    ScopedEnvironment write(L"FAKE_SETUP_WRITE_NEW_SETUP", writes);
    DeleteFileW(new_setup_.c_str());
    ASSERT_EQ(0u, Patch(L"\"C:\\stub.exe\" --system-level-not x").exit_code);
    const ExitResult result =
        LaunchSetup(configuration_, archive_.c_str(), new_setup_.c_str(), true);
    const std::vector<SetupRun> runs = Runs();
    if (writes[0] == L'1') {
      EXPECT_EQ(4u, result.exit_code);
      ASSERT_EQ(2u, runs.size());
      EXPECT_EQ(L"\"" + new_setup_ + L"\" --install-archive=\"" + archive_ +
                    L"\" --system-level-not x",
                runs[1].command_line);
    } else {
      EXPECT_EQ(static_cast<DWORD>(SETUP_FILE_NOT_FOUND), result.exit_code);
      EXPECT_EQ(INVALID_FILE_ATTRIBUTES, result.extra_code);
      EXPECT_EQ(1u, runs.size());
    }
  }
}

}  // namespace
