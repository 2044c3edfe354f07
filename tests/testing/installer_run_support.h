// One test installer run as a user runs it: copied into a folder of its own and started as a
// process from this Windows-side program, so that all 32 bits of its exit code are seen, with
// what the test setup program recorded and what stayed on disk afterwards.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "testing/setup_report_support.h"
#include "testing/test_support.h"

namespace testing_support {

class InstallerRun {
 public:
  // The copy is `folder`\`file_name` below the scratch folder; either may hold any character the
  // file system takes. fake_setup.exe's report goes to a folder of its own.
  InstallerRun(const std::wstring& installer, const std::wstring& folder,
               const std::wstring& file_name = L"installer.exe");
  InstallerRun(const InstallerRun&) = delete;
  InstallerRun& operator=(const InstallerRun&) = delete;

  // Starts the copy with `arguments` after its quoted path (or with exactly `command_line` when
  // one is given), from `current_directory` (null: this program's), and waits. Returns the full
  // exit code, or ~0 when the start failed (start_error() says why). Reads the report afterwards.
  DWORD Run(const std::wstring& arguments = L"", const wchar_t* current_directory = nullptr);
  DWORD RunCommandLine(const std::wstring& command_line,
                       const wchar_t* current_directory = nullptr);

  const std::wstring& folder() const { return scratch_.path(); }  // with a trailing backslash
  const std::wstring& path() const { return path_; }
  DWORD start_error() const { return start_error_; }
  // fake_setup.exe's records of the last run, in the order of the starts.
  const std::vector<SetupRun>& runs() const { return runs_; }
  // The folder's entries after the last run, the installer excepted, sorted.
  std::vector<std::wstring> Left() const;
  // The single work directory left in the folder, with a trailing backslash, or empty (and a
  // test failure) when there is not exactly one entry or it is not a work directory.
  std::wstring LeftWorkDirectory() const;

 private:
  ScratchDir scratch_;
  ScratchDir report_folder_;
  std::wstring path_;
  std::wstring report_;
  ScopedEnvironment report_variable_;
  DWORD start_error_ = 0;
  std::vector<SetupRun> runs_;
};

}  // namespace testing_support
