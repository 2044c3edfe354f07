#include "work_dir/work_directory.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace {

using testing_support::SidText;

using testing_support::IsWorkDirectoryName;
using testing_support::ListDirectory;
using testing_support::PathExists;
using testing_support::ScratchDir;

// Where the seam's fakes fail, each with the error the test chooses.
enum class Fail {
  kNone, kVolumePath, kVolumeInfo, kNoPersistentAcls, kOpenToken, kTokenSizeZero,
  kTokenSizeWrongError, kLocalAlloc, kTokenInfo, kSidString, kLongSid, kConvert,
};
enum class Random { kReal, kScripted, kFailsUntouched, kFailsWithJunk };

// What the fakes saw. Fakes are plain functions, so this is file-static, reset by each test.
struct Seam {
  Fail fail = Fail::kNone;
  DWORD error = 0;
  Random random = Random::kReal;
  std::vector<std::array<unsigned char, 4>> random_script;
  int create_failures = 0;  // the first N CreateDirectoryW calls fail, the rest are real

  std::vector<std::string> log;  // every call, in order
  std::vector<std::wstring> tried;
  std::vector<SECURITY_ATTRIBUTES> attributes;  // copies; nLength 0 stands for null
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::set<HANDLE> open_tokens;
  std::set<void*> outstanding;  // every local allocation not yet freed
  int unknown_frees = 0;
  int Count(const char* name) const {
    int n = 0;
    for (const std::string& call : log) n += call == name;
    return n;
  }
};
Seam g;

// Release calls clobber the last-error value, so that a report read after them shows whether the
// code kept the failing call's error.
const DWORD kClobbered = 0xC10BBE4;

bool Failing(Fail step) {
  if (g.fail != step) return false;
  SetLastError(g.error);
  return true;
}

