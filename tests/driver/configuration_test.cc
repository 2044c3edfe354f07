#include "driver/configuration.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/test_support.h"

namespace {

using testing_support::DeleteRegistryKey;
using testing_support::DeleteRegistryValue;
using testing_support::kProductKey;
using testing_support::SetRegistryValue;
using testing_support::TestDirectory;

const wchar_t kCleanupValue[] = L"TamrelInstallerCleanup";

// An installer built by the packer, loaded for its resources only.
class InstallerImage {
 public:
  explicit InstallerImage(const std::wstring& name) {
    std::wstring path = TestDirectory() + L"installers\\" + name + L".exe";
    module_ = LoadLibraryExW(path.c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  }
  ~InstallerImage() {
    if (module_) FreeLibrary(module_);
  }
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

TEST(ConfigurationPreviousVersion, EveryResourceForm) {
  struct Case { const wchar_t* installer; bool present; const wchar_t* version; } cases[] = {
      {L"rcdata_version", true, L"1.2.3"},
      {L"rcdata_empty", false, nullptr},
      {L"rcdata_odd", false, nullptr},
      {L"rcdata_no_final_zero", false, nullptr},
      {L"rcdata_inner_zero", true, L"1.2"},
      {L"rcdata_single_zero", true, L""},
  };
  for (const Case& c : cases) {
    InstallerImage image(c.installer);
    ASSERT_NE(nullptr, image.get()) << c.installer;
    Configuration configuration;
    ASSERT_TRUE(configuration.Initialize(image.get()));
    if (!c.present) {
      EXPECT_EQ(nullptr, configuration.previous_version) << c.installer;
    } else {
      ASSERT_NE(nullptr, configuration.previous_version) << c.installer;
      EXPECT_EQ(std::wstring(c.version), configuration.previous_version) << c.installer;
    }
  }
  // The stub as built carries no such resource.
  HMODULE stub = LoadLibraryExW((TestDirectory() + L"..\\stub.exe").c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(nullptr, stub);
  Configuration configuration;
  ASSERT_TRUE(configuration.Initialize(stub));
  EXPECT_EQ(nullptr, configuration.previous_version);
  FreeLibrary(stub);
}

TEST(ConfigurationCleanupFlag, EveryRegistryForm) {
  // Values are written with exact types and byte counts. Wine extends the count of a REG_SZ when
  // the bytes after it are a zero wide character, so unterminated forms are followed by 'X'.
  struct Case {
    const char* label; DWORD type; const wchar_t* data; DWORD bytes; bool keep;
  } cases[] = {
      {"0 with terminator", REG_SZ, L"0", 4, true},
      {"0 without terminator", REG_SZ, L"0X", 2, true},
      {"1", REG_SZ, L"1", 4, false},
      {"empty", REG_SZ, L"", 2, false},
      {"no bytes", REG_SZ, L"", 0, false},
      {"00: too long", REG_SZ, L"00", 6, false},
      {"two characters without terminator", REG_SZ, L"00X", 4, false},
      {"expandable 0", REG_EXPAND_SZ, L"0", 4, false},
      {"multi-string 0", REG_MULTI_SZ, L"0\0", 6, false},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(ERROR_SUCCESS,
              SetRegistryValue(HKEY_CURRENT_USER, kProductKey, kCleanupValue, c.type, c.data, c.bytes));
    Configuration configuration;
    ASSERT_TRUE(configuration.Initialize(GetModuleHandleW(nullptr)));
    EXPECT_EQ(!c.keep, configuration.should_delete_extracted_files) << c.label;
  }
  const DWORD zero = 0;
  SetRegistryValue(HKEY_CURRENT_USER, kProductKey, kCleanupValue, REG_DWORD, &zero, 4);
  {
    Configuration configuration;
    ASSERT_TRUE(configuration.Initialize(GetModuleHandleW(nullptr)));
    EXPECT_TRUE(configuration.should_delete_extracted_files) << "REG_DWORD 0";
  }
  DeleteRegistryValue(HKEY_CURRENT_USER, kProductKey, kCleanupValue);
  {
    Configuration configuration;
    ASSERT_TRUE(configuration.Initialize(GetModuleHandleW(nullptr)));
    EXPECT_TRUE(configuration.should_delete_extracted_files) << "absent value";
  }
  DeleteRegistryKey(HKEY_CURRENT_USER, kProductKey);
  {
    Configuration configuration;
    ASSERT_TRUE(configuration.Initialize(GetModuleHandleW(nullptr)));
    EXPECT_TRUE(configuration.should_delete_extracted_files) << "absent key";
  }
}

TEST(ReadRegistryStringValue, TerminatorRules) {
  struct Case {
    const char* label; const wchar_t* data; DWORD bytes; DWORD capacity; bool ok;
    const wchar_t* text;
  } cases[] = {
      {"terminated", L"ab", 6, 4, true, L"ab"},
      {"unterminated with room", L"abX", 4, 3, true, L"ab"},
      {"unterminated filling the buffer", L"abcX", 6, 3, false, nullptr},
      {"odd byte ignored", L"abX", 5, 4, true, L"ab"},
      {"single byte", L"aX", 1, 4, true, L""},
      {"larger than the buffer", L"abcd", 10, 3, false, nullptr},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(ERROR_SUCCESS, SetRegistryValue(HKEY_CURRENT_USER, kProductKey, L"TestValue", REG_SZ,
                                              c.data, c.bytes));
    wchar_t buffer[8] = {L'#', L'#', L'#', L'#', L'#', L'#', L'#', L'#'};
    EXPECT_EQ(c.ok, ReadRegistryStringValue(HKEY_CURRENT_USER, kProductKey, L"TestValue", buffer,
                                            c.capacity))
        << c.label;
    if (c.ok) {
      EXPECT_EQ(std::wstring(c.text), buffer) << c.label;
    }
  }
  DeleteRegistryKey(HKEY_CURRENT_USER, kProductKey);
}

struct SwitchCase {
  const wchar_t* command_line;
  bool system_level;
  bool unsupported;
};

TEST(ConfigurationParseCommandLine, Switches) {
  SetEnvironmentVariableW(L"ZephonUpdateIsMachine", nullptr);
  const SwitchCase cases[] = {
      {L"stub.exe", false, false},
      {L"stub.exe --system-level", true, false},
      {L"stub.exe --SYSTEM-LEVEL", true, false},
      {L"stub.exe --system-level=1", false, false},
      {L"--system-level", false, false},
      {L"--cleanup --x", false, false},
      {L"stub.exe --cleanup", false, true},
      {L"stub.exe a b --Tamrel-Frame c", false, true},
      {L"\"C:\\my dir\\stub.exe\" x --cleanup --system-level", true, true},
      {L"stub.exe \"--system-level\"", true, false},
      {L"stub.exe --system-level --system-level", true, false},
  };
  for (const SwitchCase& c : cases) {
    Configuration configuration;
    ASSERT_TRUE(configuration.ParseCommandLine(c.command_line));
    EXPECT_EQ(c.command_line, configuration.command_line);
    EXPECT_EQ(c.system_level, configuration.is_system_level) << c.command_line;
    EXPECT_EQ(c.unsupported, configuration.is_unsupported_mode) << c.command_line;
  }
}

TEST(ConfigurationParseCommandLine, SystemLevelVariable) {
  struct Case { const wchar_t* value; bool system_level; } cases[] = {
      {L"1", true},  {L"0", false},  {L"10", false}, {L"true", false},
      {L"1 ", false}, {L"", false},  {nullptr, false},
  };
  for (const Case& c : cases) {
    SetEnvironmentVariableW(L"ZephonUpdateIsMachine", c.value);
    Configuration configuration;
    ASSERT_TRUE(configuration.ParseCommandLine(L"stub.exe"));
    EXPECT_EQ(c.system_level, configuration.is_system_level) << (c.value ? "set" : "absent");
  }
  SetEnvironmentVariableW(L"ZephonUpdateIsMachine", nullptr);
}

// Counts the calls made through the seam.
int g_local_frees = 0;
int g_env_reads = 0;
HLOCAL WINAPI CountingLocalFree(HLOCAL block) {
  ++g_local_frees;
  return LocalFree(block);
}
DWORD WINAPI CountingGetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  ++g_env_reads;
  return GetEnvironmentVariableW(name, buffer, size);
}
LPWSTR* WINAPI FailingCommandLineToArgvW(LPCWSTR, int*) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

TEST(ConfigurationLifecycle, SecondInitializeReleasesFirstArray) {
  ConfigApi api;
  api.LocalFree = CountingLocalFree;
  g_local_frees = 0;
  {
    Configuration configuration(api);
    ASSERT_TRUE(configuration.ParseCommandLine(L"stub.exe --system-level --cleanup"));
    ASSERT_TRUE(configuration.Initialize(GetModuleHandleW(nullptr)));
    EXPECT_EQ(1, g_local_frees);
    // The test program's own command line carries neither switch.
    EXPECT_FALSE(configuration.is_unsupported_mode);
    configuration.Clear();
    EXPECT_EQ(2, g_local_frees);
    EXPECT_EQ(nullptr, configuration.argv);
    EXPECT_TRUE(configuration.should_delete_extracted_files);
  }
  EXPECT_EQ(2, g_local_frees);
}

TEST(ConfigurationLifecycle, FailedSplitReportsAndSkipsEnvironment) {
  ConfigApi api;
  api.CommandLineToArgvW = FailingCommandLineToArgvW;
  api.GetEnvironmentVariableW = CountingGetEnvironmentVariableW;
  g_env_reads = 0;
  Configuration configuration(api);
  SetLastError(0);
  EXPECT_FALSE(configuration.Initialize(GetModuleHandleW(nullptr)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  EXPECT_EQ(nullptr, configuration.argv);
  EXPECT_EQ(0, g_env_reads);
  // With the switch present the variable is not read at all.
  ConfigApi counting;
  counting.GetEnvironmentVariableW = CountingGetEnvironmentVariableW;
  Configuration with_switch(counting);
  ASSERT_TRUE(with_switch.ParseCommandLine(L"stub.exe --system-level"));
  EXPECT_EQ(0, g_env_reads);
  Configuration without_switch(counting);
  ASSERT_TRUE(without_switch.ParseCommandLine(L"stub.exe"));
  EXPECT_EQ(1, g_env_reads);
}

}  // namespace
