#include "testing/setup_report_support.h"

#include <algorithm>

#include "testing/test_support.h"

namespace testing_support {

std::wstring FakeSetupPath() { return TestDirectory() + L"fake_setup.exe"; }

std::vector<SetupRun> ReadSetupReport(const std::wstring& path) {
  std::vector<SetupRun> runs;
  std::string bytes;
  if (!ReadFileBytes(path, &bytes)) return runs;
  const std::wstring text = Widen(bytes);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring line = text.substr(start, end - start);
    start = end + 1;
    if (line == L"run") {
      runs.emplace_back();
      continue;
    }
    if (runs.empty()) continue;
    const size_t equals = line.find(L'=');
    if (equals == std::wstring::npos) continue;
    const std::wstring key = line.substr(0, equals);
    const std::wstring value = line.substr(equals + 1);
    SetupRun& run = runs.back();
    if (key == L"command_line") run.command_line = value;
    else if (key == L"exe") run.exe = value;
    else if (key == L"work_directory") run.work_directory = value;
    else if (key == L"entry") run.entries.push_back(value);
    else if (key == L"archive") run.archive = value;
  }
  return runs;
}

ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name) {
  wchar_t old[4096];
  const DWORD n = GetEnvironmentVariableW(name, old, 4096);
  had_value_ = n > 0 && n < 4096;
  if (had_value_) old_value_.assign(old, n);
  SetEnvironmentVariableW(name, value);
}

ScopedEnvironment::~ScopedEnvironment() {
  SetEnvironmentVariableW(name_.c_str(), had_value_ ? old_value_.c_str() : nullptr);
}

ScopedRegistryValue::ScopedRegistryValue(HKEY root, REGSAM view, const wchar_t* name, DWORD type,
                                         const std::string& bytes, size_t count)
    : root_(root), view_(view), name_(name) {
  HKEY key = nullptr;
  key_existed_ = RegOpenKeyExW(root, kProductKey, 0, KEY_QUERY_VALUE | view, &key) == ERROR_SUCCESS;
  if (key_existed_) RegCloseKey(key);
  status_ = SetRegistryValue(root, kProductKey, name, type, bytes.data(),
                             static_cast<DWORD>(std::min(count, bytes.size())), view);
}

ScopedRegistryValue::~ScopedRegistryValue() {
  DeleteRegistryValue(root_, kProductKey, name_.c_str(), view_);
  if (!key_existed_) DeleteRegistryKey(root_, kProductKey, view_);
}

std::string RegistryString(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * 2);
}

}  // namespace testing_support
