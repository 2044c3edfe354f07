// Where the work directory meets Windows behaviour that Wine does not have: the length limit of
// CreateDirectoryW, the token owner that becomes the directory's owner, and the access-control
// list kept on disk. Windows is played through the seam; Wine's behaviour is pinned.
#include <aclapi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/test_support.h"
#include "work_dir/work_directory.h"

namespace {

using testing_support::SidText;

using testing_support::ListDirectory;
using testing_support::ScratchDir;

// Nested folders below `root` so that the returned path, with its trailing backslash, is exactly
// `length` characters long.
std::wstring MakeBaseOfLength(const std::wstring& root, size_t length) {
  std::wstring path = root;
  CreateDirectoryW(root.c_str(), nullptr);
  while (path.size() < length) {
    size_t segment = std::min<size_t>(length - path.size(), 100);
    if (length - path.size() - segment == 1) --segment;  // no empty folder name at the end
    path += std::wstring(segment - 1, L'd') + L"\\";
    EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        << GetLastError() << " " << testing_support::Narrow(path);
  }
  return path;
}

// CreateDirectoryW on Windows refuses a path of more than 247 characters (MAX_PATH less room for
// an 8.3 name) with ERROR_FILENAME_EXCED_RANGE, however much of MAX_PATH is left.
int g_directory_calls = 0;
BOOL WINAPI CreateDirectoryAsOnWindows(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  ++g_directory_calls;
  if (wcslen(path) > 247) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  return CreateDirectoryW(path, security);
}

TEST(WorkDirectoryOnWindows, DirectoryPathOver247CharactersFailsCleanly) {
  ScratchDir scratch(L"platform_work_dir_limit");
  struct Case { size_t base_length; bool created; } cases[] = {
      {235, true},    // base + "TM_xxxxx.tmp" = 247 characters
      {236, false},   // 248: ten refusals, {109, 0}, nothing created
      {246, false},   // the longest base the room rule lets through
  };
  for (const Case& c : cases) {
    const std::wstring base = MakeBaseOfLength(scratch / L"b\\", c.base_length);
    ASSERT_EQ(c.base_length, base.size());
    WorkDirApi api;
    api.CreateDirectoryW = CreateDirectoryAsOnWindows;
    g_directory_calls = 0;
    PathString path;
    ExitResult result;
    EXPECT_EQ(c.created, CreateWorkDirectory(base.c_str(), path, &result, api)) << c.base_length;
    EXPECT_EQ(c.created ? 0u : 109u, result.exit_code) << c.base_length;
    EXPECT_EQ(0u, result.extra_code) << c.base_length;
    EXPECT_EQ(c.created ? 1 : 10, g_directory_calls) << c.base_length;
    EXPECT_EQ(c.created ? 1u : 0u, ListDirectory(base).size()) << c.base_length;
    if (c.created) testing_support::RemoveTree(path.Get());
  }
}

TEST(WineDiffersFromWindows, CreateDirectoryTakesPathsOver247Characters) {
  ScratchDir scratch(L"platform_long_directory");
  const std::wstring base = MakeBaseOfLength(scratch / L"b\\", 247);
  const std::wstring path = base + L"TM_12345.tmp";  // 259 characters
  EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
}

// On Windows the system makes the token's default owner (TokenOwner) the owner of what the process
// creates: the user, or Administrators for an elevated administrator. The owner entry of the
// descriptor is whatever SID that is.
std::vector<BYTE> g_owner_sid;
BOOL WINAPI TokenOwnerAsOnWindows(HANDLE, TOKEN_INFORMATION_CLASS type, LPVOID block, DWORD size,
                                  PDWORD needed) {
  EXPECT_EQ(TokenOwner, type);
  *needed = static_cast<DWORD>(sizeof(TOKEN_OWNER) + g_owner_sid.size());
  if (block == nullptr || size < *needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  BYTE* sid = static_cast<BYTE*>(block) + sizeof(TOKEN_OWNER);
  std::copy(g_owner_sid.begin(), g_owner_sid.end(), sid);
  static_cast<TOKEN_OWNER*>(block)->Owner = sid;
  return TRUE;
}

TEST(WorkDirectoryOnWindows, OwnerEntryGrantsTheTokenOwner) {
  ScratchDir scratch(L"platform_token_owner");
  for (const wchar_t* owner : {L"S-1-5-32-544", L"S-1-5-21-1004336348-1177238915-682003330-1001"}) {
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(owner, &sid));
    g_owner_sid.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
    LocalFree(sid);
    WorkDirApi api;
    api.GetTokenInformation = TokenOwnerAsOnWindows;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(GetWorkDirectorySecurityDescriptor(scratch.path().c_str(), &descriptor, api));
    ASSERT_NE(nullptr, descriptor);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_EQ(6u, dacl->AceCount);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 5, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(std::wstring(owner), SidText(&ace->SidStart));
    EXPECT_EQ(static_cast<DWORD>(FILE_ALL_ACCESS), ace->Mask);
    EXPECT_EQ(0, ace->Header.AceFlags);
    LocalFree(descriptor);
  }
}

// Under Wine the token's owner is not the owner a new directory gets, and the directory keeps no
// access-control list: it reads back a DACL rebuilt from Unix mode bits, neither protected nor
// the six entries given. Windows keeps both as created (WorkDirectory.DescriptorReadsBackAsBuilt
// shows the descriptor the code hands over).
TEST(WineDiffersFromWindows, DirectoryKeepsNeitherTheTokenOwnerNorTheDacl) {
  ScratchDir scratch(L"platform_acl_on_disk");
  PathString path;
  ExitResult result;
  ASSERT_TRUE(CreateWorkDirectory(scratch.path().c_str(), path, &result));
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  BYTE block[512];
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenOwner, block, sizeof block, &size));
  CloseHandle(token);
  const std::wstring token_owner = SidText(reinterpret_cast<TOKEN_OWNER*>(block)->Owner);

  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
            GetNamedSecurityInfoW(path.Get(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                  nullptr, &dacl, nullptr, &descriptor));
  EXPECT_NE(token_owner, SidText(owner));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_FALSE((control & SE_DACL_PROTECTED) != 0 && dacl != nullptr && dacl->AceCount == 6);
  LocalFree(descriptor);
}

}  // namespace