BOOLEAN WINAPI FakeRandom(PVOID buffer, ULONG length) {
  g.log.push_back("SystemFunction036");
  switch (g.random) {
    case Random::kReal: return SystemFunction036(buffer, length);
    case Random::kScripted:
      std::memcpy(buffer, g.random_script[(g.Count("SystemFunction036") - 1) %
                                          g.random_script.size()].data(), length);
      return TRUE;
    case Random::kFailsWithJunk: std::memset(buffer, 0xCD, length - 1); return FALSE;
    case Random::kFailsUntouched: return FALSE;
  }
  return FALSE;
}
BOOL WINAPI FakeCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
  g.log.push_back("CreateDirectoryW");
  g.tried.push_back(path);
  g.attributes.push_back(attributes ? *attributes : SECURITY_ATTRIBUTES{});
  if (static_cast<int>(g.tried.size()) <= g.create_failures) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  return CreateDirectoryW(path, attributes);
}
BOOL WINAPI FakeGetVolumePathNameW(LPCWSTR path, LPWSTR volume, DWORD size) {
  g.log.push_back("GetVolumePathNameW");
  return !Failing(Fail::kVolumePath) && GetVolumePathNameW(path, volume, size);
}
BOOL WINAPI FakeGetVolumeInformationW(LPCWSTR root, LPWSTR name, DWORD name_size, LPDWORD serial,
                                      LPDWORD component, LPDWORD flags, LPWSTR fs, DWORD fs_size) {
  g.log.push_back("GetVolumeInformationW");
  if (Failing(Fail::kVolumeInfo)) return FALSE;
  if (!GetVolumeInformationW(root, name, name_size, serial, component, flags, fs, fs_size)) {
    return FALSE;
  }
  if (g.fail == Fail::kNoPersistentAcls) *flags &= ~FILE_PERSISTENT_ACLS;
  return TRUE;
}
HANDLE WINAPI FakeGetCurrentProcess() {
  g.log.push_back("GetCurrentProcess");
  return GetCurrentProcess();
}
BOOL WINAPI FakeOpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  g.log.push_back("OpenProcessToken");
  if (Failing(Fail::kOpenToken) || !OpenProcessToken(process, access, token)) return FALSE;
  g.open_tokens.insert(*token);
  return TRUE;
}
BOOL WINAPI FakeGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID block,
                                    DWORD size, PDWORD needed) {
  g.log.push_back("GetTokenInformation");
  if (block == nullptr && g.fail == Fail::kTokenSizeZero) {
    *needed = 0;
    SetLastError(g.error);
    return FALSE;
  }
  if (block == nullptr && g.fail == Fail::kTokenSizeWrongError) {
    *needed = 64;
    SetLastError(g.error);
    return FALSE;
  }
  if (block != nullptr && Failing(Fail::kTokenInfo)) return FALSE;
  return GetTokenInformation(token, type, block, size, needed);
}
HLOCAL WINAPI FakeLocalAlloc(UINT flags, SIZE_T size) {
  g.log.push_back("LocalAlloc");
  if (Failing(Fail::kLocalAlloc)) return nullptr;
  HLOCAL block = LocalAlloc(flags, size);
  g.outstanding.insert(block);
  return block;
}
HLOCAL WINAPI FakeLocalFree(HLOCAL block) {
  g.log.push_back("LocalFree");
  if (g.outstanding.erase(block) == 0) ++g.unknown_frees;
  HLOCAL result = LocalFree(block);
  SetLastError(kClobbered);
  return result;
}
BOOL WINAPI FakeConvertSidToStringSidW(PSID sid, LPWSTR* text) {
  g.log.push_back("ConvertSidToStringSidW");
  if (Failing(Fail::kSidString)) return FALSE;
  if (g.fail == Fail::kLongSid) {
    // One character more than the descriptor text has room for.
    const std::wstring sid_text = L"S-1-5-21-" + std::wstring(207 - 9, L'7');
    *text = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, (sid_text.size() + 1) * sizeof(wchar_t)));
    std::memcpy(*text, sid_text.c_str(), (sid_text.size() + 1) * sizeof(wchar_t));
  } else if (!ConvertSidToStringSidW(sid, text)) {
    return FALSE;
  }
  g.outstanding.insert(*text);
  return TRUE;
}
BOOL WINAPI FakeConvertStringSd(LPCWSTR sddl, DWORD revision, PSECURITY_DESCRIPTOR* descriptor,
                                PULONG size) {
  g.log.push_back("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  if (Failing(Fail::kConvert)) return FALSE;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, revision, descriptor, size)) {
    return FALSE;
  }
  g.descriptor = *descriptor;
  g.outstanding.insert(*descriptor);
  return TRUE;
}
BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  g.log.push_back("CloseHandle");
  g.open_tokens.erase(handle);
  BOOL result = CloseHandle(handle);
  SetLastError(kClobbered);
  return result;
}

WorkDirApi CountingApi() {
  // In the order of WorkDirApi's members; the library lookups stay the system's.
  return {FakeRandom, {}, FakeCreateDirectoryW, FakeGetVolumePathNameW,
          FakeGetVolumeInformationW, FakeGetCurrentProcess, FakeOpenProcessToken,
          FakeGetTokenInformation, FakeLocalAlloc, FakeLocalFree, FakeConvertSidToStringSidW,
          FakeConvertStringSd, FakeCloseHandle};
}

// The token owner's SID, found here without the code under test.
std::wstring OwnerSid() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  std::vector<BYTE> block(512);
  DWORD size = 0;
  GetTokenInformation(token, TokenOwner, block.data(), 512, &size);
  CloseHandle(token);
  wchar_t* text = nullptr;
  ConvertSidToStringSidW(reinterpret_cast<TOKEN_OWNER*>(block.data())->Owner, &text);
  std::wstring sid = text ? text : L"";
  LocalFree(text);
  return sid;
}

// Creates nested folders below `root` so that the returned path, with its trailing backslash, is
// exactly `length` characters long.
std::wstring MakeBaseOfLength(const std::wstring& root, size_t length) {
  std::wstring path = root;
  CreateDirectoryW(root.c_str(), nullptr);
  while (path.size() < length) {
    size_t segment = std::min<size_t>(length - path.size(), 101);
    if (length - path.size() - segment == 1) --segment;
    path += std::wstring(segment - 1, L'd') + L"\\";
    CreateDirectoryW(path.c_str(), nullptr);
  }
  return path;
}

