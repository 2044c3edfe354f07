#include "testing/installer_run_support.h"

#include <gtest/gtest.h>

#include "testing/payload_support.h"

namespace testing_support {

InstallerRun::InstallerRun(const std::wstring& installer, const std::wstring& folder,
                           const std::wstring& file_name)
    : scratch_(folder),
      report_folder_(folder + L"_report"),
      path_(scratch_ / file_name),
      report_(report_folder_ / L"report.txt"),
      report_variable_(L"FAKE_SETUP_REPORT", report_.c_str()) {
  EXPECT_TRUE(CopyFileW(TestInstaller(installer).c_str(), path_.c_str(), FALSE))
      << Narrow(installer) << " error " << GetLastError();
}

DWORD InstallerRun::Run(const std::wstring& arguments, const wchar_t* current_directory) {
  return RunCommandLine(L"\"" + path_ + L"\"" + arguments, current_directory);
}

DWORD InstallerRun::RunCommandLine(const std::wstring& command_line,
                                   const wchar_t* current_directory) {
  DeleteFileW(report_.c_str());
  const DWORD exit_code = RunCommand(command_line, &start_error_, current_directory);
  runs_ = ReadSetupReport(report_);
  return exit_code;
}

std::vector<std::wstring> InstallerRun::Left() const {
  std::vector<std::wstring> left;
  const std::wstring own = path_.substr(folder().size());
  for (const std::wstring& name : ListDirectory(folder())) {
    if (name != own) left.push_back(name);
  }
  return left;
}

std::wstring InstallerRun::LeftWorkDirectory() const {
  const std::vector<std::wstring> left = Left();
  EXPECT_EQ(1u, left.size()) << testing::PrintToString(left);
  if (left.size() != 1 || !IsWorkDirectoryName(left[0])) {
    ADD_FAILURE() << "not a work directory: " << testing::PrintToString(left);
    return std::wstring();
  }
  return folder() + left[0] + L"\\";
}

}  // namespace testing_support
