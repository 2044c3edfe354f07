// What stays on disk when the stub's own files cannot all be deleted after setup: whole installers
// whose setup program (fault_setup.exe) leaves the archive held by a process that outlives it, or
// makes the extracted files read-only. The exit code is setup's in every case.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/installer_run_support.h"

namespace {

using testing_support::InstallerRun;
using testing_support::ListDirectory;
using testing_support::RegistryString;
using testing_support::ScopedEnvironment;
using testing_support::ScopedRegistryValue;
using testing_support::TestDirectory;

const wchar_t kArchive[] = L"TAMREL.PACKED.7Z";
// A setup exit code with every byte in use, which only a Windows-side parent sees whole.
const wchar_t kSetupCode[] = L"0x8007052E";

// The events through which the holder started by fault_setup.exe is let go, and its end seen.
// Each set has names of its own: the last holder signals its end before it exits, so for a moment
// it still holds the old, signalled events, and a second set under the same names would open
// those instead of new ones.
class HolderEvents {
 public:
  HolderEvents()
      : base_(L"faults_hold_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
              std::to_wstring(++sets_made_)) {
    for (const wchar_t* suffix : {L"_ready", L"_release", L"_done"}) {
      events_.push_back(CreateEventW(nullptr, TRUE, FALSE, (base_ + suffix).c_str()));
    }
  }
  ~HolderEvents() {
    LetGo();
    for (HANDLE event : events_) CloseHandle(event);
  }
  const std::wstring& base() const { return base_; }
  // True once the holder has closed the file.
  bool LetGo() {
    SetEvent(events_[1]);
    return WaitForSingleObject(events_[2], 30000) == WAIT_OBJECT_0;
  }

 private:
  static inline int sets_made_ = 0;
  std::wstring base_;
  std::vector<HANDLE> events_;
};

// The deletion retries each held path for about ten seconds (100 passes) before it gives up on
// it; the archive, then the work directory that still holds it. setup.exe goes in between.
TEST(CleanupFaults, ArchiveHeldByAProcessThatOutlivesSetupStaysInItsWorkDirectory) {
  struct Case { const char* label; const wchar_t* share; } cases[] = {
      {"held without delete sharing", L""},
      {"held with delete sharing", L"share-delete"},
  };
  for (const Case& c : cases) {
    HolderEvents holder;
    ScopedEnvironment code(L"FAULT_SETUP_EXIT_CODE", kSetupCode);
    ScopedEnvironment path(L"FAULT_SETUP_HOLDER", (TestDirectory() + L"fault_setup.exe").c_str());
    ScopedEnvironment hold(L"FAULT_SETUP_HOLD", holder.base().c_str());
    ScopedEnvironment share(L"FAULT_SETUP_HOLD_SHARE", c.share);
    ScopedRegistryValue cleanup(HKEY_CURRENT_USER, 0, L"TamrelInstallerCleanup", REG_SZ,
                                RegistryString(L"1"));
    InstallerRun run(L"faults_acting", L"faults_held");

    EXPECT_EQ(wcstoul(kSetupCode, nullptr, 0), run.Run(L" a")) << c.label;
    const std::wstring work = run.LeftWorkDirectory();
    // Windows keeps a file that was marked while another process holds it until that process
    // lets go: the name is still there when the stub ends.
    EXPECT_EQ(std::vector<std::wstring>{kArchive}, ListDirectory(work)) << c.label;

    ASSERT_TRUE(holder.LetGo()) << c.label;
  }
}

TEST(CleanupFaults, ReadOnlyExtractedFilesAreRemovedAnyway) {
  ScopedEnvironment code(L"FAULT_SETUP_EXIT_CODE", kSetupCode);
  ScopedEnvironment read_only(L"FAULT_SETUP_READ_ONLY", L"1");
  ScopedRegistryValue cleanup(HKEY_CURRENT_USER, 0, L"TamrelInstallerCleanup", REG_SZ,
                              RegistryString(L"1"));
  InstallerRun run(L"faults_acting", L"faults_read_only");
  EXPECT_EQ(wcstoul(kSetupCode, nullptr, 0), run.Run());
  EXPECT_TRUE(run.Left().empty()) << testing::PrintToString(run.Left());

  // The same with cleanup switched off: both files stay, read-only as setup left them.
  ScopedRegistryValue off(HKEY_CURRENT_USER, 0, L"TamrelInstallerCleanup", REG_SZ,
                          RegistryString(L"0"));
  EXPECT_EQ(wcstoul(kSetupCode, nullptr, 0), run.Run());
  const std::wstring work = run.LeftWorkDirectory();
  ASSERT_EQ((std::vector<std::wstring>{kArchive, L"setup.exe"}), ListDirectory(work));
  for (const wchar_t* name : {kArchive, L"setup.exe"}) {
    const DWORD attributes = GetFileAttributesW((work + name).c_str());
    EXPECT_NE(0u, attributes & FILE_ATTRIBUTE_READONLY) << testing_support::Narrow(name);
    SetFileAttributesW((work + name).c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

}  // namespace