class WorkDirectory : public ::testing::Test {
 protected:
  void SetUp() override { g = Seam(); }
  // Nothing the code took may be left, and nothing it did not take may be released.
  void ExpectAllReleased(const char* label) {
    EXPECT_TRUE(g.open_tokens.empty()) << label;
    EXPECT_TRUE(g.outstanding.empty()) << label;
    EXPECT_EQ(0, g.unknown_frees) << label;
  }
};

TEST(WorkDirectoryText, NameIsTheFirstFiveDigits) {
  struct Case { std::array<unsigned char, 4> bytes; const wchar_t* name; } cases[] = {
      {{0x3F, 0x0A, 0x9C, 0x11}, L"C:\\d\\TM_3F0A9.tmp"},
      {{0x00, 0x00, 0x00, 0x00}, L"C:\\d\\TM_00000.tmp"},
      {{0xab, 0xcd, 0xef, 0xff}, L"C:\\d\\TM_ABCDE.tmp"},
  };
  PathString path;
  size_t prefix = 0;
  ASSERT_TRUE(StartWorkDirectoryPath(L"C:\\d\\", path, &prefix));
  ASSERT_EQ(8u, prefix);
  // The same buffer serves every case, as it serves every attempt: each name replaces the last.
  for (const Case& c : cases) {
    unsigned char bytes[4];
    std::memcpy(bytes, c.bytes.data(), 4);
    ASSERT_TRUE(FormWorkDirectoryName(path, prefix, bytes));
    EXPECT_EQ(std::wstring(c.name), path.Get());
  }
  std::set<std::wstring> fallback;
  for (size_t attempt = 0; attempt < kWorkDirectoryAttempts; ++attempt) {
    unsigned char bytes[4];
    FallbackRandomBytes(attempt, bytes);
    ASSERT_TRUE(FormWorkDirectoryName(path, prefix, bytes));
    EXPECT_EQ(L"C:\\d\\TM_0000" + std::wstring(1, L"0123456789"[attempt]) + L".tmp", path.Get());
    fallback.insert(path.Get());
  }
  EXPECT_EQ(kWorkDirectoryAttempts, fallback.size());
}

TEST(WorkDirectoryText, RoomRuleAtItsEdge) {
  struct Case { size_t base_length; bool fits; } cases[] = {
      {1, true}, {246, true}, {247, false}, {256, false}, {257, false}, {300, false},
  };
  for (const Case& c : cases) {
    const std::wstring base(c.base_length, L'b');
    PathString path;
    size_t prefix = 0;
    EXPECT_EQ(c.fits, StartWorkDirectoryPath(base.c_str(), path, &prefix)) << c.base_length;
    if (c.fits) {
      EXPECT_EQ(c.base_length + 3, prefix);
    }
  }
  PathString path;
  size_t prefix = 0;
  EXPECT_FALSE(StartWorkDirectoryPath(nullptr, path, &prefix));
  // A prefix past the rule is refused before anything is written.
  const unsigned char bytes[4] = {1, 2, 3, 4};
  path.Copy(L"keep");
  EXPECT_FALSE(FormWorkDirectoryName(path, 250, bytes));
  EXPECT_EQ(std::wstring(L"keep"), path.Get());
}

TEST_F(WorkDirectory, CreatesProtectedDirectoryBesideBase) {
  ScratchDir scratch(L"work_dir_create");
  PathString path;
  ExitResult result = {1, 1};
  ASSERT_TRUE(CreateWorkDirectory(scratch.path().c_str(), path, &result, CountingApi()));
  EXPECT_EQ(0u, result.exit_code);
  EXPECT_EQ(0u, result.extra_code);
  const std::vector<std::wstring> entries = ListDirectory(scratch.path());
  ASSERT_EQ(1u, entries.size());
  EXPECT_TRUE(IsWorkDirectoryName(entries[0])) << entries[0];
  EXPECT_EQ(scratch / entries[0] + L"\\", path.Get());
  EXPECT_TRUE(GetFileAttributesW(path.Get()) & FILE_ATTRIBUTE_DIRECTORY);

  // Wine reports persistent ACLs on its drives, so the real descriptor was built and passed
  // (what it grants: DescriptorReadsBackAsBuilt).
  ASSERT_EQ(1u, g.attributes.size());
  EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), g.attributes[0].nLength);
  EXPECT_EQ(FALSE, g.attributes[0].bInheritHandle);
  EXPECT_EQ(g.descriptor, g.attributes[0].lpSecurityDescriptor);
  EXPECT_NE(nullptr, g.descriptor);
  EXPECT_EQ(1, g.Count("OpenProcessToken"));
  ExpectAllReleased("success");
}

