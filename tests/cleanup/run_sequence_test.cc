// The built stub, run for real: it carries no payload, so every run fails at the unpack step with
// 112, after its work directory has been created.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/test_support.h"

namespace {

using testing_support::DeleteRegistryValue;
using testing_support::IsWorkDirectoryName;
using testing_support::kProductKey;
using testing_support::ListDirectory;
using testing_support::RunCommand;
using testing_support::ScratchDir;
using testing_support::SetRegistryValue;
using testing_support::TestDirectory;

const wchar_t kCleanupValue[] = L"TamrelInstallerCleanup";

// Removes the value on every path out of a case.
struct CleanupValue {
  explicit CleanupValue(const wchar_t* value) {
    DeleteRegistryValue(HKEY_CURRENT_USER, kProductKey, kCleanupValue);
    if (value) {
      ok = SetRegistryValue(HKEY_CURRENT_USER, kProductKey, kCleanupValue, REG_SZ, value,
                            static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
    }
  }
  ~CleanupValue() { DeleteRegistryValue(HKEY_CURRENT_USER, kProductKey, kCleanupValue); }
  bool ok = true;
};

TEST(RunSequence, FailedRunLeavesNothingUnlessCleanupIsSwitchedOff) {
  struct Case { const char* label; const wchar_t* value; bool keeps; } cases[] = {
      {"no value", nullptr, false},
      {"\"1\"", L"1", false},
      {"\"0\"", L"0", true},
  };
  for (const Case& c : cases) {
    CleanupValue value(c.value);
    ASSERT_TRUE(value.ok) << c.label;
    ScratchDir scratch(L"run_sequence_cleanup");
    const std::wstring stub = scratch / L"stub.exe";
    ASSERT_TRUE(CopyFileW((TestDirectory() + L"..\\stub.exe").c_str(), stub.c_str(), FALSE));

    EXPECT_EQ(112u, RunCommand(L"\"" + stub + L"\"")) << c.label;

    const std::vector<std::wstring> left = ListDirectory(scratch.path());
    if (!c.keeps) {
      EXPECT_EQ(std::vector<std::wstring>{L"stub.exe"}, left) << c.label;
      continue;
    }
    ASSERT_EQ(2u, left.size()) << c.label;
    EXPECT_TRUE(IsWorkDirectoryName(left[0])) << testing_support::Narrow(left[0]);
    EXPECT_EQ(L"stub.exe", left[1]);
    const DWORD attributes = GetFileAttributesW((scratch / left[0]).c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
  }
}

}  // namespace
