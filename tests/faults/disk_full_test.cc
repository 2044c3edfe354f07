// The volume filling while the stub writes its payload, for real: with_small_drive.sh maps an
// 8 MiB tmpfs as a Wine drive and names it in STUB_SMALL_DRIVE. Each installer, copied onto it,
// leaves room for its work directory but not for the piece under test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/exit_codes.h"
#include "testing/installer_run_support.h"
#include "testing/payload_support.h"

namespace {

using testing_support::IsWorkDirectoryName;
using testing_support::ListDirectory;
using testing_support::Narrow;
using testing_support::PathExists;
using testing_support::RegistryString;
using testing_support::RemoveTree;
using testing_support::RunCommand;
using testing_support::ScopedEnvironment;
using testing_support::ScopedRegistryValue;
using testing_support::ScratchDir;
using testing_support::TestInstaller;

std::wstring SmallDrive() {
  wchar_t drive[8];
  const DWORD n = GetEnvironmentVariableW(L"STUB_SMALL_DRIVE", drive, 8);
  return n > 0 && n < 8 ? std::wstring(drive, n) : std::wstring();
}

ULONGLONG FreeBytes(const std::wstring& folder) {
  ULARGE_INTEGER free_bytes = {};
  GetDiskFreeSpaceExW(folder.c_str(), &free_bytes, nullptr, nullptr);
  return free_bytes.QuadPart;
}

// The space of a deleted installer comes back only once Wine's process for it has gone from the
// host, a moment after its exit was reported: the next case waits for it (not a measurement).
bool WaitForFreeBytes(const std::wstring& folder, ULONGLONG wanted) {
  for (int i = 0; i < 400 && FreeBytes(folder) < wanted; ++i) Sleep(25);
  return FreeBytes(folder) >= wanted;
}

TEST(DiskFull, PieceThatDoesNotFitEndsTheRunWithItsCodeAndNoPartialFile) {
  const std::wstring drive = SmallDrive();
  if (drive.empty()) {
    GTEST_SKIP() << "no small drive mapped (run through tests/testing/with_small_drive.sh); the "
                    "writer's disk-full cases run through the seam in tests/payload";
  }
  struct Case {
    const wchar_t* installer; ULONGLONG piece; DWORD exit_code;
    std::vector<std::wstring> kept;  // in the work directory when cleanup is off
  } cases[] = {
      // The archive is written first and does not fit.
      {L"faults_disk_archive", 5 << 20, UNABLE_TO_EXTRACT_ARCHIVE, {}},
      // The archive fits; the setup program stored whole does not.
      {L"faults_disk_setup", 5 << 20, UNABLE_TO_WRITE_SETUP, {L"TAMREL.PACKED.7Z"}},
      // Both fit; setup.exe expanded from its small cabinet does not, and the cabinet is gone.
      {L"faults_disk_expand", 12 << 20, UNABLE_TO_EXTRACT_SETUP, {L"TAMREL.PACKED.7Z"}},
  };
  ScratchDir report_folder(L"faults_disk_report");
  const std::wstring report = report_folder / L"report.txt";
  ScopedEnvironment report_variable(L"FAKE_SETUP_REPORT", report.c_str());
  const std::wstring folder = drive + L"\\faults_disk\\";
  RemoveTree(folder);
  const ULONGLONG empty = FreeBytes(drive + L"\\");
  for (const Case& c : cases) {
    for (const wchar_t* cleanup : {L"1", L"0"}) {
      const std::string label = Narrow(c.installer) + " cleanup " + Narrow(cleanup);
      ScopedRegistryValue value(HKEY_CURRENT_USER, 0, L"TamrelInstallerCleanup", REG_SZ,
                                RegistryString(cleanup));
      RemoveTree(folder);
      ASSERT_TRUE(WaitForFreeBytes(drive + L"\\", empty)) << label;
      ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << label;
      const std::wstring installer = folder + L"installer.exe";
      ASSERT_TRUE(CopyFileW(TestInstaller(c.installer).c_str(), installer.c_str(), FALSE))
          << label << " error " << GetLastError();
      // The case is only one if the piece really does not fit beside its installer.
      ASSERT_LT(FreeBytes(folder), c.piece) << label;

      EXPECT_EQ(c.exit_code, RunCommand(L"\"" + installer + L"\"")) << label;
      EXPECT_FALSE(PathExists(report)) << label << ": setup must not run";

      std::vector<std::wstring> left = ListDirectory(folder);
      if (cleanup[0] == L'1') {
        EXPECT_EQ(std::vector<std::wstring>{L"installer.exe"}, left) << label;
        continue;
      }
      ASSERT_EQ(2u, left.size()) << label;
      EXPECT_TRUE(IsWorkDirectoryName(left[0])) << label;
      EXPECT_EQ(c.kept, ListDirectory(folder + left[0])) << label;
    }
  }
  RemoveTree(folder);
}

}  // namespace