TEST_F(WorkDirectory, ScriptedBytesNameTheDirectory) {
  ScratchDir scratch(L"work_dir_scripted");
  g.random = Random::kScripted;
  g.random_script = {{0x3F, 0x0A, 0x9C, 0x11}};
  PathString path;
  ExitResult result;
  ASSERT_TRUE(CreateWorkDirectory(scratch.path().c_str(), path, &result, CountingApi()));
  EXPECT_EQ(scratch / L"TM_3F0A9.tmp\\", path.Get());
  EXPECT_EQ(std::vector<std::wstring>{L"TM_3F0A9.tmp"}, ListDirectory(scratch.path()));
}

TEST_F(WorkDirectory, RoomRuleOnRealFolders) {
  ScratchDir scratch(L"work_dir_room");
  const std::wstring fits = MakeBaseOfLength(scratch / L"a\\", 246);
  const std::wstring too_long = MakeBaseOfLength(scratch / L"b\\", 247);
  ASSERT_TRUE(PathExists(fits) && fits.size() == 246);
  ASSERT_TRUE(PathExists(too_long) && too_long.size() == 247);

  PathString path;
  ExitResult result;
  ASSERT_TRUE(CreateWorkDirectory(fits.c_str(), path, &result, CountingApi()));
  EXPECT_EQ(259u, std::wcslen(path.Get()));
  EXPECT_EQ(L'\\', path[258]);
  EXPECT_TRUE(PathExists(path.Get()));

  for (const std::wstring& base : {too_long, std::wstring(257, L'x')}) {
    g = Seam();
    EXPECT_FALSE(CreateWorkDirectory(base.c_str(), path, &result, CountingApi()));
    EXPECT_EQ(108u, result.exit_code);
    EXPECT_EQ(0u, result.extra_code);
    EXPECT_TRUE(g.log.empty()) << base.size() << ": no system call before the room rule";
  }
  EXPECT_TRUE(ListDirectory(too_long).empty());
}

TEST_F(WorkDirectory, TenAttemptsWithoutWaitThenGivesUp) {
  ScratchDir scratch(L"work_dir_attempts");
  struct Case { const char* label; int failures; bool ok; } cases[] = {
      {"every attempt fails", 10, false},
      {"the last attempt succeeds", 9, true},
      {"the ninth attempt succeeds", 8, true},
  };
  for (const Case& c : cases) {
    g = Seam();
    g.create_failures = c.failures;
    g.random = Random::kScripted;
    for (unsigned char i = 0; i < 10; ++i) g.random_script.push_back({0x10, i, 0x00, 0xFF});
    PathString path;
    ExitResult result;
    EXPECT_EQ(c.ok, CreateWorkDirectory(scratch.path().c_str(), path, &result, CountingApi()));
    EXPECT_EQ(c.ok ? 0u : 109u, result.exit_code) << c.label;
    EXPECT_EQ(0u, result.extra_code) << c.label;
    const size_t tries = c.failures < 10 ? c.failures + 1 : 10;
    ASSERT_EQ(tries, g.tried.size()) << c.label;
    for (size_t i = 0; i < tries; ++i) {
      EXPECT_EQ(scratch / L"TM_100" + std::wstring(1, L"0123456789"[i]) + L"0.tmp", g.tried[i]);
      // One record serves every attempt.
      EXPECT_EQ(g.descriptor, g.attributes[i].lpSecurityDescriptor);
    }
    // Each attempt draws one name of its own.
    EXPECT_EQ(static_cast<int>(tries), g.Count("SystemFunction036")) << c.label;
    EXPECT_EQ(c.ok ? g.tried.back() + L"\\" : g.tried.back(), path.Get()) << c.label;
    EXPECT_EQ(c.ok ? 1u : 0u, ListDirectory(scratch.path()).size()) << c.label;
    ExpectAllReleased(c.label);
    testing_support::RemoveTree(g.tried.back());
  }

  // For real: a base folder that does not exist.
  g = Seam();
  PathString path;
  ExitResult result;
  EXPECT_FALSE(CreateWorkDirectory((scratch / L"missing\\").c_str(), path, &result, CountingApi()));
  EXPECT_EQ(109u, result.exit_code);
  EXPECT_EQ(10, g.Count("CreateDirectoryW"));
  EXPECT_TRUE(ListDirectory(scratch.path()).empty());
}

TEST_F(WorkDirectory, FailingGeneratorStillFormsTenDefinedNames) {
  ScratchDir scratch(L"work_dir_generator");
  for (Random mode : {Random::kFailsUntouched, Random::kFailsWithJunk}) {
    g = Seam();
    g.random = mode;
    g.create_failures = 10;
    PathString path;
    ExitResult result;
    EXPECT_FALSE(CreateWorkDirectory(scratch.path().c_str(), path, &result, CountingApi()));
    EXPECT_EQ(109u, result.exit_code);
    ASSERT_EQ(10u, g.tried.size());
    for (size_t i = 0; i < 10; ++i) {
      EXPECT_EQ(scratch / L"TM_0000" + std::wstring(1, L"0123456789"[i]) + L".tmp", g.tried[i]);
    }
  }
  // For real: a directory left by an earlier run with the same broken generator costs one name.
  for (const wchar_t* expected : {L"TM_00000.tmp\\", L"TM_00001.tmp\\"}) {
    g = Seam();
    g.random = Random::kFailsWithJunk;
    PathString path;
    ExitResult result;
    ASSERT_TRUE(CreateWorkDirectory(scratch.path().c_str(), path, &result, CountingApi()));
    EXPECT_EQ(scratch / expected, path.Get());
  }
}

TEST_F(WorkDirectory, DefaultSecurityWithoutPersistentAcls) {
  ScratchDir scratch(L"work_dir_default_security");
  struct Case { const char* label; Fail fail; } cases[] = {
      {"volume path fails", Fail::kVolumePath},
      {"volume information fails", Fail::kVolumeInfo},
      {"volume keeps no ACLs", Fail::kNoPersistentAcls},
  };
  for (const Case& c : cases) {
    g = Seam();
    g.fail = c.fail;
    g.error = ERROR_NOT_READY;
    PathString path;
    ExitResult result;
    ASSERT_TRUE(CreateWorkDirectory(scratch.path().c_str(), path, &result, CountingApi()))
        << c.label;
    EXPECT_TRUE(PathExists(path.Get())) << c.label;
    ASSERT_EQ(1u, g.attributes.size());
    EXPECT_EQ(0u, g.attributes[0].nLength) << c.label << ": null security attributes";
    EXPECT_EQ(0, g.Count("OpenProcessToken")) << c.label;
    EXPECT_EQ(0, g.Count("LocalAlloc") + g.Count("LocalFree")) << c.label;
    testing_support::RemoveTree(path.Get());
  }
}

TEST_F(WorkDirectory, AclChainFailureReportsItsErrorAndReleasesEverything) {
  ScratchDir scratch(L"work_dir_acl_failure");
  struct Case { const char* label; Fail fail; DWORD error; DWORD expected; } cases[] = {
      {"token open", Fail::kOpenToken, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {"token size zero", Fail::kTokenSizeZero, ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE},
      {"token size, other error", Fail::kTokenSizeWrongError, ERROR_BAD_LENGTH, ERROR_BAD_LENGTH},
      {"allocation", Fail::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
      {"token owner", Fail::kTokenInfo, ERROR_NO_TOKEN, ERROR_NO_TOKEN},
      {"SID string", Fail::kSidString, ERROR_INVALID_SID, ERROR_INVALID_SID},
      {"composition", Fail::kLongSid, 0, ERROR_INSUFFICIENT_BUFFER},
      {"conversion", Fail::kConvert, ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    g = Seam();
    g.fail = c.fail;
    g.error = c.error;
    SetLastError(0);
    PathString path;
    ExitResult result;
    EXPECT_FALSE(CreateWorkDirectory(scratch.path().c_str(), path, &result, CountingApi()));
    EXPECT_EQ(117u, result.exit_code) << c.label;
    EXPECT_EQ(c.expected, result.extra_code) << c.label;
    EXPECT_EQ(c.fail == Fail::kOpenToken ? 0 : 1, g.Count("CloseHandle")) << c.label;
    EXPECT_EQ(0, g.Count("CreateDirectoryW")) << c.label;
    ExpectAllReleased(c.label);

    g = Seam();
    g.fail = c.fail;
    g.error = c.error;
    PSECURITY_DESCRIPTOR descriptor = &descriptor;
    EXPECT_FALSE(GetWorkDirectorySecurityDescriptor(scratch.path().c_str(), &descriptor,
                                                    CountingApi()));
    EXPECT_EQ(nullptr, descriptor) << c.label;
    ExpectAllReleased(c.label);
  }
  EXPECT_TRUE(ListDirectory(scratch.path()).empty());
}

TEST_F(WorkDirectory, DescriptorReadsBackAsBuilt) {
  ScratchDir scratch(L"work_dir_descriptor");
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(GetWorkDirectorySecurityDescriptor(scratch.path().c_str(), &descriptor));
  ASSERT_NE(nullptr, descriptor);
  const std::wstring owner = OwnerSid();

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
  const SECURITY_DESCRIPTOR_CONTROL wanted = SE_DACL_PRESENT | SE_DACL_PROTECTED |
                                             SE_DACL_AUTO_INHERITED;
  EXPECT_EQ(wanted, control & (wanted | SE_OWNER_DEFAULTED | SE_GROUP_DEFAULTED));
  PSID sid = &sid;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &sid, &defaulted));
  EXPECT_EQ(nullptr, sid) << "the system picks the owner";

  BOOL present = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
  ASSERT_TRUE(present && dacl);
  const BYTE inherit = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE | CONTAINER_INHERIT_ACE;
  struct Entry { ACCESS_MASK mask; BYTE flags; std::wstring sid; } entries[] = {
      {FILE_ALL_ACCESS, 0, L"S-1-5-32-544"}, {GENERIC_ALL, inherit, L"S-1-5-32-544"},
      {FILE_ALL_ACCESS, 0, L"S-1-5-18"},     {GENERIC_ALL, inherit, L"S-1-5-18"},
      {GENERIC_ALL, inherit, L"S-1-3-0"},    {FILE_ALL_ACCESS, 0, owner},
  };
  ASSERT_EQ(6u, dacl->AceCount);
  for (DWORD i = 0; i < 6; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType) << i;
    EXPECT_EQ(entries[i].flags, ace->Header.AceFlags) << i;
    EXPECT_EQ(entries[i].mask, ace->Mask) << i;
    EXPECT_EQ(entries[i].sid, SidText(&ace->SidStart)) << i;
  }
  LocalFree(descriptor);
}

// Wine keeps no access-control list on disk: it turns the descriptor into Unix mode bits (no
// access for "other", since no entry admits Everyone) and reads back a DACL rebuilt from them.
// What holds both there and on Windows: nobody beyond the listed principals gets an entry.
TEST_F(WorkDirectory, DaclOnDiskAdmitsNoOrdinaryUsers) {
  ScratchDir scratch(L"work_dir_on_disk");
  PathString path;
  ExitResult result;
  ASSERT_TRUE(CreateWorkDirectory(scratch.path().c_str(), path, &result));
  std::vector<std::wstring> sids;
  ASSERT_TRUE(testing_support::DaclSidsOnDisk(path.Get(), &sids));
  for (const std::wstring& sid : sids) {
    EXPECT_TRUE(sid != L"S-1-1-0" && sid != L"S-1-5-11" && sid != L"S-1-5-32-545") << sid;
  }
}

}  // namespace
